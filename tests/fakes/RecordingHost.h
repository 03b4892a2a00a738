#pragma once
// The headless host with a record of what it did in a user's place, for tests: every
// message box with its answer, every Sleep and every file chooser's caption, in order.

#include <vector>

#include "framework/headless/HeadlessHost.h"

namespace fw {

class RecordingHost : public HeadlessHost, private IHeadlessWatcher {
 public:
  explicit RecordingHost(ClockKind clock = ClockKind::Virtual) : HeadlessHost(clock) { AddWatcher(this); }
  ~RecordingHost() override { RemoveWatcher(this); }

  const std::vector<MessageBoxRecord>& MessageBoxes() const { return boxes_; }
  void ClearMessageBoxes() { boxes_.clear(); }
  std::vector<unsigned> sleeps;
  std::vector<WString> fileChoosers;

 private:
  void OnMessageBox(const MessageBoxRecord& box) override { boxes_.push_back(box); }
  void OnSleep(unsigned ms) override { sleeps.push_back(ms); }
  void OnFileChooser(const WString& caption) override { fileChoosers.push_back(caption); }

  std::vector<MessageBoxRecord> boxes_;
};

}  // namespace fw
