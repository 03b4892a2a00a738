#pragma once
// The headless terminal: prints every text the log receives and every message box as one
// line, and takes commands from standard input that act on the dialogs as a user would
// ("click 102:1011", "check 102:1059 1", "text 102:1043 41:42", "key F24 down",
// "answer no", "help", "quit"). A command that cannot be carried out prints one "error:"
// line and changes nothing.

#include <functional>
#include <ostream>
#include <string>

#include "framework/headless/HeadlessHost.h"

namespace fw {

class HeadlessTerminal : private IHeadlessWatcher {
 public:
  HeadlessTerminal(HeadlessHost& host, std::ostream& out);
  ~HeadlessTerminal();
  HeadlessTerminal(const HeadlessTerminal&) = delete;
  HeadlessTerminal& operator=(const HeadlessTerminal&) = delete;

  // Prints a text of a log as it was appended, control characters escaped.
  void PrintLog(const WString& text);
  // Executes one command line.
  void RunCommand(const std::string& line);
  // Reads commands from fd (standard input) while the host's loop runs; end of input stops
  // reading, not the program.
  void SetCommandInput(int fd);
  // Handles "key NAME down|up"; returns false with a message when the key is not taken.
  using KeyHandler = std::function<bool(const std::string& key, bool down, std::string& error)>;
  void SetKeyHandler(KeyHandler handler) { keyHandler_ = std::move(handler); }

 private:
  void OnMessageBox(const MessageBoxRecord& box) override;
  void Print(const std::string& line);
  void Error(const std::string& message);
  void Help();
  void ReadCommands();
  HeadlessWindow* CommandTarget(const std::string& address, int& controlId);

  HeadlessHost& host_;
  std::ostream& out_;
  // The last thing printed ended a line; a box line always starts on a line of its own.
  bool atLineStart_ = true;
  int commandFd_ = -1;
  std::string commandBuffer_;
  KeyHandler keyHandler_;
};

}  // namespace fw
