#pragma once
// The firmware download state machine without the dialog: state numbers and names, the
// command and record frames, and the transitions that depend on nothing but their inputs.
// The dialog (DownloadDialog) does the steps' I/O and message boxes and asks these
// functions where to go next.
//
// The protocol of a successful run: status query "I"; when the status letter asks for it
// the loading mode "I0" and a new status query; the first part of the image one record per
// frame; "I1"; the second part from the split record on; "I2". Every frame waits for its
// answer before the next is sent.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace download {

// State numbers as the status control and the tests see them; 8, 9 and 21 are no state
// of any transition and step as "default".
enum DownloadState : int {
  DL_STATE_IDLE = 0,
  DL_STATE_INIT = 1,
  DL_STATE_STATUS = 2,
  DL_STATE_STATUS_WAIT = 3,
  DL_STATE_BOOT_MODE = 4,
  DL_STATE_BOOT_MODE_WAIT = 5,
  DL_STATE_SEND_STR1 = 6,
  DL_STATE_SEND_STR1_WAIT = 7,
  DL_STATE_SEND_I1 = 10,
  DL_STATE_SEND_I1_WAIT = 11,
  DL_STATE_SEND_STR2 = 12,
  DL_STATE_SEND_STR2_WAIT = 13,
  DL_STATE_SEND_I2 = 14,
  DL_STATE_SEND_I2_WAIT = 15,
  DL_STATE_NO_ANSWER = 16,
  DL_STATE_OK = 17,
  DL_STATE_FW_TOO_OLD = 18,
  DL_STATE_ERROR = 19,
  DL_STATE_CLOSE = 20,
};
// The highest number SetState stores as it is; anything else becomes DL_STATE_ERROR.
inline constexpr int kHighestStoredState = 21;

// Ticks a wait state counts before it gives up: the 2001st tick moves on to
// DL_STATE_NO_ANSWER (about two seconds at the 1 ms step period).
inline constexpr uint32_t kAnswerTicks = 2000;

// The name of a state ("DL_STATE_IDLE" ...), or null for a number that names none.
const char* StateName(int state);
// What a step of this state writes into the status control: its name, "DL_STATE_ERROR"
// for DL_STATE_FW_TOO_OLD (whose step is the error step with a sentence before it), and
// "default" for a number that names no state.
std::string_view StatusText(int state);

// The value SetState stores.
int StoredState(int requested);

// States that wait for the reader's answer and count ticks meanwhile.
bool IsWaitState(int state);
// States whose step does work (sends, reads, asks): the step timer is paused around it.
bool IsActionState(int state);

// A command frame: 'I', the second character unless it is 0, CR.
std::string CommandFrame(char first, char second);
// A record frame: 'I', the first 42 bytes of the record unchanged, CR; empty for a piece
// shorter than 42 bytes.
std::string RecordFrame(std::span<const uint8_t> record);

// The state an answer line (first character 'I', CR removed) leads to. Only its last two
// characters count, and for the status answer its third character, the status letter: 'C'
// and 'D' ask for the loading mode, 'E' is ready for records and leads to readyState, the
// step the image goes on with (see ResumePoint). No run is active in DL_STATE_IDLE:
// answers then are ignored.
int StateAfterAnswer(int state, std::string_view line, int readyState);

// Where the image goes on when the reader reports ready for records: the step after the
// last frame the reader acknowledged, and the file offset that step reads from. A run
// starts at the first record; a retry asks for the status again and goes on from here, so
// the reader gets again only the frame it did not acknowledge (a record, "I1" or "I2") and
// nothing it has taken already; "I1" goes once per image.
struct ResumePoint {
  int state = DL_STATE_SEND_STR1;
  uint64_t offset = 0;
  friend bool operator==(const ResumePoint&, const ResumePoint&) = default;
};
// The resume point after an answer has moved the run from state to next. An answer that
// acknowledges a record or "I1" moves it to next at position, the file offset the next
// record step reads from; any other answer leaves it.
ResumePoint ResumeAfterAnswer(ResumePoint resume, int state, int next, uint64_t position);

// One tick of a wait state; ticks is the count including this tick.
int StateAfterWaitTick(int state, uint32_t ticks);

// Yes or No to a question ending in "try again?": a retry starts again at the status query,
// and the image goes on from its resume point.
enum class Answer { Yes, No };
int StateAfterRetryQuestion(Answer answer);
// Yes or No to "... Close Routine?": close the dialog, or stay idle.
int StateAfterCloseQuestion(Answer answer);

// The reader has gone away: a run still going fails as a refused one does, without a
// retry, for nothing could answer it. Idle, and the states whose step ends the run (its
// last question, the close), stay.
int StateAfterReaderLost(int state);

// What a record step does with what it read.
enum class ImagePart { First, Second };
enum class RecordAction {
  Send,        // send the record and wait for its answer
  SplitFound,  // first part only: the second part begins here; put the record back, go to "I1"
  EndOfImage,  // second part only: no full record left, go to "I2"
  Fail,        // first part only: no full record left, so the file has no split record
  Unsendable,  // a record with a control character in what is sent (see IsSendableRecord)
};
RecordAction DecideRecord(ImagePart part, std::span<const uint8_t> read);
// The state after a record step; a record sent waits for its answer in the part's wait state.
int StateAfterRecord(ImagePart part, RecordAction action, bool sent);

}  // namespace download
