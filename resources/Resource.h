#pragma once
// Control ids of the three dialogs.

namespace res {

// Main dialog (102).
inline constexpr int IDC_CONNECT = 1000;
inline constexpr int IDC_GETVERSION = 1011;
inline constexpr int IDC_HIDE = 1038;
inline constexpr int IDC_PREFIX = 1041;
inline constexpr int IDC_EDIT_PREFIX = 1043;
inline constexpr int IDC_SUFFIX = 1042;
inline constexpr int IDC_EDIT_SUFFIX = 1044;
inline constexpr int IDC_CR = 1046;
inline constexpr int IDC_TAB = 1061;
inline constexpr int IDC_RULE = 1039;
inline constexpr int IDC_TRIGGER = 1034;
inline constexpr int IDC_READ_PSK1 = 1026;
inline constexpr int IDC_READ_PSK2 = 1027;
inline constexpr int IDC_READ_KESWIN = 1028;
inline constexpr int IDC_READ_FLEX = 1029;
inline constexpr int IDC_READ_ISOFDXB = 1030;
inline constexpr int IDC_READ_FECAVA = 1031;
inline constexpr int IDC_READ_AVID = 1032;
inline constexpr int IDC_READ_ASK = 1033;
inline constexpr int IDC_HDX = 1045;
inline constexpr int IDC_USE_TRIGGER = 1004;
inline constexpr int IDC_READ_ONCE = 1014;
inline constexpr int IDC_LED_ON = 1019;
inline constexpr int IDC_LED_AFTER_READ = 1020;
inline constexpr int IDC_ISO_COUNTRY = 1021;
inline constexpr int IDC_ISO_HEX = 1022;
inline constexpr int IDC_NO_SPACE = 1059;
inline constexpr int IDC_PIC_SCAN = 1040;
inline constexpr int IDC_READ = 1023;
inline constexpr int IDC_WRITE = 1024;
inline constexpr int IDC_TYPE = 1036;
inline constexpr int IDC_CLEAR_CODE = 1048;
inline constexpr int IDC_CODE = 1037;
inline constexpr int IDC_CLEAR = 1005;
inline constexpr int IDC_LOG = 1003;
inline constexpr int IDC_WRITE_TAG = 1049;
inline constexpr int IDC_FIRMWARE = 1047;
inline constexpr int IDC_AUTO_HIDE = 1077;

// Write Tag dialog (135).
inline constexpr int IDC_WT_HELP = 1038;
inline constexpr int IDC_WT_BLOCKS3 = 1070;
inline constexpr int IDC_WT_BLOCKS5 = 1071;
inline constexpr int IDC_WT_BLOCKS7 = 1072;
inline constexpr int IDC_WT_WRITE_BLOCKS = 1068;
inline constexpr int IDC_WT_CODE = 1063;
inline constexpr int IDC_WT_CLEAR = 1053;
inline constexpr int IDC_WT_CLEAR_LIST = 1064;
inline constexpr int IDC_WT_WRITE_CODE = 1062;
inline constexpr int IDC_WT_STATUS = 1076;

// Download Firmware dialog (133).
inline constexpr int IDC_DL_DOWNLOAD = 1049;
inline constexpr int IDC_DL_FILE = 1056;
inline constexpr int IDC_DL_HELP = 1038;
inline constexpr int IDC_DL_PROGRESS = 1058;
inline constexpr int IDC_DL_STATE = 1065;
inline constexpr int IDC_DL_INFO = 1066;

// The main window's context menu.
inline constexpr int IDM_PORT = 1101;

// Reader port dialog (140).
inline constexpr int IDC_PORT_LIST = 1102;
inline constexpr int IDC_PORT_PATH = 1103;
inline constexpr int IDC_PORT_REASON = 1104;
inline constexpr int IDC_PORT_QUIT = 1105;

}  // namespace res
