#include "platform/linux/AppFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace platform {

namespace {

// The most links followed when resolving a file's name, as the kernel allows.
constexpr int kMaxLinks = 40;

std::string ErrnoText(int error) { return std::strerror(error); }

FileResult RefuseUnlessRegular(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return FileResult::FromErrno(errno);
  if (!S_ISREG(st.st_mode)) return FileResult::Failure("not a regular file");
  return FileResult::Success();
}

// Back to blocking I/O once the file is known to be regular; a failure changes nothing
// that matters, regular files never block.
void ClearNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// Follows symbolic links at the end of `path` to the file they finally name, which may
// not exist yet. Links in the folders above are left to the kernel.
FileResult ResolveLinks(const std::filesystem::path& path, std::filesystem::path& target) {
  target = path;
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0) {
      if (errno == ENOENT) return FileResult::Success();
      return FileResult::FromErrno(errno);
    }
    if (!S_ISLNK(st.st_mode)) return FileResult::Success();
    if (hops == kMaxLinks) return FileResult::FromErrno(ELOOP);
    std::error_code ec;
    const std::filesystem::path next = std::filesystem::read_symlink(target, ec);
    if (ec) return FileResult::FromErrno(ec.value());
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
}

// The process's umask, read where the kernel shows it: setting it to find it out would
// leave a moment in which a file made by another thread gets none.
mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
  return 022;
}

// Refuses a name that is there but no regular file before anything opens it: opening a
// device has effects of its own (a serial port raises its modem lines, a watchdog starts).
FileResult RefuseSpecialName(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? FileResult::Success() : FileResult::FromErrno(errno);
  if (!S_ISREG(st.st_mode)) return FileResult::Failure("not a regular file");
  return FileResult::Success();
}

// For a write, a missing folder is a failure like any other, not a file yet to be made.
FileResult AsWriteResult(FileResult r) {
  if (r.Missing()) r.status = FileResult::Status::Failed;
  return r;
}

FileResult SyncAndClose(UniqueFd& fd) {
  if (::fsync(fd.Get()) != 0) return FileResult::FromErrno(errno);
  const int raw = fd.Release();
  if (::close(raw) != 0) return FileResult::FromErrno(errno);
  return FileResult::Success();
}

FileResult RewriteInPlace(const std::filesystem::path& target, std::string_view bytes) {
  UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd) return FileResult::FromErrno(errno);
  if (FileResult r = RefuseUnlessRegular(fd.Get()); !r.Ok()) return r;
  ClearNonBlocking(fd.Get());
  if (::ftruncate(fd.Get(), 0) != 0) return FileResult::FromErrno(errno);
  if (FileResult r = WriteAll(fd.Get(), bytes); !r.Ok()) return r;
  return SyncAndClose(fd);
}

}  // namespace

FileResult FileResult::FromErrno(int error) {
  if (error == ENOENT) return {Status::Missing, ErrnoText(error)};
  return Failure(ErrnoText(error));
}

FileResult OpenAppFile(const std::filesystem::path& path, FileAccess access, UniqueFd& fd) {
  fd.Reset();
  if (FileResult r = RefuseSpecialName(path); !r.Ok()) return r;
  if (access == FileAccess::Read) {
    fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  } else {
    constexpr int kFlags = O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    fd = UniqueFd(::open(path.c_str(), O_RDWR | kFlags, 0666));
    // Reading only serves to look at the last byte; a file that cannot be read is still
    // appended to.
    if (!fd && errno == EACCES) fd = UniqueFd(::open(path.c_str(), O_WRONLY | kFlags, 0666));
  }
  if (!fd) {
    const FileResult r = FileResult::FromErrno(errno);
    return access == FileAccess::Read ? r : AsWriteResult(r);
  }
  // The name may have changed between the look and the open.
  if (FileResult r = RefuseUnlessRegular(fd.Get()); !r.Ok()) {
    fd.Reset();
    return r;
  }
  ClearNonBlocking(fd.Get());
  return FileResult::Success();
}

FileResult ReadAppFile(const std::filesystem::path& path, size_t maxBytes, std::string& bytes) {
  bytes.clear();
  UniqueFd fd;
  if (FileResult r = OpenAppFile(path, FileAccess::Read, fd); !r.Ok()) return r;
  std::vector<char> chunk(64 * 1024);
  while (bytes.size() < maxBytes) {
    const size_t want = std::min(chunk.size(), maxBytes - bytes.size());
    const ssize_t got = ::read(fd.Get(), chunk.data(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return FileResult::FromErrno(errno);
    if (got == 0) break;
    bytes.append(chunk.data(), static_cast<size_t>(got));
  }
  return FileResult::Success();
}

FileResult WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FileResult::FromErrno(errno);
    if (n == 0) return FileResult::FromErrno(EIO);
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return FileResult::Success();
}

int LastByte(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size <= 0) return -1;
  unsigned char last = 0;
  if (::pread(fd, &last, 1, st.st_size - 1) != 1) return -1;
  return last;
}

namespace {

FileResult ReplaceTarget(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::path target;
  if (FileResult r = ResolveLinks(path, target); !r.Ok()) return r;

  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) return FileResult::FromErrno(errno);
  if (exists && !S_ISREG(old.st_mode)) return FileResult::Failure("not a regular file");

  std::string name = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  if (target.parent_path().empty()) name = "." + target.filename().string() + ".XXXXXX";
  std::vector<char> templ(name.begin(), name.end());
  templ.push_back('\0');
  UniqueFd temp(::mkostemp(templ.data(), O_CLOEXEC));
  if (!temp) {
    const int error = errno;
    // The folder takes no new file, but the file itself may well be writable.
    // A full disk is not such a case: truncating the file first would lose what it held.
    if (exists && (error == EACCES || error == EPERM || error == EROFS)) return RewriteInPlace(target, bytes);
    return FileResult::FromErrno(error);
  }
  const std::filesystem::path tempPath(templ.data());

  const mode_t mode = exists ? (old.st_mode & 07777) : (0666 & ~CurrentUmask());
  ::fchmod(temp.Get(), mode);
  if (exists) {
    // Only root may give a file away; for everyone else the owner stays theirs.
    struct stat made {};
    if (::fstat(temp.Get(), &made) == 0 && (made.st_uid != old.st_uid || made.st_gid != old.st_gid))
      if (::fchown(temp.Get(), old.st_uid, old.st_gid) == 0) ::fchmod(temp.Get(), mode);
  }

  FileResult r = WriteAll(temp.Get(), bytes);
  if (r.Ok()) r = SyncAndClose(temp);
  if (r.Ok() && ::rename(tempPath.c_str(), target.c_str()) != 0) r = FileResult::FromErrno(errno);
  if (!r.Ok()) {
    ::unlink(tempPath.c_str());
    return r;
  }
  // The rename is durable only once the folder is synced; where it cannot be, the file is
  // still complete under one name or the other.
  UniqueFd dir(
      ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.Get());
  return FileResult::Success();
}

}  // namespace

FileResult ReplaceAppFile(const std::filesystem::path& path, std::string_view bytes) {
  return AsWriteResult(ReplaceTarget(path, bytes));
}

}  // namespace platform
