// Plays an arbitrary receiver against the sender: after a header that
// chooses the file, the input is every byte the receiver answers with, and
// the line hangs up when it runs out.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_util.h"
#include "transfer.h"

namespace {

#define SEND_NAME_FIELD "velcot-s.bin"  // SEND_PATH cut to 8.3, all 12 bytes

// What a faithful sender writes and returns, given the receiver's answers.
struct Expected {
  std::string written;
  int result = TRANSFER_PORT_LOST;
};

Expected PredictSender(const std::string& content, const uint8_t* answers, size_t size) {
  Expected expected;
  expected.written = char(START);
  size_t pos = 0;
  while (pos < size && answers[pos] != READY)
    pos++;
  if (pos == size) return expected;
  pos++;
  expected.written += std::string(SEND_NAME_FIELD, NAME_FIELD_SIZE);
  expected.written += FromDword(uint32_t(content.size()));
  if (pos == size) return expected;
  if (answers[pos++] != ACCEPT) {
    expected.result = TRANSFER_DECLINED;
    return expected;
  }
  int refusals = 0;
  for (size_t done = 0; done < content.size();) {
    size_t n = std::min<size_t>(BLOCK_SIZE, content.size() - done);
    std::string block = content.substr(done, n);
    // A refused block goes out again unchanged.
    expected.written += block;
    expected.written +=
        FromWord(GenerateChecksum(reinterpret_cast<const uint8_t*>(block.data()), uint16_t(n)));
    if (size - pos < 2) return expected;
    refusals = ToWord(answers + pos) == REPLY_OK ? 0 : refusals + 1;
    if (refusals == 0) done += n;
    pos += 2;
    if (refusals == MAX_REFUSALS) {
      expected.result = TRANSFER_REFUSED;
      return expected;
    }
  }
  expected.result = TRANSFER_DONE;
  return expected;
}

int RunSendFile(PortHandle port) {
  return SendFile(port, SEND_PATH);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The classic exchange alone: stream_*_fuzz play the streaming one.
  setenv("VELCOT_CLASSIC", "1", 1);
  FUZZ_REQUIRE(freopen("/dev/null", "w", stdout) != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < SEND_HEADER_SIZE) return 0;
  int saved = EnterWorkFolder();
  std::string content = MakeSendContent(data);
  WriteWholeFile(SEND_PATH, content);
  const uint8_t* answers = data + SEND_HEADER_SIZE;
  size_t answer_count = size - SEND_HEADER_SIZE;
  Expected expected = PredictSender(content, answers, answer_count);

  // The receiver answers once the sender has opened: what is on the line
  // before the first START is dropped.
  Peer peer;
  StartPeer(answers, answer_count, &peer, {{0, 1}});
  int result = RunSendFile(peer.port);
  FinishPeer(&peer);

  FUZZ_REQUIRE_EQ(result, expected.result, "result " + std::to_string(result));
  FUZZ_REQUIRE_EQ(peer.heard, expected.written, ShowDifference(peer.heard, expected.written));
  FUZZ_REQUIRE(ListFolder(".") == std::vector<std::string>{SEND_PATH});
  FUZZ_REQUIRE(ReadWholeFile(SEND_PATH) == content);
  EmptyFolder(".");
  LeaveWorkFolder(saved);
  return 0;
}
