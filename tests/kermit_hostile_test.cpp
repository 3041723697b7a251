// Kermit against a peer that means harm or ends the transfer, played by the
// test on a socketpair: names outside the folder, sizes that lie, wrong
// sequence numbers, packets too long or damaged for ever, one packet
// repeated for ever, and Error packets either way.
#include <gtest/gtest.h>
#include <poll.h>
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

struct Step {
  char say;  // 0: hear a packet
  int seq;
  char type;         // said, or the type heard
  std::string data;  // said, or the data heard
};

// Plays the steps; the last is said again and again until velcot is done.
class KermitPeer {
 public:
  explicit KermitPeer(int fd) : fd_(fd) {}

  void Say(int seq, char type, const std::string& data) {
    KermitPacket packet;
    packet.seq = seq;
    packet.type = uint8_t(type);
    packet.data.assign(data.begin(), data.end());
    Bytes wire = FormKermitPacket(packet, 1);
    wire.push_back('\r');
    WriteAll(fd_, wire);
  }

  // The next packet velcot sends (its NAKs for packet 0 while it waits for
  // Send-Init passed over).
  KermitPacket Hear(bool skip_waiting_naks) {
    for (;;) {
      Bytes byte;
      do {
        byte = ReadExact(fd_, 1);
      } while (!byte.empty() && byte[0] != kKermitMark);
      Bytes wire = {kKermitMark};
      Bytes len = ReadExact(fd_, 1);
      if (len.empty()) return {};
      wire.push_back(len[0]);
      Bytes rest = ReadExact(fd_, size_t(KermitValue(len[0])));
      wire.insert(wire.end(), rest.begin(), rest.end());
      KermitPacket packet;
      EXPECT_TRUE(ReadKermitPacket(wire.data(), wire.size(), 1, &packet));
      if (!(skip_waiting_naks && packet.type == 'N' && packet.seq == 0)) return packet;
    }
  }

  void Play(const std::vector<Step>& steps, const std::atomic<bool>& done) {
    for (size_t i = 0; i < steps.size(); i++) {
      const Step& step = steps[i];
      if (step.say == 0) {
        KermitPacket heard = Hear(i < 2);
        EXPECT_EQ(heard.type, step.type) << "step " << i;
        if (step.data != "*") {
          EXPECT_EQ(std::string(heard.data.begin(), heard.data.end()), step.data) << "step " << i;
        }
        continue;
      }
      do {
        Say(step.seq, step.type, step.data);
        if (i + 1 == steps.size()) usleep(50000);
      } while (i + 1 == steps.size() && !done);
    }
  }

 private:
  int fd_;
};

class KermitHostileTest : public InScratchFolder {};

TEST_F(KermitHostileTest, ReceiverStoresNothingWrongAndNothingOutside) {
  const std::string kHuge = "18446744073709551615", kBeyond = "99999999999999999999";
  const std::vector<Step> kOpen = {{'>', 0, 'S', kInit}, {0, 0, 'Y', "*"}};
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::string said;  // on the error stream
    std::vector<std::string> stored;
  } kCases[] = {
      {"names outside the folder, then a good file",
       {{'>', 1, 'F', "../x"}, {0, 1, 'Y', ""}, {'>', 2, 'A', "1!5"},      {0, 2, 'Y', "N"},
        {'>', 3, 'Z', "D"},    {0, 3, 'Y', ""}, {'>', 4, 'F', "/tmp/x"},   {0, 4, 'Y', ""},
        {'>', 5, 'Z', ""},     {0, 5, 'Y', ""}, {'>', 6, 'F', "good.txt"}, {0, 6, 'Y', ""},
        {'>', 7, 'A', "1!5"},  {0, 7, 'Y', ""}, {'>', 8, 'D', "hello"},    {0, 8, 'Y', ""},
        {'>', 9, 'Z', ""},     {0, 9, 'Y', ""}, {'>', 10, 'B', ""},        {0, 10, 'Y', ""}},
       "Refusing file \"../x\": not a plain file name\nRefusing file \"/tmp/x\"",
       {"good.txt"}},
      {"a size beyond 64 bits, then one that the data does not come to",
       {{'>', 1, 'F', "a.bin"},
        {0, 1, 'Y', ""},
        {'>', 2, 'A', "14" + kBeyond},
        {0, 2, 'Y', "N"},
        {'>', 3, 'Z', "D"},
        {0, 3, 'Y', ""},
        {'>', 4, 'F', "b.bin"},
        {0, 4, 'Y', ""},
        {'>', 5, 'A', "14" + kHuge},
        {0, 5, 'Y', ""},
        {'>', 6, 'D', "abc"},
        {0, 6, 'Y', ""},
        {'>', 7, 'Z', ""},
        {0, 7, 'Y', ""},
        {'>', 8, 'B', ""},
        {0, 8, 'Y', ""}},
       "Gave up receiving a.bin: its data did not come to the size announced\n"
       "Gave up receiving b.bin: its data did not come to the size announced\n",
       {}},
      {"data beyond the size announced",
       {{'>', 1, 'F', "a.bin"},
        {0, 1, 'Y', ""},
        {'>', 2, 'A', "1!3"},
        {0, 2, 'Y', ""},
        {'>', 3, 'D', "abcdef"},
        {0, 3, 'Y', "X"},
        {'>', 4, 'Z', "D"},
        {0, 4, 'Y', ""},
        {'>', 5, 'B', ""},
        {0, 5, 'Y', ""}},
       "its data did not come to the size announced",
       {}},
      {"a wrong sequence number for ever",
       {{'>', 5, 'F', "a.bin"}},
       "the sender made no progress for 4 s",
       {}},
      {"one packet repeated for ever",
       {{'>', 1, 'F', "a.bin"},
        {0, 1, 'Y', ""},
        {'>', 2, 'D', "abc"},
        {0, 2, 'Y', ""},
        {'>', 2, 'D', "abc"}},
       "Gave up receiving a.bin: the sender made no progress for 4 s\n",
       {}},
      {"packets too long for ever",
       {{'>', 1, 'F', "a.bin"},
        {0, 1, 'Y', ""},
        {'>', 0, '!', ""}},  // said below as an extended header beyond 95 * 95
       "Gave up receiving a.bin: a block failed its check 50 times in a row\n",
       {}},
      {"an Error packet",
       {{'>', 1, 'F', "a.bin"}, {0, 1, 'Y', ""}, {'>', 2, 'E', "Disk\x1b[2J"}},
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
    std::vector<Step> steps = kOpen;
    steps.insert(steps.end(), c.steps.begin(), c.steps.end());
    if (steps.back().type == '!') {
      steps.pop_back();
      peer.Play(steps, done);
      Bytes beyond = {kKermitMark, ' ', '"', 'D', 0x7F, '!'};
      unsigned sum = ' ' + '"' + 'D' + 0x7F + '!';
      beyond.push_back(KermitChar(int((sum + ((sum & 0xC0) >> 6)) & 0x3F)));  // its header checks
      while (!done)
        WriteAll(link.theirs, beyond);
    } else {
      peer.Play(steps, done);
    }
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
  EXPECT_EQ(peer.Hear(false).type, 'S');
  peer.Say(0, 'Y', "~! @-#N1");
  EXPECT_EQ(peer.Hear(false).type, 'F');
  peer.Say(1, 'Y', "");
  KermitPacket data = peer.Hear(false);
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
