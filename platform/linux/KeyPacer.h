#pragma once
// The key events of the key outputs, one at a time and, when asked for, a delay apart: web
// forms and virtual machines lose keys that come too fast.
//
// A key output turns what it is asked to type into units (one character, or one virtual key
// going down or up) and hands them to a KeyPacer. The pacer asks the output for a unit's key
// events only when the unit is next, sends them in order and never two of them closer than
// the delay. Without a delay everything is sent before the call that asked for it returns,
// as if there were no pacer. With a delay the first event that may go is sent at once and
// the rest wait in a queue that the program's message loop empties: it watches Fd() and
// calls Dispatch() when it is readable, so the loop is never blocked while a code is typed.
// Codes asked for while another is being typed follow it whole, in order; none is dropped.
//
// Not thread-safe: used from the user interface thread.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum class KeyMove { Down, Up };

// One key event of a key output: its own number of a key (an X keycode, a Linux key code)
// and whether the key goes down or up.
struct KeyStep {
  uint16_t key;
  KeyMove move;
  friend bool operator==(const KeyStep&, const KeyStep&) = default;
};

// What a key output does in key events.
class IKeySteps {
 public:
  virtual ~IKeySteps() = default;
  // The key events that type one character, in order. Empty when it cannot be typed.
  virtual std::vector<KeyStep> CharacterSteps(uint32_t character) = 0;
  // The key events of a virtual key going down or up. Empty when it has no key.
  virtual std::vector<KeyStep> VirtualKeySteps(uint8_t vk, KeyMove move) = 0;
  // Sends one key event. False when it was refused.
  virtual bool Send(const KeyStep& step) = 0;
  // Returns when the events sent so far have reached their readers.
  virtual void Flush() = 0;
};

// The waits between key events: a monotonic clock and a one-shot timer whose descriptor the
// message loop watches. One call each, so that the pacing can be tested on a virtual clock.
class IKeyTimer {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~IKeyTimer() = default;
  virtual int Fd() const = 0;
  virtual Clock::time_point Now() const = 0;
  // Makes Fd() readable at when, in place of any time set before.
  virtual void WakeAt(Clock::time_point when) = 0;
  // Reads the timer's expiry, so that Fd() is not readable until it is set again.
  virtual void Acknowledge() = 0;
};

// A timer on the kernel's timerfd (CLOCK_MONOTONIC, the clock of std::chrono::steady_clock).
// Null, with the reason in error, when the kernel refuses one.
std::unique_ptr<IKeyTimer> MakeKeyTimer(std::string& error);

class KeyPacer {
 public:
  // The longest delay between key events that can be asked for.
  static constexpr std::chrono::milliseconds kMaxDelay{1000};
  // Readers stamp key events in whole milliseconds, some (the X server) from a clock that
  // may lag the real time by up to one: each wait is this much longer than the delay, so
  // that the gaps they see are never below it.
  static constexpr std::chrono::milliseconds kReaderClockStep{1};

  // steps must outlive the pacer.
  explicit KeyPacer(IKeySteps& steps);
  // Sends what is still queued without waiting, so that no key stays down in the readers
  // and no code is cut short.
  ~KeyPacer();
  KeyPacer(const KeyPacer&) = delete;
  KeyPacer& operator=(const KeyPacer&) = delete;

  // Spaces the key events delay apart (at most kMaxDelay), with timer for the waits; a
  // delay of zero needs no timer. Events already queued keep their order.
  void SetDelay(std::chrono::milliseconds delay, std::unique_ptr<IKeyTimer> timer);
  std::chrono::milliseconds Delay() const { return delay_; }

  // One virtual key going down or up.
  void VirtualKey(uint8_t vk, KeyMove move);
  // The characters of one code. Without a delay (and nothing queued) they are typed before
  // it returns, and the result is false when characters were given and none was typed or
  // a key event was refused. When they have to wait, the result only says whether any of
  // them is a character that is ever typed (not a control character).
  bool Characters(const uint32_t* characters, unsigned count);

  // The descriptor to watch, -1 without a delay.
  int Fd() const;
  // Sends the events whose time has come; called when Fd() is readable.
  void Dispatch();
  // Whether key events are waiting to be sent.
  bool Busy() const;

 private:
  enum class Kind { Character, VirtualKey };
  // What one call asked for; the units of one call form a group, which a refused key event
  // ends.
  struct Unit {
    Kind kind;
    uint32_t value;
    KeyMove move;
    uint64_t group;
  };
  enum class Pace { Delayed, AtOnce };

  void Enqueue(Unit unit);
  // The next key event to send, taken from the queue's units as needed; false when none.
  bool Next(KeyStep& step);
  // Sends what may be sent now and sets the timer for the rest.
  void Pump(Pace pace);
  std::vector<KeyStep> StepsOf(const Unit& unit);

  IKeySteps& steps_;
  std::chrono::milliseconds delay_{0};
  std::unique_ptr<IKeyTimer> timer_;
  std::deque<Unit> queue_;
  std::vector<KeyStep> current_;  // the key events of the unit being sent
  size_t currentIndex_ = 0;
  uint64_t currentGroup_ = 0;
  uint64_t nextGroup_ = 1;
  uint64_t refusedGroup_ = 0;    // the group a refused key event ended; 0: none
  bool currentRefused_ = false;  // a key event of the unit being sent was refused
  unsigned unitsTyped_ = 0;      // units typed whole since the count was last reset
  bool refused_ = false;         // a key event was refused since then
  bool sentAny_ = false;
  IKeyTimer::Clock::time_point lastSent_{};
};

}  // namespace platform
