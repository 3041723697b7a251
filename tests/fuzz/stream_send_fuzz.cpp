// Plays an arbitrary streaming receiver against the sender: after a header
// that chooses the file, the receiver answers READY_STREAM and then the
// input, and the line hangs up when it runs out.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_util.h"
#include "transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < SEND_HEADER_SIZE) return 0;
  int saved = EnterWorkFolder();
  std::string content = MakeSendContent(data);
  FUZZ_REQUIRE(WriteWholeFile(SEND_PATH, content));
  std::string answers(1, FUZZ_READY_STREAM);
  answers.append(reinterpret_cast<const char*>(data) + SEND_HEADER_SIZE, size - SEND_HEADER_SIZE);

  // The receiver answers once the sender has opened: what is on the line
  // before the first START is dropped.
  Peer peer;
  StartPeer(reinterpret_cast<const uint8_t*>(answers.data()), answers.size(), &peer, {{0, 1}});
  TransferResult result = SendFile(peer.port, SEND_PATH, SessionSettings{{kNoStallLimit, 0, 0}});
  FinishPeer(&peer);

  // The opening, the field, then frames alone; every byte of data it sends
  // is the file's at that offset, and every END proves the whole file.
  std::string opening = FUZZ_OPENING + FUZZ_STREAM_FIELD;
  FUZZ_REQUIRE_EQ(peer.heard.substr(0, opening.size()), opening,
                  ShowDifference(peer.heard, opening));
  std::vector<WireFrame> frames = ParseFrames(peer.heard.substr(opening.size()));
  FUZZ_REQUIRE(!frames.empty() && frames[0].type == 'F');
  FUZZ_REQUIRE(frames[0].payload.substr(20) == SEND_PATH);
  FUZZ_REQUIRE_EQ(ToUint(frames[0].payload, 0, 8), uint64_t(content.size()), frames[0].payload);
  for (const WireFrame& frame : frames) {
    if (frame.type == 'D') {
      uint64_t offset = ToUint(frame.payload, 0, 8);
      FUZZ_REQUIRE(offset + frame.payload.size() - 8 <= content.size());
      FUZZ_REQUIRE(frame.payload.substr(8) ==
                   content.substr(size_t(offset), frame.payload.size() - 8));
    } else if (frame.type == 'E') {
      FUZZ_REQUIRE(frame.payload == FromUint(content.size(), 8) + FromUint(Crc32(content), 4));
    } else {
      FUZZ_REQUIRE(std::string("FB").find(char(frame.type)) != std::string::npos);
    }
  }
  // Success only on the receiver's word that the whole file is stored.
  if (result == TransferResult::kDone) {
    std::string proof = FromUint(content.size(), 8) + FromUint(Crc32(content), 4);
    bool proved = false;
    for (const WireFrame& answer : ParseFrames(answers.substr(1)))
      proved = proved || (answer.type == 'S' && answer.payload == proof);
    FUZZ_REQUIRE(proved);
    FUZZ_REQUIRE(frames.back().type == 'B');
  }
  FUZZ_REQUIRE(ListDirectory(".") == std::vector<std::string>{SEND_PATH});
  FUZZ_REQUIRE(ReadWholeFile(SEND_PATH) == content);
  EmptyFolder(".");
  LeaveWorkFolder(saved);
  return 0;
}
