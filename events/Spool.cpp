#include "events/Spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace events {

namespace {

platform::UniqueFd OpenRegular(const std::filesystem::path& path, std::string& error) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600));
  struct stat st {};
  if (!fd) {
    error = path.string() + ": " + std::strerror(errno);
  } else if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = path.string() + ": not a regular file";
    fd.Reset();
  }
  return fd;
}

bool WriteAt(int fd, const std::string& bytes, off_t at) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, at + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

Spool::Spool(std::filesystem::path path, uint64_t maxBytes) : path_(std::move(path)), maxBytes_(maxBytes) {}

std::filesystem::path Spool::PositionPath(const std::filesystem::path& path) { return path.string() + ".pos"; }

bool Spool::Open(std::string& error) {
  file_ = OpenRegular(path_, error);
  if (file_) position_ = OpenRegular(PositionPath(path_), error);
  if (!file_ || !position_) {
    file_.Reset();
    position_.Reset();
    return false;
  }
  char text[32] = {};
  const ssize_t n = ::pread(position_.Get(), text, sizeof text - 1, 0);
  uint64_t pos = 0;
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9' && pos < (uint64_t{1} << 60); ++i)
    pos = pos * 10 + static_cast<uint64_t>(text[i] - '0');
  struct stat st {};
  ::fstat(file_.Get(), &st);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (pos > size) pos = size;
  // Only about the bound's worth of the file is read back; a torn last line (no line feed,
  // a stop in the middle of a write) is left out.
  const bool cut = size - pos > maxBytes_ + kReadSlack;
  if (cut) pos = size - (maxBytes_ + kReadSlack);
  std::string bytes(size - pos, '\0');
  const ssize_t got = bytes.empty() ? 0 : ::pread(file_.Get(), bytes.data(), bytes.size(), static_cast<off_t>(pos));
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  size_t begin = 0;
  if (cut) {
    // The first line read may be a piece: the entries start after a line feed.
    const size_t nl = bytes.find('\n');
    begin = nl == std::string::npos ? bytes.size() : nl + 1;
  }
  start_ = pos + begin;
  end_ = start_;
  for (size_t nl; (nl = bytes.find('\n', begin)) != std::string::npos; begin = nl + 1) {
    const std::string record = bytes.substr(begin, nl - begin);
    const size_t tab = record.find('\t');
    end_ = pos + nl + 1;
    if (tab == std::string::npos) continue;
    entries_.push_back({nextId_++, record.substr(0, tab), record.substr(tab + 1), end_});
  }
  while (entries_.size() > 1 && end_ - start_ > maxBytes_) {
    start_ = entries_.front().end;
    entries_.pop_front();
  }
  if (end_ < size && ::ftruncate(file_.Get(), static_cast<off_t>(end_)) != 0) {
    // The torn tail stays; a line feed written before the next entry ends it.
  }
  SavePosition();
  return true;
}

size_t Spool::Append(const std::string& event, const std::string& line) {
  const std::string record = event + "\t" + line + "\n";
  if (file_ && !WriteAt(file_.Get(), record, static_cast<off_t>(end_))) {
    // A spool that cannot grow keeps the event in memory: it is still sent while the
    // program runs.
  }
  end_ += record.size();
  entries_.push_back({nextId_++, event, line, end_});
  size_t dropped = 0;
  while (entries_.size() > 1 && end_ - start_ > maxBytes_) {
    start_ = entries_.front().end;
    entries_.pop_front();
    ++dropped;
  }
  if (dropped) Compact();
  return dropped;
}

void Spool::Acknowledge(uint64_t id) {
  for (Entry& e : entries_)
    if (e.id == id) e.acked = true;
  bool moved = false;
  while (!entries_.empty() && entries_.front().acked) {
    start_ = entries_.front().end;
    entries_.pop_front();
    moved = true;
  }
  if (moved) Compact();
}

void Spool::Unsend() {
  for (Entry& e : entries_) e.sent = false;
}

void Spool::SavePosition() {
  if (!position_) return;
  const std::string text = std::to_string(start_) + "\n";
  if (WriteAt(position_.Get(), text, 0)) {
    if (::ftruncate(position_.Get(), static_cast<off_t>(text.size())) != 0) {
      // The digits written end at the line feed; what follows is not read.
    }
  }
}

void Spool::Compact() {
  if (entries_.empty()) {
    // Everything taken: both files start again empty.
    start_ = end_ = 0;
    if (file_ && ::ftruncate(file_.Get(), 0) != 0) {
      // The offset saved below still skips what the file holds.
    }
  } else if (file_ && start_ > kCompactBytes && start_ > end_ - start_) {
    // The part already taken is larger than the rest: the rest moves to the file's start.
    std::string live(end_ - start_, '\0');
    const ssize_t got = ::pread(file_.Get(), live.data(), live.size(), static_cast<off_t>(start_));
    const std::filesystem::path temp = path_.string() + ".new";
    std::string error;
    ::unlink(temp.c_str());
    platform::UniqueFd fresh = OpenRegular(temp, error);
    // The offset goes to 0 before the file is replaced: a stop between the two sends events
    // twice (a consumer drops them by seq), never loses one.
    const bool written = got == static_cast<ssize_t>(live.size()) && fresh && WriteAt(fresh.Get(), live, 0) &&
                         position_ && WriteAt(position_.Get(), "0\n", 0) && ::ftruncate(position_.Get(), 2) == 0;
    if (written && ::rename(temp.c_str(), path_.c_str()) == 0) {
      file_ = std::move(fresh);
      for (Entry& e : entries_) e.end -= start_;
      end_ -= start_;
      start_ = 0;
    } else {
      ::unlink(temp.c_str());
    }
  }
  SavePosition();
}

}  // namespace events
