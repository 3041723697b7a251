// Plays an arbitrary receiver against the sender: after a header that
// chooses the file, the input is every byte the receiver answers with, and
// the line hangs up when it runs out.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_util.h"
#include "protocols/classic/classic.h"
#include "run/transfer.h"

namespace {

#define SEND_NAME_FIELD "velcot-s.bin"  // SEND_PATH cut to 8.3, all 12 bytes

// What a faithful sender writes and returns, given the receiver's answers.
struct Expected {
  std::string written;
  TransferResult result = TransferResult::kPortLost;
};

Expected PredictSender(const std::string& content, const uint8_t* answers, size_t size) {
  Expected expected;
  expected.written = char(kStart);
  size_t pos = 0;
  while (pos < size && answers[pos] != kReady)
    pos++;
  if (pos == size) return expected;
  pos++;
  expected.written += std::string(SEND_NAME_FIELD, kNameFieldSize);
  expected.written += FromDword(uint32_t(content.size()));
  if (pos == size) return expected;
  if (answers[pos++] != kAccept) {
    expected.result = TransferResult::kDeclined;
    return expected;
  }
  int refusals = 0;
  for (size_t done = 0; done < content.size();) {
    size_t n = std::min<size_t>(kBlockSize, content.size() - done);
    std::string block = content.substr(done, n);
    // A refused block goes out again unchanged.
    expected.written += block;
    expected.written +=
        FromWord(GenerateChecksum(reinterpret_cast<const uint8_t*>(block.data()), uint16_t(n)));
    if (size - pos < 2) return expected;
    refusals = ToWord(answers + pos) == kReplyOk ? 0 : refusals + 1;
    if (refusals == 0) done += n;
    pos += 2;
    if (refusals == kMaxRefusals) {
      expected.result = TransferResult::kRefused;
      return expected;
    }
  }
  expected.result = TransferResult::kDone;
  return expected;
}

// The classic exchange alone: stream_*_fuzz play the streaming one.
TransferResult RunSendFile(PortHandle port) {
  RunSettings settings = {{kNoStallLimit, 0, 0}, true};
  return SendFile(port, SEND_PATH, settings);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < SEND_HEADER_SIZE) return 0;
  int saved = EnterWorkFolder();
  std::string content = MakeSendContent(data);
  FUZZ_REQUIRE(WriteWholeFile(SEND_PATH, content));
  const uint8_t* answers = data + SEND_HEADER_SIZE;
  size_t answer_count = size - SEND_HEADER_SIZE;
  Expected expected = PredictSender(content, answers, answer_count);

  // The receiver answers once the sender has opened: what is on the line
  // before the first START is dropped.
  Peer peer;
  StartPeer(answers, answer_count, &peer, {{0, 1}});
  TransferResult result = RunSendFile(peer.port);
  FinishPeer(&peer);

  FUZZ_REQUIRE_EQ(result, expected.result, "result " + std::to_string(int(result)));
  FUZZ_REQUIRE_EQ(peer.heard, expected.written, ShowDifference(peer.heard, expected.written));
  FUZZ_REQUIRE(ListDirectory(".") == std::vector<std::string>{SEND_PATH});
  FUZZ_REQUIRE(ReadWholeFile(SEND_PATH) == content);
  EmptyFolder(".");
  LeaveWorkFolder(saved);
  return 0;
}
