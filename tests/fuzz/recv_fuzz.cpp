// Plays an arbitrary sender against the receiver: the input is everything
// the sender puts on the line, and the line hangs up when it runs out.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "fuzz_util.h"
#include "names.h"
#include "transfer.h"

namespace fs = std::filesystem;

namespace {

// The receiver's folder holds an older file, a folder, and a link that
// points out of it, each under a name a sender may send.
#define OLD_FILE "old.txt"
#define FOLDER "dir"
#define LINK "link.txt"
#define OUTSIDE "../outside.txt"  // the link's target, beside the folder

void FurnishFolder() {
  WriteWholeFile(OLD_FILE, "old");
  FUZZ_REQUIRE(mkdir(FOLDER, 0700) == 0);
  WriteWholeFile(OUTSIDE, "outside");
  FUZZ_REQUIRE(symlink(OUTSIDE, LINK) == 0);
}

// What a faithful receiver makes of the input.
struct Expected {
  std::map<std::string, std::string> files;  // stored: name and content
  std::string replies;                       // every byte it writes back
  size_t completed = 0;                      // exchanges carried to the end
  bool declined = false;
  bool refused = false;  // a block refused too often: the exchange is given up
};

Expected PredictReceiver(const uint8_t* data, size_t size) {
  Expected expected;
  expected.files[OLD_FILE] = "old";
  for (size_t pos = 0;;) {
    while (pos < size && data[pos] != START)
      pos++;
    if (pos == size) return expected;
    pos++;
    expected.replies += char(READY);
    if (size - pos < NAME_FIELD_SIZE + 4) return expected;
    char name[NAME_FIELD_SIZE + 1] = {};
    memcpy(name, data + pos, NAME_FIELD_SIZE);
    uint32_t length = ToDword(data + pos + NAME_FIELD_SIZE);
    pos += NAME_FIELD_SIZE + 4;
    if (!IsPlainFileName(name) || strcmp(name, FOLDER) == 0) {
      expected.replies += char(DECLINE);
      expected.declined = true;
      return expected;
    }
    expected.replies += char(ACCEPT);
    std::string content;
    int refusals = 0;
    while (content.size() < length) {
      size_t n = std::min<size_t>(BLOCK_SIZE, length - content.size());
      if (size - pos < n + 2) return expected;
      uint16_t received = ToWord(data + pos + n);
      uint16_t computed = GenerateChecksum(data + pos, uint16_t(n));
      if (received == computed) content.append(reinterpret_cast<const char*>(data + pos), n);
      expected.replies += FromWord(MakeReplyWord(received, computed));
      pos += n + 2;
      refusals = received == computed ? 0 : refusals + 1;
      if (refusals == MAX_REFUSALS) {
        expected.refused = true;
        return expected;
      }
    }
    expected.files[name] = content;
    expected.completed++;
  }
}

// Receive mode as the driver runs it: files until a result ends it, or
// until a file is given up (the driver would then wait for the line to fall
// quiet, which an input cannot). Returns that result; *calls counts the
// calls. Each call that lets receive
// mode go on has used up a START, so there can be no more calls than that.
int RunReceiveMode(PortHandle port, size_t max_calls, size_t* calls) {
  for (;;) {
    int result = RecvFile(port);
    ++*calls;
    if (result != TRANSFER_DONE && result != TRANSFER_NOT_STORED) return result;
    FUZZ_REQUIRE(*calls < max_calls);
  }
}

// The folder holds the stored files, the furnishings that no file replaced,
// and nothing else; outside it nothing changed.
void CheckFolders(const Expected& expected) {
  FUZZ_REQUIRE(ListFolder("..") == (std::vector<std::string>{"outside.txt", "work"}));
  FUZZ_REQUIRE(ReadWholeFile(OUTSIDE) == "outside");
  FUZZ_REQUIRE(fs::is_directory(FOLDER) && fs::is_empty(FOLDER));
  bool link_kept = expected.files.count(LINK) == 0;
  FUZZ_REQUIRE(fs::is_symlink(LINK) == link_kept);
  std::vector<std::string> names = ListFolder(".");
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

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The classic exchange alone: stream_*_fuzz play the streaming one.
  setenv("VELCOT_CLASSIC", "1", 1);
  // Progress lines, thousands a second, are of no use here.
  FUZZ_REQUIRE(freopen("/dev/null", "w", stdout) != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int saved = EnterWorkFolder();
  FurnishFolder();
  Expected expected = PredictReceiver(data, size);
  Peer peer;
  StartPeer(data, size, &peer);
  size_t starts = size_t(std::count(data, data + size, uint8_t(START)));
  size_t calls = 0;
  // Returns once the input is exhausted at the latest: the peer then hangs
  // up, and a hang-up ends receive mode.
  int result = RunReceiveMode(peer.port, starts + 1, &calls);
  FinishPeer(&peer);

  int ending = expected.declined  ? TRANSFER_FAILED
               : expected.refused ? TRANSFER_REFUSED
                                  : TRANSFER_PORT_LOST;
  FUZZ_REQUIRE_EQ(result, ending, "result " + std::to_string(result));
  FUZZ_REQUIRE_EQ(calls, expected.completed + 1, std::to_string(calls) + " calls");
  FUZZ_REQUIRE_EQ(peer.heard, expected.replies, ShowDifference(peer.heard, expected.replies));
  CheckFolders(expected);
  EmptyFolder(".");
  FUZZ_REQUIRE(remove(OUTSIDE) == 0);
  LeaveWorkFolder(saved);
  return 0;
}
