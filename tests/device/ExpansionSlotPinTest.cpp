// The expansion-slot pin library: choosing the backend, the slot-pin service's requests and
// answers, and where each logical pin lives.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tests/device/SlotRig.h"

namespace {

using namespace slot_rig;

uint32_t WordOf(const std::vector<uint8_t>& bytes, size_t word) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(bytes.at(word * 4 + i)) << (8 * i);
  return v;
}

struct BackendCase {
  const char* name;
  bool servicePresent;
  uint32_t presentFlag;
  size_t connectors;
  std::optional<std::u16string> model;
  std::optional<uint32_t> returnedBytes;
  SlotBackend expected;
};

TEST(ExpansionSlotPinBackend, IsChosenFromServiceThenModel) {
  const std::u16string wp = u"WORKABOUT PRO";
  const BackendCase cases[] = {
      {"service", true, 1, 1, std::nullopt, std::nullopt, SlotBackend::kSlotPinService},
      {"service wins over the model", true, 1, 2, wp, std::nullopt, SlotBackend::kSlotPinService},
      {"present flag 0", true, 0, 1, wp, std::nullopt, SlotBackend::kDirect},
      {"no connectors", true, 1, 0, wp, std::nullopt, SlotBackend::kDirect},
      {"no service", false, 0, 0, wp, std::nullopt, SlotBackend::kDirect},
      {"longer model", false, 0, 0, u"WORKABOUT PRO3", std::nullopt, SlotBackend::kNone},
      {"longer model counted as 28 bytes", false, 0, 0, u"WORKABOUT PRO3", 28, SlotBackend::kNone},
      {"right text, 26 bytes", false, 0, 0, wp, 26, SlotBackend::kNone},
      {"right text, 30 bytes", false, 0, 0, wp, 30, SlotBackend::kNone},
      {"other letter", false, 0, 0, u"WORKABOUT PRX", std::nullopt, SlotBackend::kNone},
      {"letter case", false, 0, 0, u"Workabout Pro", std::nullopt, SlotBackend::kNone},
      {"model query fails", false, 0, 0, std::nullopt, std::nullopt, SlotBackend::kNone},
  };
  for (const BackendCase& c : cases) {
    SCOPED_TRACE(c.name);
    SlotDevice device;
    Process p(device, 1);
    p.io.present = c.servicePresent;
    p.io.presentFlag = c.presentFlag;
    p.io.connectors.assign(c.connectors, FakeSlotPinService::Connector{});
    p.io.model = c.model;
    p.io.returnedBytes = c.returnedBytes;
    EXPECT_EQ(p.pins.Backend(), c.expected);
    // The choice is made once.
    const size_t callsAfterChoice = p.io.calls.size();
    EXPECT_EQ(p.pins.Backend(), c.expected);
    EXPECT_EQ(p.io.calls.size(), callsAfterChoice);
  }
}

TEST(ExpansionSlotPinBackend, ModelQueryOffers200BytesAndAsksForTheCount) {
  SlotDevice device;
  Process p(device, 1);
  WithoutService(p);
  ASSERT_EQ(p.pins.Backend(), SlotBackend::kDirect);
  const auto queries = p.io.CallsOf(kDeviceModel);
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].outSize, 200u);
  EXPECT_TRUE(queries[0].countAsked);
}

TEST(ExpansionSlotPinBackend, WithoutBackendEveryCallFails) {
  SlotDevice device;
  Process p(device, 1);
  p.io.present = false;
  for (int pin : {0, 10, 16, 17, -1}) {
    EXPECT_EQ(p.pins.AllocatePin(pin, true), kPinFailed) << pin;
    EXPECT_EQ(p.pins.AllocatePin(pin, false), kPinFailed) << pin;
    EXPECT_EQ(p.pins.SetPinLevel(pin, true), kPinFailed) << pin;
    EXPECT_EQ(p.pins.GetPinLevel(pin), 0) << pin;
  }
}

TEST(ExpansionSlotPinService, RequestsGoToTheLastValidConnectorOfKindZero) {
  using C = FakeSlotPinService::Connector;
  struct Case {
    const char* name;
    std::vector<C> connectors;
    uint32_t expected;
  };
  const Case cases[] = {
      {"only one", {C{0, 1}}, 0},
      {"kind 1 first", {C{1, 1}, C{0, 1}}, 1},
      {"later replaces earlier", {C{0, 1}, C{2, 1}, C{0, 1}}, 2},
      {"invalid later one", {C{0, 1}, C{0, 0}}, 0},
      {"failing info call", {C{0, 1}, C{0, 1, false}}, 0},
      {"none of kind 0", {C{3, 1}}, 10000000},
      {"none valid", {C{0, 0}}, 10000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SlotDevice device;
    Process p(device, 1);
    p.io.connectors = c.connectors;
    ASSERT_EQ(p.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
    const auto requests = p.io.CallsOf(kAllocatePin);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(WordOf(requests[0].in, 1), c.expected);
  }
}

TEST(ExpansionSlotPinService, RequestLayouts) {
  SlotDevice device;
  Process p(device, 1);
  p.io.connectors = {{1, 1}, {0, 1}};
  ASSERT_EQ(p.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  const uint32_t handle = p.io.holders.at(71);
  ASSERT_EQ(p.pins.SetPinLevel(kReaderPowerPin, true), kPinOk);
  ASSERT_EQ(p.pins.GetPinLevel(kReaderPowerPin), 1);
  ASSERT_EQ(p.pins.AllocatePin(kReaderPowerPin, false), kPinOk);
  EXPECT_EQ(p.io.holders.count(71), 0u);

  const auto allocs = p.io.CallsOf(kAllocatePin);
  ASSERT_EQ(allocs.size(), 2u);
  const std::vector<uint8_t>& reserve = allocs[0].in;
  ASSERT_EQ(reserve.size(), 416u);
  EXPECT_EQ(allocs[0].outSize, 8u);
  EXPECT_FALSE(allocs[0].countAsked);
  // request 1, connector 1, no handle yet, the constant 1, slot pin 71; little-endian.
  const std::vector<uint8_t> head = {1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 71, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(reserve.begin(), reserve.begin() + 20), head);
  EXPECT_EQ(std::count(reserve.begin() + 20, reserve.end(), 0), 396);
  const auto& giveUp = allocs[1].in;
  EXPECT_EQ(WordOf(giveUp, 0), 0u);
  EXPECT_EQ(WordOf(giveUp, 2), handle);
  EXPECT_EQ(WordOf(giveUp, 4), 71u);

  const auto sets = p.io.CallsOf(kSetPinLevel);
  ASSERT_EQ(sets.size(), 1u);
  ASSERT_EQ(sets[0].in.size(), 16u);
  EXPECT_EQ(sets[0].outSize, 4u);
  EXPECT_EQ((std::vector<uint32_t>{WordOf(sets[0].in, 0), WordOf(sets[0].in, 1), WordOf(sets[0].in, 2),
                                   WordOf(sets[0].in, 3)}),
            (std::vector<uint32_t>{71, 1, handle, 1}));
  const auto gets = p.io.CallsOf(kGetPinLevel);
  ASSERT_EQ(gets.size(), 1u);
  ASSERT_EQ(gets[0].in.size(), 12u);
  EXPECT_EQ((std::vector<uint32_t>{WordOf(gets[0].in, 0), WordOf(gets[0].in, 1), WordOf(gets[0].in, 2)}),
            (std::vector<uint32_t>{71, 1, handle}));
}

TEST(ExpansionSlotPinService, AnswersMapToResults) {
  struct Case {
    uint32_t word;
    int result;
  };
  const Case allocate[] = {{0, kPinOk},    {1, kPinInvalid}, {3, kPinInvalid}, {7, kPinInvalid},
                           {8, kPinInUse}, {2, kPinFailed},  {4, kPinFailed},  {15, kPinFailed}};
  for (const Case& c : allocate) {
    SlotDevice device;
    Process p(device, 1);
    p.io.allocateStatus = c.word;
    EXPECT_EQ(p.pins.AllocatePin(kReaderPowerPin, true), c.result) << "allocate status " << c.word;
  }
  const Case set[] = {{0, kPinOk}, {1, kPinInvalid}, {3, kPinInvalid}, {2, kPinFailed}, {8, kPinFailed}};
  for (const Case& c : set) {
    SlotDevice device;
    Process p(device, 1);
    ASSERT_EQ(p.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
    p.io.setStatus = c.word;
    EXPECT_EQ(p.pins.SetPinLevel(kReaderPowerPin, true), c.result) << "set status " << c.word;
  }
  const Case level[] = {{10, 1}, {0, 0}, {1, 0}, {11, 0}, {0x0A000000, 0}};
  for (const Case& c : level) {
    SlotDevice device;
    Process p(device, 1);
    p.io.levelWord = c.word;
    EXPECT_EQ(p.pins.GetPinLevel(kReaderPowerPin), c.result) << "level word " << c.word;
  }
}

TEST(ExpansionSlotPinService, FailedCallsReadAsTheirPresets) {
  SlotDevice device;
  Process p(device, 1);
  ASSERT_EQ(p.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  p.io.failPinCalls = true;
  EXPECT_EQ(p.pins.SetPinLevel(kReaderPowerPin, true), kPinInvalid);
  EXPECT_EQ(p.pins.GetPinLevel(kReaderPowerPin), 0);
  EXPECT_EQ(p.pins.AllocatePin(kReaderPowerPin, false), kPinInvalid);
  EXPECT_EQ(p.pins.AllocatePin(9, true), kPinInvalid);
}

TEST(ExpansionSlotPinService, HandlesAreKeptPerPin) {
  SlotDevice device;
  Process p(device, 1);
  ASSERT_EQ(p.pins.Backend(), SlotBackend::kSlotPinService);
  // Refused from the handle table, without asking the service.
  size_t calls = p.io.calls.size();
  EXPECT_EQ(p.pins.AllocatePin(kReaderPowerPin, false), kPinInvalid);  // not held
  EXPECT_EQ(p.io.calls.size(), calls);
  ASSERT_EQ(p.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  calls = p.io.calls.size();
  EXPECT_EQ(p.pins.AllocatePin(kReaderPowerPin, true), kPinInUse);  // held here already
  EXPECT_EQ(p.io.calls.size(), calls);
  ASSERT_EQ(p.pins.AllocatePin(kReaderPowerPin, false), kPinOk);
  EXPECT_EQ(p.pins.AllocatePin(kReaderPowerPin, false), kPinInvalid);  // handle cleared
  EXPECT_EQ(p.pins.AllocatePin(kReaderPowerPin, true), kPinOk);

  // Another holder of slot pin 71.
  SlotDevice other;
  Process q(other, 2);
  q.io.HoldElsewhere(71);
  EXPECT_EQ(q.pins.AllocatePin(kReaderPowerPin, true), kPinInUse);
  EXPECT_EQ(q.pins.AllocatePin(kReaderPowerPin, false), kPinInvalid);
}

TEST(ExpansionSlotPinService, PinsOutsideTheTableAndInputsAreRefused) {
  SlotDevice device;
  Process p(device, 1);
  EXPECT_EQ(p.pins.AllocatePin(17, true), kPinInvalid);
  EXPECT_EQ(p.pins.AllocatePin(-1, true), kPinInvalid);
  EXPECT_EQ(p.pins.GetPinLevel(17), 0);
  ASSERT_EQ(p.pins.AllocatePin(3, true), kPinOk);
  EXPECT_EQ(p.pins.SetPinLevel(3, true), kPinInvalid);
  EXPECT_EQ(p.pins.SetPinLevel(17, true), kPinInvalid);
  EXPECT_TRUE(p.io.CallsOf(kSetPinLevel).empty());
}

// Where each logical pin lives: its slot pin for the service, its ownership index and its
// register bit for direct access.
struct PinRow {
  int logical;
  uint32_t slot;
  size_t index;
  bool output;
  bool companion;
  size_t reg;  // GPIO bank, or companion register offset
  int bit;
};

constexpr PinRow kPinRows[] = {
    {0, 63, 0, false, false, 0, 13},    {1, 64, 1, false, false, 2, 15},    {2, 65, 2, false, false, 0, 11},
    {3, 66, 3, false, false, 2, 16},    {4, 73, 10, false, false, 2, 2},    {5, 75, 12, false, false, 2, 1},
    {6, 96, 33, false, false, 0, 26},   {7, 67, 4, true, false, 2, 0},      {8, 69, 6, true, true, 0x0C, 15},
    {9, 70, 7, true, false, 1, 31},     {10, 71, 8, true, true, 0x0C, 11},  {11, 72, 9, true, false, 2, 13},
    {12, 74, 11, true, true, 0x2B0, 3}, {13, 76, 13, true, true, 0x2B0, 4}, {14, 90, 27, true, false, 0, 23},
    {15, 92, 29, true, false, 0, 24},   {16, 94, 31, true, false, 0, 25},
};

TEST(ExpansionSlotPinTable, ServiceGetsTheSlotPin) {
  for (const PinRow& row : kPinRows) {
    SlotDevice device;
    Process p(device, 1);
    ASSERT_EQ(p.pins.AllocatePin(row.logical, true), kPinOk) << row.logical;
    EXPECT_EQ(WordOf(p.io.CallsOf(kAllocatePin).at(0).in, 4), row.slot) << row.logical;
  }
}

TEST(ExpansionSlotPinTable, DirectAccessUsesTheOwnershipByteAndRegisterBit) {
  constexpr uint32_t kOtherBits = 0x5A5A5A5A;
  for (const PinRow& row : kPinRows) {
    SCOPED_TRACE("logical pin " + std::to_string(row.logical));
    SlotDevice device;
    Process p(device, 1);
    WithoutService(p);
    FakeMemory& m = device.memory;
    const uint32_t mask = uint32_t{1} << row.bit;
    ASSERT_EQ(p.pins.AllocatePin(row.logical, true), kPinOk);
    int owned = 0;
    for (size_t i = 0; i < 34; ++i) owned += m.Ownership(i);
    EXPECT_EQ(owned, 1);
    EXPECT_EQ(m.Ownership(row.index), 1);

    const size_t levelReg = row.companion ? row.reg : 4 * row.reg;
    auto setLevelBit = [&](bool high) {
      if (row.companion)
        m.SetCompanionWord(levelReg, high ? (kOtherBits | mask) : (kOtherBits & ~mask));
      else
        m.SetGpioWord(levelReg, high ? (kOtherBits | mask) : (kOtherBits & ~mask));
    };
    setLevelBit(true);
    EXPECT_EQ(p.pins.GetPinLevel(row.logical), 1);
    setLevelBit(false);
    EXPECT_EQ(p.pins.GetPinLevel(row.logical), 0);

    if (!row.output) {
      EXPECT_EQ(p.pins.SetPinLevel(row.logical, true), kPinInvalid);
    } else if (row.companion) {
      m.SetCompanionWord(row.reg, kOtherBits & ~mask);
      ASSERT_EQ(p.pins.SetPinLevel(row.logical, true), kPinOk);
      EXPECT_EQ(m.CompanionWord(row.reg), kOtherBits | mask);
      ASSERT_EQ(p.pins.SetPinLevel(row.logical, false), kPinOk);
      EXPECT_EQ(m.CompanionWord(row.reg), kOtherBits & ~mask);
      for (size_t bank = 0; bank < 3; ++bank) {
        EXPECT_EQ(m.GpioWord(0x18 + 4 * bank), 0u);
        EXPECT_EQ(m.GpioWord(0x24 + 4 * bank), 0u);
      }
    } else {
      const size_t gpsr = 0x18 + 4 * row.reg, gpcr = 0x24 + 4 * row.reg;
      // The set and clear registers take a plain write of the mask.
      m.SetGpioWord(gpsr, kOtherBits);
      ASSERT_EQ(p.pins.SetPinLevel(row.logical, true), kPinOk);
      EXPECT_EQ(m.GpioWord(gpsr), mask);
      EXPECT_EQ(m.GpioWord(gpcr), 0u);
      m.SetGpioWord(gpcr, kOtherBits);
      ASSERT_EQ(p.pins.SetPinLevel(row.logical, false), kPinOk);
      EXPECT_EQ(m.GpioWord(gpcr), mask);
      EXPECT_EQ(m.CompanionWord(0x0C), 0u);
      EXPECT_EQ(m.CompanionWord(0x2B0), 0u);
    }
    ASSERT_EQ(p.pins.AllocatePin(row.logical, false), kPinOk);
    EXPECT_EQ(m.Ownership(row.index), 0);
  }
}

}  // namespace
