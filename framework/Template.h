#pragma once
// Dialog templates as data: every control with its id, kind, caption, rectangle in
// dialog units, style and state at creation. Hosts build their windows from these.

#include <cstdint>
#include <vector>

#include "text/Text.h"

namespace fw {

// Controls without an id of their own (labels, rules) carry this one.
inline constexpr int kStaticId = -1;

// Standard command ids.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

struct Rect {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

enum class ControlKind {
  PushButton,
  CheckBox,     // automatic: a click toggles it
  RadioButton,  // the dialog's handlers keep a group exclusive
  Edit,
  Static,  // text label
  Bitmap,  // static picture, resource id in ControlTemplate::resource
  ComboBox,
  Progress,
  GroupBox,  // a frame with its caption around other controls; it takes no input
};

enum Style : uint32_t {
  kStyleNone = 0,
  kHidden = 1u << 0,         // created invisible
  kDisabled = 1u << 1,       // created disabled
  kDefaultButton = 1u << 2,  // the dialog's default push button
  kMultiLine = 1u << 3,      // edit: several lines; push button: caption wraps
  kReadOnly = 1u << 4,
  kVScroll = 1u << 5,
  kBorder = 1u << 6,
  kGroup = 1u << 7,       // starts a group (radio buttons)
  kSorted = 1u << 8,      // combo box list is kept sorted
  kDropDown = 1u << 9,    // combo box: edit field plus list
  kSmooth = 1u << 10,     // progress bar
  kAlignLeft = 1u << 11,  // static text
  kAutoHScroll = 1u << 12,
  // The control grows with its window: its right (bottom) edge keeps its distance to the
  // window's right (bottom) edge. A dialog with such a control can be enlarged by the user,
  // never below its template's size.
  kGrowRight = 1u << 13,
  kGrowDown = 1u << 14,
  // The control keeps its distance to the window's bottom (right) edge, as do controls
  // under (beside) one that grows. Every control without one of these flags keeps its
  // template place.
  kMoveDown = 1u << 15,
  kMoveRight = 1u << 16,
};

// True when the control's place depends on its window's size.
inline bool FollowsWindowSize(uint32_t style) {
  return (style & (kGrowRight | kGrowDown | kMoveDown | kMoveRight)) != 0;
}

struct ControlTemplate {
  int id = kStaticId;
  ControlKind kind = ControlKind::Static;
  const char16_t* caption = u"";
  Rect rect;
  uint32_t style = kStyleNone;
  int resource = 0;  // bitmap resource for ControlKind::Bitmap
};

struct DialogTemplate {
  int id = 0;
  const char16_t* title = u"";
  Rect rect;  // position and size in dialog units
  const char16_t* fontName = u"System";
  int fontPoints = 8;
  bool okInCaption = false;  // the caption carries an OK button (IDOK)
  std::vector<ControlTemplate> controls;

  // True when a user may enlarge the window: one of its controls grows with it.
  bool Resizable() const {
    for (const auto& c : controls)
      if ((c.style & (kGrowRight | kGrowDown)) != 0) return true;
    return false;
  }

  const ControlTemplate* Find(int controlId) const {
    for (const auto& c : controls)
      if (c.id == controlId && controlId != kStaticId) return &c;
    return nullptr;
  }
};

}  // namespace fw
