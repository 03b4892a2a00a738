#pragma once
// The reader module as a protocol engine without I/O. Command bytes go in together with the
// time they arrived; answer bytes come out of Poll once they are due. Time is whatever
// monotonic count the caller keeps (a steady clock in the pty server, plain numbers of
// milliseconds in tests), so nothing here sleeps or reads a clock.
//
// What the engine models: the firmware version and command set it reports, the reader's
// settings bytes, the technologies it supports, at most one transponder in its field (a
// read-only tag or a writable transponder), the supply pin, the firmware loader that takes
// a new image over the download commands ('I') and a set of named faults.
// Every line it sends ends in a carriage return and holds at most kMaxLineLength
// characters before it.
//
// The engine is not thread-safe; the pty server serialises all calls under its own lock.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Millis = std::chrono::milliseconds;
// A moment on the caller's monotonic clock. Finer than the delays, so that a server on a
// real clock can hand its time over without rounding a delay short.
using Time = std::chrono::microseconds;

inline constexpr char kCarriageReturn = '\r';
// Longest line the reader sends, not counting its carriage return.
inline constexpr std::size_t kMaxLineLength = 34;
// A tag line is the type code, the code and one check character within kMaxLineLength.
inline constexpr std::size_t kMaxCodeLength = kMaxLineLength - 3;
// Longest command line kept; a longer one is discarded whole when its carriage return comes.
inline constexpr std::size_t kMaxCommandLength = 64;
// How many received command lines the engine remembers for inspection.
inline constexpr std::size_t kHistoryLength = 64;

// Time from the scan status S1 to the scan's result.
inline constexpr Millis kScanDelay{100};
// Extra time an answer takes under Fault::Delay.
inline constexpr Millis kFaultDelay{500};
// Gap between the two parts of a line under Fault::SplitBytes. Longer than the application's
// 50 ms receive tick, so the first part is read on its own.
inline constexpr Millis kSplitPause{80};

// Bits of the option byte and of the HDX bytes the engine acts on.
inline constexpr uint8_t kOptionReadOnce = 0x40;
inline constexpr uint8_t kHdxBit = 0x80;

// Faults the engine can inject. Each applies to a number of commands (SetFault) and is
// used up only by commands it applies to. Set commands are the settings commands ('c',
// 'r') and block writes ('w'); the firmware download commands ('I') are no set commands.
// SetRecordFault aims NoAnswer, AnswerNO or Garbage at one record of a firmware image.
enum class Fault {
  None,
  NoAnswer,    // any known command is lost: nothing is done and nothing is answered
  AnswerNO,    // set commands are refused: echo + "NO", nothing is stored
  BadEcho,     // set commands come back with one wrong character in their echo. A settings
               // command is not carried out and gets "OK" (the application checks the echo
               // and sends again); a block write is carried out and keeps its own "OK" or
               // "NO", since the application reads only the end of a write answer
  Garbage,     // any known command is carried out, but its whole answer (scan result
               // included) is replaced by one line of random printable characters; for a
               // block write or a download command the line starts with the command's
               // letter and ends in neither "OK" nor "NO", so that it reaches the write
               // procedure or the download dialog as an answer it cannot understand
  SplitBytes,  // the first answer line arrives in two parts, kSplitPause apart
  DropByte,    // the middle character of the first answer line is lost
  Delay,       // the whole answer comes faultDelay later than it would
};

// Count for SetFault: the fault applies to every command until it is set to Fault::None.
inline constexpr int kEveryCommand = -1;

// A transponder in the reader's field: the two-character type code the reader reports
// ("08" ISO FDX-b, "80" PSK1, "A0" HDX ...) and its code as the reader sends it.
struct Tag {
  std::string type;
  std::string code;
  friend bool operator==(const Tag&, const Tag&) = default;
};

// Data blocks of a writable transponder, at block addresses 2 to 7.
inline constexpr std::size_t kTransponderBlocks = 6;
inline constexpr uint8_t kFirstTransponderBlock = 2;
// Block count of a blank transponder, so that it reads back every block written to it.
inline constexpr int kDefaultBlockCount = 7;

// Whether a writable transponder refuses writes.
enum class WriteLock { Off, On };

// A writable transponder of the FLEX technology. Block writes ('w') store data words at
// addresses 2 to 7 and set the block count (3, 5 or 7) through address 0. A scan reads it
// as the tag "1" + block count (type "13", "15" or "17") with the code carried by its data
// blocks; see TransponderTag. Its memory keeps every block written until it is replaced by
// another transponder: a short code written over a longer one reads back with the longer
// one's remaining blocks, as a real transponder would.
struct Transponder {
  // 3, 5 or 7: how many data blocks a scan reads, from address 2 on. 7 covers all six.
  int blockCount = kDefaultBlockCount;
  WriteLock lock = WriteLock::Off;
  // Data words by address, index 0 for address 2; empty until that block is written.
  std::array<std::optional<uint32_t>, kTransponderBlocks> blocks{};
  friend bool operator==(const Transponder&, const Transponder&) = default;
};

// The reader's settings as they travel in the 'C', 'R', 'c' and 'r' lines. The defaults are
// those of a reader fresh from the factory: LED on, every technology it supports read.
struct ReaderConfig {
  uint8_t option = 0x20;
  uint8_t iso = 0x00;
  uint8_t tagTypes = 0xFF;
  uint8_t hdx = kHdxBit;
  uint8_t supportedTypes = 0xFF;
  uint8_t hdxSupported = kHdxBit;
  friend bool operator==(const ReaderConfig&, const ReaderConfig&) = default;
};

// What the module reports in its answer to the download status query "I". The letters are
// the module's own: 'C' and 'D' are states of the running firmware, from which "I0"
// switches to the loading mode; 'E' is the loading mode, which takes records. A module whose
// firmware predates the download commands refuses them all with "NO".
enum class LoaderStatus { C, D, E, OldFirmware };
// The letter of a status in the answer to the status query; 0 for OldFirmware, which has
// none.
char LoaderStatusLetter(LoaderStatus status);

// The status query is answered "I:" + letter + "OK", a record taken "IOK", "I0", "I1" and
// "I2" with themselves + "OK"; whatever the loader refuses (everything, for old firmware)
// is answered with this line.
inline constexpr std::string_view kLoaderRefusal = "INO";
// A record frame is 'I', then the 42 characters of a file record that the dialog sends: 40
// hexadecimal digits of content and the two hexadecimal key digits.
inline constexpr std::size_t kRecordTextLength = 42;
inline constexpr std::size_t kRecordFrameLength = 1 + kRecordTextLength;

// The image the loader has received, record texts (the 42 characters after the 'I') in the
// order they came. The first part holds the records before "I1", the second those after it.
struct FirmwareImage {
  std::vector<std::string> firstPart;
  std::vector<std::string> secondPart;
  // "I1" was taken: records now go to the second part.
  bool firstPartDone = false;
  // "I2" was taken: the image is whole. It stays for inspection until the next image begins
  // (a record or "I1" after it).
  bool complete = false;
  // Unfinished images dropped because the program began the image again from its start (a
  // new run after one that failed; see ReaderEmulator::OnLoaderStatus).
  int restarts = 0;
  friend bool operator==(const FirmwareImage&, const FirmwareImage&) = default;
};

// Whether the image was cut where its records say: the first part holds no record that
// reads as the split record and the second part begins with one. False for an image without
// a second part. A loader that places each part by the addresses in its records relies on
// this.
bool SplitsAtMarkedRecord(const FirmwareImage& image);

struct EmulatorOptions {
  // A '1' as the sixth character tells the application that configuration replies carry the
  // tag-type fields; any other firmware text makes it ask with 'R'.
  std::string firmware = "LF2.01";
  std::string commandSet = "CRSWI";
  ReaderConfig config;
  Millis scanDelay = kScanDelay;
  Millis faultDelay = kFaultDelay;
  // A module in the expansion slot starts without supply until the application raises the pin.
  bool powered = false;
  // Seed of the junk that Fault::Garbage sends, so a run can be repeated.
  uint32_t seed = 1;
  // The loader's status while no download has switched it to loading mode: a module
  // running its firmware, to be switched with "I0".
  LoaderStatus loaderStatus = LoaderStatus::C;
};

class ReaderEmulator {
 public:
  explicit ReaderEmulator(EmulatorOptions options = {});

  // Bytes from the application, received at time now. Complete command lines are handled
  // at once; their answers become due at now or later. Line feeds are ignored so that a
  // terminal program sending CR LF works. Dropped whole while unpowered.
  void Feed(std::string_view bytes, Time now);

  // Removes and returns the bytes due at time now, in the order they are sent. Answers keep
  // the order of their commands: an answer never overtakes one queued before it, so a
  // command sent during a scan is answered after the scan's result.
  std::string Poll(Time now);

  // When Poll can next return bytes; nothing when no output is pending.
  std::optional<Time> NextDue() const;

  // The supply pin. Switching off loses everything in flight (pending answers, a running
  // scan, a half-received command) and the memory of the last tag read; the settings stay.
  void SetPowered(bool powered);
  bool IsPowered() const { return powered_; }

  // Puts a read-only tag into the field, replacing any tag or transponder there. Returns
  // false and changes nothing when the tag cannot be sent in a tag line (see IsValidTag).
  [[nodiscard]] bool PutTag(Tag tag);
  // Puts a writable transponder into the field, replacing any tag or transponder there; a
  // default Transponder is a blank one. Returns false and changes nothing when its block
  // count is not 3, 5 or 7.
  [[nodiscard]] bool PutTransponder(const Transponder& transponder);
  // Takes whatever is in the field out of it, tag or transponder.
  void RemoveTag();
  // What a scan would report for the field: the tag put there, or the transponder as
  // TransponderTag reads it; nothing for an empty field. The settings may still keep the
  // scan from reading it (its technology switched off).
  std::optional<Tag> TagInField() const;
  const std::optional<Transponder>& TransponderInField() const { return transponder_; }
  // Locks or unlocks the transponder in the field. Returns false when there is none.
  [[nodiscard]] bool SetWriteLock(WriteLock lock);

  // Sends a reset report line (kResetReport) at time now, as the module does after an
  // internal reset: pending answers and a running scan are lost. Nothing while unpowered.
  void SendResetReport(Time now);

  // The next count commands the fault applies to get it; kEveryCommand for all of them.
  // Fault::None or a count of 0 clears it.
  void SetFault(Fault fault, int count = 1);
  Fault ActiveFault() const { return fault_; }
  int FaultCount() const { return faultCount_; }

  const ReaderConfig& Config() const { return config_; }
  void SetConfig(const ReaderConfig& config) { config_ = config; }

  // The firmware loader. The status set here is also the one the module returns to once an
  // image is complete (after "I2" it runs the new firmware); "I0" switches it to
  // LoaderStatus::E until then. Records, "I1" and "I2" are taken only in LoaderStatus::E;
  // everything else is answered kLoaderRefusal. An image being received is kept.
  void SetLoaderStatus(LoaderStatus status);
  LoaderStatus CurrentLoaderStatus() const { return loaderStatus_; }
  const FirmwareImage& ReceivedImage() const { return image_; }
  // The record with this index in its image (counted from 0 over both parts, as in the
  // file) gets the fault, once: NoAnswer loses it (not stored, not answered), AnswerNO
  // refuses it with kLoaderRefusal (not stored), Garbage stores it and answers a junk line
  // beginning with 'I' (see Fault::Garbage). Fault::None clears it. Returns false and
  // changes nothing for the other faults. A record already refused for its form is not
  // counted as faulted and keeps the fault armed.
  [[nodiscard]] bool SetRecordFault(Fault fault, std::size_t record);
  Fault RecordFault() const { return recordFault_; }

  // The last kHistoryLength command lines received while powered, oldest first, without
  // their carriage returns.
  const std::deque<std::string>& ReceivedLines() const { return received_; }

  // A tag is valid when its type is two printable non-blank characters that do not start
  // another kind of reader line (V, S, X, C, R, c, r, I, w) and its code is at most
  // kMaxCodeLength printable characters (blanks allowed).
  static bool IsValidTag(const Tag& tag);
  // The line a scan sends for the tag, without the carriage return: type code, code and a
  // check character (the low four bits of the XOR of all bytes before it, as a hex digit).
  static std::string TagLine(const Tag& tag);
  // The tag a scan reads from a transponder: type "1" followed by its block count, and the
  // code of the data blocks it sends. Those are the blocks from address 2 on, up to the
  // first one never written and at most blockCount of them (7 means all six). Their data
  // words are joined into bytes as the application wrote them, the zero bytes that pad the
  // last block are dropped, and any byte that is not a printable character is sent as '?',
  // so that the tag line stays one line of text. The code has at most 15 characters, so the
  // line always fits. The block count must be a valid one, as PutTransponder ensures.
  static Tag TransponderTag(const Transponder& transponder);
  // Block counts a transponder can be set to.
  static bool IsValidBlockCount(int count);

  static constexpr std::string_view kResetReport = "X reset";

 private:
  // Query commands ask and get a reply; set commands change settings and are answered with
  // their echo followed by "OK" or "NO". Faults that concern echoes hit set commands only.
  // A block write is a set command whose echo the application does not check, which
  // changes what a bad echo or garbage does to it (see Fault).
  // Download commands ('I') are neither: a refusal of them is the loader's own answer, not
  // a setting refused, so the set-command faults leave them alone.
  enum class CommandKind { Query, Set, BlockWrite, Download };

  // What a handler wants sent: lines at once and, for a trigger, a scan result later.
  struct Answer {
    std::vector<std::string> lines;
    bool startsScan = false;
  };

  using Handler = Answer (ReaderEmulator::*)(std::string_view line);

  struct Command {
    Handler handler = nullptr;
    CommandKind kind = CommandKind::Query;
  };

  // An entry of the output queue: ready bytes, or a scan whose result is decided when due.
  struct Pending {
    Time due;
    std::string bytes;
    bool scanResult = false;
  };

  void HandleLine(std::string_view line, Time now);
  // Counts one command the active fault was applied to.
  void UseFault();
  void Queue(Time due, std::string bytes, bool scanResult = false);
  void QueueLine(Time due, std::string_view line);
  std::string ScanResult();
  bool ReadsType(std::string_view type) const;
  std::string GarbageLine();
  // A junk line that starts with letter and ends in neither "OK" nor "NO": it reaches the
  // dialog that sent the command as an answer it cannot understand.
  std::string GarbageAnswer(char letter);
  // Carries out a block write command; false when the transponder refuses it.
  bool WriteBlock(std::string_view line);

  // Handlers of the dispatch table, one per command letter.
  Answer OnVersion(std::string_view line);
  Answer OnReadConfig(std::string_view line);
  Answer OnReadTagTypes(std::string_view line);
  Answer OnTrigger(std::string_view line);
  Answer OnWriteConfig(std::string_view line);
  Answer OnWriteTagTypes(std::string_view line);
  Answer OnWriteBlock(std::string_view line);
  Answer OnDownload(std::string_view line);
  // The parts of OnDownload, by the command's form.
  Answer OnLoaderStatus();
  Answer OnLoadingMode();
  Answer OnRecord(std::string_view line);
  Answer OnFirstPartDone();
  Answer OnImageDone();
  // Clears a complete image when the next one begins.
  void StartNextImageIfComplete();
  // The first frame of the image after a status query in its middle: the frame the image
  // began with (its first record, or "I1" when it has no first part) begins it again;
  // any other goes on with it.
  void StartOverIfBegunAgain(std::string_view line);

  EmulatorOptions options_;
  ReaderConfig config_;
  std::array<Command, 256> commands_{};
  bool powered_;

  std::string input_;
  bool inputOverflow_ = false;
  std::deque<Pending> output_;
  std::deque<std::string> received_;

  // At most one of these holds a value: the field has room for one transponder.
  std::optional<Tag> tag_;
  std::optional<Transponder> transponder_;
  std::optional<Tag> lastRead_;

  Fault fault_ = Fault::None;
  int faultCount_ = 0;

  LoaderStatus bootStatus_;
  LoaderStatus loaderStatus_;
  FirmwareImage image_;
  // A status query came in the middle of an unfinished image, and no frame of it since.
  bool statusAskedInImage_ = false;
  Fault recordFault_ = Fault::None;
  std::size_t recordFaultIndex_ = 0;
  std::mt19937 random_;
};

}  // namespace sim
