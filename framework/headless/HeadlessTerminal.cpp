#include "framework/headless/HeadlessTerminal.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <sstream>
#include <string_view>

namespace fw {

namespace {

// A line of commands longer than this is no command: it is dropped with an error.
constexpr size_t kMaxCommandLine = 64 * 1024;

const char* KindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::PushButton:
      return "button";
    case ControlKind::CheckBox:
      return "check box";
    case ControlKind::RadioButton:
      return "radio button";
    case ControlKind::Edit:
      return "edit";
    case ControlKind::ComboBox:
      return "combo box";
    default:
      return nullptr;  // nothing a command can act on
  }
}

}  // namespace

HeadlessTerminal::HeadlessTerminal(HeadlessHost& host, std::ostream& out) : host_(host), out_(out) {
  host_.AddWatcher(this);
}

HeadlessTerminal::~HeadlessTerminal() {
  host_.RemoveWatcher(this);
  if (commandFd_ >= 0) host_.UnwatchFd(commandFd_);
}

void HeadlessTerminal::Print(const std::string& line) {
  if (!atLineStart_) out_ << '\n';
  out_ << line << '\n';
  out_.flush();
  atLineStart_ = true;
}

void HeadlessTerminal::Error(const std::string& message) { Print("error: " + message); }

void HeadlessTerminal::PrintLog(const WString& text) {
  if (text.empty()) return;
  // Reader lines reach the log as they came; a terminal must not take them as commands.
  out_ << EscapeControls(text);
  out_.flush();
  atLineStart_ = text.back() == u'\n';
}

void HeadlessTerminal::OnMessageBox(const MessageBoxRecord& box) {
  Print("[" + ToUtf8(box.caption) + "] " + EscapeForLine(box.text) + " -> " + AnswerName(box.answer));
}

void HeadlessTerminal::Help() {
  Print(
      "commands: click D:C | check D:C 0|1 | text D:C TEXT | key F22|F24 down|up | "
      "answer yes|no|ok | help | quit");
  Print("D is a dialog's template id, C a control id; the open dialogs and their controls:");
  for (HeadlessWindow* w : host_.Windows()) {
    const DialogTemplate& tpl = w->Template();
    Print(std::to_string(tpl.id) + " \"" + ToUtf8(tpl.title) + "\"" + (w->IsWindowVisible() ? "" : " (hidden)"));
    for (const ControlTemplate& c : tpl.controls) {
      const char* kind = KindName(c.kind);
      if (!kind || c.id == kStaticId) continue;
      Print("  " + std::to_string(tpl.id) + ":" + std::to_string(c.id) + " " + kind + " \"" + ToUtf8(c.caption) + "\"");
    }
  }
}

void HeadlessTerminal::SetCommandInput(int fd) {
  if (commandFd_ >= 0) host_.UnwatchFd(commandFd_);
  commandFd_ = fd;
  commandBuffer_.clear();
  if (fd >= 0) host_.WatchFd(fd, [this] { ReadCommands(); });
}

void HeadlessTerminal::ReadCommands() {
  char buf[4096];
  const ssize_t n = ::read(commandFd_, buf, sizeof buf);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    // End of input: the program keeps running until "quit" or a signal.
    host_.UnwatchFd(commandFd_);
    commandFd_ = -1;
    return;
  }
  if (n < 0) return;
  commandBuffer_.append(buf, static_cast<size_t>(n));
  size_t start = 0;
  for (;;) {
    const size_t nl = commandBuffer_.find('\n', start);
    if (nl == std::string::npos) break;
    std::string line = commandBuffer_.substr(start, nl - start);
    start = nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    RunCommand(line);
  }
  commandBuffer_.erase(0, start);
  if (commandBuffer_.size() > kMaxCommandLine) {
    commandBuffer_.clear();
    Error("command line too long");
  }
}

HeadlessWindow* HeadlessTerminal::CommandTarget(const std::string& address, int& controlId) {
  const size_t colon = address.find(':');
  int templateId = 0;
  auto parse = [](std::string_view text, int& value) {
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && r.ec == std::errc() && r.ptr == text.data() + text.size();
  };
  const std::string_view view(address);
  if (colon == std::string::npos || !parse(view.substr(0, colon), templateId) ||
      !parse(view.substr(colon + 1), controlId)) {
    Error("bad address '" + address + "', expected DIALOG:CONTROL such as 102:1011");
    return nullptr;
  }
  HeadlessWindow* w = host_.FindWindow(templateId);
  if (!w) {
    Error("dialog " + std::to_string(templateId) + " is not open");
    return nullptr;
  }
  if (!w->IsWindowVisible()) {
    Error("dialog " + std::to_string(templateId) + " is hidden");
    return nullptr;
  }
  const ControlState* c = w->Control(controlId);
  if (!c) {
    Error("dialog " + std::to_string(templateId) + " has no control " + std::to_string(controlId));
    return nullptr;
  }
  if (!c->visible) {
    Error("control " + address + " is hidden");
    return nullptr;
  }
  if (!c->enabled) {
    Error("control " + address + " is disabled");
    return nullptr;
  }
  return w;
}

void HeadlessTerminal::RunCommand(const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  if (verb.empty() || verb[0] == '#') return;

  if (verb == "quit") {
    host_.Quit();
    return;
  }
  if (verb == "help") {
    Help();
    return;
  }
  if (verb == "answer") {
    std::string a;
    in >> a;
    if (a == "yes") {
      host_.QueueAnswer(IDYES);
    } else if (a == "no") {
      host_.QueueAnswer(IDNO);
    } else if (a == "ok") {
      host_.QueueAnswer(IDOK);
    } else {
      Error("answer takes yes, no or ok");
    }
    return;
  }
  if (verb == "key") {
    std::string key, dir;
    in >> key >> dir;
    if (dir != "down" && dir != "up") {
      Error("usage: key F22|F24 down|up");
      return;
    }
    std::string message = "no key handler";
    if (!keyHandler_ || !keyHandler_(key, dir == "down", message)) Error(message);
    return;
  }
  if (verb != "click" && verb != "check" && verb != "text") {
    Error("unknown command '" + verb + "'");
    return;
  }

  std::string address;
  in >> address;
  int id = 0;
  HeadlessWindow* w = CommandTarget(address, id);
  if (!w) return;
  ControlState* c = w->Control(id);
  const ControlKind kind = c->tpl->kind;
  CDialog& dialog = w->Dialog();
  // A control the user acts on takes the focus first, as a click on it does; a command
  // that is refused changes nothing.
  auto act = [&](Notify code) {
    host_.SetFocus(w, id);
    dialog.DispatchCommand(id, code);
  };

  if (verb == "click") {
    switch (kind) {
      case ControlKind::CheckBox:
        c->check = c->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
        act(Notify::Clicked);
        return;
      case ControlKind::PushButton:
      case ControlKind::RadioButton:
        act(Notify::Clicked);
        return;
      default:
        Error("control " + address + " cannot be clicked");
        return;
    }
  }

  if (verb == "check") {
    std::string value;
    in >> value;
    if (value != "0" && value != "1") {
      Error("usage: check DIALOG:CONTROL 0|1");
      return;
    }
    const int state = value == "1" ? BST_CHECKED : BST_UNCHECKED;
    if (kind == ControlKind::CheckBox) {
      if (c->check == state) return;
      c->check = state;
      act(Notify::Clicked);
      return;
    }
    if (kind == ControlKind::RadioButton && state == BST_CHECKED) {
      act(Notify::Clicked);
      return;
    }
    Error("control " + address + " cannot be set to " + value);
    return;
  }

  // text: the rest of the line after one blank is the new text, blanks included.
  std::string rest;
  std::getline(in, rest);
  if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
  const WString text = FromUtf8(rest);
  if (kind == ControlKind::Edit && !(c->tpl->style & kReadOnly)) {
    host_.SetFocus(w, id);
    w->SetText(id, text);
    return;
  }
  if (kind == ControlKind::ComboBox) {
    c->text = text;
    act(Notify::EditChange);
    return;
  }
  Error("control " + address + " takes no text");
}

}  // namespace fw
