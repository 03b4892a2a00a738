// The emulator's firmware loader: the answers to the download commands, the image it
// collects in two parts, restarts and faults aimed at single records. Frames are built by
// the same functions the Download Firmware dialog sends with, from files made by the EHX
// maker.

#include <gtest/gtest.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "download/DownloadStates.h"
#include "download/EhxMaker.h"
#include "download/EhxRecord.h"
#include "sim/ReaderEmulator.h"

namespace sim {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kDefaultRecords = 12;
constexpr std::size_t kDefaultSplit = 8;

// A firmware file as its records: the 44 bytes of each.
struct File {
  std::vector<std::vector<uint8_t>> records;
  std::size_t split = 0;

  // The 42 characters of record i that travel in its frame.
  std::string Text(std::size_t i) const { return {records[i].begin(), records[i].begin() + download::kRecordSentSize}; }
  std::string Frame(std::size_t i) const { return download::RecordFrame(records[i]); }
  std::vector<std::string> Texts(std::size_t from, std::size_t to) const {
    std::vector<std::string> texts;
    for (std::size_t i = from; i < to; ++i) {
      texts.push_back(Text(i));
    }
    return texts;
  }
};

// Random keys, so that the split record does not read "1000" in plain digits and the
// loader's split test has to decode it.
File MakeFile(std::size_t records, std::size_t split) {
  std::vector<uint8_t> image(records * download::kContentBytes);
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  download::EhxMakeOptions options;
  options.keys = download::EhxMakeOptions::Keys::Random;
  options.seed = 42;
  options.splitRecord = split;
  std::vector<uint8_t> bytes;
  std::string error;
  File file;
  file.split = split;
  if (!download::MakeEhx(image, options, bytes, error)) {
    ADD_FAILURE() << error;
    return file;
  }
  for (std::size_t at = 0; at + download::kRecordSize <= bytes.size(); at += download::kRecordSize) {
    file.records.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                              bytes.begin() + static_cast<std::ptrdiff_t>(at + download::kRecordSize));
  }
  return file;
}

std::string Command(char second) { return download::CommandFrame('I', second); }
const std::string kStatusQuery = Command(0);
const std::string kLoadingMode = Command('0');
const std::string kFirstPartDone = Command('1');
const std::string kImageDone = Command('2');

ReaderEmulator Loader(LoaderStatus status) {
  EmulatorOptions options;
  options.powered = true;
  options.loaderStatus = status;
  return ReaderEmulator(options);
}

std::string Exchange(ReaderEmulator& reader, std::string_view bytes) {
  reader.Feed(bytes, 0ms);
  return reader.Poll(0ms);
}

// A valid frame with one character of its record text replaced.
std::string SpoiltFrame(const File& file, std::size_t record, std::size_t at, char c) {
  std::string frame = file.Frame(record);
  frame[1 + at] = c;
  return frame;
}

// Sends a whole file the way the dialog does on a run without faults: status query, the
// loading mode when asked for, the first part, "I1", the second part, "I2". Every answer
// must end in "OK".
void Download(ReaderEmulator& reader, const File& file) {
  std::string status = Exchange(reader, kStatusQuery);
  if (status == "I:COK\r" || status == "I:DOK\r") {
    ASSERT_EQ(Exchange(reader, kLoadingMode), "I0OK\r");
    status = Exchange(reader, kStatusQuery);
  }
  ASSERT_EQ(status, "I:EOK\r");
  for (std::size_t i = 0; i < file.split; ++i) {
    ASSERT_EQ(Exchange(reader, file.Frame(i)), "IOK\r") << "record " << i;
  }
  ASSERT_EQ(Exchange(reader, kFirstPartDone), "I1OK\r");
  for (std::size_t i = file.split; i < file.records.size(); ++i) {
    ASSERT_EQ(Exchange(reader, file.Frame(i)), "IOK\r") << "record " << i;
  }
  ASSERT_EQ(Exchange(reader, kImageDone), "I2OK\r");
}

struct StatusCase {
  LoaderStatus status;
  std::string first;        // answer to the first status query
  std::string loadingMode;  // answer to "I0"
  std::string afterwards;   // answer to the status query after "I0"
};

TEST(FirmwareLoaderStatus, StatusQueryAndLoadingModeBySetStatus) {
  const std::vector<StatusCase> cases = {
      {LoaderStatus::C, "I:COK\r", "I0OK\r", "I:EOK\r"},
      {LoaderStatus::D, "I:DOK\r", "I0OK\r", "I:EOK\r"},
      {LoaderStatus::E, "I:EOK\r", "I0OK\r", "I:EOK\r"},
      {LoaderStatus::OldFirmware, "INO\r", "INO\r", "INO\r"},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status));
    ReaderEmulator reader = Loader(c.status);
    const std::string first = Exchange(reader, kStatusQuery);
    EXPECT_EQ(first, c.first);
    // The dialog reads the letter at index 2 and the end of the line.
    ASSERT_GE(first.size(), 3u);
    EXPECT_LE(first.size() - 1, kMaxLineLength);
    EXPECT_EQ(Exchange(reader, kLoadingMode), c.loadingMode);
    EXPECT_EQ(Exchange(reader, kStatusQuery), c.afterwards);
  }
}

TEST(FirmwareLoaderStatus, OldFirmwareRefusesEveryDownloadCommand) {
  const File file = MakeFile(kDefaultRecords, kDefaultSplit);
  ReaderEmulator reader = Loader(LoaderStatus::OldFirmware);
  for (const std::string& command : {kStatusQuery, kLoadingMode, file.Frame(0), kFirstPartDone, kImageDone}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(Exchange(reader, command), "INO\r");
  }
  EXPECT_EQ(reader.ReceivedImage(), FirmwareImage{});
  // The other commands work as before.
  EXPECT_EQ(Exchange(reader, "V\r"), "VLF2.01 CRSWI\r");
}

struct CommandCase {
  const char* name;
  LoaderStatus status;
  std::vector<std::string> before;  // sent first, answers not looked at
  std::string command;
  std::string answer;
  std::size_t firstPart;  // records held afterwards
  std::size_t secondPart;
};

TEST(FirmwareLoaderCommands, EachCommandGetsItsAnswer) {
  const File file = MakeFile(kDefaultRecords, kDefaultSplit);
  std::string lowerCase = file.Frame(0);
  for (char& c : lowerCase) {
    if (c >= 'A' && c <= 'F') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  ASSERT_NE(lowerCase, file.Frame(0)) << "the record has letters to lower";
  const std::string frame = file.Frame(0);
  const std::vector<CommandCase> cases = {
      {"record in loading mode", LoaderStatus::E, {}, frame, "IOK\r", 1, 0},
      {"record in lower-case digits", LoaderStatus::E, {}, lowerCase, "IOK\r", 1, 0},
      {"record before the loading mode", LoaderStatus::C, {}, frame, "INO\r", 0, 0},
      {"record after the loading mode", LoaderStatus::D, {kLoadingMode}, frame, "IOK\r", 1, 0},
      {"record one digit short", LoaderStatus::E, {}, frame.substr(0, 42) + "\r", "INO\r", 0, 0},
      {"record one digit long", LoaderStatus::E, {}, frame.substr(0, 43) + "0\r", "INO\r", 0, 0},
      {"content digit not hexadecimal", LoaderStatus::E, {}, SpoiltFrame(file, 0, 17, 'G'), "INO\r", 0, 0},
      {"key digit not hexadecimal", LoaderStatus::E, {}, SpoiltFrame(file, 0, 41, 'x'), "INO\r", 0, 0},
      {"blank in the record", LoaderStatus::E, {}, SpoiltFrame(file, 0, 0, ' '), "INO\r", 0, 0},
      {"carriage return inside the record: the piece before it is refused, the rest is no "
       "command",
       LoaderStatus::E,
       {},
       SpoiltFrame(file, 0, 20, '\r'),
       "INO\r",
       0,
       0},
      {"record after the first part", LoaderStatus::E, {kFirstPartDone}, frame, "IOK\r", 0, 1},
      {"end of the first part", LoaderStatus::E, {}, kFirstPartDone, "I1OK\r", 0, 0},
      {"end of the first part twice", LoaderStatus::E, {kFirstPartDone}, kFirstPartDone, "INO\r", 0, 0},
      {"end of the first part before loading mode", LoaderStatus::C, {}, kFirstPartDone, "INO\r", 0, 0},
      {"end of the image without a first part", LoaderStatus::E, {frame}, kImageDone, "INO\r", 1, 0},
      {"end of the image", LoaderStatus::E, {frame, kFirstPartDone, frame}, kImageDone, "I2OK\r", 1, 1},
      {"end of the image twice", LoaderStatus::E, {kFirstPartDone, kImageDone}, kImageDone, "INO\r", 0, 0},
      {"unknown download command", LoaderStatus::E, {}, Command('3'), "INO\r", 0, 0},
      {"loading mode with a parameter", LoaderStatus::C, {}, "I00\r", "INO\r", 0, 0},
      {"line feed after the frame ignored", LoaderStatus::E, {}, frame + "\n", "IOK\r", 1, 0},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderEmulator reader = Loader(c.status);
    for (const std::string& command : c.before) {
      reader.Feed(command, 0ms);
    }
    reader.Poll(0ms);
    EXPECT_EQ(Exchange(reader, c.command), c.answer);
    EXPECT_EQ(reader.ReceivedImage().firstPart.size(), c.firstPart);
    EXPECT_EQ(reader.ReceivedImage().secondPart.size(), c.secondPart);
  }
}

struct ImageCase {
  LoaderStatus status;
  std::size_t records;
  std::size_t split;
};

TEST(FirmwareLoaderImage, HoldsTheFileInTwoPartsSplitAtItsMarkedRecord) {
  const std::vector<ImageCase> cases = {
      {LoaderStatus::C, kDefaultRecords, kDefaultSplit},
      {LoaderStatus::D, kDefaultRecords, kDefaultSplit},
      {LoaderStatus::E, kDefaultRecords, kDefaultSplit},
      {LoaderStatus::C, 200, 150},
      {LoaderStatus::C, 5, 0},  // no first part
      {LoaderStatus::C, 5, 4},  // a second part of one record
  };
  for (const ImageCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.records) + " records, split " + std::to_string(c.split) + ", status " +
                 LoaderStatusLetter(c.status));
    const File file = MakeFile(c.records, c.split);
    ReaderEmulator reader = Loader(c.status);
    Download(reader, file);
    const FirmwareImage& image = reader.ReceivedImage();
    EXPECT_EQ(image.firstPart, file.Texts(0, c.split));
    EXPECT_EQ(image.secondPart, file.Texts(c.split, c.records));
    EXPECT_TRUE(image.complete);
    EXPECT_EQ(image.restarts, 0);
    EXPECT_TRUE(SplitsAtMarkedRecord(image));
    // The module runs its new firmware and reports the status it was set to.
    EXPECT_EQ(reader.CurrentLoaderStatus(), c.status);
  }
}

TEST(FirmwareLoaderImage, SplitCheckFindsACutInTheWrongPlace) {
  const File file = MakeFile(kDefaultRecords, kDefaultSplit);
  const auto image = [&file](std::size_t cut, std::size_t end) {
    FirmwareImage cutImage;
    cutImage.firstPart = file.Texts(0, cut);
    cutImage.secondPart = file.Texts(cut, end);
    return cutImage;
  };
  EXPECT_TRUE(SplitsAtMarkedRecord(image(kDefaultSplit, kDefaultRecords)));
  EXPECT_FALSE(SplitsAtMarkedRecord(image(kDefaultSplit - 1, kDefaultRecords))) << "one early";
  EXPECT_FALSE(SplitsAtMarkedRecord(image(kDefaultSplit + 1, kDefaultRecords))) << "one late";
  EXPECT_FALSE(SplitsAtMarkedRecord(image(kDefaultSplit, kDefaultSplit))) << "no second part";
}

struct ResumeCase {
  const char* name;
  std::vector<std::string> before;  // the frames before the status query
  std::vector<std::string> after;   // and after it; the answer to the last one is checked
  std::string lastAnswer;
  std::size_t firstPart;  // the image afterwards: records 0 to firstPart - 1 of the file
  bool firstPartDone;
  std::size_t secondFrom, secondTo;  // and the records secondFrom to secondTo - 1
  int restarts;
};

TEST(FirmwareLoaderImage, StatusQueryInTheMiddleKeepsTheImageUnlessItIsBegunAgain) {
  const File file = MakeFile(kDefaultRecords, kDefaultSplit);
  const auto frames = [&file](std::size_t from, std::size_t to) {
    std::vector<std::string> framesFromTo;
    for (std::size_t i = from; i < to; ++i) {
      framesFromTo.push_back(file.Frame(i));
    }
    return framesFromTo;
  };
  const auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<std::string> firstPart = join(frames(0, kDefaultSplit), {kFirstPartDone});
  const std::vector<ResumeCase> cases = {
      {"a retry goes on with the record that had no answer", frames(0, 3), frames(3, 5), "IOK\r", 5, false, 0, 0, 0},
      {"a retry in the second part goes on there", join(firstPart, frames(8, 9)), frames(9, 11), "IOK\r", kDefaultSplit,
       true, 8, 11, 0},
      {"a retry of the first part's end after its answer was lost is refused: the image has one",
       firstPart,
       {kFirstPartDone},
       "INO\r",
       kDefaultSplit,
       true,
       8,
       8,
       0},
      {"a new run sends the first record again", frames(0, 3), frames(0, 2), "IOK\r", 2, false, 0, 0, 1},
      {"a new run in the second part", join(firstPart, frames(8, 10)), frames(0, 1), "IOK\r", 1, false, 0, 0, 1},
      {"a new run of an image without a first part sends its end again",
       join({kFirstPartDone}, frames(0, 2)),
       {kFirstPartDone},
       "I1OK\r",
       0,
       true,
       0,
       0,
       1},
  };
  for (const ResumeCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderEmulator reader = Loader(LoaderStatus::E);
    for (const std::string& frame : c.before) {
      const std::string taken = Exchange(reader, frame);
      ASSERT_TRUE(taken.size() >= 3 && taken.compare(taken.size() - 3, 3, "OK\r") == 0) << taken;
    }
    EXPECT_EQ(Exchange(reader, kStatusQuery), "I:EOK\r");
    std::string answer;
    for (const std::string& frame : c.after) {
      answer = Exchange(reader, frame);
    }
    EXPECT_EQ(answer, c.lastAnswer);
    const FirmwareImage& image = reader.ReceivedImage();
    EXPECT_EQ(image.firstPart, file.Texts(0, c.firstPart));
    EXPECT_EQ(image.firstPartDone, c.firstPartDone);
    EXPECT_EQ(image.secondPart, file.Texts(c.secondFrom, c.secondTo));
    EXPECT_EQ(image.restarts, c.restarts);
  }
}

TEST(FirmwareLoaderImage, CompleteImageStaysUntilTheNextBegins) {
  const File file = MakeFile(kDefaultRecords, kDefaultSplit);
  ReaderEmulator reader = Loader(LoaderStatus::E);
  Download(reader, file);
  const FirmwareImage complete = reader.ReceivedImage();
  EXPECT_EQ(Exchange(reader, kStatusQuery), "I:EOK\r");
  EXPECT_EQ(reader.ReceivedImage(), complete);
  ASSERT_EQ(Exchange(reader, file.Frame(5)), "IOK\r");
  FirmwareImage next;
  next.firstPart = {file.Text(5)};
  EXPECT_EQ(reader.ReceivedImage(), next);
}

TEST(FirmwareLoaderImage, LosingTheSupplyEndsTheLoadingMode) {
  const File file = MakeFile(kDefaultRecords, kDefaultSplit);
  ReaderEmulator reader = Loader(LoaderStatus::C);
  ASSERT_EQ(Exchange(reader, kLoadingMode), "I0OK\r");
  ASSERT_EQ(Exchange(reader, file.Frame(0)), "IOK\r");
  reader.SetPowered(false);
  reader.SetPowered(true);
  EXPECT_EQ(reader.CurrentLoaderStatus(), LoaderStatus::C);
  EXPECT_EQ(reader.ReceivedImage(), FirmwareImage{}) << "an unfinished image is lost";
  EXPECT_EQ(Exchange(reader, file.Frame(0)), "INO\r");

  Download(reader, file);
  const FirmwareImage complete = reader.ReceivedImage();
  reader.SetPowered(false);
  reader.SetPowered(true);
  EXPECT_EQ(reader.ReceivedImage(), complete) << "a complete image stays";
}

struct RecordFaultCase {
  Fault fault;
  std::optional<std::string> answer;  // exact answer to the faulted record; nothing: junk
  bool stored;
};

TEST(FirmwareLoaderFaults, AFaultHitsTheRecordAtItsIndexOnce) {
  constexpr std::size_t kFaulted = 3;
  const File file = MakeFile(kDefaultRecords, kDefaultSplit);
  const std::vector<RecordFaultCase> cases = {
      {Fault::NoAnswer, "", false},
      {Fault::AnswerNO, "INO\r", false},
      {Fault::Garbage, std::nullopt, true},
  };
  for (const RecordFaultCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    ReaderEmulator reader = Loader(LoaderStatus::E);
    ASSERT_TRUE(reader.SetRecordFault(c.fault, kFaulted));
    for (std::size_t i = 0; i < kFaulted; ++i) {
      ASSERT_EQ(Exchange(reader, file.Frame(i)), "IOK\r") << "record " << i;
    }
    // A broken frame where the faulted record belongs does not use the fault up.
    ASSERT_EQ(Exchange(reader, SpoiltFrame(file, kFaulted, 0, 'G')), "INO\r");
    EXPECT_EQ(reader.RecordFault(), c.fault);

    const std::string answer = Exchange(reader, file.Frame(kFaulted));
    if (c.answer) {
      EXPECT_EQ(answer, *c.answer);
    } else {
      // Junk the dialog gets as an answer and cannot understand: one line, 'I' first,
      // ending in neither "OK" nor "NO".
      ASSERT_GE(answer.size(), 3u);
      EXPECT_EQ(answer.front(), 'I');
      EXPECT_EQ(answer.find('\r'), answer.size() - 1);
      EXPECT_LE(answer.size() - 1, kMaxLineLength);
      const std::string end = answer.substr(answer.size() - 3, 2);
      EXPECT_NE(end, "OK");
      EXPECT_NE(end, "NO");
    }
    EXPECT_EQ(reader.RecordFault(), Fault::None);
    EXPECT_EQ(reader.ReceivedImage().firstPart.size(), kFaulted + (c.stored ? 1 : 0));

    // Sent again, the record at that index is taken: the fault was used up.
    const std::size_t next = c.stored ? kFaulted + 1 : kFaulted;
    EXPECT_EQ(Exchange(reader, file.Frame(next)), "IOK\r");
    EXPECT_EQ(reader.ReceivedImage().firstPart, file.Texts(0, next + 1));
  }
}

TEST(FirmwareLoaderFaults, IndexCountsBothPartsAndStartsOverWithTheImage) {
  const File file = MakeFile(kDefaultRecords, kDefaultSplit);
  ReaderEmulator reader = Loader(LoaderStatus::E);
  // The second record of the second part.
  ASSERT_TRUE(reader.SetRecordFault(Fault::AnswerNO, kDefaultSplit + 1));
  ASSERT_EQ(Exchange(reader, file.Frame(0)), "IOK\r");
  ASSERT_EQ(Exchange(reader, file.Frame(1)), "IOK\r");
  // Started over: the index is that of the new image.
  ASSERT_EQ(Exchange(reader, kStatusQuery), "I:EOK\r");
  for (std::size_t i = 0; i < kDefaultSplit; ++i) {
    ASSERT_EQ(Exchange(reader, file.Frame(i)), "IOK\r") << "record " << i;
  }
  ASSERT_EQ(Exchange(reader, kFirstPartDone), "I1OK\r");
  EXPECT_EQ(Exchange(reader, file.Frame(kDefaultSplit)), "IOK\r");
  EXPECT_EQ(Exchange(reader, file.Frame(kDefaultSplit + 1)), "INO\r");
}

TEST(FirmwareLoaderFaults, OnlyAnswerFaultsCanBeAimedAtARecord) {
  ReaderEmulator reader = Loader(LoaderStatus::E);
  for (const Fault fault : {Fault::BadEcho, Fault::SplitBytes, Fault::DropByte, Fault::Delay}) {
    EXPECT_FALSE(reader.SetRecordFault(fault, 0)) << static_cast<int>(fault);
  }
  EXPECT_EQ(reader.RecordFault(), Fault::None);
  ASSERT_TRUE(reader.SetRecordFault(Fault::NoAnswer, 0));
  ASSERT_TRUE(reader.SetRecordFault(Fault::None, 0));
  const File file = MakeFile(kDefaultRecords, kDefaultSplit);
  EXPECT_EQ(Exchange(reader, file.Frame(0)), "IOK\r") << "cleared";
}

TEST(FirmwareLoaderFaults, CommandFaultsActOnDownloadCommandsLikeOnOthers) {
  const File file = MakeFile(kDefaultRecords, kDefaultSplit);
  ReaderEmulator reader = Loader(LoaderStatus::E);
  // Refusal is the loader's own answer: the set-command fault passes the record by.
  reader.SetFault(Fault::AnswerNO, 1);
  EXPECT_EQ(Exchange(reader, file.Frame(0)), "IOK\r");
  EXPECT_EQ(reader.FaultCount(), 1);
  reader.SetFault(Fault::None);

  // Junk in answer to a download command still reaches the dialog.
  reader.SetFault(Fault::Garbage, 1);
  const std::string junk = Exchange(reader, file.Frame(1));
  ASSERT_FALSE(junk.empty());
  EXPECT_EQ(junk.front(), 'I');
  EXPECT_NE(junk.substr(junk.size() - 3, 2), "OK");
  EXPECT_EQ(reader.ReceivedImage().firstPart.size(), 2u) << "the record itself was taken";

  reader.SetFault(Fault::NoAnswer, 1);
  EXPECT_EQ(Exchange(reader, kStatusQuery), "");
  EXPECT_EQ(reader.ReceivedImage().firstPart.size(), 2u) << "a lost status query starts nothing over";
  EXPECT_EQ(reader.ReceivedImage().restarts, 0);
}

}  // namespace
}  // namespace sim
