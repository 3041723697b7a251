// ZMODEM against a peer that means harm, played by the test on a
// socketpair: names outside the folder, a size of 2^63, data beyond the
// size, headers and bytes that never move the file, a receiver that asks
// for the same position for ever, and the cancel either way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "peer_util.h"
#include "protocols/zmodem/frame.h"
#include "protocols/zmodem/zmodem.h"

namespace {

namespace fs = std::filesystem;

const LineTimes kTimes = {2000, 20, 100};

Bytes Hex(uint8_t type, uint32_t position = 0) {
  return FormZHexHeader(MakeZHeader(type, position));
}

// A binary header with CRC-32 and, for ZFILE or ZDATA, one subpacket.
Bytes Frame(uint8_t type, uint32_t position, const std::string& data = "", uint8_t end = kZCrcW) {
  ZEscaper escaper;
  Bytes out = FormZBinHeader(MakeZHeader(type, position), true, &escaper);
  if (type == kZFile || type == kZData) {
    AppendZSubpacket(&out, reinterpret_cast<const uint8_t*>(data.data()), data.size(), end, true,
                     &escaper);
  }
  return out;
}

Bytes File(const std::string& name, const std::string& facts) {
  return Frame(kZFile, 0, name + std::string(1, '\0') + facts);
}

std::string Said(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

const std::string kCancel(5, char(kZDle));

void Play(int fd, const std::vector<Step>& steps, const std::atomic<bool>& done) {
  for (size_t i = 0; i < steps.size(); i++) {
    do {
      WriteAll(fd, steps[i].says);
      if (steps[i].expects.empty()) usleep(20000);
    } while (steps[i].expects.empty() && i + 1 == steps.size() && !done);
    if (!steps[i].expects.empty()) {
      EXPECT_TRUE(AwaitBytes(fd, steps[i].expects)) << "step " << i;
    }
  }
}

// A file of five bytes sent whole, and the receiver's ZRINIT for the next.
std::vector<Step> SendHello(const std::string& name) {
  return {{File(name, "5 0 100644"), Said(Hex(kZRPos, 0))},
          {Concat(Frame(kZData, 0, "hello", kZCrcE), Frame(kZEof, 5)),
           Said(Hex(kZRInit)).substr(0, 6)}};
}

class ZmodemHostileTest : public InScratchFolder {};

TEST_F(ZmodemHostileTest, ReceiverStoresNothingWrongAndNothingOutside) {
  const std::string kSkip = Said(Hex(kZSkip));
  const Step kEnd = {Hex(kZFin), Said(Hex(kZFin))};
  const std::string kInit = Said(Hex(kZRInit)).substr(0, 6);
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::string said;  // on the error stream
    std::vector<std::string> stored;
    TransferResult result;
  } kCases[] = {
      {"names outside the folder, then a good file",
       Join({{{File("../x", "5 0 100644"), kSkip}, {File("/tmp/x", "5"), kSkip}},
             SendHello("good.txt"),
             {kEnd}}),
       "Refusing file \"../x\": not a plain file name\nRefusing file \"/tmp/x\"",
       {"good.txt"},
       TransferResult::kNotStored},
      {"a size of 2^63, and data that ends at 5",
       {{File("a.bin", "9223372036854775808 0 100644"), Said(Hex(kZRPos, 0))},
        {Concat(Frame(kZData, 0, "hello", kZCrcE), Frame(kZEof, 5)), kCancel}},
       "Gave up receiving a.bin: its data did not come to the size announced\n",
       {},
       TransferResult::kNotStored},
      {"a size beyond 64 bits",
       {{File("a.bin", "99999999999999999999999"), kCancel}},
       "the sender broke the protocol\n",
       {},
       TransferResult::kNotStored},
      {"data beyond the size",
       {{File("a.bin", "3"), Said(Hex(kZRPos, 0))}, {Frame(kZData, 0, "hello", kZCrcE), kCancel}},
       "Gave up receiving a.bin: more came after its last block",
       {},
       TransferResult::kNotStored},
      {"ZRPOS for ever, from the sender",
       {{File("a.bin", "5"), Said(Hex(kZRPos, 0))}, {Frame(kZRPos, 0), ""}},
       "Gave up receiving a.bin: the data asked for did not come whole 11 times in a row\n",
       {},
       TransferResult::kNotStored},
      {"ZDATA for ever at a position it does not have",
       {{File("a.bin", "500"), Said(Hex(kZRPos, 0))}, {Frame(kZData, 100, "hello", kZCrcG), ""}},
       "Gave up receiving a.bin: the data asked for did not come whole 11 times in a row\n",
       {},
       TransferResult::kNotStored},
      {"ZPADs that never stop",
       {{File("a.bin", "500"), Said(Hex(kZRPos, 0))}, {Bytes(64, kZPad), ""}},
       "Gave up receiving a.bin: the sender made no progress for 2 s\n",
       {},
       TransferResult::kNotStored},
      {"the sender's cancel",
       {{File("a.bin", "500"), Said(Hex(kZRPos, 0))},
        {Concat(Frame(kZData, 0, "hello", kZCrcG), Bytes(kCancel.begin(), kCancel.end())), ""}},
       "Gave up receiving a.bin: the sender cancelled it\n",
       {},
       TransferResult::kNotStored},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    fs::create_directory("in");
    fs::current_path("in");
    Played played = PlayAgainst(
        [](PortHandle port) {
          return ReceiveZmodemFiles(port, {nullptr, 0}, kTimes);
        },
        [&](int fd, const std::atomic<bool>& done) {
          EXPECT_TRUE(AwaitBytes(fd, kInit));
          Play(fd, c.steps, done);
        });
    EXPECT_EQ(played.result, c.result);
    EXPECT_NE(played.said.find(c.said), std::string::npos) << played.said;
    EXPECT_EQ(ListDirectory("."), c.stored);
    EXPECT_FALSE(fs::exists("../x"));
    fs::current_path("..");
    fs::remove_all("in");
  }
}

// A receiver that asks for the same position for ever, and one that
// cancels: the sender gives the file up, cancels or stops, and sends no
// more files.
TEST_F(ZmodemHostileTest, SenderEndsOnEndlessZrposAndOnTheCancel) {
  WriteFile("a.bin", PatternBytes(3000, 1));
  WriteFile("b.bin", PatternBytes(10, 2));
  const char* files[] = {"a.bin", "b.bin"};
  const struct {
    const char* name;
    Bytes answer;  // to ZFILE, again and again
    std::string said;
  } kCases[] = {
      {"ZRPOS for ever", Hex(kZRPos, 0),
       "Gave up sending a.bin: the receiver asked for the same data again 11 times in a row\n"},
      {"the cancel", Bytes(kCancel.begin(), kCancel.end()),
       "Gave up sending a.bin: the receiver cancelled it\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Played played = PlayAgainst(
        [&](PortHandle port) {
          return SendZmodemFiles(port, {files, 2}, kTimes);
        },
        [&](int fd, const std::atomic<bool>& done) {
          EXPECT_TRUE(AwaitBytes(fd, Said(Hex(kZRqInit))));
          WriteAll(fd, Hex(kZRInit));
          while (!done) {
            WriteAll(fd, c.answer);
            usleep(20000);
          }
        });
    EXPECT_EQ(played.result, TransferResult::kNotStored);
    EXPECT_NE(played.said.find(c.said), std::string::npos) << played.said;
    EXPECT_NE(played.said.find("file b.bin not sent"), std::string::npos) << played.said;
  }
}

}  // namespace
