// Kermit against a peer that means harm or ends the transfer, played by the
// test on a socketpair: names outside the folder, sizes that lie, wrong
// sequence numbers, packets too long or damaged for ever, one packet
// repeated for ever, and Error packets either way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "peer_util.h"
#include "protocols/kermit/kermit.h"
#include "protocols/kermit/packet.h"

namespace {

namespace fs = std::filesystem;

// Short waits: velcot gives a transaction up after 4 s without progress.
const LineTimes kTimes = {2000, 20, 100};

// The peer's Send-Init: MAXL 94, TIME 1 s, CR, '#', 8th-bit prefixing if
// asked, type 1 checks, no repeat counts, and attributes (no windows).
const std::string kInit = "~! @-#Y1 (";

// What the peer says, and the acknowledgement it expects ("*": any data;
// none: it expects nothing, and says it again and again when it is the
// last step). A type of 0 says data as it is.
struct Step {
  int seq;
  char type;
  std::string data;
  const char* ack;
};

class KermitPeer {
 public:
  explicit KermitPeer(int fd) : fd_(fd) {}

  void Say(int seq, char type, const std::string& data) {
    Bytes wire(data.begin(), data.end());
    if (type != 0) wire = FormKermitPacket({seq, uint8_t(type), wire}, 1);
    wire.push_back('\r');
    WriteAll(fd_, wire);
  }

  // The next packet velcot sends, its NAKs for packet 0 while it waits for
  // Send-Init passed over.
  KermitPacket Hear() {
    for (;;) {
      Bytes byte;
      do {
        byte = ReadExact(fd_, 1);
      } while (!byte.empty() && byte[0] != kKermitMark);
      Bytes len = ReadExact(fd_, 1);
      if (len.empty()) return {};
      Bytes wire = Concat({kKermitMark, len[0]}, ReadExact(fd_, size_t(KermitValue(len[0]))));
      KermitPacket packet;
      EXPECT_TRUE(ReadKermitPacket(wire.data(), wire.size(), 1, &packet));
      if (packet.type != 'N' || packet.seq != 0) return packet;
    }
  }

  void Play(const std::vector<Step>& steps, const std::atomic<bool>& done) {
    for (size_t i = 0; i < steps.size(); i++) {
      const Step& step = steps[i];
      do {
        Say(step.seq, step.type, step.data);
        if (step.ack == nullptr) usleep(50000);
      } while (step.ack == nullptr && i + 1 == steps.size() && !done);
      if (step.ack == nullptr) continue;
      KermitPacket heard = Hear();
      EXPECT_EQ(heard.type, 'Y') << "step " << i;
      if (std::string(step.ack) != "*") {
        EXPECT_EQ(std::string(heard.data.begin(), heard.data.end()), step.ack) << "step " << i;
      }
    }
  }

 private:
  int fd_;
};

class KermitHostileTest : public InScratchFolder {};

TEST_F(KermitHostileTest, ReceiverStoresNothingWrongAndNothingOutside) {
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::string said;  // on the error stream
    std::vector<std::string> stored;
  } kCases[] = {
      {"names outside the folder, then a good file",
       {{1, 'F', "../x", ""},
        {2, 'A', "1!5", "N"},
        {3, 'Z', "D", ""},
        {4, 'F', "/tmp/x", ""},
        {5, 'Z', "", ""},
        {6, 'F', "good.txt", ""},
        {7, 'A', "1!5", ""},
        {8, 'D', "hello", ""},
        {9, 'Z', "", ""},
        {10, 'B', "", ""}},
       "Refusing file \"../x\": not a plain file name\nRefusing file \"/tmp/x\"",
       {"good.txt"}},
      {"a size beyond 64 bits, then one that the data does not come to",
       {{1, 'F', "a.bin", ""},
        {2, 'A', "1499999999999999999999", "N"},
        {3, 'Z', "D", ""},
        {4, 'F', "b.bin", ""},
        {5, 'A', "1418446744073709551615", ""},
        {6, 'D', "abc", ""},
        {7, 'Z', "", ""},
        {8, 'B', "", ""}},
       "Gave up receiving a.bin: its data did not come to the size announced\n"
       "Gave up receiving b.bin: its data did not come to the size announced\n",
       {}},
      {"data beyond the size announced",
       {{1, 'F', "a.bin", ""},
        {2, 'A', "1!3", ""},
        {3, 'D', "abcdef", "X"},
        {4, 'Z', "D", ""},
        {5, 'B', "", ""}},
       "its data did not come to the size announced",
       {}},
      {"a wrong sequence number for ever",
       {{5, 'F', "a.bin", nullptr}},
       "the sender made no progress for 4 s",
       {}},
      {"one packet repeated for ever",
       {{1, 'F', "a.bin", ""}, {2, 'D', "abc", ""}, {2, 'D', "abc", nullptr}},
       "Gave up receiving a.bin: the sender made no progress for 4 s\n",
       {}},
      {"packets too long for ever: an extended header beyond 95 * 95",
       {{1, 'F', "a.bin", ""}, {0, 0, "\x01 \"D\x7f!F", nullptr}},
       "Gave up receiving a.bin: a block failed its check 50 times in a row\n",
       {}},
      {"an Error packet",
       {{1, 'F', "a.bin", ""}, {2, 'E', "Disk\x1b[2J", nullptr}},
       "The sender said: Disk\\x1B[2J\nGave up receiving a.bin: the sender cancelled it\n",
       {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    fs::create_directory("in");
    fs::current_path("in");
    Link link = OpenLink();
    KermitPeer peer(link.theirs);
    std::atomic<bool> done(false);
    TransferResult result = kNoResult;
    testing::internal::CaptureStderr();
    std::thread receiver([&] {
      result = ReceiveKermitFiles(link.ours, {nullptr, 0, 8}, kTimes);
      done = true;
    });
    std::vector<Step> steps = {{0, 'S', kInit, "*"}};
    steps.insert(steps.end(), c.steps.begin(), c.steps.end());
    peer.Play(steps, done);
    receiver.join();
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, TransferResult::kNotStored);
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_EQ(ListDirectory("."), c.stored);
    EXPECT_FALSE(fs::exists("../x"));
    fs::current_path("..");
    fs::remove_all("in");
    CloseLink(link);
  }
}

// The receiver's Error packet, escaped, and the files after it not sent.
TEST_F(KermitHostileTest, SenderShowsTheReceiversErrorAndStops) {
  WriteFile("a.bin", PatternBytes(3000, 1));
  WriteFile("b.bin", PatternBytes(10, 2));
  const char* files[] = {"a.bin", "b.bin"};
  Link link = OpenLink();
  KermitPeer peer(link.theirs);
  TransferResult result = kNoResult;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  std::thread sender([&] { result = SendKermitFiles(link.ours, {files, 2, 8}, kTimes); });
  EXPECT_EQ(peer.Hear().type, 'S');
  peer.Say(0, 'Y', "~! @-#N1");
  EXPECT_EQ(peer.Hear().type, 'F');
  peer.Say(1, 'Y', "");
  KermitPacket data = peer.Hear();
  EXPECT_EQ(data.type, 'D');
  EXPECT_EQ(data.seq, 2);
  peer.Say(2, 'E', "No\a space");
  sender.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kNotStored);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "The receiver said: No\\x07 space\n"
            "Gave up sending a.bin: the receiver cancelled it\n"
            "file b.bin not sent\n");
  CloseLink(link);
}

}  // namespace
