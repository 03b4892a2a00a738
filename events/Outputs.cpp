#include "events/Outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace events {

namespace {

bool WriteWhole(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::unique_ptr<JsonLinesOutput> JsonLinesOutput::Open(const std::string& path, std::string& error) {
  platform::UniqueFd fd(path == "-" ? ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3)
                                    : ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
  if (!fd) {
    error = std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<JsonLinesOutput>(new JsonLinesOutput(std::move(fd)));
}

void JsonLinesOutput::Write(const std::string&, const std::string& line) {
  // A reader gone from a pipe must not end the program (SIGPIPE is ignored): the line is lost.
  WriteWhole(fd_.Get(), line + "\n");
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

HistoryOutput::HistoryOutput(std::filesystem::path path, uint64_t maxBytes)
    : path_(std::move(path)), maxBytes_(maxBytes) {}

std::filesystem::path HistoryOutput::RotatedPath(const std::filesystem::path& path) {
  std::filesystem::path rotated = path;
  rotated.replace_extension();
  return rotated.string() + ".1" + path.extension().string();
}

void HistoryOutput::Write(const std::string& event, const std::string& line) {
  if (event != "tag") return;
  const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded()) return;
  const std::string row = CsvField(j.value("time", "")) + "," + CsvField(j.value("type", "")) + "," +
                          CsvField(j.value("code", "")) + "\r\n";
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) + row.size() > maxBytes_) {
    std::error_code ec;
    std::filesystem::rename(path_, RotatedPath(path_), ec);
  }
  platform::UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
  if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error_ = path_.string() + ": " + (fd ? "not a regular file" : std::strerror(errno));
    return;
  }
  const std::string text = st.st_size == 0 ? "time,type,code\r\n" + row : row;
  if (!WriteWhole(fd.Get(), text)) error_ = path_.string() + ": " + std::strerror(errno);
}

}  // namespace events
