// Plays an arbitrary sender against the receiver: the input is everything
// the sender puts on the line, and the line hangs up when it runs out.
// Where the receiver judges a START the sender waits, as a real one does,
// so that the line is quiet after it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "files/names.h"
#include "fuzz_util.h"
#include "protocols/classic/classic.h"
#include "run/transfer.h"

namespace fs = std::filesystem;

namespace {

// The receiver's folder holds an older file, a folder, and a link that
// points out of it, each under a name a sender may send.
#define OLD_FILE "old.txt"
#define FOLDER "dir"
#define LINK "link.txt"
#define OUTSIDE "../outside.txt"  // the link's target, beside the folder

void FurnishFolder() {
  FUZZ_REQUIRE(WriteWholeFile(OLD_FILE, "old"));
  FUZZ_REQUIRE(mkdir(FOLDER, 0700) == 0);
  FUZZ_REQUIRE(WriteWholeFile(OUTSIDE, "outside"));
  FUZZ_REQUIRE(symlink(OUTSIDE, LINK) == 0);
}

// What a faithful receiver makes of the input.
struct Expected {
  std::map<std::string, std::string> files;           // stored: name and content
  std::string replies;                                // every byte it writes back
  size_t completed = 0;                               // exchanges carried to the end
  TransferResult ending = TransferResult::kPortLost;  // the result that ends receive mode
  // Where the receiver judges a START: the peer waits after it, as a sender
  // waits for READY, until READY has come (or for good).
  std::vector<Pause> pauses;
};

// Notes a START the receiver judges, and whether it answers it.
void PauseAfter(size_t pos, bool answered, Expected* expected) {
  expected->pauses.push_back({pos, answered ? expected->replies.size() + 1 : SIZE_MAX});
}

// The watch after the last answer of a file whose blocks are all full:
// an opening alone (START, or PREAMBLE and START), with the peer then
// waiting, is the next exchange's (1); anything else is a sender out of
// step (0), even cut off by the end of the input; the end of the input
// before anything came is a hang-up (-1) that shows nothing out of step.
int PredictWatch(const uint8_t* data, size_t size, size_t* pos, Expected* expected) {
  if (*pos == size) return -1;
  size_t start = *pos;
  for (size_t count = 1; *pos < size; count++) {
    uint8_t byte = data[(*pos)++];
    if (count > kOpeningMaxLength) return 0;
    if (byte == kStart) {
      bool alone = count == 1 || (count == kPreambleSize + 1 &&
                                  memcmp(data + start, kPreamble, kPreambleSize) == 0);
      PauseAfter(*pos, alone, expected);
      return alone ? 1 : 0;
    }
  }
  return 0;
}

Expected PredictReceiver(const uint8_t* data, size_t size) {
  Expected expected;
  expected.files[OLD_FILE] = "old";
  bool opened = false;
  for (size_t pos = 0;;) {
    if (!opened) {
      while (pos < size && data[pos] != kStart)
        pos++;
      if (pos == size) return expected;
      PauseAfter(++pos, true, &expected);
    }
    expected.replies += char(kReady);
    // A sender's opening written again ahead of the name field is dropped.
    while (size - pos >= kNameFieldSize && memcmp(data + pos, kPreamble, kPreambleSize) == 0 &&
           data[pos + kPreambleSize] == kStart) {
      pos += kPreambleSize + 1;
    }
    // A streaming sender that took READY for READY_STREAM: its field is
    // declined, and receive mode goes on.
    if (size - pos >= kNameFieldSize && IsStreamField(data + pos)) {
      expected.replies += char(kDecline);
      pos += kNameFieldSize;
      opened = false;
      expected.completed++;
      continue;
    }
    if (size - pos < kNameFieldSize + 4) return expected;
    char name[kNameFieldSize + 1] = {};
    memcpy(name, data + pos, kNameFieldSize);
    uint32_t length = ToDword(data + pos + kNameFieldSize);
    pos += kNameFieldSize + 4;
    if (!IsPlainFileName(name) || strcmp(name, FOLDER) == 0) {
      expected.replies += char(kDecline);
      expected.ending = TransferResult::kDeclined;
      return expected;
    }
    std::string content;
    if (length > 0) expected.replies += char(kAccept);
    int refusals = 0;
    std::string refused;  // the copy of the block last refused
    while (content.size() < length) {
      size_t n = std::min<size_t>(kBlockSize, length - content.size());
      if (size - pos < n + 2) return expected;
      std::string block(reinterpret_cast<const char*>(data + pos), n);
      size_t differing = 0;
      for (size_t i = 0; refusals > 0 && i < n; i++)
        differing += block[i] != refused[i];
      if (differing > ComputeWentOnLimit(uint16_t(n))) {
        expected.ending = TransferResult::kOutOfStep;  // another block: silent for the file
        return expected;
      }
      uint16_t received = ToWord(data + pos + n);
      uint16_t computed = GenerateChecksum(data + pos, uint16_t(n));
      pos += n + 2;
      if (received == computed) content += block;
      if (content.size() == length) break;  // its answer waits
      expected.replies += FromWord(MakeReplyWord(received, computed));
      refusals = received == computed ? 0 : refusals + 1;
      if (refusals > 0) refused = block;
      if (refusals == kMaxRefusals) {
        expected.ending = TransferResult::kRefused;
        return expected;
      }
    }
    expected.replies += length > 0 ? FromWord(kReplyOk) : std::string(1, char(kAccept));
    opened = false;
    int watched = length % kBlockSize == 0 ? PredictWatch(data, size, &pos, &expected) : 2;
    if (watched == 0) {
      expected.ending = TransferResult::kOutOfStep;
      return expected;
    }
    expected.files[name] = content;
    expected.completed++;
    if (watched < 0) return expected;  // stored; the lost port shows at the next call
    opened = watched == 1;
  }
}

// Receive mode as the driver runs it: files until a result ends it, or
// until a file is given up (the driver would then wait for the line to fall
// quiet, which an input cannot). Returns that result; *calls counts the
// calls. Each call that lets receive mode go on has used up a START, so
// there can be no more calls than that. The waits for a quiet line are
// short after a START, where the peer waits, and long after a file, where
// it never does: the rest of the input or its end is always there.
TransferResult RunReceiveMode(PortHandle port, size_t max_calls, size_t* calls) {
  // The classic exchange alone: stream_recv_fuzz plays the streaming one.
  const RunSettings settings = {{kNoStallLimit, 2, 20000}, true};
  SeenOpening opened = SeenOpening::kNone;
  for (;;) {
    TransferResult result = RecvFile(port, settings, &opened);
    ++*calls;
    if (result != TransferResult::kDone && result != TransferResult::kNotStored) return result;
    FUZZ_REQUIRE(*calls < max_calls);
  }
}

// The folder holds the stored files, the furnishings that no file replaced,
// and nothing else; outside it nothing changed.
void CheckFolders(const Expected& expected) {
  FUZZ_REQUIRE(ListDirectory("..") == (std::vector<std::string>{"outside.txt", "work"}));
  FUZZ_REQUIRE(ReadWholeFile(OUTSIDE) == "outside");
  FUZZ_REQUIRE(fs::is_directory(FOLDER) && fs::is_empty(FOLDER));
  bool link_kept = expected.files.count(LINK) == 0;
  FUZZ_REQUIRE(fs::is_symlink(LINK) == link_kept);
  std::vector<std::string> names = ListDirectory(".");
  std::string shown;
  for (const std::string& name : names)
    shown += EscapeFileName(name.c_str()) + " ";
  std::vector<std::string> wanted = {FOLDER};
  if (link_kept) wanted.push_back(LINK);
  for (const auto& [name, content] : expected.files) {
    wanted.push_back(name);
    FUZZ_REQUIRE(fs::is_regular_file(fs::symlink_status(name)));
    FUZZ_REQUIRE_EQ(ReadWholeFile(name), content, EscapeFileName(name.c_str()));
  }
  std::sort(wanted.begin(), wanted.end());
  // A name longer than a name field would be a temporary file left behind.
  FUZZ_REQUIRE_EQ(names, wanted, shown);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int saved = EnterWorkFolder();
  FurnishFolder();
  Expected expected = PredictReceiver(data, size);
  Peer peer;
  StartPeer(data, size, &peer, expected.pauses);
  size_t starts = size_t(std::count(data, data + size, uint8_t(kStart)));
  size_t calls = 0;
  // Returns once the input is exhausted at the latest: the peer then hangs
  // up, and a hang-up ends receive mode.
  TransferResult result = RunReceiveMode(peer.port, starts + 1, &calls);
  FinishPeer(&peer);

  FUZZ_REQUIRE_EQ(result, expected.ending, "result " + std::to_string(int(result)));
  FUZZ_REQUIRE_EQ(calls, expected.completed + 1, std::to_string(calls) + " calls");
  FUZZ_REQUIRE_EQ(peer.heard, expected.replies, ShowDifference(peer.heard, expected.replies));
  CheckFolders(expected);
  EmptyFolder(".");
  FUZZ_REQUIRE(remove(OUTSIDE) == 0);
  LeaveWorkFolder(saved);
  return 0;
}
