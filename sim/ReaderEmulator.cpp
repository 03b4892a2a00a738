#include "sim/ReaderEmulator.h"

#include <algorithm>
#include <span>
#include <utility>

#include "download/EhxRecord.h"
#include "writetag/BlockFrameDecoder.h"
#include "writetag/BlockFrames.h"

namespace sim {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Printable junk for Fault::Garbage: long enough to look like a line, never a blank or a
// control character, so it cannot be mistaken for a short scan state.
constexpr std::size_t kGarbageMinLength = 8;
constexpr char kGarbageFirst = 0x21;
constexpr char kGarbageLast = 0x7E;

constexpr char kPrintableFirst = 0x20;
constexpr char kPrintableLast = 0x7E;

// First characters of every line kind that is not a tag line; a tag type starting with one
// of them would be taken for that kind by the application.
constexpr std::string_view kLineKindLetters = "VSXCRcrIw";

// 'c' + option, ISO and tag-type bytes + "xxxx"; 'r' + tag-type and HDX bytes.
constexpr std::size_t kWriteConfigLength = 11;
constexpr std::size_t kWriteTagTypesLength = 5;
constexpr std::string_view kWriteConfigTail = "xxxx";

constexpr std::string_view kOk = "OK";
constexpr std::string_view kNo = "NO";
// "I1", the end of an image's first part.
constexpr std::string_view kFirstPartDone = "I1";

// Stands in a read-back code for a byte that is no printable character.
constexpr char kUnprintableByte = '?';

static_assert(kTransponderBlocks == writetag::MAX_DATA_BLOCKS);
static_assert(kRecordTextLength == download::kRecordSentSize);
static_assert(kFirstTransponderBlock == writetag::kFirstDataBlockAddress);

std::string Hex2(uint8_t value) { return {kHexDigits[value >> 4], kHexDigits[value & 0x0F]}; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

// The byte written as two hexadecimal digits at pos of text; nothing when they are not.
std::optional<uint8_t> HexByte(std::string_view text, std::size_t pos) {
  if (pos + 2 > text.size()) {
    return std::nullopt;
  }
  const int high = HexValue(text[pos]);
  const int low = HexValue(text[pos + 1]);
  if (high < 0 || low < 0) {
    return std::nullopt;
  }
  return static_cast<uint8_t>(high * 16 + low);
}

bool IsPrintable(char c) { return c >= kPrintableFirst && c <= kPrintableLast; }

// The command text followed by "OK" or "NO", cut so that the suffix always fits the line.
std::string Echo(std::string_view line, std::string_view suffix) {
  std::string echo(line.substr(0, kMaxLineLength - suffix.size()));
  echo += suffix;
  return echo;
}

// An answer made by Echo with the first parameter character of its echo changed, as if one
// byte had been corrupted on the way back; an echo of the bare letter gets a '?' added.
std::string SpoilEcho(std::string answer) {
  const std::size_t echoLength = answer.size() - kOk.size();
  if (echoLength < 2) {
    answer.insert(1, 1, '?');
  } else {
    answer[1] = answer[1] == '?' ? '!' : '?';
  }
  return answer;
}

bool AppliesTo(Fault fault, bool isSetCommand) {
  switch (fault) {
    case Fault::None:
      return false;
    case Fault::AnswerNO:
    case Fault::BadEcho:
      return isSetCommand;
    case Fault::NoAnswer:
    case Fault::Garbage:
    case Fault::SplitBytes:
    case Fault::DropByte:
    case Fault::Delay:
      return true;
  }
  return false;
}

// Technology bits of the tag-type byte by the type code the reader reports.
struct TypeBit {
  std::string_view type;
  uint8_t bit;
};
constexpr std::array<TypeBit, 10> kTypeBits = {{
    {"80", 0x80},
    {"40", 0x40},
    {"20", 0x20},
    {"13", 0x10},
    {"15", 0x10},
    {"17", 0x10},
    {"08", 0x08},
    {"04", 0x04},
    {"02", 0x02},
    {"01", 0x01},
}};
constexpr std::array<std::string_view, 2> kHdxTypes = {"A0", "A7"};

}  // namespace

char LoaderStatusLetter(LoaderStatus status) {
  switch (status) {
    case LoaderStatus::C:
      return 'C';
    case LoaderStatus::D:
      return 'D';
    case LoaderStatus::E:
      return 'E';
    case LoaderStatus::OldFirmware:
      return 0;
  }
  return 0;
}

namespace {

bool ReadsAsSplit(const std::string& record) {
  return download::IsSplitRecord(std::span(reinterpret_cast<const uint8_t*>(record.data()), record.size()));
}

}  // namespace

bool SplitsAtMarkedRecord(const FirmwareImage& image) {
  return !image.secondPart.empty() && ReadsAsSplit(image.secondPart.front()) &&
         std::none_of(image.firstPart.begin(), image.firstPart.end(), ReadsAsSplit);
}

ReaderEmulator::ReaderEmulator(EmulatorOptions options)
    : options_(std::move(options)),
      config_(options_.config),
      powered_(options_.powered),
      bootStatus_(options_.loaderStatus),
      loaderStatus_(options_.loaderStatus),
      random_(options_.seed) {
  commands_['V'] = {&ReaderEmulator::OnVersion, CommandKind::Query};
  commands_['C'] = {&ReaderEmulator::OnReadConfig, CommandKind::Query};
  commands_['R'] = {&ReaderEmulator::OnReadTagTypes, CommandKind::Query};
  commands_['S'] = {&ReaderEmulator::OnTrigger, CommandKind::Query};
  commands_['c'] = {&ReaderEmulator::OnWriteConfig, CommandKind::Set};
  commands_['r'] = {&ReaderEmulator::OnWriteTagTypes, CommandKind::Set};
  commands_['w'] = {&ReaderEmulator::OnWriteBlock, CommandKind::BlockWrite};
  commands_['I'] = {&ReaderEmulator::OnDownload, CommandKind::Download};
}

void ReaderEmulator::Feed(std::string_view bytes, Time now) {
  if (!powered_) {
    return;
  }
  for (const char c : bytes) {
    if (c == '\n') {
      continue;
    }
    if (c == kCarriageReturn) {
      const std::string line = std::move(input_);
      const bool overflow = inputOverflow_;
      input_.clear();
      inputOverflow_ = false;
      if (!overflow) {
        HandleLine(line, now);
      }
      continue;
    }
    if (input_.size() >= kMaxCommandLength) {
      inputOverflow_ = true;
      continue;
    }
    input_.push_back(c);
  }
}

std::string ReaderEmulator::Poll(Time now) {
  std::string out;
  if (!powered_) {
    return out;
  }
  while (!output_.empty() && output_.front().due <= now) {
    Pending pending = std::move(output_.front());
    output_.pop_front();
    if (pending.scanResult) {
      out += ScanResult();
      out += kCarriageReturn;
    } else {
      out += pending.bytes;
    }
  }
  return out;
}

std::optional<Time> ReaderEmulator::NextDue() const {
  if (output_.empty()) {
    return std::nullopt;
  }
  return output_.front().due;
}

void ReaderEmulator::SetPowered(bool powered) {
  powered_ = powered;
  if (!powered) {
    output_.clear();
    input_.clear();
    inputOverflow_ = false;
    lastRead_.reset();
    // The loading mode lives in the module's memory: without supply it starts again in the
    // status it was set to, and an unfinished image is lost. A complete one stays for
    // inspection.
    loaderStatus_ = bootStatus_;
    statusAskedInImage_ = false;
    if (!image_.complete) {
      image_ = {};
    }
  }
}

bool ReaderEmulator::PutTag(Tag tag) {
  if (!IsValidTag(tag)) {
    return false;
  }
  tag_ = std::move(tag);
  transponder_.reset();
  return true;
}

bool ReaderEmulator::PutTransponder(const Transponder& transponder) {
  if (!IsValidBlockCount(transponder.blockCount)) {
    return false;
  }
  transponder_ = transponder;
  tag_.reset();
  return true;
}

void ReaderEmulator::RemoveTag() {
  tag_.reset();
  transponder_.reset();
}

std::optional<Tag> ReaderEmulator::TagInField() const {
  if (transponder_) {
    return TransponderTag(*transponder_);
  }
  return tag_;
}

bool ReaderEmulator::SetWriteLock(WriteLock lock) {
  if (!transponder_) {
    return false;
  }
  transponder_->lock = lock;
  return true;
}

void ReaderEmulator::SendResetReport(Time now) {
  if (!powered_) {
    return;
  }
  output_.clear();
  input_.clear();
  inputOverflow_ = false;
  lastRead_.reset();
  QueueLine(now, kResetReport);
}

void ReaderEmulator::SetLoaderStatus(LoaderStatus status) {
  bootStatus_ = status;
  loaderStatus_ = status;
}

bool ReaderEmulator::SetRecordFault(Fault fault, std::size_t record) {
  switch (fault) {
    case Fault::None:
    case Fault::NoAnswer:
    case Fault::AnswerNO:
    case Fault::Garbage:
      recordFault_ = fault;
      recordFaultIndex_ = fault == Fault::None ? 0 : record;
      return true;
    default:
      return false;
  }
}

void ReaderEmulator::SetFault(Fault fault, int count) {
  if (fault == Fault::None || count == 0) {
    fault_ = Fault::None;
    faultCount_ = 0;
    return;
  }
  fault_ = fault;
  faultCount_ = count < 0 ? kEveryCommand : count;
}

bool ReaderEmulator::IsValidTag(const Tag& tag) {
  if (tag.type.size() != 2 || tag.code.size() > kMaxCodeLength) {
    return false;
  }
  for (const char c : tag.type) {
    if (c == ' ' || !IsPrintable(c)) {
      return false;
    }
  }
  if (kLineKindLetters.find(tag.type[0]) != std::string_view::npos) {
    return false;
  }
  return std::all_of(tag.code.begin(), tag.code.end(), IsPrintable);
}

std::string ReaderEmulator::TagLine(const Tag& tag) {
  std::string line = tag.type + tag.code;
  uint8_t check = 0;
  for (const char c : line) {
    check ^= static_cast<uint8_t>(c);
  }
  line += kHexDigits[check & 0x0F];
  return line;
}

Tag ReaderEmulator::TransponderTag(const Transponder& transponder) {
  const auto sent = std::min<std::size_t>(static_cast<std::size_t>(transponder.blockCount), kTransponderBlocks);
  std::vector<uint32_t> words;
  for (std::size_t i = 0; i < sent && transponder.blocks[i]; ++i) {
    words.push_back(*transponder.blocks[i]);
  }
  std::string code = writetag::CodeFromBlockWords(words);
  for (char& c : code) {
    if (!IsPrintable(c)) {
      c = kUnprintableByte;
    }
  }
  return {"1" + std::to_string(transponder.blockCount), std::move(code)};
}

bool ReaderEmulator::IsValidBlockCount(int count) { return count == 3 || count == 5 || count == 7; }

void ReaderEmulator::HandleLine(std::string_view line, Time now) {
  if (line.empty()) {
    return;
  }
  received_.emplace_back(line);
  if (received_.size() > kHistoryLength) {
    received_.pop_front();
  }

  const Command& command = commands_[static_cast<uint8_t>(line[0])];
  if (command.handler == nullptr) {
    return;
  }
  const bool isWrite = command.kind == CommandKind::BlockWrite;
  const bool isSet = command.kind == CommandKind::Set || isWrite;
  // Answers that the application hands to a dialog by their first letter.
  const bool answersByLetter = isWrite || command.kind == CommandKind::Download;
  const Fault fault = AppliesTo(fault_, isSet) ? fault_ : Fault::None;

  // Faults that stand for a command lost or refused on the way act before the reader does.
  switch (fault) {
    case Fault::NoAnswer:
      UseFault();
      return;
    case Fault::AnswerNO:
      UseFault();
      QueueLine(now, Echo(line, kNo));
      return;
    case Fault::BadEcho:
      UseFault();
      if (isWrite) {
        // The write goes ahead; only its echo is spoiled on the way back.
        QueueLine(now, SpoilEcho((this->*command.handler)(line).lines.front()));
      } else {
        QueueLine(now, SpoilEcho(Echo(line, kOk)));
      }
      return;
    default:
      break;
  }

  Answer answer = (this->*command.handler)(line);
  if (answer.lines.empty()) {
    return;
  }
  // The remaining faults spoil the answer on its way back; the command itself took effect.
  if (fault != Fault::None) {
    UseFault();
  }
  Time due = now;
  if (fault == Fault::Delay) {
    due += options_.faultDelay;
  }
  if (fault == Fault::Garbage) {
    answer.lines = {answersByLetter ? GarbageAnswer(line.front()) : GarbageLine()};
    answer.startsScan = false;
  }

  std::string first = answer.lines.front().substr(0, kMaxLineLength);
  if (fault == Fault::DropByte) {
    first.erase(first.size() / 2, 1);
  }
  if (fault == Fault::SplitBytes) {
    const std::string bytes = first + kCarriageReturn;
    const std::size_t half = bytes.size() / 2;
    Queue(due, bytes.substr(0, half));
    Queue(due + kSplitPause, bytes.substr(half));
  } else {
    QueueLine(due, first);
  }
  for (std::size_t i = 1; i < answer.lines.size(); ++i) {
    QueueLine(due, answer.lines[i]);
  }
  if (answer.startsScan) {
    Queue(due + options_.scanDelay, {}, true);
  }
}

void ReaderEmulator::UseFault() {
  if (faultCount_ > 0 && --faultCount_ == 0) {
    fault_ = Fault::None;
  }
}

// The queue is first in, first out: an entry whose time has come still waits for the
// entries before it, so answers keep the order of their commands.
void ReaderEmulator::Queue(Time due, std::string bytes, bool scanResult) {
  output_.push_back({due, std::move(bytes), scanResult});
}

void ReaderEmulator::QueueLine(Time due, std::string_view line) {
  std::string bytes(line.substr(0, kMaxLineLength));
  bytes += kCarriageReturn;
  Queue(due, std::move(bytes));
}

std::string ReaderEmulator::ScanResult() {
  std::optional<Tag> tag = TagInField();
  if (!tag || !ReadsType(tag->type)) {
    return "S0";
  }
  // A transponder whose code was rewritten counts as a different tag.
  if ((config_.option & kOptionReadOnce) != 0 && lastRead_ == tag) {
    return "SS";
  }
  lastRead_ = tag;
  return TagLine(*tag);
}

// A technology is read when it is both supported and switched on in the settings. Type codes
// without a technology bit (ISO Industrial, ATEX71, anything else) are always read.
bool ReaderEmulator::ReadsType(std::string_view type) const {
  for (const TypeBit& entry : kTypeBits) {
    if (entry.type == type) {
      return (config_.tagTypes & config_.supportedTypes & entry.bit) != 0;
    }
  }
  for (const std::string_view hdxType : kHdxTypes) {
    if (hdxType == type) {
      return (config_.hdx & config_.hdxSupported & kHdxBit) != 0;
    }
  }
  return true;
}

std::string ReaderEmulator::GarbageLine() {
  std::uniform_int_distribution<std::size_t> length(kGarbageMinLength, kMaxLineLength);
  std::uniform_int_distribution<int> character(kGarbageFirst, kGarbageLast);
  std::string line(length(random_), ' ');
  for (char& c : line) {
    c = static_cast<char>(character(random_));
  }
  return line;
}

std::string ReaderEmulator::GarbageAnswer(char letter) {
  std::string junk = GarbageLine();
  junk.front() = letter;
  const std::string_view end = std::string_view(junk).substr(junk.size() - kOk.size());
  if (end == kOk || end == kNo) {
    junk.back() = '#';
  }
  return junk;
}

// Queries take no parameters: a query letter followed by anything is not understood and
// gets no answer, like any other unknown command.

ReaderEmulator::Answer ReaderEmulator::OnVersion(std::string_view line) {
  if (line.size() != 1) {
    return {};
  }
  return {{"V" + options_.firmware + " " + options_.commandSet}};
}

ReaderEmulator::Answer ReaderEmulator::OnReadConfig(std::string_view line) {
  if (line.size() != 1) {
    return {};
  }
  return {{"C" + Hex2(config_.option) + Hex2(config_.iso) + Hex2(config_.tagTypes) + Hex2(config_.supportedTypes)}};
}

ReaderEmulator::Answer ReaderEmulator::OnReadTagTypes(std::string_view line) {
  if (line.size() != 1) {
    return {};
  }
  return {
      {"R" + Hex2(config_.tagTypes) + Hex2(config_.hdx) + Hex2(config_.supportedTypes) + Hex2(config_.hdxSupported)}};
}

ReaderEmulator::Answer ReaderEmulator::OnTrigger(std::string_view line) {
  if (line.size() != 1) {
    return {};
  }
  return {{"S1"}, true};
}

// Settings commands accept hexadecimal digits of either case; the echo repeats the command
// as received.
ReaderEmulator::Answer ReaderEmulator::OnWriteConfig(std::string_view line) {
  if (line.size() != kWriteConfigLength || line.substr(7) != kWriteConfigTail) {
    return {{Echo(line, kNo)}};
  }
  const auto option = HexByte(line, 1);
  const auto iso = HexByte(line, 3);
  const auto tagTypes = HexByte(line, 5);
  if (!option || !iso || !tagTypes) {
    return {{Echo(line, kNo)}};
  }
  config_.option = *option;
  config_.iso = *iso;
  config_.tagTypes = *tagTypes;
  return {{Echo(line, kOk)}};
}

ReaderEmulator::Answer ReaderEmulator::OnWriteTagTypes(std::string_view line) {
  const auto tagTypes = HexByte(line, 1);
  const auto hdx = HexByte(line, 3);
  if (line.size() != kWriteTagTypesLength || !tagTypes || !hdx) {
    return {{Echo(line, kNo)}};
  }
  config_.tagTypes = *tagTypes;
  config_.hdx = *hdx;
  return {{Echo(line, kOk)}};
}

// A block write is "w" and ten hexadecimal digits of either case (the 40-bit frame), and is
// answered with its echo followed by "OK" or "NO", like the settings commands.
ReaderEmulator::Answer ReaderEmulator::OnWriteBlock(std::string_view line) {
  return {{Echo(line, WriteBlock(line) ? kOk : kNo)}};
}

// Only a frame the transponder can take changes it: the blocks setting for 3, 5 or 7
// blocks at address 0, or a data block at addresses 2 to 7 with sound header and parity.
// Anything else (another length, a digit that is no hex digit, a broken parity, a data
// block at address 0 or 1, another block count) is refused, as is every write without a
// transponder, to a read-only tag or to a locked transponder.
bool ReaderEmulator::WriteBlock(std::string_view line) {
  if (!transponder_ || transponder_->lock == WriteLock::On) {
    return false;
  }
  const std::optional<writetag::DecodedFrame> frame = writetag::DecodeFrameText(line);
  if (!frame) {
    return false;
  }
  if (const std::optional<int> count = writetag::BlocksSettingCount(*frame)) {
    if (!IsValidBlockCount(*count)) {
      return false;
    }
    transponder_->blockCount = *count;
    return true;
  }
  if (!writetag::IsDataBlockFrame(*frame)) {
    return false;
  }
  transponder_->blocks[frame->address - kFirstTransponderBlock] = frame->dataWord;
  return true;
}

// The download commands: "I" the status query, "I0" the switch to the loading mode, a
// record frame, "I1" after the first part, "I2" after the second. Old firmware refuses
// them all; any other line beginning with 'I' is refused as well.
ReaderEmulator::Answer ReaderEmulator::OnDownload(std::string_view line) {
  if (loaderStatus_ == LoaderStatus::OldFirmware) {
    return {{std::string(kLoaderRefusal)}};
  }
  if (line == "I") {
    return OnLoaderStatus();
  }
  if (line == "I0") {
    return OnLoadingMode();
  }
  if (line == kFirstPartDone) {
    return OnFirstPartDone();
  }
  if (line == "I2") {
    return OnImageDone();
  }
  return OnRecord(line);
}

// The dialog asks for the status before the first record of a run, and again when it
// retries after an answer that did not come; a retry then goes on with the frame that was
// not acknowledged, so the loader keeps what it has taken. A new run after one that failed
// sends the image from its start again, which the frame after the query shows.
ReaderEmulator::Answer ReaderEmulator::OnLoaderStatus() {
  statusAskedInImage_ = !image_.complete && (!image_.firstPart.empty() || image_.firstPartDone);
  return {{std::string("I:") + LoaderStatusLetter(loaderStatus_) + std::string(kOk)}};
}

void ReaderEmulator::StartOverIfBegunAgain(std::string_view line) {
  if (!statusAskedInImage_) {
    return;
  }
  statusAskedInImage_ = false;
  const std::string began = image_.firstPart.empty() ? std::string(kFirstPartDone) : "I" + image_.firstPart.front();
  if (line != began) {
    return;
  }
  const int restarts = image_.restarts + 1;
  image_ = {};
  image_.restarts = restarts;
}

ReaderEmulator::Answer ReaderEmulator::OnLoadingMode() {
  loaderStatus_ = LoaderStatus::E;
  return {{"I0" + std::string(kOk)}};
}

void ReaderEmulator::StartNextImageIfComplete() {
  if (image_.complete) {
    image_ = {};
  }
}

// A record is taken in the loading mode only, and only whole: exactly 42 hexadecimal digits
// of either case after the 'I'. A frame cut short, run together with the next or carrying
// other characters is refused and not stored, so the dialog ends its run instead of loading
// a broken image.
ReaderEmulator::Answer ReaderEmulator::OnRecord(std::string_view line) {
  const std::string refusal(kLoaderRefusal);
  if (loaderStatus_ != LoaderStatus::E || line.size() != kRecordFrameLength) {
    return {{refusal}};
  }
  const std::string_view text = line.substr(1);
  if (!std::all_of(text.begin(), text.end(), [](char c) { return HexValue(c) >= 0; })) {
    return {{refusal}};
  }
  StartNextImageIfComplete();
  StartOverIfBegunAgain(line);
  const std::size_t index = image_.firstPart.size() + image_.secondPart.size();
  Fault fault = Fault::None;
  if (recordFault_ != Fault::None && index == recordFaultIndex_) {
    fault = recordFault_;
    recordFault_ = Fault::None;
  }
  if (fault == Fault::NoAnswer) {
    return {};
  }
  if (fault == Fault::AnswerNO) {
    return {{refusal}};
  }
  (image_.firstPartDone ? image_.secondPart : image_.firstPart).emplace_back(text);
  if (fault == Fault::Garbage) {
    return {{GarbageAnswer(line.front())}};
  }
  return {{"I" + std::string(kOk)}};
}

// The image has two parts: a second "I1" in the same image is refused.
ReaderEmulator::Answer ReaderEmulator::OnFirstPartDone() {
  if (loaderStatus_ != LoaderStatus::E) {
    return {{std::string(kLoaderRefusal)}};
  }
  StartNextImageIfComplete();
  StartOverIfBegunAgain(kFirstPartDone);
  if (image_.firstPartDone) {
    return {{std::string(kLoaderRefusal)}};
  }
  image_.firstPartDone = true;
  return {{std::string(kFirstPartDone) + std::string(kOk)}};
}

// "I2" ends an image whose first part was ended; the module then runs the new firmware and
// reports the status it was set to again.
ReaderEmulator::Answer ReaderEmulator::OnImageDone() {
  if (loaderStatus_ != LoaderStatus::E || !image_.firstPartDone || image_.complete) {
    return {{std::string(kLoaderRefusal)}};
  }
  statusAskedInImage_ = false;
  image_.complete = true;
  loaderStatus_ = bootStatus_;
  return {{"I2" + std::string(kOk)}};
}

}  // namespace sim
