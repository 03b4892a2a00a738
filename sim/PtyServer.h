#pragma once
// Serves the reader emulator on the master side of a pseudo-terminal. The application opens
// the slave device (SlavePath) as it would open a serial port; the server answers on its
// own thread, so an application that blocks its user-interface thread in fixed waits never
// holds the reader up.
//
// The server keeps a descriptor of the slave open for its whole life. Without it the master
// would report a hang-up (EIO, POLLHUP) before the application opens the slave and every
// time it closes and reopens it.
//
// All public calls are thread-safe.

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/UniqueFd.h"
#include "sim/ReaderEmulator.h"

namespace sim {

using platform::UniqueFd;

// One byte at 9600 baud with 8 data bits, no parity and one stop bit is 10 bit times.
inline constexpr std::chrono::microseconds kByteTime{1042};

// With pacing on, the server hands the application no byte before it could have arrived
// over a 9600 baud line; off, answers go out at once, for fast tests.
enum class Pacing { Off, On };

struct ServerOptions {
  EmulatorOptions emulator;
  Pacing pacing = Pacing::On;
};

class PtyServer {
 public:
  explicit PtyServer(ServerOptions options = {});
  // Stops the server if it runs.
  ~PtyServer();

  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Creates the pseudo-terminal (slave raw, 9600 baud) and starts serving. Returns 0, or -1
  // with the reason in ErrorText() when the pseudo-terminal cannot be made or the server
  // runs already. After Stop it may be started again, on a new pseudo-terminal.
  int Start();
  // Ends the thread and closes the pseudo-terminal; the slave path stops existing. Safe to
  // call more than once and without Start.
  void Stop();
  bool IsRunning() const;

  // The slave device, e.g. "/dev/pts/7"; empty before Start.
  std::string SlavePath() const;
  std::string ErrorText() const;

  // The emulator's model, as in ReaderEmulator.
  [[nodiscard]] bool PutTag(Tag tag);
  [[nodiscard]] bool PutTransponder(const Transponder& transponder);
  void RemoveTag();
  std::optional<Tag> TagInField() const;
  std::optional<Transponder> TransponderInField() const;
  [[nodiscard]] bool SetWriteLock(WriteLock lock);
  void SendResetReport();
  // Switching off also drops the bytes the server has not yet written.
  void SetPowered(bool powered);
  bool IsPowered() const;
  void SetFault(Fault fault, int count = 1);
  ReaderConfig Config() const;
  void SetConfig(const ReaderConfig& config);
  std::vector<std::string> ReceivedLines() const;
  // The firmware loader; the image is a copy taken under the lock.
  void SetLoaderStatus(LoaderStatus status);
  LoaderStatus CurrentLoaderStatus() const;
  FirmwareImage ReceivedImage() const;
  [[nodiscard]] bool SetRecordFault(Fault fault, std::size_t record);
  Fault RecordFault() const;

  void SetPacing(Pacing pacing);

 private:
  using Clock = std::chrono::steady_clock;

  void Run();
  // Hands everything the application wrote to the engine.
  void ReadInput();
  // The engine's time since the server was made. Events are stamped rounded up and polls
  // rounded down, so no delay the engine computes comes out short on the real clock.
  Time EventTime(Clock::time_point now) const;
  Time PollTime(Clock::time_point now) const;
  // The next four are called with mutex_ held.
  // Writes what pacing lets out at now.
  void WriteDue(Clock::time_point now);
  // When the loop has to wake next for output; nothing when only input can wake it.
  std::optional<Clock::time_point> NextWake() const;
  int Fail(const char* what, int error);
  // Makes the loop look at the engine again.
  void Wake();

  const Clock::time_point epoch_ = Clock::now();

  // Serialises Start and Stop; mutex_ guards everything the loop shares with callers.
  std::mutex lifecycle_;
  mutable std::mutex mutex_;
  ReaderEmulator engine_;
  Pacing pacing_;
  std::string pending_;                          // bytes from the engine not yet written
  std::optional<Clock::time_point> nextByteAt_;  // when the first pending byte may go
  Clock::time_point lineFreeAt_;                 // when the last byte written arrived
  bool writeBlocked_ = false;                    // the slave's input buffer was full
  bool stopping_ = false;
  std::string error_;
  std::string slavePath_;

  UniqueFd master_;
  UniqueFd slave_;
  UniqueFd wake_;
  std::thread thread_;
};

}  // namespace sim
