#pragma once
// Hot keys from an input device of its own (--scan-device /dev/input/eventN): a scan button
// that the kernel reports as a key, read with libevdev. It stands in for the X key grabs
// where there is no display, or where the button should not reach other programs.
//
// The scan button is one key code of the device (KEY_F24 unless told otherwise) and gives
// the hot key messages of VK_F24; the orange key's combination is another (KEY_F22 unless
// told otherwise) and gives those of VK_F22. Any other virtual key is registered on its own
// Linux key. Presses and releases become messages as HotKeyBook describes; the kernel's
// auto-repeat (value 2) gives none. Events the kernel dropped (SYN_DROPPED) are made up for
// with libevdev's resynchronisation, so a release that was lost still comes. When the device
// goes away, a key that was down gives its release message, and Dispatch reports the end.
//
// With DeviceGrab::Exclusive the device's events reach this program only (EVIOCGRAB), so
// the button does not also type F24 elsewhere; that is right only for a device that is
// nothing but the button, since a grabbed keyboard types nowhere else.
//
// On a Wayland session, where no program can grab keys of the desktop, the keyboard's own
// event device serves: opened with DeviceGrab::Shared its keys still reach the compositor,
// and the scan key's presses reach this program as well. FindDevice picks it.

#include <libevdev/libevdev.h>
#include <linux/input.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/HotKeys.h"
#include "platform/linux/HotKeyBook.h"

namespace platform {

// The calls to an opened input device, one each, so that the logic above them can be tested
// without a kernel device. Results are libevdev's.
class IEvdevSource {
 public:
  virtual ~IEvdevSource() = default;
  virtual int Fd() const = 0;
  // libevdev_has_event_code(EV_KEY, code).
  virtual bool HasKey(uint16_t code) const = 0;
  // libevdev_next_event: LIBEVDEV_READ_STATUS_SUCCESS, LIBEVDEV_READ_STATUS_SYNC, -EAGAIN
  // when nothing is pending, another negative errno when the device failed (-ENODEV: gone).
  virtual int NextEvent(unsigned flags, input_event& event) = 0;
};

enum class DeviceGrab { Shared, Exclusive };

struct ScanKeys {
  uint16_t scan = KEY_F24;    // gives VK_F24
  uint16_t orange = KEY_F22;  // gives VK_F22
};

class EvdevScanButton final : public IHotKeys {
 public:
  EvdevScanButton(std::unique_ptr<IEvdevSource> source, ScanKeys keys);
  // Opens the device at path. Returns null, with the reason in error, when it cannot be
  // opened, is no input device, has no key keys.scan, or cannot be grabbed.
  static std::unique_ptr<EvdevScanButton> Open(const std::string& path, DeviceGrab grab, ScanKeys keys,
                                               std::string& error);
  // A key code from its name ("KEY_ENTER", "BTN_TRIGGER") or its number; nothing for an
  // unknown name. For a command line that names the scan button's key.
  static std::optional<uint16_t> KeyCodeFromName(const std::string& name);
  // The first input device in folder, in the number order of their names (event2 before
  // event10), that has the key: a keyboard with the scan key, or a button of its own. The
  // program's own virtual keyboard is left out, since it has every key. Nothing, with what
  // was found in error, when no device has it.
  static std::optional<std::string> FindDevice(uint16_t key, std::string& error,
                                               const std::string& folder = "/dev/input");
  // The event devices in folder (eventN), in the order FindDevice tries them.
  static std::vector<std::string> EventDevices(const std::string& folder);

  void SetSink(Sink sink) override;
  // No step frees the key here: always false.
  bool ReleaseFromSystem(unsigned modifiers, unsigned vk) override;
  // Takes the device's key for vk for id. Fails for modifiers other than MOD_KEYUP, a vk
  // without key, a key the device does not have, or a key another id holds.
  bool Register(int id, unsigned modifiers, unsigned vk) override;
  bool Unregister(int id) override;

  // The device's descriptor, to watch for readability.
  int Fd() const;
  // Reads every pending event and passes the hot key messages to the sink. Returns false
  // once the device has gone away or failed; the caller stops watching Fd() then.
  bool Dispatch();

 private:
  std::optional<uint16_t> KeyFor(unsigned vk) const;
  void Handle(const input_event& event);
  void Deliver(const std::optional<HotKeyBook::Message>& message);

  std::unique_ptr<IEvdevSource> source_;
  ScanKeys keys_;
  HotKeyBook book_;
  Sink sink_;
  bool gone_ = false;
};

}  // namespace platform
