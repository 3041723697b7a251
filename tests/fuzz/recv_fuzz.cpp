// Plays an arbitrary sender against the receiver: the input is everything
// the sender puts on the line, and the line hangs up when it runs out.
#include <cstdio>
#include <cstring>
#include <map>

#include "fuzz_util.h"
#include "transfer.h"

namespace {

// What a faithful receiver makes of the input.
struct Expected {
  std::map<std::string, std::string> files;  // stored: name and content
  std::string replies;                       // every byte it writes back
  size_t completed = 0;                      // exchanges carried to the end
  bool declined = false;
};

Expected PredictReceiver(const uint8_t* data, size_t size) {
  Expected expected;
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
    if (!IsPlainFileName(name)) {
      expected.replies += char(DECLINE);
      expected.declined = true;
      return expected;
    }
    expected.replies += char(ACCEPT);
    std::string content;
    while (content.size() < length) {
      size_t n = std::min<size_t>(BLOCK_SIZE, length - content.size());
      if (size - pos < n + 2) return expected;
      uint16_t received = ToWord(data + pos + n);
      uint16_t computed = GenerateChecksum(data + pos, uint16_t(n));
      if (received == computed) content.append(reinterpret_cast<const char*>(data + pos), n);
      expected.replies += FromWord(MakeReplyWord(received, computed));
      pos += n + 2;
    }
    expected.files[name] = content;
    expected.completed++;
  }
}

// Receive mode as the driver runs it: files until a result ends it.
// Returns that result; *calls counts the calls.
int RunReceiveMode(PortHandle port, size_t* calls) {
  for (;;) {
    int result = RecvFile(port);
    ++*calls;
    if (result != TRANSFER_DONE && result != TRANSFER_NOT_STORED) return result;
  }
}

// Everything in the scratch folder is a stored file with a plain name, and
// nothing is beside it.
void CheckFolders(const Expected& expected) {
  FUZZ_REQUIRE(ListFolder("..") == std::vector<std::string>{"work"});
  std::vector<std::string> names = ListFolder(".");
  std::string shown;
  for (const std::string& name : names)
    shown += EscapeFileName(name.c_str()) + " ";
  for (const std::string& name : names) {
    // Longer than any received name: a temporary file left behind.
    FUZZ_REQUIRE_EQ(name.size() <= NAME_FIELD_SIZE, true, shown);
    FUZZ_REQUIRE_EQ(IsPlainFileName(name.c_str()), true, shown);
  }
  std::vector<std::string> wanted;
  for (const auto& [name, content] : expected.files) {
    wanted.push_back(name);
    FUZZ_REQUIRE_EQ(ReadWholeFile(name), content, EscapeFileName(name.c_str()));
  }
  FUZZ_REQUIRE_EQ(names, wanted, shown);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Progress lines, thousands a second, are of no use here.
  FUZZ_REQUIRE(freopen("/dev/null", "w", stdout) != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int saved = EnterWorkFolder();
  Expected expected = PredictReceiver(data, size);
  Peer peer;
  StartPeer(data, size, &peer);
  size_t calls = 0;
  // Returns once the input is exhausted at the latest: the peer then hangs
  // up, and a hang-up ends receive mode.
  int result = RunReceiveMode(peer.port, &calls);
  FinishPeer(&peer);

  FUZZ_REQUIRE_EQ(result, expected.declined ? TRANSFER_FAILED : TRANSFER_PORT_LOST,
                  "result " + std::to_string(result));
  FUZZ_REQUIRE_EQ(calls, expected.completed + 1, std::to_string(calls) + " calls");
  FUZZ_REQUIRE_EQ(peer.heard, expected.replies, ShowDifference(peer.heard, expected.replies));
  CheckFolders(expected);
  EmptyFolder(".");
  LeaveWorkFolder(saved);
  return 0;
}
