#include "events/EventStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <nlohmann/json.hpp>

namespace events {

SeqFile::SeqFile(std::filesystem::path path) : path_(std::move(path)) {
  fd_.Reset(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
  struct stat st {};
  if (fd_ && (::fstat(fd_.Get(), &st) != 0 || !S_ISREG(st.st_mode))) fd_.Reset();
  if (!fd_) return;
  char text[32] = {};
  const ssize_t n = ::pread(fd_.Get(), text, sizeof text - 1, 0);
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (last_ > (UINT64_MAX - 9) / 10) break;
    last_ = last_ * 10 + static_cast<uint64_t>(text[i] - '0');
  }
}

uint64_t SeqFile::Next() {
  ++last_;
  if (fd_) {
    const std::string text = std::to_string(last_) + "\n";
    // Written over the old number, which is never longer than the new one.
    if (::pwrite(fd_.Get(), text.data(), text.size(), 0) < 0) {
      // The number still grows in this run; only a restart could repeat one.
    }
  }
  return last_;
}

EventStream::EventStream(std::filesystem::path seqFile, std::string port, Clock clock)
    : seq_(std::move(seqFile)), port_(std::move(port)), clock_(std::move(clock)) {}

std::string EventStream::IsoTime(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(ms % 1000));
  return std::string(text, n) + millis;
}

void EventStream::Emit(const std::string& event, const Fields& fields) {
  nlohmann::ordered_json j;
  j["time"] = IsoTime(clock_());
  j["seq"] = seq_.Next();
  j["port"] = port_;
  j["event"] = event;
  for (const auto& [name, value] : fields) std::visit([&j, &name = name](const auto& v) { j[name] = v; }, value);
  // Reader bytes that are no UTF-8 are written as U+FFFD rather than ending the program.
  const std::string line = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  for (IEventOutput* out : outputs_) out->Write(event, line);
}

}  // namespace events
