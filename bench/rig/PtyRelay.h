#pragma once
// A relay between the reader emulator's pseudo-terminal and a pseudo-terminal of its own,
// which the program under measurement opens as its serial port. The relay sees every byte
// in both directions at the moment it hands it on, so it can stamp the carriage return of a
// reader line as it reaches the program and the first command byte as it leaves it.
//
// Two knobs change the line without changing the emulator:
//   - a delay for the bytes from the reader, so that a line can be made to arrive at any
//     phase of the program's receive timer;
//   - pacing of the bytes to the reader at 9600 baud, so that a command takes its wire time
//     as it would on a real serial line (the emulator paces only its own answers).

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/UniqueFd.h"

namespace bench {

using Clock = std::chrono::steady_clock;

class PtyRelay {
 public:
  struct Line {
    std::string text;      // without the carriage return
    Clock::time_point at;  // when the carriage return was handed on
  };

  PtyRelay() = default;
  ~PtyRelay();
  PtyRelay(const PtyRelay&) = delete;
  PtyRelay& operator=(const PtyRelay&) = delete;

  // Opens the reader's device (the emulator's slave) and a new pseudo-terminal for the
  // program; starts the relay thread. 0, or -1 with a reason in ErrorText().
  int Start(const std::string& readerDevice, bool paceToReader);
  void Stop();
  // The device the program opens.
  std::string SlavePath() const { return slavePath_; }
  std::string ErrorText() const { return error_; }

  // Bytes that come from the reader from now on are handed on this much later.
  void SetDelay(std::chrono::microseconds delay);

  // Lines that reached the program and lines that reached the reader, with their times,
  // since the last call.
  std::vector<Line> TakeLinesToProgram();
  std::vector<Line> TakeLinesToReader();
  // When the first byte from the program was seen; none before that.
  std::optional<Clock::time_point> FirstByteFromProgram() const;

 private:
  struct Due {
    char byte;
    Clock::time_point at;
  };
  void Run();
  void ReadSide(int fd, bool fromReader, Clock::time_point now);
  void Flush(Clock::time_point now);

  std::string slavePath_;
  std::string error_;
  platform::UniqueFd reader_;  // the emulator's slave
  platform::UniqueFd master_;  // our pseudo-terminal's master
  platform::UniqueFd slave_;   // held open so that the master never hangs up
  platform::UniqueFd wake_;
  std::thread thread_;
  bool pace_ = false;

  mutable std::mutex mutex_;
  bool stopping_ = false;
  std::chrono::microseconds delay_{0};
  std::vector<Due> toProgram_;
  std::vector<Due> toReader_;
  Clock::time_point lastToProgram_{};
  Clock::time_point lastToReader_{};
  std::string partialToProgram_;
  std::string partialToReader_;
  std::vector<Line> linesToProgram_;
  std::vector<Line> linesToReader_;
  std::optional<Clock::time_point> firstFromProgram_;
};

}  // namespace bench
