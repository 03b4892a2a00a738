#include "download/DownloadStates.h"

#include "download/EhxRecord.h"

namespace download {
namespace {

constexpr char kCommandLetter = 'I';
constexpr char kCarriageReturn = '\r';
constexpr size_t kStatusLetterIndex = 2;
constexpr std::string_view kDefaultStatus = "default";

}  // namespace

const char* StateName(int state) {
  switch (state) {
    case DL_STATE_IDLE:
      return "DL_STATE_IDLE";
    case DL_STATE_INIT:
      return "DL_STATE_INIT";
    case DL_STATE_STATUS:
      return "DL_STATE_STATUS";
    case DL_STATE_STATUS_WAIT:
      return "DL_STATE_STATUS_WAIT";
    case DL_STATE_BOOT_MODE:
      return "DL_STATE_BOOT_MODE";
    case DL_STATE_BOOT_MODE_WAIT:
      return "DL_STATE_BOOT_MODE_WAIT";
    case DL_STATE_SEND_STR1:
      return "DL_STATE_SEND_STR1";
    case DL_STATE_SEND_STR1_WAIT:
      return "DL_STATE_SEND_STR1_WAIT";
    case DL_STATE_SEND_I1:
      return "DL_STATE_SEND_I1";
    case DL_STATE_SEND_I1_WAIT:
      return "DL_STATE_SEND_I1_WAIT";
    case DL_STATE_SEND_STR2:
      return "DL_STATE_SEND_STR2";
    case DL_STATE_SEND_STR2_WAIT:
      return "DL_STATE_SEND_STR2_WAIT";
    case DL_STATE_SEND_I2:
      return "DL_STATE_SEND_I2";
    case DL_STATE_SEND_I2_WAIT:
      return "DL_STATE_SEND_I2_WAIT";
    case DL_STATE_NO_ANSWER:
      return "DL_STATE_NO_ANSWER";
    case DL_STATE_OK:
      return "DL_STATE_OK";
    case DL_STATE_FW_TOO_OLD:
      return "DL_STATE_FW_TOO_OLD";
    case DL_STATE_ERROR:
      return "DL_STATE_ERROR";
    case DL_STATE_CLOSE:
      return "DL_STATE_CLOSE";
    default:
      return nullptr;
  }
}

std::string_view StatusText(int state) {
  if (state == DL_STATE_FW_TOO_OLD) return StateName(DL_STATE_ERROR);
  const char* name = StateName(state);
  return name ? std::string_view(name) : kDefaultStatus;
}

int StoredState(int requested) {
  return requested < DL_STATE_IDLE || requested > kHighestStoredState ? DL_STATE_ERROR : requested;
}

bool IsWaitState(int state) {
  switch (state) {
    case DL_STATE_STATUS_WAIT:
    case DL_STATE_BOOT_MODE_WAIT:
    case DL_STATE_SEND_STR1_WAIT:
    case DL_STATE_SEND_I1_WAIT:
    case DL_STATE_SEND_STR2_WAIT:
    case DL_STATE_SEND_I2_WAIT:
      return true;
    default:
      return false;
  }
}

bool IsActionState(int state) { return state != DL_STATE_IDLE && StateName(state) != nullptr && !IsWaitState(state); }

std::string CommandFrame(char first, char second) {
  std::string frame(1, first);
  if (second != 0) frame.push_back(second);
  frame.push_back(kCarriageReturn);
  return frame;
}

std::string RecordFrame(std::span<const uint8_t> record) {
  if (record.size() < kRecordSentSize) return {};
  std::string frame(1, kCommandLetter);
  frame.append(reinterpret_cast<const char*>(record.data()), kRecordSentSize);
  frame.push_back(kCarriageReturn);
  return frame;
}

int StateAfterAnswer(int state, std::string_view line, int readyState) {
  if (state == DL_STATE_IDLE) return state;
  const std::string_view end = line.size() >= 2 ? line.substr(line.size() - 2) : std::string_view();
  if (end == "OK") {
    switch (state) {
      case DL_STATE_STATUS_WAIT: {
        const char letter = line.size() > kStatusLetterIndex ? line[kStatusLetterIndex] : '\0';
        if (letter == 'C' || letter == 'D') return DL_STATE_BOOT_MODE;
        if (letter == 'E') return readyState;
        return DL_STATE_ERROR;
      }
      case DL_STATE_BOOT_MODE_WAIT:
        return DL_STATE_STATUS;
      case DL_STATE_SEND_STR1_WAIT:
        return DL_STATE_SEND_STR1;
      case DL_STATE_SEND_I1_WAIT:
        return DL_STATE_SEND_STR2;
      case DL_STATE_SEND_STR2_WAIT:
        return DL_STATE_SEND_STR2;
      case DL_STATE_SEND_I2_WAIT:
        return DL_STATE_OK;
      default:
        return DL_STATE_STATUS;
    }
  }
  if (end == "NO") {
    switch (state) {
      case DL_STATE_STATUS_WAIT:
        return DL_STATE_FW_TOO_OLD;
      case DL_STATE_BOOT_MODE_WAIT:
      case DL_STATE_SEND_STR1_WAIT:
      case DL_STATE_SEND_I1_WAIT:
      case DL_STATE_SEND_STR2_WAIT:
        return DL_STATE_ERROR;
      default:
        return state;
    }
  }
  return DL_STATE_ERROR;
}

ResumePoint ResumeAfterAnswer(ResumePoint resume, int state, int next, uint64_t position) {
  // The answers that acknowledge a frame of the image lead from its wait to the next
  // record step; "I2" acknowledged ends the image, and nothing is left to go on with.
  const bool acknowledged = (state == DL_STATE_SEND_STR1_WAIT && next == DL_STATE_SEND_STR1) ||
                            (state == DL_STATE_SEND_I1_WAIT && next == DL_STATE_SEND_STR2) ||
                            (state == DL_STATE_SEND_STR2_WAIT && next == DL_STATE_SEND_STR2);
  return acknowledged ? ResumePoint{next, position} : resume;
}

int StateAfterWaitTick(int state, uint32_t ticks) { return ticks > kAnswerTicks ? DL_STATE_NO_ANSWER : state; }

int StateAfterRetryQuestion(Answer answer) { return answer == Answer::Yes ? DL_STATE_STATUS : DL_STATE_ERROR; }

int StateAfterCloseQuestion(Answer answer) { return answer == Answer::Yes ? DL_STATE_CLOSE : DL_STATE_IDLE; }

int StateAfterReaderLost(int state) {
  switch (state) {
    case DL_STATE_IDLE:
    case DL_STATE_OK:
    case DL_STATE_FW_TOO_OLD:
    case DL_STATE_ERROR:
    case DL_STATE_CLOSE:
      return state;
    default:
      return DL_STATE_ERROR;
  }
}

RecordAction DecideRecord(ImagePart part, std::span<const uint8_t> read) {
  if (read.size() < kRecordSize) return part == ImagePart::First ? RecordAction::Fail : RecordAction::EndOfImage;
  if (part == ImagePart::First && IsSplitRecord(read)) return RecordAction::SplitFound;
  return IsSendableRecord(read) ? RecordAction::Send : RecordAction::Unsendable;
}

int StateAfterRecord(ImagePart part, RecordAction action, bool sent) {
  const bool first = part == ImagePart::First;
  switch (action) {
    case RecordAction::Send:
      if (!sent) return DL_STATE_ERROR;
      return first ? DL_STATE_SEND_STR1_WAIT : DL_STATE_SEND_STR2_WAIT;
    case RecordAction::SplitFound:
      return DL_STATE_SEND_I1;
    case RecordAction::EndOfImage:
      return DL_STATE_SEND_I2;
    case RecordAction::Fail:
    case RecordAction::Unsendable:
      return DL_STATE_ERROR;
  }
  return DL_STATE_ERROR;
}

}  // namespace download
