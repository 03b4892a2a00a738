// The application folder as it may be found: read-only (nothing of Config.ini and TrCode.txt
// may be lost when they cannot be written), or holding files far larger than the program
// ever writes (the start stays quick and the memory bounded).

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/integration/LiveRig.h"
#include "writetag/WriteTagDialog.h"

namespace {

using namespace res;
using live::LiveRig;
using Clock = std::chrono::steady_clock;

constexpr char kConfigIni[] =
    "NO_SPACE=0\r\nADD_CR=1\r\nADD_TAB=0\r\nPREFIX=1\r\nPREFIX:1B:41\r\nSUFFIX=0\r\nSUFFIX:\r\nAUTOHIDE=0\r\n";
constexpr char kCodeList[] = "AB12\rCD34\r";

// Makes a folder read-only for this process, root included: a read-only bind mount of it in
// a mount namespace of the process's own (root may make one), else, for any other user,
// the folder's and its files' write permissions taken away. Call before any thread starts:
// a process with threads cannot leave its mount namespace. Undone when it goes.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(std::filesystem::path folder) : folder_(std::move(folder)) {
    const char* path = folder_.c_str();
    // The kernel ignores source and type of these calls; "none" keeps checkers that look
    // at every pointer argument quiet.
    if (::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0 &&
        ::mount(path, path, "none", MS_BIND, nullptr) == 0) {
      mounted_ = true;
      if (::mount("none", path, "none", MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0) how_ = "read-only bind mount";
    }
    if (how_.empty()) {
      for (const auto& entry : std::filesystem::directory_iterator(folder_)) ::chmod(entry.path().c_str(), 0444);
      ::chmod(path, 0555);
      how_ = "permissions";
    }
  }
  ~ReadOnlyFolder() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    ::chmod(folder_.c_str(), 0755);
  }
  // True when creating a file in the folder really fails.
  bool Holds() const {
    const std::string probe = (folder_ / "probe").string();
    const int fd = ::open(probe.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return true;
    ::close(fd);
    ::unlink(probe.c_str());
    return false;
  }
  const std::string& How() const { return how_; }

 private:
  std::filesystem::path folder_;
  bool mounted_ = false;
  std::string how_;
};

TEST(AppFolderFaults, ReadOnlyFolderLosesNothingOfItsFiles) {
  LiveRig r;
  live::WriteFile(r.appDir / "Config.ini", kConfigIni);
  live::WriteFile(r.appDir / "TrCode.txt", kCodeList);
  ReadOnlyFolder readOnly(r.appDir);
  ASSERT_TRUE(readOnly.Holds()) << "the folder could not be made read-only (" << readOnly.How() << ")";
  ASSERT_TRUE(r.Serve());
  ASSERT_TRUE(r.server.PutTransponder({}));
  ASSERT_TRUE(r.StartAppAndWait());
  // The settings were read.
  EXPECT_TRUE(r.dlg->IsDlgButtonChecked(IDC_PREFIX));
  EXPECT_EQ(r.dlg->GetDlgItemText(IDC_EDIT_PREFIX), u"1B:41");

  // "Write": the reader takes its settings; the file cannot be replaced and stays as it was.
  r.dlg->CheckDlgButton(IDC_NO_SPACE, fw::BST_CHECKED);
  r.Click(IDC_NO_SPACE);
  r.Click(IDC_WRITE);
  ASSERT_TRUE(r.WaitForLog("Configuration written.")) << r.Log();
  EXPECT_EQ(live::ReadFile(r.appDir / "Config.ini"), kConfigIni);
  EXPECT_FALSE(std::filesystem::exists(r.appDir / "Config.ini.new"));
  EXPECT_TRUE(r.dlg->IsDlgButtonChecked(IDC_NO_SPACE));

  // A code written: the list has it, the file cannot take it and keeps its codes.
  r.Click(IDC_WRITE_TAG);
  CWriteTagDialog* wt = r.dlg->WriteTagDialog();
  ASSERT_NE(wt, nullptr);
  ASSERT_EQ(wt->m_comboCode.GetCount(), 2);
  r.answers = {fw::IDYES};
  wt->m_comboCode.SetWindowText(u"EF56");
  wt->DispatchCommand(IDC_WT_WRITE_CODE, fw::Notify::Clicked);
  ASSERT_TRUE(r.WaitFor([&] { return wt->m_nState == CWriteTagDialog::State::Start && !wt->ProcedureRunning(); },
                        live::kGiveUpBudgetMs));
  ASSERT_FALSE(r.boxes.empty());
  EXPECT_EQ(r.boxes.back().text.rfind(u"Code successfuly transmitted.", 0), 0u);
  EXPECT_EQ(wt->m_comboCode.GetLBText(0), u"EF56");
  EXPECT_EQ(live::ReadFile(r.appDir / "TrCode.txt"), kCodeList);
  // "Clear List" empties the list; the file cannot be emptied and keeps its codes.
  wt->DispatchCommand(IDC_WT_CLEAR_LIST, fw::Notify::Clicked);
  EXPECT_EQ(wt->m_comboCode.GetCount(), 0);
  EXPECT_EQ(live::ReadFile(r.appDir / "TrCode.txt"), kCodeList);
  // No message box told of the files; the program goes on as before.
  for (const auto& box : r.boxes) EXPECT_NE(box.caption, u"Error") << fw::ToUtf8(box.text);
  r.Click(IDC_GETVERSION);
  ASSERT_TRUE(r.WaitForLog("Commandset: CRSWI")) << r.Log();
}

// ---------------------------------------------------------------------------------------
// Files far larger than the program writes

// Peak and current resident size of this process in KiB (VmHWM, VmRSS); writing 5 to
// clear_refs starts the peak again from the current size.
struct Resident {
  long peakKiB = 0;
  long nowKiB = 0;
};
Resident ReadResident() {
  Resident r;
  if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      std::sscanf(line, "VmHWM: %ld", &r.peakKiB);
      std::sscanf(line, "VmRSS: %ld", &r.nowKiB);
    }
    std::fclose(f);
  }
  return r;
}
void RestartPeak() {
  if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

// Makes a sparse file of `size` bytes that begins with `head` and ends with `tail`.
void MakeSparseFile(const std::filesystem::path& path, const std::string& head, uint64_t size,
                    const std::string& tail) {
  live::WriteFile(path, head);
  std::filesystem::resize_file(path, size - tail.size());
  std::FILE* f = std::fopen(path.c_str(), "ab");
  ASSERT_NE(f, nullptr);
  std::fwrite(tail.data(), 1, tail.size(), f);
  std::fclose(f);
  ASSERT_EQ(std::filesystem::file_size(path), size);
}

long Millis(Clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

TEST(AppFolderFaults, HugeConfigIniAndCodeListStartQuicklyInBoundedMemory) {
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  constexpr size_t kWordBytes = size_t{10} << 20;
  // Budgets far above what the bounded reads take (some 10 and 100 ms; under Valgrind 2 and
  // 3 s), far below reading the whole gigabyte (12 s, and far longer under Valgrind).
  constexpr long kLoadBudgetMs = 6000;
  constexpr long kPeakGrowthKiB = 16 * 1024;

  LiveRig r;
  ASSERT_NO_FATAL_FAILURE(
      MakeSparseFile(r.appDir / "Config.ini", "PREFIX=1\r\nPREFIX:1B:41\r\n", kGiB, "\r\nSUFFIX=1\r\n"));
  live::WriteFile(r.appDir / "TrCode.txt", std::string(kWordBytes, '7') + "\r");
  ASSERT_TRUE(r.Serve());

  // The start-up chain reads Config.ini after the version report.
  RestartPeak();
  const Resident before = ReadResident();
  const Clock::time_point started = Clock::now();
  ASSERT_TRUE(r.StartAppAndWait());
  const long startMs = Millis(Clock::now() - started);
  const Clock::time_point loadStarted = Clock::now();
  r.dlg->LoadSettings();
  const long loadMs = Millis(Clock::now() - loadStarted);
  const Resident afterSettings = ReadResident();
  // The settings at the start of the file are read, the key at its end, beyond the first
  // MiB, is not.
  EXPECT_TRUE(r.dlg->IsDlgButtonChecked(IDC_PREFIX));
  EXPECT_EQ(r.dlg->GetDlgItemText(IDC_EDIT_PREFIX), u"1B:41");
  EXPECT_FALSE(r.dlg->IsDlgButtonChecked(IDC_SUFFIX));

  // The Write Tag dialog reads TrCode.txt when it opens.
  RestartPeak();
  const Resident beforeList = ReadResident();
  const Clock::time_point opened = Clock::now();
  r.Click(IDC_WRITE_TAG);
  const long listMs = Millis(Clock::now() - opened);
  const Resident afterList = ReadResident();
  CWriteTagDialog* wt = r.dlg->WriteTagDialog();
  ASSERT_NE(wt, nullptr);
  ASSERT_EQ(wt->m_comboCode.GetCount(), 1);
  EXPECT_EQ(wt->m_comboCode.GetLBText(0), std::u16string(15, u'7'));

  std::printf(
      "1 GiB Config.ini: start-up chain %ld ms, LoadSettings %ld ms, peak resident +%ld KiB; "
      "10 MiB word in TrCode.txt: Write Tag opened in %ld ms, peak resident +%ld KiB\n",
      startMs, loadMs, afterSettings.peakKiB - before.nowKiB, listMs, afterList.peakKiB - beforeList.nowKiB);
  EXPECT_LT(loadMs, kLoadBudgetMs);
  EXPECT_LT(listMs, kLoadBudgetMs);
  EXPECT_LT(afterSettings.peakKiB - before.nowKiB, kPeakGrowthKiB);
  EXPECT_LT(afterList.peakKiB - beforeList.nowKiB, kPeakGrowthKiB);
}

}  // namespace
