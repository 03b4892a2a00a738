#include "download/EhxFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <system_error>
#include <utility>

namespace download {

bool HasFirmwareExtension(std::string_view name) {
  const size_t dot = name.rfind('.');
  const std::string_view extension = dot == std::string_view::npos ? name : name.substr(dot);
  return extension == kFirmwareExtension;
}

std::vector<std::string> ListFirmwareFiles(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  const std::filesystem::path where = folder.empty() ? std::filesystem::path(".") : folder;
  std::filesystem::directory_iterator it(where, std::filesystem::directory_options::skip_permission_denied, ec);
  const std::filesystem::directory_iterator end;
  for (size_t examined = 0; !ec && it != end && examined < kMaxListedEntries; ++examined) {
    std::error_code statusError;
    const bool directory = it->is_directory(statusError);
    std::string name = it->path().filename().native();
    if (!directory && HasFirmwareExtension(name)) names.push_back(std::move(name));
    it.increment(ec);
  }
  return names;
}

std::filesystem::path FirmwarePath(const std::filesystem::path& folder, std::string_view name) {
  if (folder.empty()) return std::filesystem::path(std::string(name));
  std::string text = folder.native();
  if (text.back() != '/') text.push_back('/');
  text.append(name);
  return std::filesystem::path(std::move(text));
}

EhxFile::~EhxFile() { Close(); }

EhxFile::EhxFile(EhxFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

EhxFile& EhxFile::operator=(EhxFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool EhxFile::Open(const std::filesystem::path& path) {
  Close();
  const std::string& text = path.native();
  // A name with a NUL in it would open a shorter name than the one shown to the user.
  if (text.empty() || text.find('\0') != std::string::npos) return false;
  // Non-blocking, so that opening a FIFO does not wait for a writer; it is refused below.
  const int fd = ::open(text.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void EhxFile::Close() {
  if (fd_ < 0) return;
  ::close(fd_);  // also releases the lock
  fd_ = -1;
}

uint64_t EhxFile::Length() const {
  if (fd_ < 0) return 0;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || st.st_size < 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

uint64_t EhxFile::Position() const {
  if (fd_ < 0) return 0;
  const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  return pos < 0 ? 0 : static_cast<uint64_t>(pos);
}

size_t EhxFile::Read(std::span<uint8_t> buffer) {
  if (fd_ < 0) return 0;
  size_t got = 0;
  while (got < buffer.size()) {
    const ssize_t n = ::read(fd_, buffer.data() + got, buffer.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

bool EhxFile::Seek(uint64_t offset) {
  if (fd_ < 0 || offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

}  // namespace download
