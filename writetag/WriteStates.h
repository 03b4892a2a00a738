#pragma once
// The Write Tag procedure's states and the transitions that depend only on what happened,
// apart from the dialog that runs them. The dialog steps one state per timer tick.

#include <string_view>

namespace writetag {

enum class WriteState {
  Start,              // idle: no run
  Check,              // a code run checks the code's length
  Encode,             // computes the code's block frames
  SendBlock,          // sends the next block frame
  SendBlocksSetting,  // a blocks run sends the block count
  Wait,               // waits for the reader's answer to what was sent
  AnswerOk,           // the reader took it
  Done,               // every part was taken: the success question
  Failed,             // the failure question
  Finish,             // ends the run (a code run also closes the dialog)
  ReadyForNext,       // ends the run and keeps the dialog for the next code
};

// What a reader line beginning with 'w' makes of the state: "…OK" and "…NO" answer a
// command being waited for; any other line fails the run.
WriteState AfterAnswer(WriteState state, std::string_view line);

// After a command was sent whole, or not.
inline WriteState AfterSend(bool sent) { return sent ? WriteState::Wait : WriteState::Failed; }

// After an accepted frame: the next block, or done.
inline WriteState AfterAccepted(bool moreBlocks) { return moreBlocks ? WriteState::SendBlock : WriteState::Done; }

// Yes to the failure question repeats the run that failed: a blocks run sends the block
// count again, a code run checks and encodes the code anew.
inline WriteState RetryOf(bool blocksMode) { return blocksMode ? WriteState::SendBlocksSetting : WriteState::Check; }

// A lost reader ends a running procedure as a failed one ends; idle and ending states stay.
WriteState AfterReaderLost(WriteState state);

}  // namespace writetag
