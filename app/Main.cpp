// pelmor: the reader terminal. Builds the platform services the command line asks for,
// picks the host (Qt widgets or the headless terminal) and runs the application object.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "app/DataFolder.h"
#include "app/Options.h"
#include "app/ReaderApp.h"
#include "app/SerialDevices.h"
#include "app/UserConfig.h"
#include "app/StdinHotKeys.h"
#include "device/ReaderPower.h"
#include "framework/headless/HeadlessHost.h"
#include "framework/headless/HeadlessTerminal.h"
#include "framework/qt/QtHost.h"
#include "platform/NullKeyOutput.h"
#include "resources/Templates.h"
#include "events/EventStream.h"
#include "events/MqttPublisher.h"
#include "events/Outputs.h"
#include "platform/linux/CanberraSound.h"
#include "platform/linux/EvdevScanButton.h"
#include "platform/linux/KeyLayout.h"
#include "platform/linux/PosixSerialPorts.h"
#include "platform/linux/UdevDeviceWatch.h"
#include "platform/linux/UinputKeyOutput.h"
#include "platform/linux/X11HotKeys.h"
#include "platform/linux/XTestKeyOutput.h"
#include "sim/PtyServer.h"

namespace {

constexpr const char* kVersion = PELMOR_VERSION;
// The install folders the build was configured with, to tell an installed program from one
// in its build tree.
const app::InstallLayout kInstallLayout{PELMOR_INSTALL_BIN_NAME, PELMOR_SHARE_FROM_BIN};

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 'q';
  // Nothing more can be done in a signal handler if the pipe is full.
  [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

// Interrupt, termination and hangup (the terminal or the session going away) all end the
// program as "quit" or closing the window does: the reader is disconnected and switched off,
// and the exit status is 0. A hangup that the caller ignores (nohup) stays ignored.
bool InstallSignalPipe() {
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  struct sigaction hangup {};
  if (sigaction(SIGHUP, nullptr, &hangup) != 0 || hangup.sa_handler != SIG_IGN) sigaction(SIGHUP, &sa, nullptr);
  return true;
}

void DrainSignalPipe() {
  char buf[16];
  while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
  }
}

std::filesystem::path ExecutableFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path();
  return exe.parent_path();
}

// The serial port service of the program. When the reader's port cannot be opened it names
// the device and the reason on standard error, in front of the message box, whose text is
// the system's own and does not name it.
class ReaderSerialPorts final : public platform::PosixSerialPorts {
 public:
  explicit ReaderSerialPorts(const app::PortChoice& port) : PosixSerialPorts(port.device), port_(port) {}

  platform::CommHandle Open(const fw::WString& name) override {
    const platform::CommHandle handle = PosixSerialPorts::Open(name);
    // While a lost reader's port is tried every second, the same failure is said once.
    const std::string said = lastSaid_;
    lastSaid_.clear();
    if (handle == 0) {
      const uint32_t error = GetLastError();
      lastSaid_ = fw::ToUtf8(name) + '\n' + std::to_string(error);
      if (lastSaid_ == said) return handle;
      std::string reason = fw::ToUtf8(ErrorText(error));
      while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
      // A path rather than "COM1:" was chosen in the window, not by the start's port choice.
      const bool chosen = !name.empty() && name[0] == u'/';
      const std::string device = chosen ? fw::ToUtf8(name) : port_.device;
      const std::string source = chosen ? "chosen in the window" : app::DescribePortSource(port_.source);
      std::fprintf(stderr, "pelmor: cannot open the reader's port %s (%s): %s\n", device.c_str(), source.c_str(),
                   reason.c_str());
      if (error == platform::kErrAccessDenied)
        std::fprintf(stderr,
                     "pelmor: the device's group (often dialout) gives access; see "
                     "\"Permissions\" in the README or pelmor(1)\n");
    }
    return handle;
  }

 private:
  app::PortChoice port_;
  std::string lastSaid_;
};

// Lets the message loop read a platform source (the scan keys, the key delay's timer); a
// source that has gone is let go.
void WatchKeys(fw::IHost& host, int fd, const std::function<bool()>& dispatch) {
  if (fd < 0 || !dispatch) return;
  host.WatchFd(fd, [&host, fd, dispatch] {
    if (!dispatch()) host.UnwatchFd(fd);
  });
}

// The layout uinput types for. Nothing when the one --keymap names cannot be compiled; one
// from the environment or the system's settings that cannot falls back to US, with a line.
std::optional<platform::KeyLayout> MakeKeyLayout(const Options& options) {
  constexpr const char* kKeyboardSettings = "/etc/default/keyboard";
  constexpr std::streamsize kMaxSettingsBytes = 64 * 1024;
  std::string settings(kMaxSettingsBytes, '\0');
  std::ifstream file(kKeyboardSettings);
  file.read(settings.data(), kMaxSettingsBytes);
  settings.resize(static_cast<size_t>(file.gcount()));
  const platform::LayoutChoice choice = platform::ChooseLayout(options.keymap, std::getenv("XKB_DEFAULT_LAYOUT"),
                                                               std::getenv("XKB_DEFAULT_VARIANT"), settings);
  std::string error;
  if (std::optional<platform::KeyLayout> layout = platform::KeyLayout::Compile(choice.name, error)) return layout;
  if (!options.keymap.empty()) {
    std::fprintf(stderr, "pelmor: --keymap %s: %s\n", options.keymap.c_str(), error.c_str());
    return std::nullopt;
  }
  std::fprintf(stderr, "pelmor: keyboard layout from %s: %s; codes are typed for a US layout\n", choice.source.c_str(),
               error.c_str());
  return platform::KeyLayout::BuiltInUs();
}

// The key output and, with a key delay, the timer the message loop watches for it.
struct KeyTyping {
  std::unique_ptr<platform::IKeyOutput> output;
  int fd = -1;
  std::function<bool()> dispatch;
};

// XTest or uinput as --keys asks, else as the session suggests. False for a bad --keymap or
// an XTest asked for by name that the display does not have. A uinput keyboard that cannot
// be made is told in one line and nothing is typed: the program still reads and shows tags.
bool MakeKeyOutput(const Options& options, KeyTyping& typing) {
  const KeyOutputChoice choice = options.keys.empty()
                                     ? DefaultKeyOutput(options.headless, std::getenv("XDG_SESSION_TYPE"),
                                                        std::getenv("WAYLAND_DISPLAY"), std::getenv("DISPLAY"))
                                     : KeyOutputChoice{options.keys, "--keys " + options.keys};
  // A bad --keymap is a bad command line whichever output types.
  std::optional<platform::KeyLayout> layout;
  if (choice.mode == "uinput" || !options.keymap.empty()) {
    layout = MakeKeyLayout(options);
    if (!layout) return false;
  }
  std::string error;
  platform::KeyPacer* pacer = nullptr;
  if (choice.mode == "xtest") {
    if (auto xtest = platform::XTestKeyOutput::Open(nullptr, error)) {
      pacer = &xtest->Pacer();
      typing.output = std::move(xtest);
    } else if (!options.keys.empty()) {
      std::fprintf(stderr, "pelmor: --keys xtest: %s\n", error.c_str());
      return false;
    }
  } else if (choice.mode == "uinput") {
    if (auto device = platform::CreateUinputKeyboard(platform::kUinputPath, error)) {
      auto report = [name = layout->Name()](uint32_t c) {
        std::fprintf(stderr, "pelmor: the keyboard layout %s has no key for U+%04X; it is left out of the codes\n",
                     name.c_str(), static_cast<unsigned>(c));
      };
      auto uinput = std::make_unique<platform::UinputKeyOutput>(std::move(device), std::move(*layout), report);
      pacer = &uinput->Pacer();
      typing.output = std::move(uinput);
    } else {
      const char* fix = ::access(platform::kUinputPath, F_OK) != 0
                            ? "the kernel's uinput module is not loaded (modprobe uinput)"
                            : "the udev rule 70-pelmor.rules gives it to you (see Permissions in the README)";
      if (!options.keys.empty()) {
        std::fprintf(stderr, "pelmor: codes are not typed: --keys uinput: %s; %s\n", error.c_str(), fix);
      } else {
        std::fprintf(stderr, "pelmor: codes are not typed: %s types through uinput, but %s; %s\n", choice.why.c_str(),
                     error.c_str(), fix);
      }
    }
  }
  if (!typing.output) {
    // The default output is a convenience: without it the program still reads and shows tags.
    if (choice.mode == "xtest") {
      std::fprintf(stderr, "pelmor: no key output (%s); codes are not typed in hidden mode\n", error.c_str());
    }
    typing.output = std::make_unique<platform::NullKeyOutput>();
    return true;
  }
  if (options.keyDelayMs > 0) {
    std::unique_ptr<platform::IKeyTimer> timer = platform::MakeKeyTimer(error);
    if (!timer) {
      std::fprintf(stderr, "pelmor: --key-delay %d: %s\n", options.keyDelayMs, error.c_str());
      return false;
    }
    pacer->SetDelay(std::chrono::milliseconds{options.keyDelayMs}, std::move(timer));
    typing.fd = pacer->Fd();
    typing.dispatch = [pacer] {
      pacer->Dispatch();
      return true;
    };
  }
  return true;
}

// The scan keys and how the message loop reads them.
struct ScanKeys {
  std::unique_ptr<platform::IHotKeys> hotKeys;
  app::StdinHotKeys* terminalKeys = nullptr;  // the headless terminal's "key" commands
  int fd = -1;
  std::function<bool()> dispatch;
};

// A device's own button, the X server's keyboard, or (headless) standard input. False when
// the button named on the command line cannot be used.
bool MakeHotKeys(const Options& options, bool display, ScanKeys& keys) {
  if (!options.scanDevice.empty()) {
    platform::ScanKeys codes;
    if (!options.scanKey.empty()) {
      const std::optional<uint16_t> code = platform::EvdevScanButton::KeyCodeFromName(options.scanKey);
      if (!code) {
        std::fprintf(stderr, "pelmor: --scan-key %s: no such key\n", options.scanKey.c_str());
        return false;
      }
      codes.scan = *code;
    }
    std::string error;
    std::string path = options.scanDevice;
    if (path == "auto") {
      const std::optional<std::string> found = platform::EvdevScanButton::FindDevice(codes.scan, error);
      if (!found) {
        std::fprintf(stderr, "pelmor: --scan-device auto: %s\n", error.c_str());
        return false;
      }
      path = *found;
    }
    // Shared: a keyboard's own device keeps typing for the desktop.
    auto button = platform::EvdevScanButton::Open(path, platform::DeviceGrab::Shared, codes, error);
    if (!button) {
      std::fprintf(stderr, "pelmor: --scan-device %s: %s\n", options.scanDevice.c_str(), error.c_str());
      return false;
    }
    keys.fd = button->Fd();
    keys.dispatch = [b = button.get()] { return b->Dispatch(); };
    keys.hotKeys = std::move(button);
    return true;
  }
  if (!options.headless && display) {
    std::string error;
    if (auto x11 = platform::X11HotKeys::Open(nullptr, error)) {
      keys.fd = x11->Fd();
      keys.dispatch = [x = x11.get()] {
        x->Dispatch();
        return true;
      };
      keys.hotKeys = std::move(x11);
      return true;
    }
    std::fprintf(stderr, "pelmor: no scan keys: %s\n", error.c_str());
  }
  // Without a key source the keys are not taken; the log says so at connect.
  auto terminal = std::make_unique<app::StdinHotKeys>(options.headless ? app::StdinHotKeys::Source::Terminal
                                                                       : app::StdinHotKeys::Source::None);
  keys.terminalKeys = terminal.get();
  keys.hotKeys = std::move(terminal);
  return true;
}

// Where the events go: --events, the scan history and --mqtt.
struct EventOutputs {
  std::unique_ptr<events::EventStream> stream;
  std::unique_ptr<events::JsonLinesOutput> lines;
  std::unique_ptr<events::HistoryOutput> history;
  std::optional<events::MqttUrl> mqtt;
  std::unique_ptr<events::MqttPublisher> publisher;
  bool linesOnStandardOutput = false;
};

// False, with a line on standard error, for an --events file that cannot be opened.
bool MakeEventOutputs(const Options& options, const std::filesystem::path& appDir, const std::string& port,
                      EventOutputs& out) {
  out.stream = std::make_unique<events::EventStream>(appDir / "events.seq", port);
  if (!options.events.empty()) {
    std::string error;
    out.lines = events::JsonLinesOutput::Open(options.events, error);
    if (!out.lines) {
      std::fprintf(stderr, "pelmor: --events %s: %s\n", options.events.c_str(), error.c_str());
      return false;
    }
    out.stream->AddOutput(*out.lines);
    out.linesOnStandardOutput = options.events == "-";
  }
  if (options.history != "none") {
    out.history = std::make_unique<events::HistoryOutput>(
        options.history.empty() ? appDir / "reads.csv" : std::filesystem::path(options.history));
    out.stream->AddOutput(*out.history);
  }
  if (!options.mqtt.empty()) {
    std::string error;
    out.mqtt = events::MqttUrl::Parse(options.mqtt, error);  // checked with the options
    const char* password = std::getenv("PELMOR_MQTT_PASSWORD");
    if (out.mqtt && !out.mqtt->user.empty() && out.mqtt->password.empty() && password) out.mqtt->password = password;
  }
  return true;
}

// The MQTT client joins the host's message loop; its events wait in the spool of the data
// folder until the broker has them. False when the client cannot be made.
bool StartMqtt(fw::IHost& host, const std::filesystem::path& appDir, EventOutputs& out) {
  if (!out.mqtt) return true;
  events::EventStream* stream = out.stream.get();
  out.publisher = std::make_unique<events::MqttPublisher>(
      *out.mqtt, appDir / "mqtt-spool.jsonl",
      events::FdWatch{[&host](int fd, std::function<void()> cb) { host.WatchFd(fd, std::move(cb)); },
                      [&host](int fd) { host.UnwatchFd(fd); }},
      [](const std::string& line) { std::fprintf(stderr, "pelmor: %s\n", line.c_str()); },
      [stream](const std::string& event, const events::Fields& fields) { stream->Emit(event, fields); });
  std::string error;
  if (!out.publisher->Start(error)) {
    std::fprintf(stderr, "pelmor: --mqtt: %s\n", error.c_str());
    return false;
  }
  out.stream->AddOutput(*out.publisher);
  return true;
}

// What is still unacknowledged gets a moment to reach the broker; the rest stays spooled.
// The client leaves the message loop before the host ends.
void StopMqtt(EventOutputs& out) {
  if (!out.publisher) return;
  out.stream->RemoveOutput(*out.publisher);
  out.publisher->Stop(std::chrono::milliseconds{2000});
  out.publisher.reset();
}

// The desktop's additions to the main window: the reader's return as udev announces it, and,
// with windows, the "Reader port" dialog and the port that worked kept in pelmor.conf.
void AttachDesktop(CMainDialog& dlg, platform::IDeviceWatch* watch, bool windows) {
  dlg.SetDeviceWatch(watch);
  if (!windows) return;
  dlg.SetPortDialogUse(CMainDialog::PortDialogUse::OnOpenFailure);
  dlg.SetPortMemory([](const std::string& device) {
    const std::filesystem::path file = app::UserConfigFile(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    const platform::FileResult written = app::RememberPort(file, device);
    if (!written.Ok())
      std::fprintf(stderr, "pelmor: the port is not remembered in %s: %s\n", file.c_str(), written.reason.c_str());
  });
}

int RunHeadless(MainDialogServices& services, const ScanKeys& keys, const KeyTyping& typing,
                const app::PortChoice& port, EventOutputs& outputs, platform::IDeviceWatch* watch) {
  fw::HeadlessHost host(fw::HeadlessHost::ClockKind::Real);
  fw::HeadlessTerminal terminal(host, std::cout);
  terminal.SetCommandInput(STDIN_FILENO);
  // A script that never answers "no" must not keep a failing procedure asking for ever.
  host.SetDefaultRetryLimit(3);
  terminal.SetKeyHandler([keyboard = keys.terminalKeys](const std::string& key, bool down, std::string& error) {
    if (!keyboard) {
      error = "the scan keys come from --scan-device";
      return false;
    }
    return keyboard->Press(key, down, error);
  });
  WatchKeys(host, keys.fd, keys.dispatch);
  WatchKeys(host, typing.fd, typing.dispatch);
  host.WatchFd(g_signalPipe[0], [&host] {
    DrainSignalPipe();
    host.Quit();
  });
  if (!StartMqtt(host, services.appDir, outputs)) return 2;
  CReaderApp app(host, services);
  app.onMainDialog = [&port, &terminal, &outputs, watch](CMainDialog& dlg) {
    dlg.SetPortDevice(fw::Widen(port.device));
    dlg.SetEvents(outputs.stream.get());
    AttachDesktop(dlg, watch, false);
    // With the events on standard output, they take the log's place there.
    if (!outputs.linesOnStandardOutput)
      dlg.SetLogObserver([&terminal](const fw::WString& text) { terminal.PrintLog(text); });
  };
  app.InitInstance();
  StopMqtt(outputs);
  return app.ExitCode();
}

int RunWindows(int argc, char** argv, MainDialogServices& services, const ScanKeys& keys, const KeyTyping& typing,
               const app::PortChoice& port, const std::filesystem::path& pictureDir, EventOutputs& outputs,
               platform::IDeviceWatch* watch) {
  QApplication qapp(argc, argv);
  // The window's desktop entry, by which Wayland compositors and docks find its icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("pelmor"));
  fw::QtHost host(res::PictureFilesIn(pictureDir));
  WatchKeys(host, keys.fd, keys.dispatch);
  WatchKeys(host, typing.fd, typing.dispatch);
  CMainDialog* mainDialog = nullptr;
  host.WatchFd(g_signalPipe[0], [&mainDialog] {
    DrainSignalPipe();
    if (mainDialog) mainDialog->DispatchClose();
  });
  if (!StartMqtt(host, services.appDir, outputs)) return 2;
  CReaderApp app(host, services);
  app.onMainDialog = [&mainDialog, &port, &outputs, watch](CMainDialog& dlg) {
    mainDialog = &dlg;
    dlg.SetPortDevice(fw::Widen(port.device));
    dlg.SetEvents(outputs.stream.get());
    AttachDesktop(dlg, watch, true);
  };
  app.InitInstance();
  host.UnwatchFd(g_signalPipe[0]);
  StopMqtt(outputs);
  return app.ExitCode();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (auto error = ParseOptions(args, options)) {
    std::fprintf(stderr, "pelmor: %s\n", error->c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("pelmor %s\n", kVersion);
    return 0;
  }
  if (options.listPorts) {
    for (const app::SerialDevice& device : app::ListSerialDevices())
      std::printf("%s\n", app::DescribeSerialDevice(device).c_str());
    return 0;
  }

  const std::filesystem::path exeDir = ExecutableFolder();
  const auto folders = app::ChooseAppFolders(options.appDir, exeDir, app::InstalledShareFolder(exeDir, kInstallLayout),
                                             app::UserDataFolder(std::getenv("XDG_DATA_HOME"), std::getenv("HOME")));
  if (!folders) {
    std::fprintf(stderr,
                 "pelmor: no folder for the program's files: neither XDG_DATA_HOME nor "
                 "HOME is an absolute path; give one with --app-dir\n");
    return 2;
  }
  for (const std::string& problem : app::PrepareDataFolder(*folders))
    std::fprintf(stderr, "pelmor: %s\n", problem.c_str());
  const std::filesystem::path& appDir = folders->appDir;

  // The built-in emulator serves on a pseudo-terminal in its own thread.
  std::unique_ptr<sim::PtyServer> emulator;
  app::PortChoice port;
  if (options.simulate) {
    sim::ServerOptions so;
    emulator = std::make_unique<sim::PtyServer>(so);
    if (emulator->Start() != 0) {
      std::fprintf(stderr, "pelmor: the reader emulator cannot start: %s\n", emulator->ErrorText().c_str());
      return 1;
    }
    (void)emulator->PutTag({"08", "999000012345678"});
    port = {emulator->SlavePath(), app::PortSource::Emulator};
  } else {
    const std::string remembered =
        app::RememberedPort(app::UserConfigFile(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")));
    port = app::ChoosePort(options.port, std::getenv("PELMOR_PORT"), remembered, app::ListSerialDevices());
  }

  const std::string power = options.power.empty() ? (options.simulate ? "sim" : "always-on") : options.power;
  device::PowerHooks hooks;
  if (sim::PtyServer* server = emulator.get()) {
    hooks.setSupply = [server](bool on) { server->SetPowered(on); };
    hooks.readSupply = [server] { return server->IsPowered(); };
  }
  std::string powerError;
  std::unique_ptr<device::IPinAccess> pins = device::MakePinAccess(power, hooks, powerError);
  if (!pins) {
    std::fprintf(stderr, "pelmor: --power %s: %s\n", power.c_str(), powerError.c_str());
    return 2;
  }

  ReaderSerialPorts serial(port);
  platform::CanberraSound sound;

  const bool display = std::getenv("DISPLAY") != nullptr;
  if (!options.headless && !display && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
    std::fprintf(stderr, "pelmor: no display; use --headless for the terminal without windows\n");
    return 2;
  }

  // Key output: typed into the window that has the focus. The windows default to XTest on
  // X11 and uinput on Wayland; the headless terminal types nothing unless asked to.
  KeyTyping typing;
  if (!MakeKeyOutput(options, typing)) return 2;
  ScanKeys scanKeys;
  if (!MakeHotKeys(options, display, scanKeys)) return 2;
  MainDialogServices services{serial, *scanKeys.hotKeys, *typing.output, sound, *pins, appDir};

  if (!InstallSignalPipe()) {
    std::perror("pelmor: pipe");
    return 1;
  }

  EventOutputs outputs;
  if (!MakeEventOutputs(options, appDir, port.device, outputs)) return 2;
  // A consumer of the events that goes away, or a broker that drops the connection, must
  // cost a write, not the program.
  if (!options.events.empty() || !options.mqtt.empty()) std::signal(SIGPIPE, SIG_IGN);
  // Without udev (containers, minimal systems) a lost reader's port is tried every second.
  std::string udevError;
  const std::unique_ptr<platform::UdevDeviceWatch> deviceWatch = platform::UdevDeviceWatch::Open(udevError);

  if (options.headless) return RunHeadless(services, scanKeys, typing, port, outputs, deviceWatch.get());
  return RunWindows(argc, argv, services, scanKeys, typing, port, folders->pictureDir, outputs, deviceWatch.get());
}
