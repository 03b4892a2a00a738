#pragma once
// Where the program keeps its files. A program run from its build tree uses its own folder,
// as it always has. An installed program (<prefix>/bin/pelmor) cannot write beside itself,
// so its application folder is the user's data folder, $XDG_DATA_HOME/pelmor or
// ~/.local/share/pelmor, made at the first start and given the default sounds from
// <prefix>/share/pelmor/Sound; its pictures come from <prefix>/share/pelmor. --app-dir names
// the application folder in both cases.
//
// Everything takes its folders and environment values as parameters, so that tests can use
// a tree of their own.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace app {

// Where an installed program's shared files lie relative to its executable; the program is
// built with the install folders CMake was configured with.
struct InstallLayout {
  std::string binFolderName = "bin";  // the last component of the bin folder
  std::filesystem::path shareFromBin = "../share/pelmor";
};

// The shared data folder of an installed program: the executable's folder carries the bin
// folder's name and the shared data folder beside it holds the default sounds (Sound/).
// Nothing for a program in its build tree.
std::optional<std::filesystem::path> InstalledShareFolder(const std::filesystem::path& exeDir,
                                                          const InstallLayout& layout);

// The user's data folder of the program: $XDG_DATA_HOME/pelmor when that is an absolute
// path (the base directory rules say to ignore a relative one), else
// $HOME/.local/share/pelmor. Nothing when HOME is not an absolute path either. Null and empty
// values count as not set.
std::optional<std::filesystem::path> UserDataFolder(const char* xdgDataHome, const char* home);

struct AppFolders {
  std::filesystem::path appDir;      // Config.ini, TrCode.txt, Sound/, firmware files
  std::filesystem::path pictureDir;  // the PNG pictures of the windows
  // When set: the folder whose Sound/ files the application folder gets where it lacks them.
  std::optional<std::filesystem::path> seedFrom;
};

// appDirOption is --app-dir (empty: not given), share what InstalledShareFolder found and
// userData what UserDataFolder found. Nothing when an installed program has neither
// --app-dir nor a user data folder.
std::optional<AppFolders> ChooseAppFolders(const std::string& appDirOption, const std::filesystem::path& exeDir,
                                           const std::optional<std::filesystem::path>& share,
                                           const std::optional<std::filesystem::path>& userData);

// Makes the application folder (with its parents) when it does not exist, and when it is to
// be filled from a shared folder, copies each file of seedFrom/Sound that appDir/Sound does
// not have; a file already there is kept, so a sound the user replaced stays. Returns what went wrong, one
// sentence each, for the user; the program runs on without the missing pieces.
std::vector<std::string> PrepareDataFolder(const AppFolders& folders);

}  // namespace app
