// Plays an arbitrary streaming sender against the receiver: the receiver
// hears a sender's opening and the streaming field, then the input (a FILE
// frame whose capabilities may open a session, segments of a compressed
// stream of records), and the line hangs up when it runs out.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "files/names.h"
#include "fuzz_util.h"
#include "run/transfer.h"

namespace {

#define OLD_FILE "old.bin"
#define OUTSIDE "../outside.txt"

// The receiver's own answers: READY_STREAM, then frames, of one file's
// exchange or of a session.
bool IsAnswerFrame(uint8_t type) {
  return std::string("ANKRSXksxnz").find(char(type)) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int saved = EnterWorkFolder();
  FUZZ_REQUIRE(WriteWholeFile(OLD_FILE, "old"));
  FUZZ_REQUIRE(WriteWholeFile(OUTSIDE, "outside"));
  std::string script = FUZZ_OPENING + FUZZ_STREAM_FIELD;
  script.append(reinterpret_cast<const char*>(data), size);
  Peer peer;
  StartPeer(reinterpret_cast<const uint8_t*>(script.data()), script.size(), &peer);
  const RunSettings settings = {{kNoStallLimit, 20, 200}, false};
  SeenOpening opened = SeenOpening::kNone;
  TransferResult result = RecvFile(peer.port, settings, &opened);
  FinishPeer(&peer);

  // It answered the opening, and then only with frames of its own.
  FUZZ_REQUIRE(!peer.heard.empty() && peer.heard[0] == FUZZ_READY_STREAM);
  std::vector<WireFrame> answers = ParseFrames(peer.heard.substr(1));
  for (const WireFrame& answer : answers)
    FUZZ_REQUIRE(IsAnswerFrame(answer.type));
  // Nothing changed outside its folder, and nothing was left behind.
  FUZZ_REQUIRE(ReadWholeFile(OUTSIDE) == "outside");
  std::vector<std::string> names = ListDirectory(".");
  // A file is stored only whole: with the size and whole-file check the
  // sender declared, which an answer (STORED, or a session's s) repeats.
  std::vector<std::string> proofs;
  for (const WireFrame& answer : answers) {
    if (answer.type == 'S' || answer.type == 's') proofs.push_back(answer.payload);
  }
  for (const std::string& name : names) {
    FUZZ_REQUIRE_EQ(name.rfind(".velcot-", 0), std::string::npos, EscapeFileName(name.c_str()));
    FUZZ_REQUIRE(IsPlainFileName(name.c_str()) && IsValidUtf8(name.c_str()));
    std::string content = ReadWholeFile(name);
    if (name == OLD_FILE && content == "old") continue;
    std::string proof = FromUint(content.size(), 8) + FromUint(Crc32(content), 4);
    FUZZ_REQUIRE_EQ(std::count(proofs.begin(), proofs.end(), proof) > 0, true,
                    EscapeFileName(name.c_str()));
  }
  if (result == TransferResult::kDone) FUZZ_REQUIRE(!proofs.empty());
  EmptyFolder(".");
  FUZZ_REQUIRE(remove(OUTSIDE) == 0);
  LeaveWorkFolder(saved);
  return 0;
}
