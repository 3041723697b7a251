// A peer that falls silent mid-file, or refuses one block without end: the
// stall limit, the bound on refusals, and both ends giving up at every
// point where they wait for the peer, against a scripted peer over a
// socketpair with a short limit.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "peer_util.h"
#include "run/transfer.h"

namespace {

// Short enough for unit tests, long enough that a scripted peer that is
// about to write is never taken for a silent one.
const uint32_t kLimitMs = 300;

LineFormat Format(const char* mode) {
  LineFormat format;
  EXPECT_TRUE(ParseLineMode(mode, &format)) << mode;
  return format;
}

TEST(ComputeStallLimit, IsThirtySecondsOrFourBlockRoundsAtTheLineSpeed) {
  // Four rounds of 1028 bytes at 10 bits take 4112 ms at 9600 baud.
  EXPECT_EQ(ComputeStallLimit(9600, Format("8N1")), 30000u);
  EXPECT_EQ(ComputeStallLimit(4000000, Format("8N1")), 30000u);
  // 4 × 1028 × 10 bits take just under 30 s at 1371 baud and just over at
  // 1370, rounded up to the millisecond.
  EXPECT_EQ(ComputeStallLimit(1371, Format("8N1")), 30000u);
  EXPECT_EQ(ComputeStallLimit(1370, Format("8N1")), 30015u);
  EXPECT_EQ(ComputeStallLimit(300, Format("8N1")), 137067u);
  // Parity and a second stop bit make 12 bits a character, 5 data bits 7.
  EXPECT_EQ(ComputeStallLimit(110, Format("8E2")), 448582u);
  EXPECT_EQ(ComputeStallLimit(110, Format("5N1")), 261673u);
  EXPECT_EQ(ComputeStallLimit(1, Format("8O2")), 49344000u);
  EXPECT_EQ(ComputeStallLimit(0, Format("8N1")), uint32_t(kNoStallLimit));
}

// The receiver's waits for a quiet line: after a START, 16 characters and a
// USB latency timer (16 ms) and 4 ms; after the last answer of a file, 3
// characters, two latency timers and 100 ms; after a file given up, the
// quiet after START and ten characters more. Each stays well within the
// second between a waiting sender's STARTs, which therefore never breaks
// the quiet after the one before nor falls inside the wait after a file
// given up.
TEST(ComputeQuietTime, WaitsForBurstsOfBlockDataButNotForTheNextStart) {
  EXPECT_EQ(ComputeOpeningQuiet(9600, Format("8N1")), 37u);
  EXPECT_EQ(ComputeOpeningQuiet(115200, Format("8N1")), 22u);
  EXPECT_EQ(ComputeOpeningQuiet(300, Format("8N1")), 500u);  // 554 ms, at most half a second
  EXPECT_EQ(ComputeWatchTime(9600, Format("8N1")), 136u);
  EXPECT_EQ(ComputeWatchTime(115200, Format("8N1")), 133u);
  EXPECT_EQ(ComputeWatchTime(300, Format("8E2")), 252u);
  EXPECT_EQ(ComputeQuietTime(9600, Format("8N1")), 500u);
  EXPECT_EQ(ComputeQuietTime(300, Format("8N1")), 834u);
  EXPECT_EQ(ComputeQuietTime(50, Format("8N1")), 900u);
  EXPECT_EQ(ComputeQuietTime(110, Format("8E2")), 900u);
  LineTimes times = ComputeLineTimes(2400, Format("7E1"));
  EXPECT_EQ(times.stall_limit_ms, 30000u);
  EXPECT_EQ(times.opening_quiet_ms, 87u);
  EXPECT_EQ(times.watch_ms, 145u);
}

// ---- a scripted peer ----

Bytes Header(const std::string& name, uint32_t size) {
  return Concat(NameField(name), SizeField(size));
}

Bytes Framed(const Bytes& block) {
  return Concat(block, Word(GenerateChecksum(block.data(), uint16_t(block.size()))));
}

// The sender or the receiver under test on one end of a socketpair.
class StallTest : public InScratchFolder {
 protected:
  void SetUp() override {
    InScratchFolder::SetUp();
    link_ = OpenLink();
  }
  void TearDown() override {
    CloseLink(link_);
    InScratchFolder::TearDown();
  }
  Link link_ = {kInvalidPortHandle, -1};
};

// The receiver answers the first block and goes silent: before the answer
// to the announcement, after a block, or halfway through a reply; or it
// refuses the second block again and again.
TEST_F(StallTest, SenderGivesUpWhereverTheReceiverFallsSilentOrKeepsRefusing) {
  std::ofstream("a.bin", std::ios::binary) << std::string(3000, 'a');
  for (int point = 0; point < 4; point++) {
    SCOPED_TRACE(point);
    TransferResult result = kNoResult;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::thread sender([&] { result = SendFile(link_.ours, "a.bin", kLimitMs); });
    EXPECT_EQ(ReadExact(link_.theirs, kOpening.size()), kOpening);
    WriteAll(link_.theirs, {kReady});
    EXPECT_EQ(ReadExact(link_.theirs, 16), Header("a.bin", 3000));
    if (point > 0) {
      WriteAll(link_.theirs, {kAccept});
      EXPECT_EQ(ReadExact(link_.theirs, 1026).size(), 1026u);
      WriteAll(link_.theirs, {0xFF, 0xFF});
      EXPECT_EQ(ReadExact(link_.theirs, 1026).size(), 1026u);
      if (point == 2) WriteAll(link_.theirs, {0xFF});
      for (int refused = 1; point == 3; refused++) {
        WriteAll(link_.theirs, {0x12, 0x34});
        if (refused == kMaxRefusals) break;
        EXPECT_EQ(ReadExact(link_.theirs, 1026).size(), 1026u);
      }
    }
    sender.join();
    std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, point == 3 ? TransferResult::kRefused : TransferResult::kStalled);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              point == 3 ? "Gave up sending a.bin: the receiver refused a block 50 times in a row\n"
                         : "Gave up sending a.bin: the receiver was silent for 1 s\n");
    EXPECT_EQ(CountPending(link_.theirs), 0u);
    // A progress line once drawn is ended.
    EXPECT_EQ(shown.empty() ? '\n' : shown.back(), '\n');
    EXPECT_EQ(shown.empty(), point == 0);
  }
}

// A READY damaged on the way leaves the receiver reading the name. No START
// may land there, so the next comes only once the receiver's limit for
// reading the name has run out; that one is answered and the file goes.
TEST_F(StallTest, SenderStartsAgainOnlyAfterADamagedReadyHasTimedOut) {
  const uint32_t kNameLimitMs = 1000;  // the receiver's: it stops reading the name then
  std::ofstream("d.bin", std::ios::binary) << "data";
  TransferResult result = kNoResult;
  testing::internal::CaptureStdout();
  std::thread sender([&] { result = SendFile(link_.ours, "d.bin", kNameLimitMs); });
  EXPECT_EQ(ReadExact(link_.theirs, kOpening.size()), kOpening);
  auto answered = std::chrono::steady_clock::now();
  WriteAll(link_.theirs, {kReady ^ 0x04});
  std::this_thread::sleep_until(answered + std::chrono::milliseconds(kNameLimitMs));
  EXPECT_EQ(CountPending(link_.theirs), 0u);
  EXPECT_EQ(ReadExact(link_.theirs, kOpening.size()), kOpening);
  WriteAll(link_.theirs, {kReady});
  EXPECT_EQ(ReadExact(link_.theirs, 16), Header("d.bin", 4));
  WriteAll(link_.theirs, {kAccept});
  EXPECT_EQ(ReadExact(link_.theirs, 6), Framed({'d', 'a', 't', 'a'}));
  WriteAll(link_.theirs, {0xFF, 0xFF});
  sender.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kDone);
  // A sender allowed to wait only so long for an answer gives the file up.
  EXPECT_EQ(SendFile(link_.ours, "d.bin", kNameLimitMs, 200), TransferResult::kUnanswered);
  EXPECT_EQ(ReadExact(link_.theirs, kOpening.size()), kOpening);
  EXPECT_EQ(CountPending(link_.theirs), 0u);
}

// The sender goes silent in the name, in the size, inside a block and
// inside a checksum, or sends a block that fails its check again and
// again; or it is out of step: it sends another block where a refused one
// was due (it took the refusal for 0xFFFF), or a block after the last one
// of a file whose blocks are all full (it took the last answer for a
// refusal). The old file of that name stays, nothing partial is left, and
// once the rest of that exchange has passed the next START is answered and
// its file stored; a START right after a file is handed to the next.
TEST_F(StallTest, ReceiverGivesUpDropsThePartialFileAndAnswersTheNextStart) {
  std::ofstream("b.bin", std::ios::binary) << "old";
  Bytes first = Framed(PatternBytes(1024, 1));
  Bytes second = Framed(PatternBytes(1024, 3));
  struct Silence {
    const char* where;
    Bytes sent;  // after READY
    std::string message;
    TransferResult result = TransferResult::kStalled;
    size_t replies = 0;  // answers before giving up
    uint32_t size = 2500;
  };
  Bytes refused;
  for (int i = 0; i < kMaxRefusals; i++)
    refused = Concat(refused, Concat(PatternBytes(1024, 1), Word(0x1234)));
  Bytes header = Header("b.bin", 2500);
  const std::string in_file = "Gave up receiving b.bin: the sender was silent for 1 s\n";
  const std::string in_header =
      "Gave up receiving an announced file: the sender was silent for 1 s\n";
  const std::vector<Silence> silences = {
      {"name", Bytes(header.begin(), header.begin() + 5), in_header},
      {"size", Bytes(header.begin(), header.begin() + 14), in_header},
      {"block", Bytes(first.begin(), first.begin() + 700), in_file},
      {"checksum", Bytes(first.begin(), first.end() - 1), in_file},
      {"refused", refused, "Gave up receiving b.bin: a block failed its check 50 times in a row\n",
       TransferResult::kRefused, kMaxRefusals},
      {"went on", Concat(Concat(PatternBytes(1024, 1), Word(0x1234)), second),
       "Gave up receiving b.bin: another block came where a refused one was due\n",
       TransferResult::kOutOfStep, 1},
      {"after the last", Concat(first, second),
       "Gave up receiving b.bin: more came after its last block; the sender was out of step\n",
       TransferResult::kOutOfStep, 1, 1024},
  };
  for (const Silence& silence : silences) {
    SCOPED_TRACE(silence.where);
    TransferResult result = kNoResult;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::thread receiver([&] { result = ReceiveFile(link_.ours, kLimitMs); });
    WriteAll(link_.theirs, {kStart});
    EXPECT_EQ(ReadExact(link_.theirs, 1), Bytes{kReady});
    if (silence.message != in_header) {
      WriteAll(link_.theirs, Header("b.bin", silence.size));
      EXPECT_EQ(ReadExact(link_.theirs, 1), Bytes{kAccept});
    }
    WriteAll(link_.theirs, silence.sent);
    receiver.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, silence.result);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), silence.message);
    EXPECT_EQ(CountPending(link_.theirs), 2 * silence.replies);
    EXPECT_EQ(ListDirectory("."), std::vector<std::string>{"b.bin"});
    EXPECT_EQ(ReadFile("b.bin"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(WaitForQuietLine(link_.ours, kLimitMs, kForEver),
              PortResult::kDone);  // as receive mode does
  }

  testing::internal::CaptureStdout();
  TransferResult result = kNoResult;
  SeenOpening opened = SeenOpening::kNone;
  std::thread receiver([&] { result = ReceiveFile(link_.ours, kLimitMs, &opened); });
  WriteAll(link_.theirs, {kStart});
  EXPECT_EQ(ReadExact(link_.theirs, 1), Bytes{kReady});
  WriteAll(link_.theirs, Header("b.bin", 1024));
  EXPECT_EQ(ReadExact(link_.theirs, 1), Bytes{kAccept});
  WriteAll(link_.theirs, first);
  EXPECT_EQ(ReadExact(link_.theirs, 2), (Bytes{0xFF, 0xFF}));
  WriteAll(link_.theirs, {kStart});  // the next file
  receiver.join();
  EXPECT_EQ(result, TransferResult::kDone);
  EXPECT_EQ(opened, SeenOpening::kClassic);
  EXPECT_EQ(ReadFile("b.bin"), Bytes(first.begin(), first.end() - 2));
  std::thread next([&] { result = ReceiveFile(link_.ours, kLimitMs, &opened); });
  EXPECT_EQ(ReadExact(link_.theirs, 1), Bytes{kReady});
  WriteAll(link_.theirs, Header("c.bin", 0));
  EXPECT_EQ(ReadExact(link_.theirs, 1), Bytes{kAccept});
  next.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kDone);
  EXPECT_EQ(opened, SeenOpening::kNone);
  EXPECT_EQ(ListDirectory("."), (std::vector<std::string>{"b.bin", "c.bin"}));
}

// Only silence counts: a file whose blocks come with pauses shorter than the
// limit arrives, however long it takes in all. Waiting for START has no
// limit.
TEST_F(StallTest, PausesShorterThanTheLimitAndAnIdleLineAreNoStall) {
  const uint32_t kRoomyLimitMs = 1500;
  const int kBlocks = 4;
  const auto kPause = std::chrono::milliseconds(kRoomyLimitMs / 6);  // 2 s in all
  Bytes content = PatternBytes(kBlocks * 1024, 2);
  TransferResult result = kNoResult;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::thread receiver([&] { result = ReceiveFile(link_.ours, 1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // 50 times the limit
  WriteAll(link_.theirs, {kStart});
  EXPECT_EQ(ReadExact(link_.theirs, 1), Bytes{kReady});
  receiver.join();  // the announcement does not follow within 1 ms
  EXPECT_EQ(result, TransferResult::kStalled);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Gave up receiving an announced file"),
            std::string::npos);

  std::thread patient([&] { result = ReceiveFile(link_.ours, kRoomyLimitMs); });
  WriteAll(link_.theirs, {kStart});
  EXPECT_EQ(ReadExact(link_.theirs, 1), Bytes{kReady});
  WriteAll(link_.theirs, Header("c.bin", uint32_t(content.size())));
  EXPECT_EQ(ReadExact(link_.theirs, 1), Bytes{kAccept});
  for (int i = 0; i < kBlocks; i++) {
    Bytes framed = Framed(Bytes(content.begin() + i * 1024, content.begin() + (i + 1) * 1024));
    std::this_thread::sleep_for(kPause);
    WriteAll(link_.theirs, Bytes(framed.begin(), framed.begin() + 512));
    std::this_thread::sleep_for(kPause);
    WriteAll(link_.theirs, Bytes(framed.begin() + 512, framed.end()));
    EXPECT_EQ(ReadExact(link_.theirs, 2), (Bytes{0xFF, 0xFF}));
  }
  patient.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kDone);
  EXPECT_EQ(ReadFile("c.bin"), content);
}

// ---- the streaming exchange ----

// A file the classic exchange cannot announce, offered to a receiver that
// turns out to be classic: nothing follows READY, and the sender waits
// until that receiver has given up reading the name before it goes on.
TEST_F(StallTest, SenderWithholdsAFileTooLargeForAClassicReceiver) {
  std::ofstream("huge.bin");
  ASSERT_EQ(truncate("huge.bin", 4294967296LL), 0);  // sparse
  TransferResult result = kNoResult;
  testing::internal::CaptureStderr();
  std::thread sender([&] { result = SendFile(link_.ours, "huge.bin", kLimitMs); });
  EXPECT_EQ(ReadExact(link_.theirs, kOpening.size()), kOpening);
  WriteAll(link_.theirs, {kReady});
  sender.join();
  EXPECT_EQ(result, TransferResult::kSkipped);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Couldn't send huge.bin: larger than 4294967295 bytes\n");
  EXPECT_EQ(CountPending(link_.theirs), 0u);
}

// A streaming receiver that accepts and then falls silent, or keeps the
// line busy while the file makes no progress: ACK(0) every 100 ms, or
// frames of an unknown type at the longest length, back to back. The
// sender gives the file up either way, with the classic exchange's words
// for silence.
TEST_F(StallTest, StreamingSenderGivesUpOnAReceiverThatMakesNoProgress) {
  std::ofstream("s.bin", std::ios::binary) << std::string(20000, 's');
  struct Peer {
    const char* what;
    Bytes chatter;  // written again and again after ACCEPT
    int pause_ms;   // after each
    uint32_t limit_ms;
    std::string message;  // how the sender's errors begin
  };
  const Peer peers[] = {
      {"silent", {}, 0, kLimitMs, "Gave up sending s.bin: the receiver was silent for 1 s\n"},
      {"ACK(0)", EncodeFrame('K', 0, BigEndian(0, 8)), 100, 2000, "Gave up sending s.bin: "},
      {"unknown frames", EncodeFrame('Z', 0, Bytes(8200, 'z')), 0, 2000, "Gave up sending s.bin: "},
  };
  for (const Peer& peer : peers) {
    SCOPED_TRACE(peer.what);
    Link link = OpenLink();
    TransferResult result = kNoResult;
    std::atomic<bool> done(false);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::thread sender([&] {
      result = SendFile(link.ours, "s.bin", peer.limit_ms);
      done = true;
    });
    EXPECT_EQ(ReadExact(link.theirs, kOpening.size()), kOpening);
    WriteAll(link.theirs, {kPeerReadyStream});
    EXPECT_EQ(ReadExact(link.theirs, 12), kPeerStreamField);
    EXPECT_EQ(ReadPeerFrame(link.theirs).type, 'F');
    WriteAll(link.theirs, EncodeFrame('A', 0, BigEndian(0, 8)));
    // A sender that never gives up is hung up on, so that the test ends.
    auto hang_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    Bytes unsent;
    while (!done && std::chrono::steady_clock::now() < hang_up) {
      uint8_t dropped[65536];
      while (recv(link.theirs, dropped, sizeof dropped, MSG_DONTWAIT) > 0) {
      }
      if (unsent.empty()) unsent = peer.chatter;
      ssize_t n = send(link.theirs, unsent.data(), unsent.size(), MSG_DONTWAIT);
      if (n > 0) unsent.erase(unsent.begin(), unsent.begin() + n);
      if (n <= 0 || unsent.empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(n <= 0 ? 1 : peer.pause_ms));
    }
    bool gave_up = done;
    if (!gave_up) shutdown(link.theirs, SHUT_RDWR);
    sender.join();
    testing::internal::GetCapturedStdout();
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(gave_up) << "still sending when hung up on";
    EXPECT_NE(result, TransferResult::kDone);
    EXPECT_EQ(errors.rfind(peer.message, 0), 0u) << errors;
    CloseLink(link);
  }
}

// A streaming sender that falls silent mid-file: the receiver gives up
// after the limit with the classic exchange's words and keeps the old file.
TEST_F(StallTest, StreamingReceiverGivesUpOnASilentSender) {
  TransferResult result = kNoResult;
  std::ofstream("r.bin", std::ios::binary) << "old";
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::thread receiver([&] { result = ReceiveFile(link_.ours, kLimitMs); });
  WriteAll(link_.theirs, kOpening);
  EXPECT_EQ(ReadExact(link_.theirs, 1), Bytes{kPeerReadyStream});
  Bytes offer = Concat(Concat(BigEndian(5000, 8), BigEndian(0, 8)), BigEndian(0644, 4));
  WriteAll(link_.theirs,
           Concat(kPeerStreamField, EncodeFrame('F', 0, Concat(offer, {'r', '.', 'b', 'i', 'n'}))));
  EXPECT_EQ(ReadPeerFrame(link_.theirs).type, 'A');
  WriteAll(link_.theirs, EncodeFrame('D', 0, Concat(BigEndian(0, 8), Bytes(1000, 'r'))));
  receiver.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kStalled);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Gave up receiving r.bin: the sender was silent for 1 s\n");
  EXPECT_EQ(ReadFile("r.bin"), (Bytes{'o', 'l', 'd'}));
}

}  // namespace
