#include "tests/fakes/FakeSerialPorts.h"

#include <algorithm>

namespace platform {

void FakeSerialPorts::Feed(std::string_view bytes) {
  for (char c : bytes) inbound_.push_back(static_cast<uint8_t>(c));
}

size_t FakeSerialPorts::Pending() const { return inbound_.size(); }

bool FakeSerialPorts::Valid(CommHandle h) {
  if (open_.count(h)) return true;
  lastError_ = kErrInvalidHandle;
  return false;
}

bool FakeSerialPorts::Fail() {
  lastError_ = lastErrorOnFailure;
  return false;
}

CommHandle FakeSerialPorts::Open(const fw::WString& name) {
  ++openCount;
  if (failOpen) {
    lastError_ = openError;
    return 0;
  }
  if (std::find(names.begin(), names.end(), name) == names.end()) {
    lastError_ = kErrNotFound;
    return 0;
  }
  if (!open_.empty()) {
    lastError_ = kErrSharingViolation;
    return 0;
  }
  const CommHandle h = next_++;
  open_[h] = true;
  state_ = stateOnOpen;
  timeouts_ = timeoutsOnOpen;
  lastError_ = kErrNone;
  return h;
}

bool FakeSerialPorts::Close(CommHandle h) {
  if (!Valid(h)) return false;
  open_.erase(h);
  ++closeCount;
  return true;
}

bool FakeSerialPorts::GetCommState(CommHandle h, Dcb& dcb) {
  if (!Valid(h)) return false;
  if (failGetState) return Fail();
  dcb = state_;
  return true;
}

bool FakeSerialPorts::SetCommState(CommHandle h, const Dcb& dcb) {
  if (!Valid(h)) return false;
  if (failSetState) return Fail();
  state_ = dcb;
  lastState_ = dcb;
  return true;
}

bool FakeSerialPorts::GetCommTimeouts(CommHandle h, CommTimeouts& timeouts) {
  if (!Valid(h)) return false;
  if (failGetTimeouts) return Fail();
  timeouts = timeouts_;
  return true;
}

bool FakeSerialPorts::SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) {
  if (!Valid(h)) return false;
  if (failSetTimeouts) return Fail();
  timeouts_ = timeouts;
  lastTimeouts_ = timeouts;
  return true;
}

bool FakeSerialPorts::Read(CommHandle h, uint8_t* buffer, size_t size, size_t& read) {
  read = 0;
  ++readCalls;
  if (!Valid(h)) return false;
  if (failRead) return Fail();
  while (read < size && !inbound_.empty()) {
    buffer[read++] = inbound_.front();
    inbound_.pop_front();
  }
  return true;
}

bool FakeSerialPorts::Write(CommHandle h, const uint8_t* data, size_t size, size_t& written) {
  written = 0;
  if (!Valid(h)) return false;
  if (failNthWrite > 0 && --failNthWrite == 0) return Fail();
  if (failWrite) return Fail();
  size_t take = size;
  if (writeLimit >= 0) take = std::min(size, static_cast<size_t>(writeLimit));
  std::string call(reinterpret_cast<const char*>(data), take);
  written_ += call;
  writeCalls_.push_back(call);
  written = take;
  return true;
}

fw::WString FakeSerialPorts::ErrorText(uint32_t error) const {
  if (error == kErrNone) return u"";
  return u"Fake error " + fw::Widen(std::to_string(error)) + u"\r\n";
}

}  // namespace platform
