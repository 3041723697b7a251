// X/YMODEM against a peer that means harm or ends the transfer, played by
// the test on a socketpair: names outside the folder, wrong block numbers,
// sizes beyond 64 bits, data beyond the size, bytes that never stop, and
// CAN CAN either way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "peer_util.h"
#include "protocols/xymodem/block.h"
#include "protocols/xymodem/xymodem.h"

namespace {

namespace fs = std::filesystem;

const LineTimes kTimes = {2000, 20, 100};

Bytes Block(uint8_t number, const std::string& data) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
  return FormXyBlock(number, bytes, data.size(), data.size() > 128 ? kXyLong : kXyShort,
                     XyCheck::kCrc);
}

Bytes Header(const std::string& name_and_facts) {
  return Block(0, name_and_facts + std::string(128 - name_and_facts.size(), '\0'));
}

// A file of five bytes sent whole, then the ask for the next.
std::vector<Step> SendHello(const std::string& name) {
  return {{Header(name + std::string("\0"
                                     "5",
                                     2)),
           "\x06"
           "C"},
          {Block(1, "hello"), "\x06"},
          {{kXyEot},
           "\x06"
           "C"}};
}

// Waits for the receiver's ask (C, or NAK for XMODEM's sum after C), then
// plays the steps.
void Play(int fd, const std::vector<Step>& steps, const std::atomic<bool>& done) {
  Bytes got;
  do {
    got = ReadExact(fd, 1);
  } while (!got.empty() && got[0] != 'C');
  for (size_t i = 0; i < steps.size(); i++) {
    do {
      WriteAll(fd, steps[i].says);
      if (steps[i].expects.empty()) usleep(20000);
    } while (steps[i].expects.empty() && i + 1 == steps.size() && !done);
    for (char want : steps[i].expects) {
      do {
        got = ReadExact(fd, 1);
      } while (!got.empty() && got[0] != uint8_t(want));
      EXPECT_FALSE(got.empty()) << "step " << i << " wants " << int(want);
    }
  }
}

class XymodemHostileTest : public InScratchFolder {};

TEST_F(XymodemHostileTest, ReceiverStoresNothingWrongAndNothingOutside) {
  const std::string kCan(2, char(kXyCan));
  const Step kEnd = {Header(""), "\x06"};
  const struct {
    const char* name;
    XyKind kind;
    std::vector<Step> steps;
    std::string said;  // on the error stream
    std::vector<std::string> stored;
    TransferResult result;
  } kCases[] = {
      {"names outside the folder, then a good file",
       XyKind::kYmodem,
       Join({SendHello("../x"), SendHello("/tmp/x"), SendHello("good.txt"), {kEnd}}),
       "Refusing file \"../x\": not a plain file name\nRefusing file \"/tmp/x\"",
       {"good.txt"},
       TransferResult::kNotStored},
      {"a wrong block number",
       XyKind::kYmodem,
       {{Header(std::string("a.bin\0"
                            "5",
                            7)),
         "\x06"
         "C"},
        {Block(3, "hello"), kCan}},
       "Gave up receiving a.bin: the sender broke the protocol\n",
       {},
       TransferResult::kNotStored},
      {"a size beyond 64 bits",
       XyKind::kYmodem,
       {{Header(std::string("a.bin\0"
                            "99999999999999999999999",
                            29)),
         kCan}},
       "Gave up receiving an announced file: the sender broke the protocol\n",
       {},
       TransferResult::kNotStored},
      {"data beyond the size announced",
       XyKind::kYmodem,
       {{Header(std::string("a.bin\0"
                            "5",
                            7)),
         "\x06"
         "C"},
        {Block(1, "hello"), "\x06"},
        {Block(2, "more"), kCan}},
       "Gave up receiving a.bin: more came after its last block",
       {},
       TransferResult::kNotStored},
      {"bytes that never stop",
       XyKind::kYmodem,
       {{Bytes(64, 0xFF), ""}},
       "the sender made no progress for 5 s\n",
       {},
       TransferResult::kNotStored},
      {"the sender's cancel",
       XyKind::kYmodem,
       {{Header(std::string("a.bin\0"
                            "500",
                            9)),
         "\x06"
         "C"},
        {Block(1, "hello"), "\x06"},
        {{kXyCan, kXyCan}, ""}},
       "Gave up receiving a.bin: the sender cancelled it\n",
       {},
       TransferResult::kNotStored},
      {"XMODEM: the padding cut, EOT taken the second time",
       XyKind::kXmodem,
       {{Block(1, "hello"), "\x06"}, {{kXyEot}, "\x15"}, {{kXyEot}, "\x06"}},
       "",
       {"got.bin"},
       TransferResult::kDone},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    fs::create_directory("in");
    fs::current_path("in");
    Played played = PlayAgainst(
        [&](PortHandle port) {
          return ReceiveXyFiles(port, {c.kind, nullptr, 0, "got.bin"}, kTimes);
        },
        [&](int fd, const std::atomic<bool>& done) { Play(fd, c.steps, done); });
    EXPECT_EQ(played.result, c.result);
    EXPECT_NE(played.said.find(c.said), std::string::npos) << played.said;
    EXPECT_EQ(ListDirectory("."), c.stored);
    if (c.kind == XyKind::kXmodem) {
      EXPECT_EQ(ReadFile("got.bin"), Bytes({'h', 'e', 'l', 'l', 'o'}));
    }
    EXPECT_FALSE(fs::exists("../x"));
    fs::current_path("..");
    fs::remove_all("in");
  }
}

// The receiver's CAN CAN: the file reported cancelled, the next not sent.
TEST_F(XymodemHostileTest, SenderStopsOnTheReceiversCancel) {
  WriteFile("a.bin", PatternBytes(3000, 1));
  WriteFile("b.bin", PatternBytes(10, 2));
  const char* files[] = {"a.bin", "b.bin"};
  Link link = OpenLink();
  TransferResult result = kNoResult;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  std::thread sender([&] {
    result = SendXyFiles(link.ours, {XyKind::kYmodem, files, 2, nullptr}, kTimes);
  });
  WriteAll(link.theirs, {'C'});
  Bytes header = ReadExact(link.theirs, 133);
  EXPECT_EQ(std::string(header.begin() + 3, header.begin() + 9), std::string("a.bin\0", 6));
  WriteAll(link.theirs, {kXyAck, 'C'});
  EXPECT_EQ(ReadExact(link.theirs, 1029)[1], 1);
  WriteAll(link.theirs, {kXyCan, kXyCan});
  sender.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kNotStored);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Gave up sending a.bin: the receiver cancelled it\nfile b.bin not sent\n");
  CloseLink(link);
}

}  // namespace
