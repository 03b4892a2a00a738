// Switching the reader's supply: the steps and their log texts, over scripted pins, the
// expansion-slot pin library and the Linux power modes.

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "device/ReaderPower.h"
#include "tests/device/SlotRig.h"

namespace {

using namespace device;

const std::u16string kFailed = u"The function failed\r\n";
const std::u16string kInvalid = u"An invalid pin was selected,\r\n \t\t\t\t     or an attempt to set an input pin.\r\n";
const std::u16string kInUse = u"The %GPIO pin is already in use.\r\n";
const std::u16string kUndefined = u"Undefined error.\r\n";
const std::u16string kNoAccess = u"failed to gain access to pin 71\r\n";

// What one switch did: its result, its log and its pauses.
struct Outcome {
  int result = 0;
  std::u16string log;
  std::vector<unsigned> sleeps;
};

Outcome On(IPinAccess& pins) {
  Outcome o;
  o.result = SwitchReaderOn(
      pins, [&](const std::u16string& t) { o.log += t; }, [&](unsigned ms) { o.sleeps.push_back(ms); });
  return o;
}

Outcome Off(IPinAccess& pins) {
  Outcome o;
  o.result = SwitchReaderOff(pins, [&](const std::u16string& t) { o.log += t; });
  return o;
}

TEST(PinErrorText, TextOfEachResultCode) {
  const std::pair<int, std::u16string> cases[] = {{0, u""},        {1, kFailed},     {2, kInvalid},   {3, kInUse},
                                                  {4, kUndefined}, {-1, kUndefined}, {15, kUndefined}};
  for (const auto& [code, text] : cases) {
    EXPECT_EQ(PinErrorText(code), text) << code;
    std::u16string logged;
    if (code != 0) ReportPinError(code, [&](const std::u16string& t) { logged += t; });
    EXPECT_EQ(logged, code != 0 ? text : u"") << code;
  }
}

// Pins whose every step answers as scripted; records the steps in order.
class ScriptedPins : public IPinAccess {
 public:
  int reserve = kPinOk, set = kPinOk, giveUp = kPinOk, level = -1;  // level -1: as set
  std::vector<std::string> steps;
  int AllocatePin(int pin, bool r) override {
    steps.push_back((r ? "reserve " : "give up ") + std::to_string(pin));
    return r ? reserve : giveUp;
  }
  int SetPinLevel(int pin, bool l) override {
    steps.push_back("set " + std::to_string(pin) + (l ? " high" : " low"));
    if (set == kPinOk) set_ = l;
    return set;
  }
  int GetPinLevel(int pin) override {
    steps.push_back("read " + std::to_string(pin));
    return level >= 0 ? level : (set_ ? 1 : 0);
  }

 private:
  bool set_ = false;
};

TEST(SwitchReader, StepsResultsAndLog) {
  enum Power { kOn, kOff };
  const std::vector<std::string> all{"reserve 10", "set 10 high", "read 10", "give up 10"};
  const std::vector<std::string> allOff{"reserve 10", "set 10 low", "read 10", "give up 10"};
  struct Case {
    const char* name;
    Power power;
    int reserve, set, level, giveUp;
    int result;
    std::vector<std::string> steps;
    std::u16string log;
    std::vector<unsigned> sleeps;
  };
  const Case cases[] = {
      {"on", kOn, 0, 0, -1, 0, 0, all, u"", {150}},
      {"on, pin held elsewhere", kOn, 3, 0, -1, 0, -1, {"reserve 10"}, kInUse, {}},
      {"on, no backend", kOn, 1, 0, -1, 0, -1, {"reserve 10"}, kFailed, {}},
      {"on, unknown code", kOn, 9, 0, -1, 0, -1, {"reserve 10"}, kUndefined, {}},
      // Used to keep the pin held, so every later switch failed as "already in use".
      {"on, set fails", kOn, 0, 2, -1, 0, -1, {"reserve 10", "set 10 high", "give up 10"}, kInvalid, {}},
      {"on, set and give-up fail",
       kOn,
       0,
       1,
       -1,
       2,
       -1,
       {"reserve 10", "set 10 high", "give up 10"},
       kFailed + kInvalid,
       {}},
      {"on, reads low", kOn, 0, 0, 0, 0, -1, all, kNoAccess, {150}},
      {"on, reads neither", kOn, 0, 0, 2, 0, -1, all, kNoAccess, {150}},
      {"on, give-up fails", kOn, 0, 0, -1, 2, -1, all, kInvalid, {}},
      {"on, reads low and give-up fails", kOn, 0, 0, 0, 1, -1, all, kNoAccess + kFailed, {}},
      {"off", kOff, 0, 0, -1, 0, 0, allOff, u"", {}},
      {"off, reads high", kOff, 0, 0, 1, 0, -1, allOff, kNoAccess, {}},
      {"off, reads neither", kOff, 0, 0, 2, 0, 0, allOff, u"", {}},
      {"off, pin held elsewhere", kOff, 3, 0, -1, 0, -1, {"reserve 10"}, kInUse, {}},
      {"off, set fails", kOff, 0, 1, -1, 0, -1, {"reserve 10", "set 10 low", "give up 10"}, kFailed, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPins pins;
    pins.reserve = c.reserve;
    pins.set = c.set;
    pins.level = c.level;
    pins.giveUp = c.giveUp;
    const Outcome o = c.power == kOn ? On(pins) : Off(pins);
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(pins.steps, c.steps);
    EXPECT_EQ(o.log, c.log);
    EXPECT_EQ(o.sleeps, c.sleeps);
  }
}

TEST(SwitchReader, ThroughTheSlotPinService) {
  using namespace slot_rig;
  SlotDevice device;
  Process p(device, 1);
  EXPECT_EQ(On(p.pins).result, 0);
  EXPECT_TRUE(p.io.levels.at(71));
  EXPECT_EQ(Off(p.pins).result, 0);
  EXPECT_FALSE(p.io.levels.at(71));
  EXPECT_TRUE(p.io.holders.empty());  // held only during a switch

  p.io.HoldElsewhere(71);
  const Outcome o = On(p.pins);
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.log, kInUse);
  EXPECT_TRUE(p.io.CallsOf(kSetPinLevel).size() == 2u);  // the pin was not touched

  // A failed set gives the pin up, so the next switch is not blocked by this process.
  p.io.holders.clear();
  p.io.setStatus = 2;
  EXPECT_EQ(On(p.pins).log, kFailed);
  EXPECT_TRUE(p.io.holders.empty());
  p.io.setStatus.reset();
  EXPECT_EQ(On(p.pins).result, 0);
}

TEST(SwitchReader, ThroughDirectAccessWhileAnotherProcessHoldsThePin) {
  using namespace slot_rig;
  SlotDevice device;
  Process a(device, 1), b(device, 2);
  WithoutService(a);
  WithoutService(b);
  ASSERT_EQ(On(a.pins).result, 0);
  EXPECT_EQ(device.memory.CompanionWord(0x0C), 0x800u);
  ASSERT_EQ(b.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  const Outcome o = Off(a.pins);
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.log, kInUse);
  EXPECT_EQ(device.memory.CompanionWord(0x0C), 0x800u);
}

TEST(SwitchReader, WithoutBackendEverySwitchFails) {
  using namespace slot_rig;
  for (const char16_t* model : {u"WORKABOUT PRO3", u"PC"}) {
    SlotDevice device;
    Process p(device, 1);
    p.io.present = false;
    p.io.model = model;
    for (int i = 0; i < 2; ++i) {
      const Outcome on = On(p.pins), off = Off(p.pins);
      EXPECT_EQ(on.result, -1);
      EXPECT_EQ(on.log, kFailed);
      EXPECT_TRUE(on.sleeps.empty());
      EXPECT_EQ(off.result, -1);
      EXPECT_EQ(off.log, kFailed);
    }
  }
}

TEST(SimPins, DrivesAndReadsTheEmulatorsSupply) {
  bool supply = false;
  bool follows = true;  // the emulator's pin takes the level it is given
  SimPins pins(
      [&](bool on) {
        if (follows) supply = on;
      },
      [&] { return supply; });

  const Outcome alreadyOff = Off(pins);
  EXPECT_EQ(alreadyOff.result, 0);
  EXPECT_EQ(alreadyOff.log, u"");
  const Outcome on = On(pins);
  EXPECT_EQ(on.result, 0);
  EXPECT_TRUE(supply);
  EXPECT_EQ(on.sleeps, std::vector<unsigned>{150});

  follows = false;
  const Outcome stuck = Off(pins);
  EXPECT_EQ(stuck.result, -1);
  EXPECT_EQ(stuck.log, kNoAccess);
  EXPECT_EQ(pins.AllocatePin(kReaderPowerPin, false), kPinInvalid);  // given up all the same

  EXPECT_EQ(pins.SetPinLevel(kReaderPowerPin, true), kPinInvalid);
  EXPECT_EQ(pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  EXPECT_EQ(pins.AllocatePin(kReaderPowerPin, true), kPinInUse);
  EXPECT_EQ(pins.AllocatePin(3, true), kPinInvalid);
  EXPECT_EQ(On(pins).log, kInUse);
}

TEST(AlwaysOnPins, EverySwitchSucceeds) {
  AlwaysOnPins pins;
  for (int i = 0; i < 2; ++i) {
    const Outcome off = Off(pins), on = On(pins);
    EXPECT_EQ(off.result, 0);
    EXPECT_EQ(on.result, 0);
    EXPECT_EQ(off.log + on.log, u"");
    EXPECT_EQ(on.sleeps, std::vector<unsigned>{150});
  }
}

// The libgpiod calls over a modelled line: its direction, its level, and every level it has
// shown, so that a pulse on the supply shows even when the line ends where it started.
class FakeGpioLine : public IGpioLine {
 public:
  int openError = 0, requestError = 0, setError = 0;
  bool stuckLow = false;
  std::vector<std::string> calls;
  bool open = false, requested = false;
  bool output = false;
  std::vector<int> levels{0};  // the last is the line's level now

  int Open(const std::string& chip, unsigned line) override {
    calls.push_back("open " + chip + " " + std::to_string(line));
    open = openError == 0;
    return openError;
  }
  int RequestAsIs(const char* consumer) override {
    calls.push_back(std::string("request ") + consumer + " as-is");
    if (!open || requestError != 0) return requestError != 0 ? requestError : ENODEV;
    requested = true;
    return 0;
  }
  int SetDirectionOutput(int level) override {
    calls.push_back("output " + std::to_string(level));
    if (!requested || setError != 0) return setError != 0 ? setError : EPERM;
    output = true;
    if (!stuckLow) Show(level);
    return 0;
  }
  int GetValue() override { return requested ? levels.back() : -1; }
  // The line keeps its level when it is given up, as most chips' lines do.
  void Release() override {
    calls.push_back("release");
    requested = false;
  }
  void Close() override {
    calls.push_back("close");
    requested = false;
    open = false;
  }

 private:
  void Show(int level) {
    if (level != levels.back()) levels.push_back(level);
  }
};

struct GpioRig {
  FakeGpioLine* line;
  GpioPins pins;
  GpioRig() : GpioRig(std::make_unique<FakeGpioLine>()) {}
  explicit GpioRig(std::unique_ptr<FakeGpioLine> l) : line(l.get()), pins("gpiochip0", 17, std::move(l)) {}
};

TEST(GpioPins, RequestsTheLineOnlyDuringASwitch) {
  GpioRig rig;
  EXPECT_EQ(On(rig.pins).result, 0);
  EXPECT_EQ(Off(rig.pins).result, 0);
  EXPECT_EQ(rig.line->calls,
            (std::vector<std::string>{"open gpiochip0 17", "request pelmor as-is", "output 1", "release", "close",
                                      "open gpiochip0 17", "request pelmor as-is", "output 0", "release", "close"}));
  EXPECT_FALSE(rig.line->open);
}

// Used to request the line as an output driven low, so that taking it cut the supply of a
// reader left powered and reset it, before the switch on raised the line again.
TEST(GpioPins, TakingTheLineLeavesItAsItWas) {
  struct Case {
    const char* name;
    bool output;
    int level;
  };
  const Case cases[] = {
      {"output high, a reader left powered", true, 1},
      {"output low", true, 0},
      {"input pulled high", false, 1},
      {"input pulled low", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GpioRig rig;
    rig.line->output = c.output;
    rig.line->levels = {c.level};
    ASSERT_EQ(rig.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
    EXPECT_EQ(rig.pins.GetPinLevel(kReaderPowerPin), c.level);
    EXPECT_EQ(rig.pins.AllocatePin(kReaderPowerPin, false), kPinOk);
    EXPECT_EQ(rig.line->output, c.output);
    EXPECT_EQ(rig.line->levels, std::vector<int>{c.level});
  }
}

TEST(GpioPins, OnlySwitchesChangeTheLevel) {
  GpioRig rig;
  rig.line->output = true;
  rig.line->levels = {1};  // powered before the program started
  EXPECT_EQ(On(rig.pins).result, 0);
  EXPECT_EQ(rig.line->levels, std::vector<int>{1});  // no dip on the way
  EXPECT_EQ(Off(rig.pins).result, 0);
  EXPECT_EQ(On(rig.pins).result, 0);
  EXPECT_EQ(rig.line->levels, (std::vector<int>{1, 0, 1}));
}

TEST(GpioPins, FailuresMapToResultCodes) {
  struct Case {
    const char* name;
    int openError, requestError, setError;
    bool stuckLow;
    std::u16string log;
  };
  const Case cases[] = {
      {"line held by another consumer", 0, EBUSY, 0, false, kInUse},
      {"chip missing", ENOENT, 0, 0, false, kFailed},
      {"request refused", 0, EPERM, 0, false, kFailed},
      {"set fails", 0, 0, EIO, false, kFailed},
      {"line does not follow", 0, 0, 0, true, kNoAccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GpioRig rig;
    rig.line->openError = c.openError;
    rig.line->requestError = c.requestError;
    rig.line->setError = c.setError;
    rig.line->stuckLow = c.stuckLow;
    const Outcome o = On(rig.pins);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.log, c.log);
    EXPECT_FALSE(rig.line->open);  // nothing stays held
    rig.line->openError = rig.line->requestError = rig.line->setError = 0;
    rig.line->stuckLow = false;
    EXPECT_EQ(On(rig.pins).result, 0);
  }
}

TEST(MakePinAccess, ModesOfThePowerOption) {
  const PowerHooks hooks{[](bool) {}, [] { return true; }};
  struct Case {
    std::string mode;
    bool made;
  };
  const Case cases[] = {
      {"sim", true},
      {"always-on", true},
      {"slot", true},
      {"gpio:gpiochip0:17", true},
      {"gpio:/dev/gpiochip1:0", true},
      {"gpio:chip:4294967295", true},
      {"", false},
      {"on", false},
      {"gpio", false},
      {"gpio:", false},
      {"gpio:chip", false},
      {"gpio:chip:", false},
      {"gpio::3", false},
      {"gpio:chip:x", false},
      {"gpio:chip:-1", false},
      {"gpio:chip:4294967296", false},
      {"GPIO:chip:1", false},
      {"sim ", false},
  };
  for (const Case& c : cases) {
    std::string error = "stale";
    const auto pins = MakePinAccess(c.mode, hooks, error);
    EXPECT_EQ(pins != nullptr, c.made) << c.mode;
    EXPECT_EQ(error.empty(), c.made) << c.mode << ": " << error;
  }
  std::string error;
  EXPECT_EQ(MakePinAccess("sim", PowerHooks{}, error), nullptr);
  EXPECT_FALSE(error.empty());
}

TEST(MakePinAccess, SimModeUsesTheHooks) {
  bool supply = false;
  std::string error;
  const auto pins = MakePinAccess("sim", {[&](bool on) { supply = on; }, [&] { return supply; }}, error);
  ASSERT_NE(pins, nullptr);
  EXPECT_EQ(On(*pins).result, 0);
  EXPECT_TRUE(supply);
}

TEST(MakePinAccess, MissingGpioChipFailsEverySwitch) {
  std::string error;
  const auto pins = MakePinAccess("gpio:/nonexistent/gpiochip9:3", {}, error);
  ASSERT_NE(pins, nullptr);
  const Outcome o = On(*pins);
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.log, kFailed);
  EXPECT_TRUE(o.sleeps.empty());
}

}  // namespace
