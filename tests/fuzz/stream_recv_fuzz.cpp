// Plays an arbitrary streaming sender against the receiver: the receiver
// hears a sender's opening and the streaming field, then the input, and
// the line hangs up when it runs out.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_util.h"
#include "names.h"
#include "transfer.h"

namespace {

#define OLD_FILE "old.bin"
#define OUTSIDE "../outside.txt"

// The receiver's own answers: READY_STREAM, then frames.
bool IsAnswerFrame(uint8_t type) {
  return std::string("ANKRSX").find(char(type)) != std::string::npos;
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
  const SessionSettings settings = {{kNoStallLimit, 20, 200}, false};
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
  std::string stored;
  for (const std::string& name : names) {
    FUZZ_REQUIRE_EQ(name.rfind(".velcot-", 0), std::string::npos, EscapeFileName(name.c_str()));
    FUZZ_REQUIRE(IsPlainFileName(name.c_str()) && IsValidUtf8(name.c_str()));
    if (name != OLD_FILE || ReadWholeFile(OLD_FILE) != "old") stored = name;
  }
  // A file is stored only whole: with the size and the whole-file check
  // the sender declared, which its last answer repeats.
  if (result == TransferResult::kDone) {
    FUZZ_REQUIRE(!answers.empty() && answers.back().type == 'S');
    const std::string& proof = answers.back().payload;
    std::string content = ReadWholeFile(stored);
    FUZZ_REQUIRE(!stored.empty() || ToUint(proof, 0, 8) == 0);
    FUZZ_REQUIRE_EQ(uint64_t(content.size()), ToUint(proof, 0, 8), stored);
    FUZZ_REQUIRE_EQ(uint64_t(Crc32(content)), ToUint(proof, 8, 4), stored);
  } else {
    FUZZ_REQUIRE_EQ(stored, std::string(), EscapeFileName(stored.c_str()));
    FUZZ_REQUIRE(ReadWholeFile(OLD_FILE) == "old");
  }
  EmptyFolder(".");
  FUZZ_REQUIRE(remove(OUTSIDE) == 0);
  LeaveWorkFolder(saved);
  return 0;
}
