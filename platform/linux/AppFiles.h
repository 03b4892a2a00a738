#pragma once
// The files the program keeps in its application folder ("Config.ini", "TrCode.txt"):
// opened so that nothing can block the program, bounded when read, and replaced so that a
// crash, a full disk or a planted link never leaves a damaged or misplaced file.
//
// Every open is non-blocking and anything that is not a regular file (a FIFO, a device, a
// socket, a folder put under the file's name) is refused with a reason, which callers
// treat like a missing file. Failures come back as values with a reason fit for one log
// line; nothing here throws.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "platform/linux/UniqueFd.h"

namespace platform {

struct FileResult {
  enum class Status { Ok, Missing, Failed };
  // Missing only for a read of a file that is not there; a write into a folder that is
  // gone is Failed.
  Status status = Status::Failed;
  // Why it failed, fit to follow a colon in a log line: "not a regular file", or the
  // system's text for the error ("No space left on device"); empty when it worked.
  std::string reason;

  bool Ok() const { return status == Status::Ok; }
  bool Missing() const { return status == Status::Missing; }
  static FileResult Success() { return {Status::Ok, {}}; }
  static FileResult Failure(std::string why) { return {Status::Failed, std::move(why)}; }
  // errno as a result: ENOENT is Missing, anything else Failed with the system's text.
  static FileResult FromErrno(int error);
};

enum class FileAccess {
  Read,    // an existing file, for reading
  Append,  // made when missing; writes go to its end; reading is allowed where permitted
};

// Opens `path` without blocking and refuses anything but a regular file. On success `fd`
// holds the descriptor, back in blocking mode.
FileResult OpenAppFile(const std::filesystem::path& path, FileAccess access, UniqueFd& fd);

// Reads at most `maxBytes` from the start of a regular file into `bytes`.
FileResult ReadAppFile(const std::filesystem::path& path, size_t maxBytes, std::string& bytes);

// Writes all of `bytes` to `fd`, going on after partial writes and interrupts.
FileResult WriteAll(int fd, std::string_view bytes);

// The last byte of an open regular file, or -1 when it is empty or cannot be read.
int LastByte(int fd);

// Replaces the contents of `path` with `bytes`.
// - A symbolic link is resolved and its target replaced; the link stays a link.
// - The new contents go to a temporary file with a fresh unpredictable name beside the
//   target (made exclusively, so nothing planted there is followed), which is synced and
//   renamed over the target: readers see the old or the new file, never a mix. It takes
//   the target's mode and, where permitted, its owner.
// - When no file can be made beside the target (the folder is not writable but the file
//   is), the target is rewritten in place instead.
FileResult ReplaceAppFile(const std::filesystem::path& path, std::string_view bytes);

}  // namespace platform
