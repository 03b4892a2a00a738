// Block write: a 15-character code (six blocks) written into a blank writable transponder
// in the emulator from the Write Tag dialog, repeated a number of times.
//
// The time per block is taken from the first block sent to the success question, divided
// by the block count; the whole run from the Write button is printed for context.
//
// Limits: the wire (the command "w" + ten hexadecimal digits + CR is 12 bytes, its answer,
// the echo with "OK" and CR, 14 bytes) and the receive period (one answer per 50 ms tick).
//
//   bench_block_write [--host qt|headless] [--runs N] [--paced-commands]

#include <QApplication>
#include <cstdio>
#include <memory>

#include "bench/rig/BenchRig.h"
#include "resources/Resource.h"
#include "writetag/WriteTagDialog.h"

using namespace bench;

namespace {

constexpr char16_t kCode[] = u"AB12CD34EF56GH7";
constexpr int kBlocks = 6;
constexpr double kCommandBytes = 12;
constexpr double kAnswerBytes = 14;
constexpr char16_t kSuccess[] = u"Code successfuly transmitted.";

int Run(Loop& loop, long runs, bool pacedCommands) {
  RigOptions options;
  options.relay = pacedCommands;
  options.paceToReader = pacedCommands;
  AppRig rig(loop, options);
  if (!rig.Server().PutTransponder({}) || !rig.Start()) return 1;

  std::optional<Clock::time_point> successAt;
  int failures = 0;
  loop.SetBoxAnswer([&](const std::u16string&, const std::u16string& text) {
    if (text.rfind(kSuccess, 0) == 0) {
      if (!successAt) successAt = Clock::now();
      // Yes: the dialog stays open for the next run.
      return fw::IDYES;
    }
    ++failures;
    return fw::IDNO;
  });
  CMainDialog& dlg = rig.Dialog();
  dlg.DispatchCommand(res::IDC_WRITE_TAG, fw::Notify::Clicked);
  CWriteTagDialog* wt = dlg.WriteTagDialog();
  if (!wt) {
    std::fprintf(stderr, "no Write Tag dialog\n");
    return 1;
  }

  std::vector<double> perBlockMs;
  std::vector<double> wholeMs;
  for (long run = 0; run < runs; ++run) {
    successAt.reset();
    std::optional<Clock::time_point> firstSentAt;
    wt->m_comboCode.SetWindowText(kCode);
    const Clock::time_point pressed = Clock::now();
    wt->DispatchCommand(res::IDC_WT_WRITE_CODE, fw::Notify::Clicked);
    const bool done = loop.RunUntil(
        [&] {
          if (!firstSentAt && wt->m_nState == CWriteTagDialog::State::Wait) firstSentAt = Clock::now();
          return successAt.has_value() && wt->m_nState == CWriteTagDialog::State::Start;
        },
        10000);
    if (!done || !firstSentAt || failures > 0) {
      std::fprintf(stderr, "run %ld did not succeed (state %d, %d failures)\n", run, static_cast<int>(wt->m_nState),
                   failures);
      return 1;
    }
    perBlockMs.push_back(Ms(*successAt - *firstSentAt) / kBlocks);
    wholeMs.push_back(Ms(*successAt - pressed));
  }
  const auto written = rig.Server().TransponderInField();
  rig.Close();
  if (!written || !written->blocks[kBlocks - 1]) {
    std::fprintf(stderr, "the transponder does not hold six blocks\n");
    return 1;
  }

  const double wireMs = WireMs(kCommandBytes + kAnswerBytes);
  const double periodMs = CMainDialog::kReceivePeriodMs;
  const double median = Percentile(perBlockMs, 0.5);
  const std::string tag = " [" + loop.Name() + (pacedCommands ? ", commands paced" : "") + "]";
  PrintFigure("block write seconds per block p50" + tag, median / 1000.0, "s", wireMs / 1000.0,
              "wire: 26 bytes at 9600 baud");
  PrintFigure("block write seconds per block p50" + tag, median / 1000.0, "s", periodMs / 1000.0,
              "one answer per 50 ms tick");
  PrintInfo("block write per block max" + tag, Percentile(perBlockMs, 1.0) / 1000.0, "s");
  PrintInfo("block write whole code p50, button to success" + tag, Percentile(wholeMs, 0.5) / 1000.0, "s");
  PrintInfo("block write runs" + tag, static_cast<double>(perBlockMs.size()), "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string host = Arg(argc, argv, "--host", "qt");
  const long runs = ArgNumber(argc, argv, "--runs", 20);
  const bool paced = HasFlag(argc, argv, "--paced-commands");
  std::unique_ptr<QApplication> app;
  if (host == "qt") app = std::make_unique<QApplication>(argc, argv);
  auto loop = MakeLoop(host);
  return Run(*loop, runs, paced);
}
