#include "platform/linux/EvdevScanButton.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/linux/UinputKeyOutput.h"
#include "platform/linux/UniqueFd.h"
#include "platform/linux/UniquePtr.h"
#include "platform/linux/VirtualKeys.h"

namespace platform {
namespace {

using LibevdevPtr = UniquePtr<libevdev, libevdev_free>;

class LibevdevSource final : public IEvdevSource {
 public:
  // The libevdev context goes before the descriptor it reads (members go in reverse);
  // closing the descriptor also ends a grab.
  LibevdevSource(UniqueFd fd, LibevdevPtr device) : fd_(std::move(fd)), device_(std::move(device)) {}

  int Fd() const override { return fd_.Get(); }
  bool HasKey(uint16_t code) const override { return libevdev_has_event_code(device_.get(), EV_KEY, code) == 1; }
  int NextEvent(unsigned flags, input_event& event) override {
    return libevdev_next_event(device_.get(), flags, &event);
  }

 private:
  UniqueFd fd_;
  LibevdevPtr device_;
};

std::string KeyName(uint16_t code) {
  const char* name = libevdev_event_code_get_name(EV_KEY, code);
  return name ? std::string(name) : "key " + std::to_string(code);
}

}  // namespace

EvdevScanButton::EvdevScanButton(std::unique_ptr<IEvdevSource> source, ScanKeys keys)
    : source_(std::move(source)), keys_(keys) {}

std::unique_ptr<EvdevScanButton> EvdevScanButton::Open(const std::string& path, DeviceGrab grab, ScanKeys keys,
                                                       std::string& error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  libevdev* raw = nullptr;
  const int rc = libevdev_new_from_fd(fd.Get(), &raw);
  if (rc < 0) {
    error = path + " is no input device: " + std::strerror(-rc);
    return nullptr;
  }
  LibevdevPtr device(raw);
  if (libevdev_has_event_code(device.get(), EV_KEY, keys.scan) != 1) {
    error = path + " (" + libevdev_get_name(device.get()) + ") has no " + KeyName(keys.scan);
    return nullptr;
  }
  if (grab == DeviceGrab::Exclusive) {
    const int grabbed = libevdev_grab(device.get(), LIBEVDEV_GRAB);
    if (grabbed < 0) {
      error = "cannot take " + path + " for this program alone: " + std::strerror(-grabbed);
      return nullptr;
    }
  }
  auto source = std::make_unique<LibevdevSource>(std::move(fd), std::move(device));
  return std::make_unique<EvdevScanButton>(std::move(source), keys);
}

std::optional<uint16_t> EvdevScanButton::KeyCodeFromName(const std::string& name) {
  unsigned number = 0;
  const char* end = name.data() + name.size();
  const auto [ptr, ec] = std::from_chars(name.data(), end, number);
  if (!name.empty() && ec == std::errc() && ptr == end) {
    if (number > KEY_MAX) return std::nullopt;
    return static_cast<uint16_t>(number);
  }
  const int code = libevdev_event_code_from_name(EV_KEY, name.c_str());
  if (code < 0) return std::nullopt;
  return static_cast<uint16_t>(code);
}

std::vector<std::string> EvdevScanButton::EventDevices(const std::string& folder) {
  std::vector<std::pair<unsigned, std::string>> numbered;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    constexpr std::string_view kPrefix = "event";
    if (name.rfind(kPrefix, 0) != 0 || name.size() == kPrefix.size()) continue;
    unsigned number = 0;
    const char* end = name.data() + name.size();
    const auto [ptr, err] = std::from_chars(name.data() + kPrefix.size(), end, number);
    if (err != std::errc() || ptr != end) continue;
    numbered.emplace_back(number, entry.path().string());
  }
  std::sort(numbered.begin(), numbered.end());
  std::vector<std::string> paths;
  for (auto& [number, path] : numbered) paths.push_back(std::move(path));
  return paths;
}

std::optional<std::string> EvdevScanButton::FindDevice(uint16_t key, std::string& error, const std::string& folder) {
  unsigned examined = 0;
  unsigned unreadable = 0;
  std::string firstRefusal;
  for (const std::string& path : EventDevices(folder)) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
      if (unreadable++ == 0) firstRefusal = path + ": " + std::strerror(errno);
      continue;
    }
    libevdev* raw = nullptr;
    if (libevdev_new_from_fd(fd.Get(), &raw) < 0) continue;
    const LibevdevPtr device(raw);
    ++examined;
    const char* name = libevdev_get_name(device.get());
    if (name && std::string_view(name) == kUinputKeyboardName) continue;
    if (libevdev_has_event_code(device.get(), EV_KEY, key) == 1) return path;
  }
  error = "no input device in " + folder + " has " + KeyName(key) + " (" + std::to_string(examined) + " examined";
  if (unreadable > 0) error += ", " + std::to_string(unreadable) + " not readable, such as " + firstRefusal;
  error += ")";
  return std::nullopt;
}

void EvdevScanButton::SetSink(Sink sink) { sink_ = std::move(sink); }

bool EvdevScanButton::ReleaseFromSystem(unsigned, unsigned) { return false; }

std::optional<uint16_t> EvdevScanButton::KeyFor(unsigned vk) const {
  if (vk == VK_F24) return keys_.scan;
  if (vk == VK_F22) return keys_.orange;
  if (vk > 0xFF) return std::nullopt;
  return LinuxKeyForVk(static_cast<uint8_t>(vk));
}

bool EvdevScanButton::Register(int id, unsigned modifiers, unsigned vk) {
  if ((modifiers & ~MOD_KEYUP) != 0) return false;
  const std::optional<uint16_t> key = KeyFor(vk);
  if (!key || !source_->HasKey(*key)) return false;
  return book_.Add(id, modifiers, vk, {*key});
}

bool EvdevScanButton::Unregister(int id) { return book_.Remove(id).has_value(); }

int EvdevScanButton::Fd() const { return source_->Fd(); }

void EvdevScanButton::Deliver(const std::optional<HotKeyBook::Message>& message) {
  if (message && sink_) sink_(message->id, message->lparam);
}

void EvdevScanButton::Handle(const input_event& event) {
  if (event.type != EV_KEY) return;
  // Value 2 is the kernel's auto-repeat of a held key.
  if (event.value == 1) Deliver(book_.Press(event.code));
  if (event.value == 0) Deliver(book_.Release(event.code));
}

bool EvdevScanButton::Dispatch() {
  if (gone_) return false;
  unsigned flags = LIBEVDEV_READ_FLAG_NORMAL;
  for (;;) {
    input_event event{};
    const int rc = source_->NextEvent(flags, event);
    if (rc == LIBEVDEV_READ_STATUS_SUCCESS) {
      Handle(event);
    } else if (rc == LIBEVDEV_READ_STATUS_SYNC) {
      // After SYN_DROPPED libevdev hands out, in sync mode, the changes the dropped events
      // would have made, until -EAGAIN.
      flags = LIBEVDEV_READ_FLAG_SYNC;
      Handle(event);
    } else if (rc == -EAGAIN) {
      if (flags == LIBEVDEV_READ_FLAG_NORMAL) return true;
      flags = LIBEVDEV_READ_FLAG_NORMAL;
    } else {
      gone_ = true;
      for (const HotKeyBook::Message& m : book_.ReleaseAll()) Deliver(m);
      return false;
    }
  }
}

}  // namespace platform
