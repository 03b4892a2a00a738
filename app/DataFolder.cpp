#include "app/DataFolder.h"

namespace app {
namespace {

namespace fs = std::filesystem;

constexpr const char* kProgramFolder = "pelmor";
constexpr const char* kSoundFolder = "Sound";
// The pictures of a program in its build tree, copied there by the build.
constexpr const char* kBuildPictureFolder = "resources";

bool IsAbsolute(const char* value) { return value && *value == '/'; }

}  // namespace

std::optional<fs::path> InstalledShareFolder(const fs::path& exeDir, const InstallLayout& layout) {
  if (exeDir.filename() != layout.binFolderName) return std::nullopt;
  const fs::path share = (exeDir / layout.shareFromBin).lexically_normal();
  std::error_code ec;
  if (!fs::is_directory(share / kSoundFolder, ec)) return std::nullopt;
  return share;
}

std::optional<fs::path> UserDataFolder(const char* xdgDataHome, const char* home) {
  if (IsAbsolute(xdgDataHome)) return fs::path(xdgDataHome) / kProgramFolder;
  if (IsAbsolute(home)) return fs::path(home) / ".local" / "share" / kProgramFolder;
  return std::nullopt;
}

std::optional<AppFolders> ChooseAppFolders(const std::string& appDirOption, const fs::path& exeDir,
                                           const std::optional<fs::path>& share,
                                           const std::optional<fs::path>& userData) {
  AppFolders folders;
  folders.pictureDir = share ? *share : exeDir / kBuildPictureFolder;
  if (!appDirOption.empty()) {
    folders.appDir = appDirOption;
    return folders;
  }
  if (!share) {
    folders.appDir = exeDir;
    return folders;
  }
  if (!userData) return std::nullopt;
  folders.appDir = *userData;
  folders.seedFrom = *share;
  return folders;
}

std::vector<std::string> PrepareDataFolder(const AppFolders& folders) {
  std::vector<std::string> problems;
  // A folder named with --app-dir that does not exist yet is made, so the settings and the
  // code list have somewhere to go.
  std::error_code ec;
  fs::create_directories(folders.appDir, ec);
  if (ec) {
    problems.push_back("cannot make the folder " + folders.appDir.string() + ": " + ec.message());
    return problems;
  }
  if (!folders.seedFrom) return problems;

  const fs::path sounds = folders.appDir / kSoundFolder;
  fs::create_directories(sounds, ec);
  if (ec) {
    problems.push_back("cannot make the folder " + sounds.string() + ": " + ec.message());
    return problems;
  }

  const fs::path source = *folders.seedFrom / kSoundFolder;
  for (fs::directory_iterator it(source, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code fileError;
    if (!it->is_regular_file(fileError)) continue;
    const fs::path target = sounds / it->path().filename();
    // A name that exists in any form, even as a broken link, is the user's and stays.
    if (fs::symlink_status(target, fileError).type() != fs::file_type::not_found) continue;
    fs::copy_file(it->path(), target, fs::copy_options::skip_existing, fileError);
    if (fileError)
      problems.push_back("cannot copy " + it->path().string() + " to " + target.string() + ": " + fileError.message());
  }
  if (ec) problems.push_back("cannot read the folder " + source.string() + ": " + ec.message());
  return problems;
}

}  // namespace app
