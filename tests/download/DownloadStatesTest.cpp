// The download transitions without the dialog: the answer table and the state names.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download/DownloadStates.h"

namespace download {
namespace {

TEST(DownloadStates, AnswerTable) {
  const struct {
    int state;
    const char* line;
    int next;
    int ready = DL_STATE_SEND_STR1;  // where a reader ready for records lets the image go on
  } rows[] = {
      // The status answer: its third character is the status letter.
      {DL_STATE_STATUS_WAIT, "I:DOK", DL_STATE_BOOT_MODE},
      {DL_STATE_STATUS_WAIT, "I:COK", DL_STATE_BOOT_MODE},
      {DL_STATE_STATUS_WAIT, "I:EOK", DL_STATE_SEND_STR1},
      {DL_STATE_STATUS_WAIT, "IxE12345OK", DL_STATE_SEND_STR1},
      // After a retry the image goes on where it stopped, also in its second part or at "I2".
      {DL_STATE_STATUS_WAIT, "I:EOK", DL_STATE_SEND_STR2, DL_STATE_SEND_STR2},
      {DL_STATE_STATUS_WAIT, "I:EOK", DL_STATE_SEND_I2, DL_STATE_SEND_I2},
      {DL_STATE_STATUS_WAIT, "I:COK", DL_STATE_BOOT_MODE, DL_STATE_SEND_STR2},
      {DL_STATE_SEND_STR1_WAIT, "IOK", DL_STATE_SEND_STR1, DL_STATE_SEND_STR2},
      {DL_STATE_STATUS_WAIT, "I:eOK", DL_STATE_ERROR},
      {DL_STATE_STATUS_WAIT, "I:XOK", DL_STATE_ERROR},
      {DL_STATE_STATUS_WAIT, "IOK", DL_STATE_ERROR},  // the letter is the 'K'
      {DL_STATE_STATUS_WAIT, "INO", DL_STATE_FW_TOO_OLD},
      // "OK" in the other waits.
      {DL_STATE_BOOT_MODE_WAIT, "IOK", DL_STATE_STATUS},
      {DL_STATE_SEND_STR1_WAIT, "IOK", DL_STATE_SEND_STR1},
      {DL_STATE_SEND_I1_WAIT, "IOK", DL_STATE_SEND_STR2},
      {DL_STATE_SEND_STR2_WAIT, "IOK", DL_STATE_SEND_STR2},
      {DL_STATE_SEND_I2_WAIT, "IOK", DL_STATE_OK},
      // "OK" in any other state of a run: a new status query.
      {DL_STATE_INIT, "IOK", DL_STATE_STATUS},
      {DL_STATE_STATUS, "IOK", DL_STATE_STATUS},
      {DL_STATE_BOOT_MODE, "IOK", DL_STATE_STATUS},
      {DL_STATE_SEND_STR1, "IOK", DL_STATE_STATUS},
      {DL_STATE_SEND_I1, "IOK", DL_STATE_STATUS},
      {DL_STATE_SEND_STR2, "IOK", DL_STATE_STATUS},
      {DL_STATE_SEND_I2, "IOK", DL_STATE_STATUS},
      {DL_STATE_NO_ANSWER, "IOK", DL_STATE_STATUS},
      {DL_STATE_OK, "IOK", DL_STATE_STATUS},
      {DL_STATE_FW_TOO_OLD, "IOK", DL_STATE_STATUS},
      {DL_STATE_ERROR, "IOK", DL_STATE_STATUS},
      {DL_STATE_CLOSE, "IOK", DL_STATE_STATUS},
      {8, "IOK", DL_STATE_STATUS},
      // "NO": a refusal of a record or command fails the run; "NO" to "I2" and outside the
      // waits changes nothing.
      {DL_STATE_BOOT_MODE_WAIT, "INO", DL_STATE_ERROR},
      {DL_STATE_SEND_STR1_WAIT, "INO", DL_STATE_ERROR},
      {DL_STATE_SEND_I1_WAIT, "INO", DL_STATE_ERROR},
      {DL_STATE_SEND_STR2_WAIT, "I12NO", DL_STATE_ERROR},
      {DL_STATE_SEND_I2_WAIT, "INO", DL_STATE_SEND_I2_WAIT},
      {DL_STATE_SEND_STR1, "INO", DL_STATE_SEND_STR1},
      {DL_STATE_NO_ANSWER, "INO", DL_STATE_NO_ANSWER},
      {DL_STATE_OK, "INO", DL_STATE_OK},
      // Anything else fails, in any state of a run; only the exact upper-case pairs count.
      {DL_STATE_STATUS_WAIT, "I", DL_STATE_ERROR},
      {DL_STATE_SEND_STR1_WAIT, "", DL_STATE_ERROR},
      {DL_STATE_SEND_STR2_WAIT, "IOk", DL_STATE_ERROR},
      {DL_STATE_SEND_I2_WAIT, "Ino", DL_STATE_ERROR},
      {DL_STATE_SEND_STR1, "IOK ", DL_STATE_ERROR},
      {DL_STATE_OK, "I?", DL_STATE_ERROR},
      // No run is active while idle: nothing changes.
      {DL_STATE_IDLE, "IOK", DL_STATE_IDLE},
      {DL_STATE_IDLE, "I:EOK", DL_STATE_IDLE},
      {DL_STATE_IDLE, "INO", DL_STATE_IDLE},
      {DL_STATE_IDLE, "I", DL_STATE_IDLE},
  };
  for (const auto& row : rows)
    EXPECT_EQ(StateAfterAnswer(row.state, row.line, row.ready), row.next) << row.state << " " << row.line;
  // A line with a NUL before its end is judged by its end like any other.
  EXPECT_EQ(StateAfterAnswer(DL_STATE_SEND_STR1_WAIT, std::string("I\0OK", 4), DL_STATE_SEND_STR1), DL_STATE_SEND_STR1);
}

TEST(DownloadStates, NamesAndStatusTexts) {
  const char* const names[] = {
      "DL_STATE_IDLE",
      "DL_STATE_INIT",
      "DL_STATE_STATUS",
      "DL_STATE_STATUS_WAIT",
      "DL_STATE_BOOT_MODE",
      "DL_STATE_BOOT_MODE_WAIT",
      "DL_STATE_SEND_STR1",
      "DL_STATE_SEND_STR1_WAIT",
      nullptr,
      nullptr,
      "DL_STATE_SEND_I1",
      "DL_STATE_SEND_I1_WAIT",
      "DL_STATE_SEND_STR2",
      "DL_STATE_SEND_STR2_WAIT",
      "DL_STATE_SEND_I2",
      "DL_STATE_SEND_I2_WAIT",
      "DL_STATE_NO_ANSWER",
      "DL_STATE_OK",
      "DL_STATE_FW_TOO_OLD",
      "DL_STATE_ERROR",
      "DL_STATE_CLOSE",
      nullptr,
  };
  for (int state = 0; state <= kHighestStoredState; ++state) {
    const char* name = names[state];
    if (name) {
      EXPECT_STREQ(StateName(state), name);
    } else {
      EXPECT_EQ(StateName(state), nullptr) << state;
    }
    std::string_view status = name ? std::string_view(name) : std::string_view("default");
    if (state == DL_STATE_FW_TOO_OLD) status = "DL_STATE_ERROR";  // its step is the error step
    EXPECT_EQ(StatusText(state), status) << state;
  }
  EXPECT_EQ(StatusText(-1), "default");
}

}  // namespace
}  // namespace download
