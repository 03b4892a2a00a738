#include "resources/Templates.h"

namespace res {
namespace {

using fw::ControlKind;
using fw::ControlTemplate;
using fw::DialogTemplate;
using fw::kStaticId;
using K = ControlKind;

constexpr uint32_t kCheck = fw::kStyleNone;
constexpr const char16_t* kRule34 = u"__________________________________";

DialogTemplate MakeMain() {
  DialogTemplate t;
  t.id = IDD_MAIN;
  t.title = u"Pelmor";
  t.rect = {0, 0, 136, 166};
  t.okInCaption = true;
  t.controls = {
      {1000, K::PushButton, u"Connect", {1, 1, 47, 12}, fw::kStyleNone},
      {1011, K::PushButton, u"Get version", {53, 1, 48, 12}, fw::kDisabled},
      {1038, K::PushButton, u"Hide", {106, 1, 29, 12}, fw::kStyleNone},
      {1041, K::CheckBox, u"Prefix", {1, 17, 29, 9}, kCheck},
      {1043, K::Edit, u"", {30, 17, 23, 10}, fw::kBorder | fw::kAutoHScroll},
      {1042, K::CheckBox, u"Suffix", {53, 17, 30, 10}, kCheck},
      {1044, K::Edit, u"", {83, 17, 23, 10}, fw::kBorder | fw::kAutoHScroll},
      {1046, K::CheckBox, u"cr", {106, 12, 20, 8}, kCheck},
      {1061, K::CheckBox, u"Tab", {106, 20, 25, 8}, kCheck},
      {1039, K::Static, kRule34, {0, 22, 135, 8}, fw::kAlignLeft},
      {1034, K::PushButton, u"Trg.", {117, 30, 18, 10}, fw::kDisabled},
      {1026, K::CheckBox, u"Read PSK1", {4, 31, 59, 9}, fw::kHidden},
      {1027, K::CheckBox, u"Read PSK2", {4, 39, 59, 9}, fw::kHidden},
      {1028, K::CheckBox, u"Read Keswin", {4, 47, 59, 9}, fw::kHidden},
      {1029, K::CheckBox, u"Read Flex", {4, 55, 59, 9}, fw::kHidden},
      {1030, K::CheckBox, u"Read ISO fdx-b", {4, 63, 59, 9}, fw::kHidden},
      {1031, K::CheckBox, u"Read Fecava", {4, 71, 59, 9}, fw::kHidden},
      {1032, K::CheckBox, u"Read Avid", {4, 79, 59, 9}, fw::kHidden},
      {1033, K::CheckBox, u"Read ASK", {4, 87, 59, 9}, fw::kHidden},
      {1045, K::CheckBox, u"HDX", {4, 95, 59, 9}, fw::kHidden},
      {1004, K::CheckBox, u"Use trigger", {65, 31, 48, 9}, kCheck},
      {1014, K::CheckBox, u"Read once", {65, 39, 45, 9}, kCheck},
      {1019, K::CheckBox, u"Led on", {65, 47, 42, 9}, kCheck},
      {1020, K::CheckBox, u"Led after read", {65, 55, 61, 9}, kCheck},
      {1021, K::CheckBox, u"ISO Country", {65, 63, 53, 9}, kCheck},
      {1022, K::CheckBox, u"ISO HEX", {65, 71, 42, 9}, kCheck},
      {1059, K::CheckBox, u"No space", {65, 79, 45, 9}, kCheck},
      {1040, K::Bitmap, u"", {37, 35, 67, 62}, fw::kHidden, IDB_SCANNING},
      {1023, K::PushButton, u"Read", {65, 90, 27, 11}, fw::kDisabled},
      {1024, K::PushButton, u"Write", {93, 90, 27, 11}, fw::kDisabled},
      {kStaticId, K::Static, kRule34, {0, 96, 135, 8}, fw::kAlignLeft},
      {1036, K::Static, u"Type:", {6, 105, 101, 8}, fw::kAlignLeft},
      {1048, K::PushButton, u"Clear Code", {108, 106, 27, 17}, fw::kMultiLine},
      {1037, K::Static, u"Code:", {6, 115, 101, 8}, fw::kAlignLeft},
      // The log is what grows when the window is enlarged.
      {1003,
       K::Edit,
       u"",
       {2, 123, 133, 30},
       fw::kMultiLine | fw::kReadOnly | fw::kVScroll | fw::kBorder | fw::kGrowRight | fw::kGrowDown},
      // "Clear" lies on the log's top right corner: after the log, so that it is drawn above it.
      {1005, K::PushButton, u"Clear", {108, 124, 27, 11}, fw::kMoveRight},
      // The row under it stays at the window's bottom.
      {1049, K::PushButton, u"Write Tag", {2, 154, 37, 11}, fw::kMoveDown},
      {1047, K::PushButton, u"Firmware", {41, 154, 37, 11}, fw::kMoveDown},
      {1077, K::CheckBox, u"Auto Hide", {85, 154, 47, 10}, kCheck | fw::kMoveDown},
  };
  return t;
}

DialogTemplate MakeWriteTag() {
  DialogTemplate t;
  t.id = IDD_WRITETAG;
  t.title = u"Write Tag";
  t.rect = {7, 10, 113, 124};
  t.controls = {
      {1038, K::PushButton, u"?", {94, 1, 16, 14}, fw::kStyleNone},
      // The sections are frames around their controls, captioned with their rules.
      {kStaticId, K::GroupBox, u"__ Blocks __________________", {2, 9, 90, 38}, fw::kStyleNone},
      {1070, K::RadioButton, u"3", {4, 17, 18, 13}, fw::kGroup},
      {1071, K::RadioButton, u"5", {22, 17, 18, 13}, fw::kGroup},
      {1072, K::RadioButton, u"7", {40, 17, 18, 13}, fw::kGroup},
      {1068, K::PushButton, u"Write", {4, 31, 49, 13}, fw::kStyleNone},
      {kStaticId, K::GroupBox, u"__ Code ___________________", {2, 51, 110, 43}, fw::kStyleNone},
      {1063, K::ComboBox, u"", {4, 62, 83, 79}, fw::kDropDown | fw::kVScroll | fw::kAutoHScroll},
      {1053, K::PushButton, u"Clear", {87, 63, 23, 11}, fw::kStyleNone},
      {1064, K::PushButton, u"Clear List", {87, 76, 23, 16}, fw::kMultiLine},
      {1062, K::PushButton, u"Write", {4, 79, 50, 12}, fw::kStyleNone},
      {kStaticId, K::Static, u"__________________________", {4, 91, 105, 8}, fw::kAlignLeft},
      {1076, K::Static, u"", {4, 99, 106, 9}, fw::kAlignLeft},
      {fw::IDCANCEL, K::PushButton, u"Close", {60, 110, 50, 12}, fw::kStyleNone},
  };
  return t;
}

DialogTemplate MakeDownload() {
  DialogTemplate t;
  t.id = IDD_DOWNLOAD;
  t.title = u"Download Firmware";
  t.rect = {0, 0, 115, 86};
  t.controls = {
      {1049, K::PushButton, u"Download", {9, 69, 50, 14}, fw::kDefaultButton},
      {fw::IDCANCEL, K::PushButton, u"Cancel", {63, 69, 50, 14}, fw::kStyleNone},
      {1056, K::ComboBox, u"", {4, 22, 109, 44}, fw::kDropDown | fw::kSorted | fw::kVScroll | fw::kAutoHScroll},
      {kStaticId, K::Static, u"Select the firmware.", {4, 7, 66, 11}, fw::kAlignLeft},
      {1038, K::PushButton, u"?", {97, 7, 16, 14}, fw::kStyleNone},
      {1058, K::Progress, u"", {4, 42, 109, 10}, fw::kSmooth | fw::kBorder},
      {1065, K::Static, u"....", {26, 52, 87, 10}, fw::kHidden | fw::kAlignLeft},
      {1066, K::Static, u"", {4, 54, 78, 8}, fw::kAlignLeft},
  };
  return t;
}

// Where the reader's port is chosen when it cannot be opened, or to switch readers.
DialogTemplate MakePort() {
  DialogTemplate t;
  t.id = IDD_PORT;
  t.title = u"Reader port";
  t.rect = {0, 0, 240, 104};
  t.controls = {
      {kStaticId, K::Static, u"Serial devices present:", {4, 4, 120, 8}, fw::kAlignLeft},
      {1102, K::ComboBox, u"", {4, 13, 232, 60}, fw::kVScroll},
      {kStaticId, K::Static, u"Port:", {4, 32, 22, 8}, fw::kAlignLeft},
      {1103, K::Edit, u"", {28, 30, 208, 12}, fw::kBorder | fw::kAutoHScroll},
      {1104, K::Static, u"", {4, 47, 232, 34}, fw::kAlignLeft},
      {fw::IDOK, K::PushButton, u"Connect", {132, 86, 50, 14}, fw::kDefaultButton},
      {1105, K::PushButton, u"Quit", {186, 86, 50, 14}, fw::kStyleNone},
  };
  return t;
}

}  // namespace

const DialogTemplate& PortTemplate() {
  static const DialogTemplate t = MakePort();
  return t;
}

const DialogTemplate& MainTemplate() {
  static const DialogTemplate t = MakeMain();
  return t;
}

const DialogTemplate& DownloadTemplate() {
  static const DialogTemplate t = MakeDownload();
  return t;
}

const DialogTemplate& WriteTagTemplate() {
  static const DialogTemplate t = MakeWriteTag();
  return t;
}

const char* PictureFile(int resource) {
  switch (resource) {
    case IDR_MAINFRAME:
      return "pelmor-icon.png";
    case IDB_SCANNING:
      return "scanning.png";
    default:
      return nullptr;
  }
}

std::function<std::filesystem::path(int)> PictureFilesIn(std::filesystem::path folder) {
  return [folder = std::move(folder)](int resource) {
    const char* file = PictureFile(resource);
    return file ? folder / file : std::filesystem::path();
  };
}

const fw::DialogTemplate* FindDialogTemplate(int templateId) {
  switch (templateId) {
    case res::IDD_MAIN:
      return &res::MainTemplate();
    case res::IDD_DOWNLOAD:
      return &res::DownloadTemplate();
    case res::IDD_WRITETAG:
      return &res::WriteTagTemplate();
    case res::IDD_PORT:
      return &res::PortTemplate();
    default:
      return nullptr;
  }
}

}  // namespace res
