#include "platform/linux/KeyPacer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/VirtualKeys.h"

namespace platform {
namespace {

class TimerFd final : public IKeyTimer {
 public:
  explicit TimerFd(UniqueFd fd) : fd_(std::move(fd)) {}

  int Fd() const override { return fd_.Get(); }
  Clock::time_point Now() const override { return Clock::now(); }
  void WakeAt(Clock::time_point when) override {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    // A time of zero would disarm the timer instead; a time past fires at once.
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
    ::timerfd_settime(fd_.Get(), TFD_TIMER_ABSTIME, &spec, nullptr);
  }
  void Acknowledge() override {
    uint64_t expirations = 0;
    // Nothing to read (EAGAIN) means the timer has not fired, which is as good.
    [[maybe_unused]] const ssize_t n = ::read(fd_.Get(), &expirations, sizeof expirations);
  }

 private:
  UniqueFd fd_;
};

}  // namespace

std::unique_ptr<IKeyTimer> MakeKeyTimer(std::string& error) {
  UniqueFd fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!fd) {
    error = std::string("cannot make a timer for the key delay: ") + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<TimerFd>(std::move(fd));
}

KeyPacer::KeyPacer(IKeySteps& steps) : steps_(steps) {}

KeyPacer::~KeyPacer() { Pump(Pace::AtOnce); }

void KeyPacer::SetDelay(std::chrono::milliseconds delay, std::unique_ptr<IKeyTimer> timer) {
  delay = std::clamp(delay, std::chrono::milliseconds{0}, kMaxDelay);
  if (delay.count() > 0 && !timer) return;
  delay_ = delay;
  timer_ = std::move(timer);
  if (delay_.count() == 0) Pump(Pace::AtOnce);
}

int KeyPacer::Fd() const { return timer_ && delay_.count() > 0 ? timer_->Fd() : -1; }

bool KeyPacer::Busy() const { return currentIndex_ < current_.size() || !queue_.empty(); }

void KeyPacer::VirtualKey(uint8_t vk, KeyMove move) {
  queue_.push_back({Kind::VirtualKey, vk, move, nextGroup_++});
  Pump(Pace::Delayed);
}

bool KeyPacer::Characters(const uint32_t* characters, unsigned count) {
  if (count == 0) return true;
  if (!characters) return false;
  const uint64_t group = nextGroup_++;
  for (unsigned i = 0; i < count; ++i) queue_.push_back({Kind::Character, characters[i], KeyMove::Down, group});
  if (delay_.count() == 0) {
    unitsTyped_ = 0;
    refused_ = false;
    Pump(Pace::AtOnce);
    return !refused_ && unitsTyped_ > 0;
  }
  Pump(Pace::Delayed);
  return std::any_of(characters, characters + count, [](uint32_t c) { return !IsUntypable(c); });
}

void KeyPacer::Dispatch() {
  if (!timer_) return;
  timer_->Acknowledge();
  Pump(Pace::Delayed);
}

std::vector<KeyStep> KeyPacer::StepsOf(const Unit& unit) {
  if (unit.kind == Kind::Character) return steps_.CharacterSteps(unit.value);
  return steps_.VirtualKeySteps(static_cast<uint8_t>(unit.value), unit.move);
}

bool KeyPacer::Next(KeyStep& step) {
  for (;;) {
    while (currentIndex_ < current_.size()) {
      // After a refused event only releases go out, so that no key stays down.
      if (currentGroup_ == refusedGroup_ && current_[currentIndex_].move == KeyMove::Down) {
        ++currentIndex_;
        continue;
      }
      step = current_[currentIndex_];
      return true;
    }
    if (queue_.empty()) return false;
    const Unit unit = queue_.front();
    queue_.pop_front();
    // The rest of a code whose key event was refused is not typed.
    if (unit.group == refusedGroup_) continue;
    // The unit's key events are asked for only now, just before they are sent: an output
    // that lends keys to characters (XTest) must not lend one that queued events still need.
    current_ = StepsOf(unit);
    currentIndex_ = 0;
    currentGroup_ = unit.group;
    currentRefused_ = false;
  }
}

void KeyPacer::Pump(Pace pace) {
  const bool paced = pace == Pace::Delayed && delay_.count() > 0 && timer_;
  KeyStep step{};
  while (Next(step)) {
    if (paced && sentAny_) {
      const IKeyTimer::Clock::time_point due = lastSent_ + delay_ + kReaderClockStep;
      if (timer_->Now() < due) {
        timer_->WakeAt(due);
        return;
      }
    }
    const bool sent = steps_.Send(step);
    ++currentIndex_;
    if (!sent) {
      refused_ = true;
      currentRefused_ = true;
      refusedGroup_ = currentGroup_;
    }
    if (currentIndex_ == current_.size() && !currentRefused_) ++unitsTyped_;
    if (paced) {
      // The delay counts from the moment the event has reached its readers, so that they
      // see the events at least the delay apart even when they were slow to take one.
      steps_.Flush();
      lastSent_ = timer_->Now();
      sentAny_ = true;
    }
  }
  if (!paced) steps_.Flush();
}

}  // namespace platform
