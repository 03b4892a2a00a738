#pragma once
// The three dialog templates and the picture resources of the program.

#include <filesystem>
#include <functional>

#include "framework/Template.h"

namespace res {

inline constexpr int IDD_MAIN = 102;
inline constexpr int IDD_DOWNLOAD = 133;
inline constexpr int IDD_WRITETAG = 135;
inline constexpr int IDD_PORT = 140;  // the desktop's "Reader port" dialog

inline constexpr int IDR_MAINFRAME = 128;  // the program's icon
inline constexpr int IDB_SCANNING = 132;   // picture shown while scanning in hidden mode

const fw::DialogTemplate& MainTemplate();
const fw::DialogTemplate& DownloadTemplate();
const fw::DialogTemplate& WriteTagTemplate();
const fw::DialogTemplate& PortTemplate();
// One of the templates by its id; null for an unknown id.
const fw::DialogTemplate* FindDialogTemplate(int templateId);

// Resource file name (PNG) of a picture resource, relative to the resources folder.
const char* PictureFile(int resource);
// The files of the picture resources in a folder, for the window host: an empty path for a
// resource that has none.
std::function<std::filesystem::path(int)> PictureFilesIn(std::filesystem::path folder);

}  // namespace res
