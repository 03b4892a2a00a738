// ComputeBlockFrames on arbitrary UTF-16 text, over a block table that an earlier code left
// behind. A code of up to 15 characters is accepted and its frames, sent as the dialog sends
// them and read back as a reader reads them, carry exactly the code's bytes; a longer one is
// refused with the block count it would need and leaves the table as it was.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "writetag/BlockFrameDecoder.h"
#include "writetag/BlockFrames.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using fuzzing::Check;

using namespace writetag;

std::u16string Utf16(const std::string& bytes) {
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8)));
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  BlockFrameSet set;
  // The table as an earlier run left it.
  (void)ComputeBlockFrames(set, Utf16(in.ConsumeRandomLengthString(32)));
  const std::u16string code = Utf16(in.ConsumeRemainingBytesAsString());
  const BlockFrameSet before = set;

  const BlockFramesOutcome outcome = ComputeBlockFrames(set, code);
  Check(outcome.blocksCalculated == (code.size() * 8 + 19) / 20, "blocks for the length");
  if (code.size() > MAX_CODE_CHARS) {
    Check(outcome.result == kResultOutOfRange, "long code refused");
    Check(set.m_nBlockCount == before.m_nBlockCount && set.m_blockFrames == before.m_blockFrames,
          "refused code leaves the table");
    Check(!BlockCountMessage(outcome.blocksCalculated).empty(), "message");
    return 0;
  }
  Check(outcome.result == kResultOk && set.m_nBlockCount == outcome.blocksCalculated, "code accepted");
  std::vector<uint32_t> words;
  for (size_t j = 0; j < set.m_nBlockCount; ++j) {
    const auto text = WriteCommandFor(set, j);
    Check(text.has_value() && text->size() == 12, "command for each block");
    const auto frame = DecodeFrameText(*text);
    Check(frame && IsDataBlockFrame(*frame) && frame->address == kFirstDataBlockAddress + j, "data block frame");
    words.push_back(frame->dataWord);
  }
  Check(!WriteCommandFor(set, set.m_nBlockCount), "no command beyond the count");
  std::string expected;
  for (char16_t c : code) expected.push_back(static_cast<char>(c & 0xFF));
  while (!expected.empty() && expected.back() == '\0') expected.pop_back();
  Check(CodeFromBlockWords(words) == expected, "frames carry the code");
  return 0;
}
