#include "writetag/WriteStates.h"

namespace writetag {

WriteState AfterAnswer(WriteState state, std::string_view line) {
  const std::string_view tail = line.size() >= 2 ? line.substr(line.size() - 2) : std::string_view();
  if (tail == "OK") return state == WriteState::Wait ? WriteState::AnswerOk : state;
  if (tail == "NO") return state == WriteState::Wait ? WriteState::Failed : state;
  return WriteState::Failed;
}

WriteState AfterReaderLost(WriteState state) {
  switch (state) {
    case WriteState::Start:
    case WriteState::Failed:
    case WriteState::Finish:
    case WriteState::ReadyForNext:
      return state;
    default:
      return WriteState::Failed;
  }
}

}  // namespace writetag
