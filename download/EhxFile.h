#pragma once
// Firmware files on disk: the list of files offered in the application folder, and the
// record access to the file of a download run.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace download {

// Entries of the application folder that are examined for the list, directories included.
inline constexpr size_t kMaxListedEntries = 20;
// The extension of firmware files, compared exactly: "image.ehx" is no firmware file.
inline constexpr std::string_view kFirmwareExtension = ".EHX";

// True when the part of name from its last '.' on (the whole name without a '.') is ".EHX".
bool HasFirmwareExtension(std::string_view name);

// The firmware files of a folder, by file name, in the order the system enumerates the
// folder; the first name is the one to preselect. Only the first kMaxListedEntries entries
// are examined; directories among them count but are not listed (a symbolic link counts as
// what it points to). The order is whatever the file system gives (std::filesystem, which
// leaves out "." and ".."); it is not sorted here. An empty folder path means the current
// directory. A folder that cannot be read gives an empty list.
std::vector<std::string> ListFirmwareFiles(const std::filesystem::path& folder);

// The path a download opens: the application folder followed by the name as typed, joined
// as text, so a name that begins with '/' still lies below the folder. Without a folder the
// name alone.
std::filesystem::path FirmwarePath(const std::filesystem::path& folder, std::string_view name);

// An open firmware file, read one record at a time. The file is held exclusively (an
// advisory lock that every EhxFile takes, so a second download of the same file is
// refused) and only regular files are opened: a FIFO or a device typed into the name field
// would block the program or never end. Moves but never copies; closing happens when the
// object goes.
class EhxFile {
 public:
  EhxFile() = default;
  ~EhxFile();
  EhxFile(EhxFile&& other) noexcept;
  EhxFile& operator=(EhxFile&& other) noexcept;
  EhxFile(const EhxFile&) = delete;
  EhxFile& operator=(const EhxFile&) = delete;

  // Closes a file held before. False when the file does not exist, cannot be read, is no
  // regular file or is held by another opener.
  bool Open(const std::filesystem::path& path);
  bool IsOpen() const { return fd_ >= 0; }
  // Closing a file that is not open does nothing.
  void Close();

  // Length and position in bytes; 0 without a file.
  uint64_t Length() const;
  uint64_t Position() const;
  // Reads up to buffer.size() bytes from the position on and returns the count read:
  // fewer at the end of the file, none without a file or on a read error.
  size_t Read(std::span<uint8_t> buffer);
  // Moves to an absolute offset; false without a file or for an offset it cannot take.
  bool Seek(uint64_t offset);

 private:
  int fd_ = -1;
};

}  // namespace download
