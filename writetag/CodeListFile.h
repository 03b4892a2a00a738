#pragma once
// The code list file "TrCode.txt": every code written to a transponder, so that the Write
// Tag dialog can offer it again in its drop-down list.
//
// On disk it is 8-bit text, and the program only ever appends to it (a code and a carriage
// return) or empties it. Files edited by hand may end their lines with LF or CR LF instead.
// Where a file holds any line end, each line is one entry, blanks inside it kept (a code may
// contain blanks); a file without any line end holds its entries as words separated by
// white space, as files kept by hand used to.
//
// ParseCodeList is the pure part; CodeListFile reads, appends and empties the file through
// the application file helpers, so that a FIFO, a device or a folder under the file's name
// can neither block the dialog nor be written to.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/AppFiles.h"

namespace writetag {

inline constexpr std::string_view kCodeListFileName = "TrCode.txt";

// The list takes the entries of at most this many reads from the start of the file. An
// entry of one character is not shown but counts as a read; empty and blank lines do not.
inline constexpr std::size_t kMaxCodeListReads = 100;

// Only this much of the file is ever read: far more than a hundred entries need, and a
// huge or sparse file cannot hold the dialog up.
inline constexpr std::size_t kMaxCodeListBytes = 1 << 20;

// Whether the bytes given to ParseCodeList are the whole file or were cut by the bound.
enum class ReadCut { Whole, AtBound };

// The entries the list shows for the bytes of a code list file, the top of the list first:
// the last entry of the file is the newest. Each entry has 2 to 15 (MAX_CODE_CHARS)
// characters; longer ones are cut to their first 15. When the bytes were cut by the read
// bound, a last entry with no end after it and fewer than 15 characters is not known whole
// and is left out; so the list is what the whole file would give.
std::vector<std::string> ParseCodeList(std::string_view bytes, ReadCut cut = ReadCut::Whole);

// The bytes appended to a file whose last byte is `lastByte` (-1: empty or unknown) to
// record `code`: its first 15 characters and a carriage return. A file whose last line has
// no line end (edited by hand, or cut short by a failed write) would take the code as the
// rest of that line, so a carriage return goes first then.
std::string CodeListRecord(std::string_view code, int lastByte);

class CodeListFile {
 public:
  explicit CodeListFile(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& Path() const { return path_; }

  // Reads the entries the list shows (as ParseCodeList gives them). A missing file is
  // Missing and leaves the list empty; anything that is not a regular file, or cannot be
  // read, is Failed with the reason, and leaves it empty too.
  platform::FileResult Load(std::vector<std::string>& entries) const;

  // Appends `code` (8-bit text) as CodeListRecord makes it; the file is made when missing.
  // A symbolic link is written through to its target. Every failure, a vanished folder
  // included, is Failed with the reason.
  platform::FileResult Append(std::string_view code) const;

  // Empties the file: its target's contents when it is a symbolic link, never the link.
  // Every failure is Failed with the reason.
  platform::FileResult Clear() const;

 private:
  std::filesystem::path path_;
};

}  // namespace writetag
