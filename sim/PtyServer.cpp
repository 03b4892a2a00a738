#include "sim/PtyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

namespace sim {

namespace {

// Enough for any pts path the kernel hands out.
constexpr std::size_t kPathSize = 128;
// Input is read in chunks of this size; commands are far shorter.
constexpr std::size_t kReadChunk = 256;

bool SetFlags(int fd, int statusFlags) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | statusFlags) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

timespec ToTimespec(std::chrono::nanoseconds wait) {
  wait = std::max(wait, std::chrono::nanoseconds::zero());
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  return {static_cast<time_t>(seconds.count()), static_cast<long>((wait - seconds).count())};
}

}  // namespace

PtyServer::PtyServer(ServerOptions options) : engine_(std::move(options.emulator)), pacing_(options.pacing) {}

PtyServer::~PtyServer() { Stop(); }

int PtyServer::Fail(const char* what, int error) {
  error_ = std::string(what) + ": " + std::strerror(error);
  return -1;
}

int PtyServer::Start() {
  std::lock_guard lifecycle(lifecycle_);
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) {
    error_ = "the server runs already";
    return -1;
  }

  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY));
  if (!master.Valid()) {
    return Fail("posix_openpt", errno);
  }
  if (!SetFlags(master.Get(), O_NONBLOCK)) {
    return Fail("fcntl", errno);
  }
  if (::grantpt(master.Get()) != 0) {
    return Fail("grantpt", errno);
  }
  if (::unlockpt(master.Get()) != 0) {
    return Fail("unlockpt", errno);
  }
  std::array<char, kPathSize> path{};
  if (const int error = ::ptsname_r(master.Get(), path.data(), path.size()); error != 0) {
    return Fail("ptsname_r", error);
  }

  UniqueFd slave(::open(path.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!slave.Valid()) {
    return Fail(path.data(), errno);
  }
  // Raw from the start: no echo of what the server writes, no line editing, no CR/LF
  // translation, whatever the application sets later.
  termios settings{};
  if (::tcgetattr(slave.Get(), &settings) != 0) {
    return Fail("tcgetattr", errno);
  }
  ::cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  ::cfsetispeed(&settings, B9600);
  ::cfsetospeed(&settings, B9600);
  if (::tcsetattr(slave.Get(), TCSANOW, &settings) != 0) {
    return Fail("tcsetattr", errno);
  }

  UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake.Valid()) {
    return Fail("eventfd", errno);
  }

  master_ = std::move(master);
  slave_ = std::move(slave);
  wake_ = std::move(wake);
  slavePath_ = path.data();
  error_.clear();
  stopping_ = false;
  // The only call here that reports failure by throwing; it is turned into a result.
  try {
    thread_ = std::thread(&PtyServer::Run, this);
  } catch (const std::system_error& error) {
    master_.Reset();
    slave_.Reset();
    wake_.Reset();
    slavePath_.clear();
    return Fail("thread", error.code().value());
  }
  return 0;
}

void PtyServer::Stop() {
  std::lock_guard lifecycle(lifecycle_);
  if (!thread_.joinable()) {
    return;
  }
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    Wake();
  }
  thread_.join();

  std::lock_guard lock(mutex_);
  master_.Reset();
  slave_.Reset();
  wake_.Reset();
  slavePath_.clear();
  pending_.clear();
  nextByteAt_.reset();
  writeBlocked_ = false;
}

bool PtyServer::IsRunning() const {
  std::lock_guard lock(mutex_);
  return master_.Valid() && !stopping_;
}

std::string PtyServer::SlavePath() const {
  std::lock_guard lock(mutex_);
  return slavePath_;
}

std::string PtyServer::ErrorText() const {
  std::lock_guard lock(mutex_);
  return error_;
}

bool PtyServer::PutTag(Tag tag) {
  std::lock_guard lock(mutex_);
  return engine_.PutTag(std::move(tag));
}

bool PtyServer::PutTransponder(const Transponder& transponder) {
  std::lock_guard lock(mutex_);
  return engine_.PutTransponder(transponder);
}

void PtyServer::RemoveTag() {
  std::lock_guard lock(mutex_);
  engine_.RemoveTag();
}

std::optional<Tag> PtyServer::TagInField() const {
  std::lock_guard lock(mutex_);
  return engine_.TagInField();
}

std::optional<Transponder> PtyServer::TransponderInField() const {
  std::lock_guard lock(mutex_);
  return engine_.TransponderInField();
}

bool PtyServer::SetWriteLock(WriteLock writeLock) {
  std::lock_guard lock(mutex_);
  return engine_.SetWriteLock(writeLock);
}

void PtyServer::SendResetReport() {
  std::lock_guard lock(mutex_);
  engine_.SendResetReport(EventTime(Clock::now()));
  Wake();
}

void PtyServer::SetPowered(bool powered) {
  std::lock_guard lock(mutex_);
  engine_.SetPowered(powered);
  if (!powered) {
    pending_.clear();
    nextByteAt_.reset();
  }
  Wake();
}

bool PtyServer::IsPowered() const {
  std::lock_guard lock(mutex_);
  return engine_.IsPowered();
}

void PtyServer::SetFault(Fault fault, int count) {
  std::lock_guard lock(mutex_);
  engine_.SetFault(fault, count);
}

ReaderConfig PtyServer::Config() const {
  std::lock_guard lock(mutex_);
  return engine_.Config();
}

void PtyServer::SetConfig(const ReaderConfig& config) {
  std::lock_guard lock(mutex_);
  engine_.SetConfig(config);
}

std::vector<std::string> PtyServer::ReceivedLines() const {
  std::lock_guard lock(mutex_);
  const auto& lines = engine_.ReceivedLines();
  return {lines.begin(), lines.end()};
}

void PtyServer::SetLoaderStatus(LoaderStatus status) {
  std::lock_guard lock(mutex_);
  engine_.SetLoaderStatus(status);
}

LoaderStatus PtyServer::CurrentLoaderStatus() const {
  std::lock_guard lock(mutex_);
  return engine_.CurrentLoaderStatus();
}

FirmwareImage PtyServer::ReceivedImage() const {
  std::lock_guard lock(mutex_);
  return engine_.ReceivedImage();
}

bool PtyServer::SetRecordFault(Fault fault, std::size_t record) {
  std::lock_guard lock(mutex_);
  return engine_.SetRecordFault(fault, record);
}

Fault PtyServer::RecordFault() const {
  std::lock_guard lock(mutex_);
  return engine_.RecordFault();
}

void PtyServer::SetPacing(Pacing pacing) {
  std::lock_guard lock(mutex_);
  pacing_ = pacing;
  nextByteAt_.reset();
  Wake();
}

Time PtyServer::EventTime(Clock::time_point now) const { return std::chrono::ceil<Time>(now - epoch_); }

Time PtyServer::PollTime(Clock::time_point now) const { return std::chrono::floor<Time>(now - epoch_); }

void PtyServer::Wake() {
  // Called with mutex_ held, so Stop cannot close the descriptor meanwhile. Only the loop
  // reads the counter; a full counter (EAGAIN) wakes it just as well.
  if (wake_.Valid()) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_.Get(), &one, sizeof one);
  }
}

void PtyServer::Run() {
  std::array<pollfd, 2> fds{};
  while (true) {
    std::optional<Clock::time_point> wakeAt;
    bool waitForRoom = false;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        return;
      }
      const Clock::time_point now = Clock::now();
      pending_ += engine_.Poll(PollTime(now));
      WriteDue(now);
      wakeAt = NextWake();
      waitForRoom = writeBlocked_;
    }

    fds[0] = {master_.Get(), static_cast<short>(POLLIN | (waitForRoom ? POLLOUT : 0)), 0};
    fds[1] = {wake_.Get(), POLLIN, 0};
    timespec timeout{};
    if (wakeAt) {
      timeout = ToTimespec(*wakeAt - Clock::now());
    }
    const int ready = ::ppoll(fds.data(), fds.size(), wakeAt ? &timeout : nullptr, nullptr);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      const int error = errno;
      std::lock_guard lock(mutex_);
      Fail("ppoll", error);
      stopping_ = true;
      return;
    }

    if ((fds[1].revents & POLLIN) != 0) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(wake_.Get(), &count, sizeof count);
    }
    if ((fds[0].revents & POLLIN) != 0) {
      ReadInput();
    } else if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
      // The slave descriptor held by the server should make this impossible; ending the
      // loop with a reason beats spinning on a dead line.
      std::lock_guard lock(mutex_);
      error_ = "the pseudo-terminal hung up";
      stopping_ = true;
      return;
    }
    if ((fds[0].revents & POLLOUT) != 0) {
      std::lock_guard lock(mutex_);
      writeBlocked_ = false;
    }
  }
}

void PtyServer::ReadInput() {
  std::array<char, kReadChunk> buffer{};
  while (true) {
    const ssize_t got = ::read(master_.Get(), buffer.data(), buffer.size());
    if (got <= 0) {
      return;
    }
    std::lock_guard lock(mutex_);
    engine_.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)), EventTime(Clock::now()));
  }
}

void PtyServer::WriteDue(Clock::time_point now) {
  if (pending_.empty()) {
    nextByteAt_.reset();
    return;
  }
  if (writeBlocked_) {
    return;
  }

  if (pacing_ == Pacing::Off) {
    while (!pending_.empty()) {
      const ssize_t written = ::write(master_.Get(), pending_.data(), pending_.size());
      if (written < 0) {
        if (errno == EAGAIN) {
          writeBlocked_ = true;
        } else {
          Fail("write", errno);
          pending_.clear();
        }
        return;
      }
      pending_.erase(0, static_cast<std::size_t>(written));
      lineFreeAt_ = now;
    }
    return;
  }

  // Each byte has its slot on the line: it reaches the other end one byte time after the
  // line is free for it. Slots follow each other without gaps while bytes are pending, so a
  // late wake-up of this thread delivers the bytes whose slots have passed together, as a
  // receive FIFO would, but never a byte before its slot.
  if (!nextByteAt_) {
    nextByteAt_ = std::max(now, lineFreeAt_) + kByteTime;
  }
  while (!pending_.empty() && *nextByteAt_ <= now) {
    const ssize_t written = ::write(master_.Get(), pending_.data(), 1);
    if (written < 0 && errno == EAGAIN) {
      writeBlocked_ = true;
      return;
    }
    if (written != 1) {
      Fail("write", errno);
      pending_.clear();
      break;
    }
    pending_.erase(0, 1);
    lineFreeAt_ = *nextByteAt_;
    *nextByteAt_ += kByteTime;
  }
  if (pending_.empty()) {
    nextByteAt_.reset();
  }
}

std::optional<PtyServer::Clock::time_point> PtyServer::NextWake() const {
  std::optional<Clock::time_point> wakeAt;
  if (const auto due = engine_.NextDue()) {
    wakeAt = epoch_ + *due;
  }
  if (!pending_.empty() && !writeBlocked_ && nextByteAt_) {
    wakeAt = wakeAt ? std::min(*wakeAt, *nextByteAt_) : *nextByteAt_;
  }
  return wakeAt;
}

}  // namespace sim
