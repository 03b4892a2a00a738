#include "platform/linux/VirtualKeys.h"

#include <X11/keysym.h>
#include <linux/input-event-codes.h>

#include <array>

namespace platform {
namespace {

struct VkEntry {
  uint8_t vk;
  uint32_t keysym;
  uint16_t key;
};

// Virtual keys in code order. Letters and digits name the key, so a letter's keysym is the
// lower-case one; the OEM codes are the punctuation keys of a US keyboard.
constexpr VkEntry kVkTable[] = {
    {0x08, XK_BackSpace, KEY_BACKSPACE},
    {0x09, XK_Tab, KEY_TAB},
    {0x0D, XK_Return, KEY_ENTER},
    {0x10, XK_Shift_L, KEY_LEFTSHIFT},
    {0x11, XK_Control_L, KEY_LEFTCTRL},
    {0x12, XK_Alt_L, KEY_LEFTALT},
    {0x13, XK_Pause, KEY_PAUSE},
    {0x14, XK_Caps_Lock, KEY_CAPSLOCK},
    {0x1B, XK_Escape, KEY_ESC},
    {0x20, XK_space, KEY_SPACE},
    {0x21, XK_Prior, KEY_PAGEUP},
    {0x22, XK_Next, KEY_PAGEDOWN},
    {0x23, XK_End, KEY_END},
    {0x24, XK_Home, KEY_HOME},
    {0x25, XK_Left, KEY_LEFT},
    {0x26, XK_Up, KEY_UP},
    {0x27, XK_Right, KEY_RIGHT},
    {0x28, XK_Down, KEY_DOWN},
    {0x2C, XK_Print, KEY_SYSRQ},
    {0x2D, XK_Insert, KEY_INSERT},
    {0x2E, XK_Delete, KEY_DELETE},
    {0x30, XK_0, KEY_0},
    {0x31, XK_1, KEY_1},
    {0x32, XK_2, KEY_2},
    {0x33, XK_3, KEY_3},
    {0x34, XK_4, KEY_4},
    {0x35, XK_5, KEY_5},
    {0x36, XK_6, KEY_6},
    {0x37, XK_7, KEY_7},
    {0x38, XK_8, KEY_8},
    {0x39, XK_9, KEY_9},
    {0x41, XK_a, KEY_A},
    {0x42, XK_b, KEY_B},
    {0x43, XK_c, KEY_C},
    {0x44, XK_d, KEY_D},
    {0x45, XK_e, KEY_E},
    {0x46, XK_f, KEY_F},
    {0x47, XK_g, KEY_G},
    {0x48, XK_h, KEY_H},
    {0x49, XK_i, KEY_I},
    {0x4A, XK_j, KEY_J},
    {0x4B, XK_k, KEY_K},
    {0x4C, XK_l, KEY_L},
    {0x4D, XK_m, KEY_M},
    {0x4E, XK_n, KEY_N},
    {0x4F, XK_o, KEY_O},
    {0x50, XK_p, KEY_P},
    {0x51, XK_q, KEY_Q},
    {0x52, XK_r, KEY_R},
    {0x53, XK_s, KEY_S},
    {0x54, XK_t, KEY_T},
    {0x55, XK_u, KEY_U},
    {0x56, XK_v, KEY_V},
    {0x57, XK_w, KEY_W},
    {0x58, XK_x, KEY_X},
    {0x59, XK_y, KEY_Y},
    {0x5A, XK_z, KEY_Z},
    {0x5B, XK_Super_L, KEY_LEFTMETA},
    {0x5C, XK_Super_R, KEY_RIGHTMETA},
    {0x5D, XK_Menu, KEY_COMPOSE},
    {0x60, XK_KP_0, KEY_KP0},
    {0x61, XK_KP_1, KEY_KP1},
    {0x62, XK_KP_2, KEY_KP2},
    {0x63, XK_KP_3, KEY_KP3},
    {0x64, XK_KP_4, KEY_KP4},
    {0x65, XK_KP_5, KEY_KP5},
    {0x66, XK_KP_6, KEY_KP6},
    {0x67, XK_KP_7, KEY_KP7},
    {0x68, XK_KP_8, KEY_KP8},
    {0x69, XK_KP_9, KEY_KP9},
    {0x6A, XK_KP_Multiply, KEY_KPASTERISK},
    {0x6B, XK_KP_Add, KEY_KPPLUS},
    {0x6D, XK_KP_Subtract, KEY_KPMINUS},
    {0x6E, XK_KP_Decimal, KEY_KPDOT},
    {0x6F, XK_KP_Divide, KEY_KPSLASH},
    {0x70, XK_F1, KEY_F1},
    {0x71, XK_F2, KEY_F2},
    {0x72, XK_F3, KEY_F3},
    {0x73, XK_F4, KEY_F4},
    {0x74, XK_F5, KEY_F5},
    {0x75, XK_F6, KEY_F6},
    {0x76, XK_F7, KEY_F7},
    {0x77, XK_F8, KEY_F8},
    {0x78, XK_F9, KEY_F9},
    {0x79, XK_F10, KEY_F10},
    {0x7A, XK_F11, KEY_F11},
    {0x7B, XK_F12, KEY_F12},
    {0x7C, XK_F13, KEY_F13},
    {0x7D, XK_F14, KEY_F14},
    {0x7E, XK_F15, KEY_F15},
    {0x7F, XK_F16, KEY_F16},
    {0x80, XK_F17, KEY_F17},
    {0x81, XK_F18, KEY_F18},
    {0x82, XK_F19, KEY_F19},
    {0x83, XK_F20, KEY_F20},
    {0x84, XK_F21, KEY_F21},
    {0x85, XK_F22, KEY_F22},
    {0x86, XK_F23, KEY_F23},
    {0x87, XK_F24, KEY_F24},
    {0x90, XK_Num_Lock, KEY_NUMLOCK},
    {0x91, XK_Scroll_Lock, KEY_SCROLLLOCK},
    {0xA0, XK_Shift_L, KEY_LEFTSHIFT},
    {0xA1, XK_Shift_R, KEY_RIGHTSHIFT},
    {0xA2, XK_Control_L, KEY_LEFTCTRL},
    {0xA3, XK_Control_R, KEY_RIGHTCTRL},
    {0xA4, XK_Alt_L, KEY_LEFTALT},
    {0xA5, XK_Alt_R, KEY_RIGHTALT},
    {0xBA, XK_semicolon, KEY_SEMICOLON},
    {0xBB, XK_equal, KEY_EQUAL},
    {0xBC, XK_comma, KEY_COMMA},
    {0xBD, XK_minus, KEY_MINUS},
    {0xBE, XK_period, KEY_DOT},
    {0xBF, XK_slash, KEY_SLASH},
    {0xC0, XK_grave, KEY_GRAVE},
    {0xDB, XK_bracketleft, KEY_LEFTBRACE},
    {0xDC, XK_backslash, KEY_BACKSLASH},
    {0xDD, XK_bracketright, KEY_RIGHTBRACE},
    {0xDE, XK_apostrophe, KEY_APOSTROPHE},
};

const VkEntry* FindVk(uint8_t vk) {
  for (const VkEntry& e : kVkTable) {
    if (e.vk == vk) return &e;
  }
  return nullptr;
}

// The keys of printable ASCII on a US keyboard, indexed by character - 0x20.
constexpr std::array<UsKey, 95> kUsAscii = {{
    {KEY_SPACE, false},       // ' '
    {KEY_1, true},            // !
    {KEY_APOSTROPHE, true},   // "
    {KEY_3, true},            // #
    {KEY_4, true},            // $
    {KEY_5, true},            // %
    {KEY_7, true},            // &
    {KEY_APOSTROPHE, false},  // '
    {KEY_9, true},            // (
    {KEY_0, true},            // )
    {KEY_8, true},            // *
    {KEY_EQUAL, true},        // +
    {KEY_COMMA, false},       // ,
    {KEY_MINUS, false},       // -
    {KEY_DOT, false},         // .
    {KEY_SLASH, false},       // /
    {KEY_0, false},           // 0
    {KEY_1, false},           // 1
    {KEY_2, false},           // 2
    {KEY_3, false},           // 3
    {KEY_4, false},           // 4
    {KEY_5, false},           // 5
    {KEY_6, false},           // 6
    {KEY_7, false},           // 7
    {KEY_8, false},           // 8
    {KEY_9, false},           // 9
    {KEY_SEMICOLON, true},    // :
    {KEY_SEMICOLON, false},   // ;
    {KEY_COMMA, true},        // <
    {KEY_EQUAL, false},       // =
    {KEY_DOT, true},          // >
    {KEY_SLASH, true},        // ?
    {KEY_2, true},            // @
    {KEY_A, true},            // A
    {KEY_B, true},            // B
    {KEY_C, true},            // C
    {KEY_D, true},            // D
    {KEY_E, true},            // E
    {KEY_F, true},            // F
    {KEY_G, true},            // G
    {KEY_H, true},            // H
    {KEY_I, true},            // I
    {KEY_J, true},            // J
    {KEY_K, true},            // K
    {KEY_L, true},            // L
    {KEY_M, true},            // M
    {KEY_N, true},            // N
    {KEY_O, true},            // O
    {KEY_P, true},            // P
    {KEY_Q, true},            // Q
    {KEY_R, true},            // R
    {KEY_S, true},            // S
    {KEY_T, true},            // T
    {KEY_U, true},            // U
    {KEY_V, true},            // V
    {KEY_W, true},            // W
    {KEY_X, true},            // X
    {KEY_Y, true},            // Y
    {KEY_Z, true},            // Z
    {KEY_LEFTBRACE, false},   // [
    {KEY_BACKSLASH, false},   // backslash
    {KEY_RIGHTBRACE, false},  // ]
    {KEY_6, true},            // ^
    {KEY_MINUS, true},        // _
    {KEY_GRAVE, false},       // `
    {KEY_A, false},           // a
    {KEY_B, false},           // b
    {KEY_C, false},           // c
    {KEY_D, false},           // d
    {KEY_E, false},           // e
    {KEY_F, false},           // f
    {KEY_G, false},           // g
    {KEY_H, false},           // h
    {KEY_I, false},           // i
    {KEY_J, false},           // j
    {KEY_K, false},           // k
    {KEY_L, false},           // l
    {KEY_M, false},           // m
    {KEY_N, false},           // n
    {KEY_O, false},           // o
    {KEY_P, false},           // p
    {KEY_Q, false},           // q
    {KEY_R, false},           // r
    {KEY_S, false},           // s
    {KEY_T, false},           // t
    {KEY_U, false},           // u
    {KEY_V, false},           // v
    {KEY_W, false},           // w
    {KEY_X, false},           // x
    {KEY_Y, false},           // y
    {KEY_Z, false},           // z
    {KEY_LEFTBRACE, true},    // {
    {KEY_BACKSLASH, true},    // |
    {KEY_RIGHTBRACE, true},   // }
    {KEY_GRAVE, true},        // ~
}};

constexpr uint32_t kUnicodeKeysymBase = 0x01000000;
constexpr uint32_t kLastUnicode = 0x10FFFF;

}  // namespace

std::optional<uint32_t> KeysymForVk(uint8_t vk) {
  if (const VkEntry* e = FindVk(vk)) return e->keysym;
  return std::nullopt;
}

std::optional<uint32_t> CharacterForVk(uint8_t vk) {
  const std::optional<uint32_t> keysym = KeysymForVk(vk);
  // Latin-1 keysyms are their characters.
  if (!keysym || *keysym > 0xFF || IsUntypable(*keysym)) return std::nullopt;
  return keysym;
}

std::optional<uint16_t> LinuxKeyForVk(uint8_t vk) {
  if (const VkEntry* e = FindVk(vk)) return e->key;
  return std::nullopt;
}

bool IsUntypable(uint32_t character) {
  if (character < 0x20) return true;
  if (character >= 0x7F && character <= 0x9F) return true;
  if (character >= 0xD800 && character <= 0xDFFF) return true;
  return character > kLastUnicode;
}

std::optional<uint32_t> KeysymForCharacter(uint32_t character) {
  if (IsUntypable(character)) return std::nullopt;
  if (character <= 0xFF) return character;
  return kUnicodeKeysymBase + character;
}

std::optional<UsKey> UsKeyForCharacter(uint32_t character) {
  if (character < 0x20 || character > 0x7E) return std::nullopt;
  return kUsAscii[character - 0x20];
}

}  // namespace platform
