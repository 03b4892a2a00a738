// The pacing of key events on a virtual clock: order, the gaps between events, codes that
// come while another is being typed, refused events, and the end of the program.

#include "platform/linux/KeyPacer.h"

#include <poll.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

using std::chrono::milliseconds;
using Clock = IKeyTimer::Clock;

// Key events as text: "+a" key a down, "-a" up; virtual keys as "+v41".
std::string Name(const KeyStep& s) {
  const std::string key = s.key >= 0x100 ? "v" + std::to_string(s.key - 0x100) : std::string(1, char(s.key));
  return (s.move == KeyMove::Down ? "+" : "-") + key;
}

struct Sent {
  std::string event;
  Clock::time_point at;
};

class FakeTimer : public IKeyTimer {
 public:
  explicit FakeTimer(Clock::time_point& now) : now_(now) {}
  int Fd() const override { return 77; }
  Clock::time_point Now() const override { return now_; }
  void WakeAt(Clock::time_point when) override { armed = when; }
  void Acknowledge() override {}
  std::optional<Clock::time_point> armed;

 private:
  Clock::time_point& now_;
};

// A character types as its own key; "!" needs Shift ("^"); "?" cannot be typed. Each
// virtual key is one event of key 0x100 + vk.
class FakeSteps : public IKeySteps {
 public:
  explicit FakeSteps(Clock::time_point& now) : now_(now) {}
  std::vector<KeyStep> CharacterSteps(uint32_t c) override {
    ++expanded;
    if (c == U'?') return {};
    const auto k = static_cast<uint16_t>(c);
    if (c == U'!') return {{'^', KeyMove::Down}, {k, KeyMove::Down}, {k, KeyMove::Up}, {'^', KeyMove::Up}};
    return {{k, KeyMove::Down}, {k, KeyMove::Up}};
  }
  std::vector<KeyStep> VirtualKeySteps(uint8_t vk, KeyMove move) override {
    ++expanded;
    return {{static_cast<uint16_t>(0x100 + vk), move}};
  }
  bool Send(const KeyStep& step) override {
    sent.push_back({Name(step), now_});
    return !(step.key == refuse && step.move == KeyMove::Down);
  }
  void Flush() override { ++flushes; }

  std::vector<Sent> sent;
  int expanded = 0;
  int flushes = 0;
  uint16_t refuse = 0;  // the key whose press is refused

 private:
  Clock::time_point& now_;
};

std::vector<std::string> Events(const std::vector<Sent>& sent) {
  std::vector<std::string> events;
  for (const Sent& s : sent) events.push_back(s.event);
  return events;
}

class KeyPacerTest : public testing::TestWithParam<milliseconds> {
 protected:
  KeyPacerTest() : steps(now), pacer(steps) {
    if (GetParam().count() > 0) {
      auto t = std::make_unique<FakeTimer>(now);
      timer = t.get();
      pacer.SetDelay(GetParam(), std::move(t));
    }
  }
  // The message loop: the timer's descriptor turns readable when its time comes.
  void RunLoop() {
    while (timer && timer->armed) {
      now = std::max(now, *timer->armed);
      timer->armed.reset();
      pacer.Dispatch();
    }
  }
  bool Type(const std::u32string& code) {
    const std::vector<uint32_t> chars(code.begin(), code.end());
    return pacer.Characters(chars.data(), static_cast<unsigned>(chars.size()));
  }
  void Key(uint8_t vk) {
    pacer.VirtualKey(vk, KeyMove::Down);
    pacer.VirtualKey(vk, KeyMove::Up);
  }
  // No two events closer than the delay.
  void ExpectGaps() {
    for (size_t i = 1; i < steps.sent.size(); ++i) {
      EXPECT_GE(steps.sent[i].at - steps.sent[i - 1].at, GetParam())
          << "before event " << i << " " << steps.sent[i].event;
    }
  }

  Clock::time_point now{milliseconds{1000}};
  FakeSteps steps;
  FakeTimer* timer = nullptr;
  KeyPacer pacer;
};

TEST_P(KeyPacerTest, ACodeGoesOutWholeInOrderAndNoTwoEventsCloserThanTheDelay) {
  Key(0x41);
  EXPECT_TRUE(Type(U"1!"));
  Key(0x0D);
  // Without a delay all of it is out before the calls return; with one only the first.
  EXPECT_EQ(steps.sent.size(), GetParam().count() == 0 ? 10u : 1u);
  EXPECT_EQ(pacer.Busy(), GetParam().count() > 0);
  RunLoop();
  EXPECT_EQ(Events(steps.sent),
            (std::vector<std::string>{"+v65", "-v65", "+1", "-1", "+^", "+!", "-!", "-^", "+v13", "-v13"}));
  EXPECT_FALSE(pacer.Busy());
  ExpectGaps();
}

TEST_P(KeyPacerTest, ACodeThatComesWhileAnotherIsTypedFollowsItWhole) {
  EXPECT_TRUE(Type(U"12"));
  now += milliseconds{1};
  EXPECT_TRUE(Type(U"34"));
  RunLoop();
  EXPECT_EQ(Events(steps.sent), (std::vector<std::string>{"+1", "-1", "+2", "-2", "+3", "-3", "+4", "-4"}));
  ExpectGaps();
}

TEST_P(KeyPacerTest, ACodeSoonAfterTheLastWaitsOutTheDelay) {
  EXPECT_TRUE(Type(U"1"));
  RunLoop();
  now += GetParam() / 2;
  EXPECT_TRUE(Type(U"2"));
  RunLoop();
  EXPECT_EQ(Events(steps.sent), (std::vector<std::string>{"+1", "-1", "+2", "-2"}));
  ExpectGaps();
}

// The characters' keys are asked for only when they are next: an output that lends keycodes
// to characters must not lend one that a queued character still needs.
TEST_P(KeyPacerTest, KeysAreLookedUpWhenTheirCharacterIsNext) {
  EXPECT_TRUE(Type(U"123"));
  EXPECT_EQ(steps.expanded, GetParam().count() == 0 ? 3 : 1);
  RunLoop();
  EXPECT_EQ(steps.expanded, 3);
}

TEST_P(KeyPacerTest, ARefusedPressEndsItsCodeButReleasesItsKeys) {
  steps.refuse = '^';
  const bool result = Type(U"1!2");
  EXPECT_TRUE(Type(U"3"));
  RunLoop();
  // The Shift press of "!" is refused: its other press is left out, the releases go, "2" is
  // not typed; the next code is.
  EXPECT_EQ(Events(steps.sent), (std::vector<std::string>{"+1", "-1", "+^", "-!", "-^", "+3", "-3"}));
  // Without a delay the result tells: a refused press, or nothing typable, is a failure.
  if (GetParam().count() == 0) {
    EXPECT_FALSE(result);
    EXPECT_FALSE(Type(U"?"));
  }
  EXPECT_TRUE(Type(U""));
}

TEST_P(KeyPacerTest, WhatIsQueuedAtTheEndIsSentAtOnce) {
  FakeSteps local(now);
  {
    KeyPacer p(local);
    if (GetParam().count() > 0) p.SetDelay(GetParam(), std::make_unique<FakeTimer>(now));
    const uint32_t code[] = {U'1', U'2'};
    p.Characters(code, 2);
    p.VirtualKey(0x41, KeyMove::Down);
  }
  EXPECT_EQ(Events(local.sent), (std::vector<std::string>{"+1", "-1", "+2", "-2", "+v65"}));
}

INSTANTIATE_TEST_SUITE_P(Delays, KeyPacerTest, testing::Values(milliseconds{0}, milliseconds{30}),
                         [](const testing::TestParamInfo<milliseconds>& delay) {
                           return std::to_string(delay.param.count()) + "ms";
                         });

TEST(KeyPacerDelayTest, WithoutADelayNoTimerIsWatched) {
  Clock::time_point now{};
  FakeSteps steps(now);
  KeyPacer pacer(steps);
  EXPECT_EQ(pacer.Fd(), -1);
  pacer.SetDelay(milliseconds{30}, std::make_unique<FakeTimer>(now));
  EXPECT_EQ(pacer.Fd(), 77);
  // Longer delays than the longest are cut to it.
  pacer.SetDelay(milliseconds{5000}, std::make_unique<FakeTimer>(now));
  EXPECT_EQ(pacer.Delay(), KeyPacer::kMaxDelay);
}

TEST(KeyPacerTimerTest, TheTimerFdTurnsReadableAtItsTime) {
  std::string error;
  std::unique_ptr<IKeyTimer> timer = MakeKeyTimer(error);
  ASSERT_NE(timer, nullptr) << error;
  const Clock::time_point start = timer->Now();
  timer->WakeAt(start + milliseconds{20});
  pollfd p{timer->Fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  EXPECT_GE(timer->Now() - start, milliseconds{20});
  timer->Acknowledge();
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "still readable after the expiry was read";
}

}  // namespace
}  // namespace platform
