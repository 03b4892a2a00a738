#pragma once
// An in-memory serial port service for tests: bytes the "reader" sends are queued with
// Feed(), bytes the program writes are collected in Written(), and each call can be made
// to fail.

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/Serial.h"

namespace platform {

class FakeSerialPorts : public ISerialPorts {
 public:
  // Ports that exist; "COM1:" by default.
  std::vector<fw::WString> names{u"COM1:"};

  // Failure switches.
  bool failOpen = false;
  uint32_t openError = kErrNotFound;
  bool failGetState = false;
  bool failSetState = false;
  bool failGetTimeouts = false;
  bool failSetTimeouts = false;
  bool failRead = false;
  // Writes: fail completely, or take at most this many bytes per call (-1: all).
  bool failWrite = false;
  int writeLimit = -1;
  // Fails the n-th write call from now (1 = the next one); 0 disables.
  int failNthWrite = 0;
  uint32_t lastErrorOnFailure = kErrGenFailure;

  // The reader side.
  void Feed(std::string_view bytes);
  size_t Pending() const;
  std::string Written() const { return written_; }
  void ClearWritten() {
    written_.clear();
    writeCalls_.clear();
  }
  // The write calls as they were made, one entry per call.
  const std::vector<std::string>& WriteCalls() const { return writeCalls_; }

  // What the program did.
  int openCount = 0;
  int closeCount = 0;
  bool IsOpen() const { return !open_.empty(); }
  Dcb stateOnOpen{1200, 7, 2, 2, false};  // what the "driver" reports before SetCommState
  CommTimeouts timeoutsOnOpen{10, 20, 30, 40, 50};
  Dcb LastState() const { return lastState_; }
  CommTimeouts LastTimeouts() const { return lastTimeouts_; }
  int readCalls = 0;
  // A descriptor handed out as the open port's readiness descriptor (-1: none, polled).
  int readinessFd = -1;

  // ISerialPorts
  CommHandle Open(const fw::WString& name) override;
  bool Close(CommHandle h) override;
  bool GetCommState(CommHandle h, Dcb& dcb) override;
  bool SetCommState(CommHandle h, const Dcb& dcb) override;
  bool GetCommTimeouts(CommHandle h, CommTimeouts& timeouts) override;
  bool SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) override;
  bool Read(CommHandle h, uint8_t* buffer, size_t size, size_t& read) override;
  bool Write(CommHandle h, const uint8_t* data, size_t size, size_t& written) override;
  uint32_t GetLastError() const override { return lastError_; }
  int ReadinessFd(CommHandle h) override { return Valid(h) ? readinessFd : -1; }
  fw::WString ErrorText(uint32_t error) const override;

 private:
  bool Valid(CommHandle h);
  bool Fail();

  std::map<CommHandle, bool> open_;
  CommHandle next_ = 1;
  std::deque<uint8_t> inbound_;
  std::string written_;
  std::vector<std::string> writeCalls_;
  Dcb lastState_{};
  CommTimeouts lastTimeouts_{};
  Dcb state_{};
  CommTimeouts timeouts_{};
  uint32_t lastError_ = kErrNone;
};

}  // namespace platform
