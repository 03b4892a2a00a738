// Firmware download: a firmware file of 1,000 records loaded into the emulator from the
// Download Firmware dialog, the emulator's answers paced at 9600 baud.
//
// The record rate is taken from the first record sent to the last record answered (the
// dialog's state moving on to "I2"), so the status query and the switch to the loading mode
// are left out; the "I1" between the two parts of the image is inside it. The whole run,
// from the Download button to the success question, is printed for context.
//
// Limits: the wire (each record is 44 bytes and its answer "IOK" CR 4 bytes, 10 bit times
// each at 9600 baud) and the receive period (the program takes at most one line per 50 ms,
// so no more than one record per 50 ms). The goal is 10 % above the wire.
//
//   bench_download [--host qt|headless] [--records N] [--paced-commands]
//
// --paced-commands puts the relay between program and emulator and paces the program's
// bytes at 9600 baud too, as a real line would; without it the emulator takes a record the
// moment it is written.

#include <QApplication>
#include <cstdio>
#include <memory>

#include "bench/rig/BenchRig.h"
#include "download/DownloadDialog.h"
#include "download/DownloadStates.h"
#include "download/EhxRecord.h"
#include "resources/Resource.h"

using namespace bench;

namespace {

constexpr char kFileName[] = "bench.EHX";
constexpr char16_t kSuccess[] = u"Hex file successfuly downloaded. Close Routine?";
constexpr double kRecordBytes = download::kRecordSentSize + 2;  // 'I', 42 characters, CR
constexpr double kAnswerBytes = 4;                              // "IOK", CR

int Run(Loop& loop, long records, bool pacedCommands) {
  RigOptions options;
  options.relay = pacedCommands;
  options.paceToReader = pacedCommands;
  AppRig rig(loop, options);
  const size_t split = static_cast<size_t>(records) / 2;
  if (!WriteFirmwareFile(rig.Dir() / kFileName, static_cast<size_t>(records), split)) return 1;
  if (!rig.Start()) return 1;

  std::optional<Clock::time_point> successAt;
  loop.SetBoxAnswer([&](const std::u16string&, const std::u16string& text) {
    if (text == kSuccess && !successAt) successAt = Clock::now();
    return fw::IDYES;
  });
  CMainDialog& dlg = rig.Dialog();
  dlg.DispatchCommand(res::IDC_FIRMWARE, fw::Notify::Clicked);
  CDownloadDialog* dl = dlg.DownloadDialog();
  if (!dl) {
    std::fprintf(stderr, "no Download Firmware dialog\n");
    return 1;
  }

  std::optional<Clock::time_point> firstRecordAt, lastAnswerAt;
  const Clock::time_point pressed = Clock::now();
  dl->DispatchCommand(res::IDC_DL_DOWNLOAD, fw::Notify::Clicked);
  const uint64_t budgetMs = static_cast<uint64_t>(records) * 400 + 10000;
  const bool done = loop.RunUntil(
      [&] {
        if (!dlg.DownloadDialog() || !dlg.DownloadDialog()->IsWindow()) return true;
        const int state = dl->m_nState;
        if (!firstRecordAt && state == download::DL_STATE_SEND_STR1_WAIT) firstRecordAt = Clock::now();
        if (!lastAnswerAt && state == download::DL_STATE_SEND_I2) lastAnswerAt = Clock::now();
        return false;
      },
      budgetMs);
  const sim::FirmwareImage image = rig.Server().ReceivedImage();
  rig.Close();
  const size_t received = image.firstPart.size() + image.secondPart.size();
  if (!done || !successAt || !firstRecordAt || !lastAnswerAt || !image.complete ||
      received != static_cast<size_t>(records)) {
    std::fprintf(stderr, "the download did not complete (%zu records received)\n", received);
    return 1;
  }

  const double seconds = std::chrono::duration<double>(*lastAnswerAt - *firstRecordAt).count();
  const double perRecordMs = seconds * 1000.0 / static_cast<double>(records);
  const double wireMs = WireMs(kRecordBytes + kAnswerBytes);
  const double periodMs = CMainDialog::kReceivePeriodMs;
  const std::string tag = " [" + loop.Name() + (pacedCommands ? ", commands paced" : "") + "]";
  PrintRate("download records per second" + tag, static_cast<double>(records) / seconds, "1/s", 1000.0 / wireMs,
            "wire: 48 bytes at 9600 baud");
  PrintRate("download records per second" + tag, static_cast<double>(records) / seconds, "1/s", 1000.0 / periodMs,
            "one answer per 50 ms");
  PrintFigure("download seconds per record" + tag, perRecordMs / 1000.0, "s", wireMs / 1000.0,
              "wire: 48 bytes at 9600 baud");
  PrintFigure("download seconds per record" + tag, perRecordMs / 1000.0, "s", periodMs / 1000.0,
              "one answer per 50 ms");
  PrintFigure("download seconds per record" + tag, perRecordMs / 1000.0, "s", wireMs * 1.1 / 1000.0,
              "goal: 10 % above the wire");
  PrintInfo("download whole run, button to success" + tag, std::chrono::duration<double>(*successAt - pressed).count(),
            "s");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string host = Arg(argc, argv, "--host", "qt");
  const long records = ArgNumber(argc, argv, "--records", 1000);
  const bool paced = HasFlag(argc, argv, "--paced-commands");
  std::unique_ptr<QApplication> app;
  if (host == "qt") app = std::make_unique<QApplication>(argc, argv);
  auto loop = MakeLoop(host);
  return Run(*loop, records, paced);
}
