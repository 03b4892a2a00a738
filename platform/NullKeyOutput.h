#pragma once
// Key output that types nothing and keeps nothing: for a terminal or a machine without a
// keyboard to type into (--keys none). Memory stays the same however many codes are read.

#include "platform/KeyOutput.h"

namespace platform {

class NullKeyOutput final : public IKeyOutput {
 public:
  void KeybdEvent(uint8_t, uint8_t, uint32_t, uintptr_t) override {}
  bool PostKeybdMessage(intptr_t, unsigned, unsigned, unsigned, const unsigned*, const uint32_t*) override {
    return true;
  }
};

}  // namespace platform
