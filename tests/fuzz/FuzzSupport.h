#pragma once
// What the fuzz targets share: a failed property ends the run as a crash, so libFuzzer
// keeps the input; and a scratch folder for the files a target writes.

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzing {

inline void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}

// A folder of this process, removed at its end. In memory (/dev/shm) where there is one:
// the program syncs the files it replaces, and on a disk that would cost far more than the
// code under test.
class ScratchDir {
 public:
  ScratchDir() {
    std::error_code ec;
    const std::filesystem::path shm = "/dev/shm";
    const std::filesystem::path base =
        std::filesystem::is_directory(shm, ec) ? shm : std::filesystem::temp_directory_path();
    path_ = base / ("pelmor-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path_, ec);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace fuzzing
