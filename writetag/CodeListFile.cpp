#include "writetag/CodeListFile.h"

#include <algorithm>

#include "writetag/BlockFrames.h"

namespace writetag {

namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
bool IsWhiteSpace(char c) { return IsLineEnd(c) || IsBlank(c); }

// Writing needs the file's real failures: a missing name there means the folder is gone.
platform::FileResult AsFailure(platform::FileResult r) {
  if (r.Missing()) r.status = platform::FileResult::Status::Failed;
  return r;
}

}  // namespace

std::vector<std::string> ParseCodeList(std::string_view bytes, ReadCut cut) {
  const bool byLines = std::any_of(bytes.begin(), bytes.end(), IsLineEnd);
  const auto separates = byLines ? IsLineEnd : IsWhiteSpace;
  std::vector<std::string> entries;
  size_t reads = 0;
  size_t pos = 0;
  while (reads < kMaxCodeListReads) {
    while (pos < bytes.size() && separates(bytes[pos])) ++pos;
    if (pos == bytes.size()) break;
    size_t end = pos;
    while (end < bytes.size() && !separates(bytes[end])) ++end;
    const std::string_view piece = bytes.substr(pos, end - pos);
    pos = end;
    // A piece the bound cut short of MAX_CODE_CHARS might show differently read whole.
    if (end == bytes.size() && cut == ReadCut::AtBound && piece.size() < MAX_CODE_CHARS) break;
    if (std::all_of(piece.begin(), piece.end(), IsBlank)) continue;
    ++reads;
    if (piece.size() > 1) entries.emplace_back(piece.substr(0, MAX_CODE_CHARS));
  }
  // The newest entry is the file's last, and it goes at the top of the list.
  std::reverse(entries.begin(), entries.end());
  return entries;
}

std::string CodeListRecord(std::string_view code, int lastByte) {
  std::string record;
  if (lastByte >= 0 && !IsLineEnd(static_cast<char>(lastByte))) record += '\r';
  record += code.substr(0, MAX_CODE_CHARS);
  record += '\r';
  return record;
}

platform::FileResult CodeListFile::Load(std::vector<std::string>& entries) const {
  entries.clear();
  std::string bytes;
  // One byte beyond the bound tells a file that ends there from one that goes on.
  const platform::FileResult r = platform::ReadAppFile(path_, kMaxCodeListBytes + 1, bytes);
  if (!r.Ok()) return r;
  ReadCut cut = ReadCut::Whole;
  if (bytes.size() > kMaxCodeListBytes) {
    bytes.resize(kMaxCodeListBytes);
    cut = ReadCut::AtBound;
  }
  entries = ParseCodeList(bytes, cut);
  return r;
}

platform::FileResult CodeListFile::Append(std::string_view code) const {
  platform::UniqueFd fd;
  if (platform::FileResult r = platform::OpenAppFile(path_, platform::FileAccess::Append, fd); !r.Ok())
    return AsFailure(std::move(r));
  // O_APPEND puts the record at the end whatever else writes to the file, and the whole
  // record goes to the kernel at once, so that appends of two programs do not mix.
  return AsFailure(platform::WriteAll(fd.Get(), CodeListRecord(code, platform::LastByte(fd.Get()))));
}

platform::FileResult CodeListFile::Clear() const { return AsFailure(platform::ReplaceAppFile(path_, {})); }

}  // namespace writetag
