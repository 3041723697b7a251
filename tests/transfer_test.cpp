// The wire encoding, and the sender and receiver of one file against a
// scripted peer over a socketpair.
#include "run/transfer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "files/names.h"
#include "peer_util.h"
#include "protocols/classic/classic.h"
#include "protocols/velcot/codec.h"
#include "protocols/velcot/legacy/stream.h"

namespace fs = std::filesystem;

// Every fsync the code under test makes, recorded (true for a directory)
// and then done.
static std::vector<bool> synced_directories;
extern "C" int fsync(int fd) {
  struct stat info;
  synced_directories.push_back(fstat(fd, &info) == 0 && S_ISDIR(info.st_mode));
  return int(syscall(SYS_fsync, fd));
}

namespace {

// ---- wire format ----

TEST(WireEncoding, IntegersTravelMostSignificantByteFirst) {
  Link link = OpenLink();
  WriteAll(link.theirs, {0xAB, 0xCD, 0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x11, 0x13});
  EXPECT_EQ(WriteNumber(link.ours, 0x1234, 2), PortResult::kDone);
  EXPECT_EQ(WriteNumber(link.ours, 0x000009C4, 4), PortResult::kDone);
  EXPECT_EQ(WriteNumber(link.ours, 0xFEDCBA98, 4), PortResult::kDone);
  EXPECT_EQ(CountPending(link.theirs), 0u);  // collected until the port turns to reading
  uint32_t value = 0;
  EXPECT_EQ(ReadNumber(link.ours, 2, kNoStallLimit, &value), PortResult::kDone);
  EXPECT_EQ(value, 0xABCDu);
  EXPECT_EQ(ReadExact(link.theirs, 10),
            (Bytes{0x12, 0x34, 0, 0, 0x09, 0xC4, 0xFE, 0xDC, 0xBA, 0x98}));
  EXPECT_EQ(ReadNumber(link.ours, 4, kNoStallLimit, &value), PortResult::kDone);
  EXPECT_EQ(value, 0xFFFFFFFEu);
  uint8_t block[3];
  EXPECT_EQ(ReadBytes(link.ours, block, 3, kNoStallLimit), PortResult::kDone);
  EXPECT_EQ(Bytes(block, block + 3), (Bytes{0x00, 0x11, 0x13}));
  // A block and the checksum word after it, one call each way.
  WriteAll(link.theirs, {0x01, 0x00, 0x7F, 0xBE, 0xEF});
  EXPECT_EQ(WriteSummedBlock(link.ours, block, 3, 0x1234), PortResult::kDone);
  uint16_t checksum = 0;
  EXPECT_EQ(ReadSummedBlock(link.ours, block, 3, kNoStallLimit, &checksum), PortResult::kDone);
  EXPECT_EQ(checksum, 0xBEEF);
  EXPECT_EQ(Bytes(block, block + 3), (Bytes{0x01, 0x00, 0x7F}));
  EXPECT_EQ(ReadExact(link.theirs, 5), (Bytes{0x00, 0x11, 0x13, 0x12, 0x34}));

  // A peer that has gone away is a lost port, for every reader, and for a
  // writer once its bytes are handed over.
  close(link.theirs);
  link.theirs = -1;
  EXPECT_EQ(ReadByte(link.ours, block), PortResult::kLost);
  EXPECT_EQ(ReadNumber(link.ours, 2, kNoStallLimit, &value), PortResult::kLost);
  EXPECT_EQ(ReadNumber(link.ours, 4, kNoStallLimit, &value), PortResult::kLost);
  EXPECT_EQ(ReadBytes(link.ours, block, 3, kNoStallLimit), PortResult::kLost);
  EXPECT_EQ(ReadSummedBlock(link.ours, block, 3, kNoStallLimit, &checksum), PortResult::kLost);
  EXPECT_EQ(WriteByte(link.ours, 1), PortResult::kDone);
  EXPECT_EQ(WaitForByte(link.ours, 0), PortResult::kLost);
  CloseLink(link);
}

// ---- sender ----

class SendFileTest : public InScratchFolder {};

// Plays the receiver's part up to the answer; returns the announced name
// field and size.
std::pair<Bytes, Bytes> AnswerAnnouncement(int fd, uint8_t answer) {
  EXPECT_EQ(ReadExact(fd, kOpening.size()), kOpening);
  WriteAll(fd, {kReady});
  Bytes name = ReadExact(fd, kNameFieldSize);
  Bytes size = ReadExact(fd, 4);
  WriteAll(fd, {answer});
  return {name, size};
}

TEST_F(SendFileTest, SendsARefusedBlockAgainUnchanged) {
  Bytes content = PatternBytes(2500, 1);
  fs::create_directory("sub");
  WriteFile("sub/verylongname.txt", content);
  Link link = OpenLink();
  TransferResult result = kNoResult;
  testing::internal::CaptureStdout();
  std::thread sender([&] { result = SendFile(link.ours, "sub/verylongname.txt"); });

  auto header = AnswerAnnouncement(link.theirs, kAccept);
  EXPECT_EQ(header.first, NameField("verylong.txt"));
  EXPECT_EQ(header.second, SizeField(2500));
  Bytes first = ReadExact(link.theirs, 1024 + 2);
  WriteAll(link.theirs, Word(0x1234));  // refused
  Bytes again = ReadExact(link.theirs, 1024 + 2);
  EXPECT_EQ(again, first);
  WriteAll(link.theirs, Word(kReplyOk));
  Bytes received(first.begin(), first.end() - 2);
  for (uint16_t n : {1024, 452}) {
    Bytes block = ReadExact(link.theirs, n + 2u);
    Bytes data(block.begin(), block.end() - 2);
    EXPECT_EQ(ToWord(Bytes(block.end() - 2, block.end())), GenerateChecksum(data.data(), n));
    received = Concat(received, data);
    WriteAll(link.theirs, Word(kReplyOk));
  }
  sender.join();
  std::string shown = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kDone);
  EXPECT_EQ(received, content);
  EXPECT_NE(shown.find(" sub/verylongname.txt 0/2500 (ERROR)\r"), std::string::npos) << shown;
  EXPECT_NE(shown.find(" sub/verylongname.txt 2500/2500 (100.0%)\r\n"), std::string::npos);
  EXPECT_EQ(CountPending(link.theirs), 0u);
  CloseLink(link);
}

TEST_F(SendFileTest, SkipsFilesItCannotSendWithNothingOnTheLine) {
  fs::create_directory("folder");
  WriteFile("locked.txt", {1, 2, 3});
  chmod("locked.txt", 0);
  bool root_reads_anyway = access("locked.txt", R_OK) == 0;
  Link link = OpenLink();
  testing::internal::CaptureStderr();
  EXPECT_EQ(SendFile(link.ours, "missing.txt"), TransferResult::kSkipped);
  // A folder goes on the line only where paths may be offered.
  EXPECT_EQ(SendFile(link.ours, "folder", kNoStallLimit, 0, true), TransferResult::kSkipped);
  if (!root_reads_anyway) {
    EXPECT_EQ(SendFile(link.ours, "locked.txt"), TransferResult::kSkipped);
  }
  // Names a receiver must refuse: a device, ".", a control byte, and here
  // a backslash, which is part of a file name on this system. "..." is cut
  // to "." for the classic exchange only.
  const std::vector<std::pair<std::string, std::string>> refused = {{"con.txt", "con.txt"},
                                                                    {"...", "."},
                                                                    {"tab\tname", "tab\\x09name"},
                                                                    {"a\\b.txt", "a\\b.txt"}};
  for (const auto& name : refused) {
    WriteFile(name.first, {1});
    EXPECT_EQ(SendFile(link.ours, name.first.c_str(), kNoStallLimit, 0, name.first == "..."),
              TransferResult::kSkipped)
        << name.second;
  }
  mkfifo("fifo", 0600);
  EXPECT_EQ(SendFile(link.ours, "fifo"), TransferResult::kSkipped);
  std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountPending(link.theirs), 0u);
  EXPECT_NE(errors.find("Couldn't stat missing.txt: No such file or directory\n"),
            std::string::npos);
  EXPECT_NE(errors.find("Couldn't send folder: not a regular file\n"), std::string::npos);
  EXPECT_NE(errors.find("Couldn't send fifo: not a regular file\n"), std::string::npos);
  for (const auto& name : refused) {  // the path escaped as the name is
    EXPECT_NE(errors.find("Couldn't send " + EscapeFileName(name.first.c_str()) +
                          ": a receiver would refuse its name \"" + name.second + "\"\n"),
              std::string::npos)
        << errors;
  }
  if (!root_reads_anyway) {
    EXPECT_NE(errors.find("Couldn't open locked.txt for reading: Permission denied\n"),
              std::string::npos);
  }
  CloseLink(link);
}

TEST_F(SendFileTest, AnyAnswerButAcceptIsADecline) {
  WriteFile("a.txt", {1, 2, 3});
  for (uint8_t answer : {uint8_t(kDecline), uint8_t(0x00), uint8_t(kAccept ^ 1)}) {
    Link link = OpenLink();
    TransferResult result = kNoResult;
    testing::internal::CaptureStdout();
    std::thread sender([&] { result = SendFile(link.ours, "a.txt"); });
    AnswerAnnouncement(link.theirs, answer);
    sender.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "file a.txt declined by receiver\n");
    EXPECT_EQ(result, TransferResult::kDeclined);
    EXPECT_EQ(CountPending(link.theirs), 0u);
    CloseLink(link);
  }
}

// A file that yields fewer bytes than it announced, because it shrank or
// because reading it failed: the block it cannot fill never goes out, so
// no receiver stores what is not the file, and the sender falls silent.
TEST_F(SendFileTest, NeverSendsABlockTheFileCannotFill) {
  const uint32_t size = 20000, kept = 10000;
  Bytes content = PatternBytes(size, 2);
  WriteFile("shrinks.bin", content);
  struct Source {
    std::string path;
    size_t blocks;  // that go out whole
    std::string message;
  };
  std::vector<Source> sources = {
      {"shrinks.bin", kept / 1024, "Gave up sending shrinks.bin: it changed while being sent\n"}};
  // A sysfs attribute that claims 4096 bytes and fails every read.
  const std::string failing = "/sys/devices/software/power/autosuspend_delay_ms";
  int fd = open(failing.c_str(), O_RDONLY);
  char byte;
  if (fd >= 0 && read(fd, &byte, 1) < 0 && errno == EIO) {
    sources.push_back(
        {failing, 0,
         "Gave up sending " + failing + ": reading it failed: " + strerror(EIO) + "\n"});
  }
  if (fd >= 0) close(fd);
  for (const Source& source : sources) {
    SCOPED_TRACE(source.path);
    Link link = OpenLink();
    TransferResult result = kNoResult;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // A limit, so that a sender that went on would give up rather than wait.
    std::thread sender([&] { result = SendFile(link.ours, source.path.c_str(), 1000); });
    AnswerAnnouncement(link.theirs, kAccept);
    Bytes received;
    for (size_t i = 0; i < source.blocks; i++) {
      Bytes block = ReadExact(link.theirs, 1024 + 2u);
      received.insert(received.end(), block.begin(), block.end() - 2);
      // The sender read the size before this; now the file holds less.
      if (i == 0 && source.path == "shrinks.bin") {
        EXPECT_EQ(truncate("shrinks.bin", kept), 0);
      }
      WriteAll(link.theirs, Word(kReplyOk));
    }
    sender.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, TransferResult::kWithdrawn);
    EXPECT_EQ(CountPending(link.theirs), 0u);
    EXPECT_TRUE(received == Bytes(content.begin(), content.begin() + long(received.size())));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), source.message);
    CloseLink(link);
  }
}

TEST_F(SendFileTest, EndsWhenThePortIsLostMidFile) {
  WriteFile("a.bin", PatternBytes(3000, 4));
  Link link = OpenLink();
  TransferResult result = kNoResult;
  std::thread sender([&] { result = SendFile(link.ours, "a.bin"); });
  AnswerAnnouncement(link.theirs, kAccept);
  ReadExact(link.theirs, 1024 + 2);
  close(link.theirs);
  link.theirs = -1;
  sender.join();
  EXPECT_EQ(result, TransferResult::kPortLost);
  CloseLink(link);
}

// ---- receiver ----

class RecvFileTest : public InScratchFolder {};

// Plays the sender's part of the announcement; returns the answer.
int Announce(int fd, const Bytes& name_field, uint32_t size) {
  WriteAll(fd, {kStart});
  EXPECT_EQ(ReadExact(fd, 1), Bytes{kReady});
  WriteAll(fd, Concat(name_field, SizeField(size)));
  Bytes answer = ReadExact(fd, 1);
  return answer.empty() ? -1 : answer[0];
}

uint16_t SendBlock(int fd, const Bytes& block, uint16_t checksum) {
  WriteAll(fd, Concat(block, Word(checksum)));
  return ToWord(ReadExact(fd, 2));
}

TEST_F(RecvFileTest, DropsNoiseRefusesBadBlocksAndReplacesTheFileWhenComplete) {
  WriteFile("report.txt", {'o', 'l', 'd'});
  chmod("report.txt", 0604);
  Bytes content = PatternBytes(2500, 5);
  Link link = OpenLink();
  TransferResult result = kNoResult;
  testing::internal::CaptureStdout();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });

  WriteAll(link.theirs, {0x00, 0x11, 0x13, kReady, kAccept, 0xFF});  // noise before START
  ASSERT_EQ(Announce(link.theirs, NameField("report.txt"), 2500), kAccept);
  Bytes first(content.begin(), content.begin() + 1024);
  uint16_t sum = GenerateChecksum(first.data(), 1024);
  EXPECT_EQ(SendBlock(link.theirs, first, uint16_t(sum + 4)), MakeReplyWord(sum + 4, sum));
  Bytes damaged = first;
  damaged[10] ^= 0x40;
  EXPECT_NE(SendBlock(link.theirs, damaged, sum), kReplyOk);
  EXPECT_EQ(SendBlock(link.theirs, first, sum), kReplyOk);
  // Until the last block has arrived the old file stands.
  EXPECT_EQ(ReadFile("report.txt"), (Bytes{'o', 'l', 'd'}));
  synced_directories.clear();
  for (size_t at : {1024u, 2048u}) {
    Bytes block(content.begin() + long(at),
                content.begin() + long(std::min<size_t>(at + 1024, 2500)));
    EXPECT_EQ(SendBlock(link.theirs, block, GenerateChecksum(block.data(), uint16_t(block.size()))),
              kReplyOk);
  }
  receiver.join();
  // Its data on the disk before the last answer, then its name.
  EXPECT_EQ(ReadFile("report.txt"), content);
  EXPECT_EQ(synced_directories, (std::vector<bool>{false, true}));
  EXPECT_EQ(fs::status("report.txt").permissions(), fs::perms(0604));
  std::string shown = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kDone);
  EXPECT_EQ(ListDirectory("."), std::vector<std::string>{"report.txt"});
  EXPECT_NE(shown.find("   report.txt 0/2500 (ERROR)\r"), std::string::npos) << shown;
  EXPECT_NE(shown.find("   report.txt 2500/2500 (100.0%)\r\n"), std::string::npos);
  EXPECT_EQ(CountPending(link.theirs), 0u);
  CloseLink(link);
}

// A 0x99 that more follows at once is block data, not a sender's START:
// a sender waits for READY after it. Noise before a START is dropped.
TEST_F(RecvFileTest, TakesStartOnlyWhenTheLineFallsQuietAfterIt) {
  Link link = OpenLink();
  TransferResult result = kNoResult;
  testing::internal::CaptureStdout();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });
  Bytes data = PatternBytes(1000, 8);
  for (size_t at = 0; at < data.size(); at += 50)
    data[at] = kStart;
  WriteAll(link.theirs, data);
  // Not a timing claim: ten times the quiet that would have made one a START.
  std::this_thread::sleep_for(std::chrono::milliseconds(10 * kOpeningQuietMs));
  size_t answered = CountPending(link.theirs);
  EXPECT_EQ(answered, 0u) << "a 0x99 in the data was taken for kStart";
  if (answered != 0) {
    close(link.theirs);  // the receiver has declined what it took for a name
    link.theirs = -1;
    receiver.join();
    testing::internal::GetCapturedStdout();
    CloseLink(link);
    return;
  }
  WriteAll(link.theirs, Concat(PatternBytes(10, 9), {kStart}));
  EXPECT_EQ(ReadExact(link.theirs, 1), Bytes{kReady});
  WriteAll(link.theirs, Concat(NameField("q.txt"), SizeField(1)));
  EXPECT_EQ(ReadExact(link.theirs, 1), Bytes{kAccept});
  EXPECT_EQ(SendBlock(link.theirs, {'q'}, GenerateChecksum(Bytes{'q'}.data(), 1)), kReplyOk);
  receiver.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kDone);
  EXPECT_EQ(ReadFile("q.txt"), Bytes{'q'});
  CloseLink(link);
}

TEST_F(RecvFileTest, StoresEmptyFilesAndFullLengthNames) {
  Link link = OpenLink();
  TransferResult result = kNoResult;
  testing::internal::CaptureStdout();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });
  ASSERT_EQ(Announce(link.theirs, NameField("abcdefgh.txt"), 0), kAccept);
  receiver.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kDone);
  EXPECT_EQ(ListDirectory("."), std::vector<std::string>{"abcdefgh.txt"});
  EXPECT_EQ(fs::file_size("abcdefgh.txt"), 0u);
  CloseLink(link);
}

TEST_F(RecvFileTest, DeclinesUnsafeNamesNamesOfFoldersAndFilesItMayNotWrite) {
  fs::create_directory("taken");
  WriteFile("locked.txt", {'o', 'l', 'd'});
  chmod("locked.txt", 0444);
  std::vector<std::string> names = {"../evil.txt", "..", "", "a\x1b]0;x", "taken"};
  if (access("locked.txt", W_OK) != 0) names.push_back("locked.txt");  // root may write it
  for (const std::string& name : names) {
    Link link = OpenLink();
    TransferResult result = kNoResult;
    testing::internal::CaptureStderr();
    std::thread receiver([&] { result = ReceiveFile(link.ours); });
    EXPECT_EQ(Announce(link.theirs, NameField(name), 10), kDecline) << EscapeFileName(name.c_str());
    receiver.join();
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, TransferResult::kDeclined);
    EXPECT_EQ(ListDirectory("."), (std::vector<std::string>{"locked.txt", "taken"}));
    if (name == "taken") {
      EXPECT_EQ(errors, "Couldn't open taken for writing: Is a directory\n");
    } else if (name == "locked.txt") {
      EXPECT_EQ(errors, "Couldn't open locked.txt for writing: Permission denied\n");
    } else {
      EXPECT_EQ(errors,
                "Refusing file \"" + EscapeFileName(name.c_str()) + "\": not a plain file name\n");
    }
    CloseLink(link);
  }
  EXPECT_FALSE(fs::exists("../evil.txt"));
  EXPECT_EQ(ReadFile("locked.txt"), (Bytes{'o', 'l', 'd'}));
}

TEST_F(RecvFileTest, LeavesTheOldFileWhenThePortIsLostMidFile) {
  WriteFile("keep.txt", {'k', 'e', 'e', 'p'});
  Link link = OpenLink();
  TransferResult result = kNoResult;
  testing::internal::CaptureStdout();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });
  ASSERT_EQ(Announce(link.theirs, NameField("keep.txt"), 3000), kAccept);
  Bytes block = PatternBytes(1024, 6);
  EXPECT_EQ(SendBlock(link.theirs, block, GenerateChecksum(block.data(), 1024)), kReplyOk);
  WriteAll(link.theirs, Bytes(block.begin(), block.begin() + 100));
  close(link.theirs);
  link.theirs = -1;
  receiver.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kPortLost);
  EXPECT_EQ(ReadFile("keep.txt"), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(ListDirectory("."), std::vector<std::string>{"keep.txt"});
  CloseLink(link);
}

// Files larger than bytes cannot be written here until the limit returned
// is put back; a write beyond it fails with EFBIG.
rlimit LimitFileSize(rlim_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = bytes;
  EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  return saved;
}

// Once a block cannot be written, no more are answered: the sender gives
// the file up when its stall limit runs out, rather than send the rest of
// a file that cannot be stored, or report it sent.
TEST_F(RecvFileTest, StopsAnsweringAtTheFirstFailedWrite) {
  rlimit saved = LimitFileSize(1500);
  const size_t kBlocks = 20;
  Bytes content = PatternBytes(kBlocks * 1024, 7);
  Link link = OpenLink();
  TransferResult result = kNoResult;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });
  ASSERT_EQ(Announce(link.theirs, NameField("big.bin"), uint32_t(content.size())), kAccept);
  Bytes blocks;
  for (size_t at = 0; at < content.size(); at += 1024) {
    Bytes block(content.begin() + long(at), content.begin() + long(at + 1024));
    blocks = Concat(blocks, Concat(block, Word(GenerateChecksum(block.data(), 1024))));
  }
  WriteAll(link.theirs, blocks);
  receiver.join();
  size_t answered = CountPending(link.theirs) / 2;
  setrlimit(RLIMIT_FSIZE, &saved);
  testing::internal::GetCapturedStdout();
  std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, TransferResult::kNotStored);
  EXPECT_EQ(errors, "Couldn't write big.bin: File too large\n");
  // The second block goes past 1500 bytes; its answer went out before it
  // was written, and none after.
  EXPECT_EQ(answered, 2u);
  EXPECT_TRUE(ListDirectory(".").empty());
  CloseLink(link);
}

// ---- agreement and the streaming exchange ----

// A streaming sender, scripted: opening, field, FILE frame.
Bytes FileFrame(uint64_t size, int64_t mtime, uint32_t mode, const std::string& name,
                uint8_t capabilities = 0) {
  Bytes payload =
      Concat(Concat(BigEndian(size, 8), BigEndian(uint64_t(mtime), 8)), BigEndian(mode, 4));
  return EncodeFrame('F', capabilities, Concat(payload, Bytes(name.begin(), name.end())));
}

// ---- a session's stream, as a scripted peer writes and reads it ----

Bytes Varint(uint64_t value) {
  Bytes bytes = {uint8_t(value & 0x7F)};
  for (value >>= 7; value > 0; value >>= 7)
    bytes.insert(bytes.begin(), uint8_t(0x80 | (value & 0x7F)));
  return bytes;
}

Bytes FileRecord(uint64_t size, int64_t mtime, uint32_t mode, const std::string& name) {
  Bytes record = Concat({'F', 0}, Varint(size));
  record = Concat(record, Varint((uint64_t(mtime) << 1) ^ uint64_t(mtime >> 63)));
  record = Concat(Concat(record, Varint(mode)), Varint(name.size()));
  return Concat(record, Bytes(name.begin(), name.end()));
}

Bytes DataRecord(const Bytes& data) {
  return Concat(Concat({'D'}, Varint(data.size())), data);
}

Bytes EndRecord(uint32_t crc) {
  return Concat({'E'}, BigEndian(crc, 4));
}

// C as a run that compresses nothing: its header, then chunks of S.
Bytes PlainChunk(const Bytes& s) {
  return Concat(Varint(s.size()), s);
}

Bytes Segment(uint8_t number, uint64_t offset, const Bytes& c) {
  return EncodeFrame('d', number, Concat(BigEndian(offset, 4), c));
}

PeerFrame StateFrame(uint8_t number, uint64_t acked, std::vector<uint64_t> ranges = {}) {
  Bytes payload = BigEndian(acked, 4);
  for (uint64_t at : ranges)
    payload = Concat(payload, BigEndian(at, 4));
  return {'k', number, payload};
}

Bytes DataFrame(uint8_t epoch, uint64_t offset, const Bytes& content, size_t length) {
  Bytes data(content.begin() + long(offset), content.begin() + long(offset + length));
  return EncodeFrame('D', epoch, Concat(BigEndian(offset, 8), data));
}

PeerFrame OffsetAnswer(char type, uint8_t sequence, uint64_t offset) {
  return {uint8_t(type), sequence, BigEndian(offset, 8)};
}

// A preamble that was noise: the receiver offers to stream, the classic
// sender writes its name field anyway, and the classic exchange goes on.
// Forced to the classic exchange, the receiver answers READY to the same.
// An opening written again while the answer was on its way is dropped.
TEST_F(RecvFileTest, TakesAClassicNameAfterAPreambleAndAnswersReadyWhenForced) {
  for (bool forced : {false, true}) {
    SCOPED_TRACE(forced ? "forced" : "offered");
    std::string name = forced ? "forced.txt" : "noise.txt";
    Link link = OpenLink();
    TransferResult result = kNoResult;
    testing::internal::CaptureStdout();
    std::thread receiver([&] { result = ReceiveFile(link.ours, kNoStallLimit, nullptr, forced); });
    // A preamble with a byte damaged is still taken, once the line is quiet.
    Bytes opening = kOpening;
    opening[2] ^= 0x20;
    WriteAll(link.theirs, opening);
    EXPECT_EQ(ReadExact(link.theirs, 1), Bytes{forced ? uint8_t(kReady) : kPeerReadyStream});
    WriteAll(link.theirs, Concat(kOpening, Concat(NameField(name), SizeField(3))));
    EXPECT_EQ(ReadExact(link.theirs, 1), Bytes{kAccept});
    EXPECT_EQ(SendBlock(link.theirs, {1, 2, 3}, GenerateChecksum(Bytes{1, 2, 3}.data(), 3)),
              kReplyOk);
    receiver.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, TransferResult::kDone);
    EXPECT_EQ(ReadFile(name), (Bytes{1, 2, 3}));

    // A velcot sender that heard READY damaged into READY_STREAM writes the
    // stream field: taken as such, or declined with receive mode going on
    // where the streaming exchange is off.
    testing::internal::CaptureStderr();
    receiver =
        std::thread([&] { result = ReceiveFile(link.ours, kNoStallLimit, nullptr, forced); });
    WriteAll(link.theirs, {kStart});
    EXPECT_EQ(ReadExact(link.theirs, 1), Bytes{kReady});
    WriteAll(link.theirs, Concat(kPeerStreamField, FileFrame(3, 0, 0644, "late.bin")));
    if (forced) {
      EXPECT_EQ(ReadExact(link.theirs, 1), Bytes{kDecline});
    } else {
      EXPECT_EQ(ReadPeerFrame(link.theirs), OffsetAnswer('A', 0, 0));
    }
    close(link.theirs);  // the line goes
    receiver.join();
    CloseComPort(link.ours);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("Refusing a file", 0) == 0, forced);
    EXPECT_EQ(result, forced ? TransferResult::kNotStored : TransferResult::kPortLost);
  }
}

// Frames damaged, lost, sent twice, out of order, or behind a damaged
// length: none is stored, each is answered with how far the data is
// stored, and the file is complete and in place, with the sender's time
// and mode, before the last answer; that answer comes again for an END
// sent again.
TEST_F(RecvFileTest, StreamedFramesDamagedLostRepeatedOrOutOfOrderAreNeverStored) {
  WriteFile("réport ✓.bin", {'o', 'l', 'd'});
  Bytes content = PatternBytes(3000, 8);
  Link link = OpenLink();
  TransferResult result = kNoResult;
  // On a UTF-8 console the name shows as it is (elsewhere the 0x9C in its
  // last character would be escaped, a C1 control to an 8-bit terminal).
  std::string locale = setlocale(LC_CTYPE, nullptr);
  ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  testing::internal::CaptureStdout();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });
  WriteAll(link.theirs, Concat({0x00, 0x16, 0x56, 0x33}, kOpening));  // noise first
  ASSERT_EQ(ReadExact(link.theirs, 1), Bytes{kPeerReadyStream});
  // Two openings written again while the answer was on their way.
  WriteAll(link.theirs,
           Concat(Concat(kOpening, kOpening),
                  Concat(kPeerStreamField, FileFrame(3000, 1234567890, 0640, "réport ✓.bin"))));
  EXPECT_EQ(ReadPeerFrame(link.theirs), OffsetAnswer('A', 0, 0));

  Bytes damaged = DataFrame(0, 0, content, 1000);
  damaged[20] ^= 0x08;
  Bytes damaged_length = DataFrame(1, 2000, content, 1000);
  damaged_length[5] ^= 0x01;  // the length: the header's check fails
  struct Row {
    const char* what;
    Bytes sent;
    PeerFrame answer;
  };
  const std::vector<Row> rows = {
      {"damaged", damaged, OffsetAnswer('R', 0, 0)},
      {"sent again", DataFrame(1, 0, content, 1000), OffsetAnswer('K', 0, 1000)},
      {"after a lost one", DataFrame(1, 2000, content, 1000), OffsetAnswer('R', 1, 1000)},
      {"a copy", DataFrame(2, 0, content, 1000), OffsetAnswer('K', 0, 1000)},
      {"after garbage", Concat({0xF3, 0x5C, 0x44, 0x99}, DataFrame(2, 1000, content, 1000)),
       OffsetAnswer('K', 0, 2000)},
      // The last data is answered by STORED, once END has come.
      {"behind a damaged length", Concat(damaged_length, DataFrame(2, 2000, content, 1000)), {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WriteAll(link.theirs, row.sent);
    if (row.answer.type != 0) {
      EXPECT_EQ(ReadPeerFrame(link.theirs), row.answer);
    }
    EXPECT_EQ(ReadFile("réport ✓.bin"), (Bytes{'o', 'l', 'd'}));
  }
  Bytes end = EncodeFrame('E', 2, Concat(BigEndian(3000, 8), BigEndian(Crc32(content), 4)));
  PeerFrame stored = {'S', 0, Concat(BigEndian(3000, 8), BigEndian(Crc32(content), 4))};
  WriteAll(link.theirs, end);
  EXPECT_EQ(ReadPeerFrame(link.theirs), stored);
  EXPECT_EQ(ReadFile("réport ✓.bin"), content);
  struct stat info;
  ASSERT_EQ(stat("réport ✓.bin", &info), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0640u & ~mask);
  EXPECT_EQ(info.st_mtime, 1234567890);
  WriteAll(link.theirs, end);  // the answer was lost
  EXPECT_EQ(ReadPeerFrame(link.theirs), stored);
  WriteAll(link.theirs, EncodeFrame('B', 0, {}));
  receiver.join();
  std::string shown = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kDone);
  setlocale(LC_CTYPE, locale.c_str());
  EXPECT_NE(shown.find(" réport ✓.bin 3000/3000 (100.0%)\r\n"), std::string::npos) << shown;
  EXPECT_EQ(ListDirectory("."), std::vector<std::string>{"réport ✓.bin"});
  EXPECT_EQ(CountPending(link.theirs), 0u);
  CloseLink(link);
}

// A file whose whole-file check fails, that its sender cancels, or that
// cannot be written is not stored, and the receiver says why, the name
// escaped for the console as in the classic exchange; a name no receiver
// may store is declined as in the classic exchange, and again for the
// offer sent again.
TEST_F(RecvFileTest, StreamedFileFailingItsCheckOrCancelledOrBadlyNamedIsNotStored) {
  WriteFile("keep.bin", {'o', 'l', 'd'});
  Bytes content = PatternBytes(100, 9);
  struct Case {
    std::string name;
    Bytes closing;
    uint8_t reason;  // 0: declined; 1: written where files over 64 bytes cannot be
    std::string message;
  };
  Bytes end = EncodeFrame('E', 0, Concat(BigEndian(100, 8), BigEndian(Crc32(content), 4)));
  const std::vector<Case> cases = {
      {"keep.bin", EncodeFrame('E', 0, Concat(BigEndian(100, 8), BigEndian(Crc32(content) ^ 1, 4))),
       2, "Gave up receiving keep.bin: the whole-file check failed\n"},
      {"keep.bin", EncodeFrame('C', 0, {}), 3,
       "Gave up receiving keep.bin: the sender could not read it whole\n"},
      {"\xC4\x80.bin", end, 1, "Couldn't write \xC4\\x80.bin: File too large\n"},
      {"bad\xC3(.bin", {}, 0, "Refusing file \"bad\\xC3(.bin\": not a plain file name\n"},
      {"c1\xC2\x9B.bin", {}, 0, "Refusing file \"c1\\xC2\\x9B.bin\": not a plain file name\n"},
      {std::string("nul\0.bin", 8),
       {},
       0,
       "Refusing file \"nul\\x01.bin\": not a plain file name\n"},
      {"../up.bin", {}, 0, "Refusing file \"../up.bin\": not a plain file name\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(EscapeFileName(c.name.c_str()));
    Link link = OpenLink();
    TransferResult result = kNoResult;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    rlimit saved = c.reason == 1 ? LimitFileSize(64) : rlimit{};
    std::thread receiver([&] { result = ReceiveFile(link.ours); });
    WriteAll(link.theirs, kOpening);
    ASSERT_EQ(ReadExact(link.theirs, 1), Bytes{kPeerReadyStream});
    WriteAll(link.theirs, Concat(kPeerStreamField, FileFrame(100, 0, 0644, c.name)));
    if (c.reason == 0) {
      // The reason goes before each DECLINE; the DECLINE was lost: the
      // offer again gets both again.
      const std::string why = "not a plain file name";
      const PeerFrame reason = {'y', 0, Bytes(why.begin(), why.end())};
      EXPECT_EQ(ReadPeerFrame(link.theirs), reason);
      EXPECT_EQ(ReadPeerFrame(link.theirs).type, 'N');
      WriteAll(link.theirs, FileFrame(100, 0, 0644, c.name));
      EXPECT_EQ(ReadPeerFrame(link.theirs), reason);
      EXPECT_EQ(ReadPeerFrame(link.theirs).type, 'N');
      shutdown(link.theirs, SHUT_WR);
    } else {
      EXPECT_EQ(ReadPeerFrame(link.theirs), OffsetAnswer('A', 0, 0));
      WriteAll(link.theirs, Concat(DataFrame(0, 0, content, 100), c.closing));
      EXPECT_EQ(ReadPeerFrame(link.theirs), (PeerFrame{'X', 0, {c.reason}}));
      WriteAll(link.theirs, EncodeFrame('B', 0, {}));
    }
    receiver.join();
    if (c.reason == 1) setrlimit(RLIMIT_FSIZE, &saved);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_EQ(result, TransferResult::kNotStored);  // receive mode goes on
    EXPECT_EQ(ListDirectory("."), std::vector<std::string>{"keep.bin"});
    EXPECT_EQ(ReadFile("keep.bin"), (Bytes{'o', 'l', 'd'}));
    CloseLink(link);
  }
}

// A scripted sender that offers every capability gets back those this end
// has, and the same again for a FILE frame sent again. In the session its
// items are stored in order, each on its own proof: one refused, one
// failing its check, between two stored; segments that came after a gap
// are kept; an answer lost is asked for again. A record where none may be
// ends the session.
TEST_F(RecvFileTest, SessionStoresItemsInOrderEachOnItsOwnProof) {
  Link link = OpenLink();
  TransferResult result = kNoResult;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });
  WriteAll(link.theirs, kOpening);
  ASSERT_EQ(ReadExact(link.theirs, 1), Bytes{kPeerReadyStream});
  Bytes offer = FileFrame(3, 0, 0644, "a.bin", 0xFF);
  WriteAll(link.theirs, Concat(kPeerStreamField, offer));
  PeerFrame accept = ReadPeerFrame(link.theirs);
  EXPECT_EQ(accept, (PeerFrame{'A', ListCapabilities(true), BigEndian(0, 8)}));
  EXPECT_EQ(accept.sequence & 0x01, 0x01);
  WriteAll(link.theirs, offer);  // the ACCEPT was lost
  EXPECT_EQ(ReadPeerFrame(link.theirs), accept);

  Bytes a = {1, 2, 3}, b = {'x', 'y'};
  Bytes s = Concat(DataRecord(a), EndRecord(Crc32(a)));
  s = Concat(Concat(s, FileRecord(2, 5, 0600, "../b.bin")), Concat(DataRecord(b), EndRecord(0)));
  s = Concat(Concat(s, FileRecord(2, 5, 0600, "c.bin")),
             Concat(DataRecord(b), EndRecord(Crc32(b) ^ 1)));
  s = Concat(Concat(s, FileRecord(2, 5, 0600, "d.bin")),
             Concat(DataRecord(b), EndRecord(Crc32(b))));
  Bytes c = Concat({0x00}, PlainChunk(s));
  size_t cut = 10;
  WriteAll(link.theirs, Segment(7, cut, Bytes(c.begin() + cut, c.end())));
  EXPECT_EQ(ReadPeerFrame(link.theirs), StateFrame(7, 0, {cut, c.size()}));
  EXPECT_EQ(ListKeptParts(".", false), std::vector<std::string>{});  // a.bin in its kept part
  WriteAll(link.theirs, Segment(8, 0, Bytes(c.begin(), c.begin() + cut)));
  EXPECT_EQ(ReadPeerFrame(link.theirs), StateFrame(8, c.size()));
  Bytes proof = Concat(BigEndian(2, 8), BigEndian(Crc32(b), 4));
  EXPECT_EQ(ReadPeerFrame(link.theirs),
            (PeerFrame{'s', 0, Concat(BigEndian(3, 8), BigEndian(Crc32(a), 4))}));
  EXPECT_EQ(ReadPeerFrame(link.theirs), (PeerFrame{'n', 1, {}}));
  EXPECT_EQ(ReadPeerFrame(link.theirs), (PeerFrame{'x', 2, {2}}));
  EXPECT_EQ(ReadPeerFrame(link.theirs), (PeerFrame{'s', 3, proof}));
  WriteAll(link.theirs, EncodeFrame('w', 2, {}));
  EXPECT_EQ(ReadPeerFrame(link.theirs), (PeerFrame{'x', 2, {2}}));

  WriteAll(link.theirs, Segment(9, c.size(), PlainChunk({'Z'})));
  EXPECT_EQ(ReadPeerFrame(link.theirs), StateFrame(9, c.size() + 2));
  EXPECT_EQ(ReadPeerFrame(link.theirs), (PeerFrame{'z', 0, {}}));
  receiver.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Refusing file \"../b.bin\": not a plain file name\n"
            "Gave up receiving c.bin: the whole-file check failed\n");
  EXPECT_EQ(result, TransferResult::kNotStored);
  EXPECT_EQ(ListDirectory("."), (std::vector<std::string>{"a.bin", "d.bin"}));
  EXPECT_EQ(ReadFile("a.bin"), a);
  EXPECT_EQ(ReadFile("d.bin"), b);
  struct stat info;
  ASSERT_EQ(stat("d.bin", &info), 0);
  EXPECT_EQ(info.st_mtime, 5);
  CloseLink(link);
}

// A sender that asks with HELLO is answered the capabilities shared, and
// with paths agreed an item the receiver refuses (a folder's item with data,
// a folder it cannot make) is answered `n` and the run goes on to the
// folder's item and the file after them. The ways a path is refused, and
// that nothing lands outside the folder, are store_test's.
TEST_F(RecvFileTest, SessionWithPathsAnswersEachItemAndGoesOn) {
  WriteFile("file", {});
  Link link = OpenLink();
  TransferResult result = kNoResult;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });
  WriteAll(link.theirs, kOpening);
  ASSERT_EQ(ReadExact(link.theirs, 1), Bytes{kPeerReadyStream});
  WriteAll(link.theirs, Concat(kPeerStreamField, EncodeFrame('H', 0xFF, {})));
  EXPECT_EQ(ReadPeerFrame(link.theirs), (PeerFrame{'h', ListCapabilities(true), {}}));
  WriteAll(link.theirs, FileFrame(1, 5, 0600, "t/a.txt", 0x11));
  EXPECT_EQ(ReadPeerFrame(link.theirs), OffsetAnswer('A', 0x11, 0));
  Bytes z = {'z'}, item = Concat(DataRecord(z), EndRecord(Crc32(z))), s = item;
  Bytes stored = Concat(BigEndian(1, 8), BigEndian(Crc32(z), 4));
  std::vector<PeerFrame> answers = {{'s', 0, stored}};
  for (const char* name : {"t/", "file/x"}) {
    s = Concat(s, Concat(FileRecord(1, 5, 0600, name), item));
    answers.push_back({'n', uint8_t(answers.size()), {}});
  }
  s = Concat(Concat(s, FileRecord(0, 1000000000, 0750, "t/")), EndRecord(0));
  s = Concat(Concat(Concat(s, FileRecord(1, 5, 0600, "z")), item), {'Q'});
  answers.push_back({'s', 3, Concat(BigEndian(0, 8), BigEndian(0, 4))});
  answers.push_back({'s', 4, stored});
  WriteAll(link.theirs, Segment(0, 0, Concat({0x00}, PlainChunk(s))));
  ReadPeerFrame(link.theirs);  // the state
  for (const PeerFrame& answer : answers)
    EXPECT_EQ(ReadPeerFrame(link.theirs), answer);
  WriteAll(link.theirs, EncodeFrame('B', 0, {}));
  receiver.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Refusing file \"t/\": not a plain file name\n"
            "Couldn't open file/x for writing: Not a directory\n");
  EXPECT_EQ(result, TransferResult::kNotStored);
  EXPECT_EQ(ListDirectory("."), (std::vector<std::string>{"file", "t", "z"}));
  EXPECT_EQ(ReadFile("t/a.txt"), z);
  CloseLink(link);
}

// A scripted receiver that agrees to the session with no codec gets C as
// plain runs, and with deflate alone no zstd run; it loses a segment, and
// only its bytes go again. The file's bytes come in DATA records, proved
// by END, and QUIT closes S.
TEST_F(SendFileTest, SessionGoesInTheCodecsAgreedAndSendsAgainOnlyWhatWasLost) {
  Bytes content;
  for (int line = 0; content.size() < 20000; line++) {
    std::string text = "12:00:" + std::to_string(line % 60) +
                       " channel 3: " + std::to_string(line * 7 % 1000) + " mV\n";
    content.insert(content.end(), text.begin(), text.end());
  }
  WriteFile("s.bin", content);
  for (uint8_t agreed : {0x01, 0x03}) {
    SCOPED_TRACE(int(agreed));
    Link link = OpenLink();
    TransferResult result = kNoResult;
    testing::internal::CaptureStdout();
    std::thread sender([&] { result = SendFile(link.ours, "s.bin", 5000); });
    ASSERT_EQ(ReadExact(link.theirs, kOpening.size()), kOpening);
    WriteAll(link.theirs, {kPeerReadyStream});
    EXPECT_EQ(ReadExact(link.theirs, 12), kPeerStreamField);
    EXPECT_EQ(ReadPeerFrame(link.theirs).sequence & agreed, agreed);
    WriteAll(link.theirs, EncodeFrame('A', agreed, BigEndian(0, 8)));
    // Decoded by a receiver that takes nothing but the codecs agreed.
    CodecDecoder decoder;
    StartDecoder(&decoder, agreed & 0x06);
    Bytes c, s;
    std::vector<bool> have;
    uint64_t lost_at = UINT64_MAX, sent_again = 0;
    while (s.empty() || s.back() != 'Q') {
      PeerFrame frame = ReadPeerFrame(link.theirs);
      ASSERT_EQ(frame.type, 'd') << frame;
      uint64_t at = FromBigEndian(frame.payload, 0, 4);
      size_t length = frame.payload.size() - 4;
      if (lost_at == UINT64_MAX && at > 0) {
        lost_at = at;  // this one is lost on the line
        continue;
      }
      uint64_t before = std::find(have.begin(), have.end(), false) - have.begin();
      if (c.size() < at + length) {
        c.resize(at + length);
        have.resize(at + length);
      }
      for (size_t i = 0; i < length; i++) {
        sent_again += have[at + i] ? 1 : 0;
        have[at + i] = true;
        c[at + i] = frame.payload[4 + i];
      }
      uint64_t acked = std::find(have.begin(), have.end(), false) - have.begin();
      std::vector<uint64_t> ranges;
      for (uint64_t i = acked; i < have.size(); i++) {
        if (have[i] && (i == 0 || !have[i - 1])) ranges.push_back(i);
        if (have[i] && (i + 1 == have.size() || !have[i + 1])) ranges.push_back(i + 1);
      }
      PeerFrame state = StateFrame(frame.sequence, acked, ranges);
      WriteAll(link.theirs, EncodeFrame(state.type, state.sequence, state.payload));
      for (size_t at_c = before; at_c < acked;) {
        uint8_t out[65536];
        size_t used = 0, made = 0;
        ASSERT_EQ(
            FeedDecoder(&decoder, c.data() + at_c, acked - at_c, &used, out, sizeof out, &made),
            CodecError::kNone);
        s.insert(s.end(), out, out + made);
        at_c += used;
      }
    }
    EXPECT_EQ(EndDecoder(&decoder), CodecError::kNone);
    if (agreed == 0x01) {
      EXPECT_EQ(c[0], 0x00) << "not a plain run";
    } else {
      EXPECT_LT(c.size(), content.size() / 2) << "not compressed";
    }
    Bytes data;
    size_t i = 0;
    while (s[i] == 'D') {
      uint64_t n = 0;
      for (i++; s[i] & 0x80; i++)
        n = n << 7 | (s[i] & 0x7F);
      n = n << 7 | s[i++];
      data.insert(data.end(), s.begin() + long(i), s.begin() + long(i + n));
      i += n;
    }
    EXPECT_TRUE(data == content);
    EXPECT_EQ(Bytes(s.begin() + long(i), s.end()), Concat(EndRecord(Crc32(content)), {'Q'}));
    EXPECT_NE(lost_at, UINT64_MAX);
    EXPECT_EQ(sent_again, 0u);
    Bytes proof = Concat(BigEndian(content.size(), 8), BigEndian(Crc32(content), 4));
    WriteAll(link.theirs, EncodeFrame('s', 0, proof));
    sender.join();
    WaitForByte(link.ours, 0);  // hands over what the port collected: the goodbye
    EXPECT_EQ(ReadPeerFrame(link.theirs).type, 'B');
    std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, TransferResult::kDone);
    std::string total = std::to_string(content.size());
    EXPECT_NE(shown.find(" s.bin " + total + "/" + total + " (100.0%)\r\n"), std::string::npos)
        << shown;
    CloseLink(link);
  }
}

// A scripted streaming receiver of today's kind (it answers capabilities
// with none) asks for data again, answers with garbage, and loses its first
// STORED: the sender, which offered the session and waited for the answer,
// sends from where it is asked, proves the whole file, and asks again for
// the last answer.
TEST_F(SendFileTest, StreamsAgainFromWhereTheReceiverAsksAndProvesTheWholeFile) {
  Bytes content = PatternBytes(20000, 3);
  WriteFile("ünï.bin", content);
  chmod("ünï.bin", 0604);
  Link link = OpenLink();
  TransferResult result = kNoResult;
  testing::internal::CaptureStdout();
  std::thread sender([&] { result = SendFile(link.ours, "ünï.bin", 5000); });
  ASSERT_EQ(ReadExact(link.theirs, kOpening.size()), kOpening);
  WriteAll(link.theirs, {kPeerReadyStream});
  EXPECT_EQ(ReadExact(link.theirs, 12), kPeerStreamField);
  PeerFrame file = ReadPeerFrame(link.theirs);
  EXPECT_EQ(file.type, 'F');
  EXPECT_EQ(file.sequence & 0x09, 0x09);  // the session and resume, codecs and paths, no other bit
  EXPECT_EQ(file.sequence & ~(0x1F | kCodecLzma), 0);
  EXPECT_EQ(FromBigEndian(file.payload, 0, 8), 20000u);
  struct stat info;
  ASSERT_EQ(stat("ünï.bin", &info), 0);
  EXPECT_EQ(int64_t(FromBigEndian(file.payload, 8, 8)), int64_t(info.st_mtime));
  EXPECT_EQ(FromBigEndian(file.payload, 16, 4), 0604u);
  EXPECT_EQ(Bytes(file.payload.begin() + 20, file.payload.end()),
            Bytes({0xC3, 0xBC, 'n', 0xC3, 0xAF, '.', 'b', 'i', 'n'}));
  WriteAll(link.theirs, EncodeFrame('A', 0, BigEndian(0, 8)));

  Bytes stored;
  bool asked = false, garbled = false, lost = false;
  for (;;) {
    PeerFrame frame = ReadPeerFrame(link.theirs);
    if (frame.type == 'D') {
      uint64_t offset = FromBigEndian(frame.payload, 0, 8);
      if (offset > stored.size()) continue;  // in flight after a request: dropped
      if (offset < stored.size()) {          // a copy: say how far
        WriteAll(link.theirs, EncodeFrame('K', 0, BigEndian(stored.size(), 8)));
        continue;
      }
      if (!asked && offset >= 4096) {  // "damaged": send again from here
        asked = true;
        WriteAll(link.theirs, EncodeFrame('R', frame.sequence, BigEndian(offset, 8)));
        continue;
      }
      stored.insert(stored.end(), frame.payload.begin() + 8, frame.payload.end());
      if (!garbled) WriteAll(link.theirs, {0xF3, 0x5C, 0x00, 0x12});
      garbled = true;
      WriteAll(link.theirs, EncodeFrame('K', 0, BigEndian(stored.size(), 8)));
    } else if (frame.type == 'E') {
      EXPECT_EQ(frame.payload, Concat(BigEndian(20000, 8), BigEndian(Crc32(content), 4)));
      if (!lost) {  // this STORED is lost on the way
        lost = true;
        continue;
      }
      WriteAll(link.theirs, EncodeFrame('S', 0, frame.payload));
      break;
    } else {
      ADD_FAILURE() << "frame " << frame;
      break;
    }
  }
  sender.join();
  WaitForByte(link.ours, 0);  // hands over what the port collected: the goodbye
  EXPECT_EQ(ReadPeerFrame(link.theirs).type, 'B');
  std::string shown = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TransferResult::kDone);
  EXPECT_EQ(stored, content);
  EXPECT_TRUE(asked);
  EXPECT_NE(shown.find(" ünï.bin 20000/20000 (100.0%)\r\n"), std::string::npos) << shown;
  EXPECT_EQ(CountPending(link.theirs), 0u);
  CloseLink(link);
}

// ---- both ends ----

TEST_F(RecvFileTest, SenderAndReceiverMoveEveryByteValue) {
  Bytes content;
  for (int round = 0; round < 12; round++) {
    for (int value = 0; value < 256; value++)
      content.push_back(uint8_t(value ^ round));
  }
  fs::create_directory("out");
  WriteFile("out/allbytes.bin", content);
  fs::create_directory("in");
  fs::current_path("in");
  Link link = OpenLink();
  PortHandle sender_port = AdoptPortDescriptor(link.theirs);
  link.theirs = -1;
  TransferResult sent = kNoResult, received = kNoResult;
  testing::internal::CaptureStdout();
  std::thread receiver([&] { received = ReceiveFile(link.ours); });
  sent = SendFile(sender_port, "../out/allbytes.bin");
  receiver.join();
  CloseComPort(sender_port);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(sent, TransferResult::kDone);
  EXPECT_EQ(received, TransferResult::kDone);
  EXPECT_EQ(ReadFile("allbytes.bin"), content);
  EXPECT_EQ(ListDirectory("."), std::vector<std::string>{"allbytes.bin"});
  CloseLink(link);
}

// Standard output blocked as by a terminal paused with Ctrl+S: the pipe it
// goes to is full. Returns the pipe's other end and the saved output.
std::pair<int, int> BlockStdout() {
  fflush(stdout);
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  char filler[4096] = {};
  while (write(fds[1], filler, sizeof filler) > 0) {
  }
  fcntl(fds[1], F_SETFL, 0);
  int saved = dup(STDOUT_FILENO);
  dup2(fds[1], STDOUT_FILENO);
  close(fds[1]);
  return {fds[0], saved};
}

// Lets the blocked output go on while finish runs, then puts it back.
void UnblockStdout(std::pair<int, int> blocked, const std::function<void()>& finish) {
  std::thread drain([&] {
    char buffer[4096];
    while (read(blocked.first, buffer, sizeof buffer) > 0) {
    }
  });
  finish();
  fflush(stdout);
  dup2(blocked.second, STDOUT_FILENO);
  close(blocked.second);
  drain.join();
  close(blocked.first);
}

// What has arrived of n bytes within limit_ms; no test assertion, since
// a failure would be printed to the standard output a test may block.
Bytes ReadQuietly(int fd, size_t n, int limit_ms) {
  Bytes bytes;
  pollfd wait = {fd, POLLIN, 0};
  uint8_t buffer[2048];
  while (bytes.size() < n && poll(&wait, 1, limit_ms) == 1) {
    ssize_t got = read(fd, buffer, std::min(sizeof buffer, n - bytes.size()));
    if (got <= 0) break;
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  return bytes;
}

// The progress line is drawn once the next block (at the sender) or the
// answer (at the receiver) is on the line, so a console that does not take
// it does not hold up the exchange.
TEST_F(RecvFileTest, ProgressLineWaitsBehindTheExchange) {
  Bytes block = PatternBytes(1024, 10);
  Bytes framed = Concat(block, Word(GenerateChecksum(block.data(), 1024)));
  WriteFile("p.bin", block);
  for (bool sending : {true, false}) {
    SCOPED_TRACE(sending ? "sender" : "receiver");
    Link link = OpenLink();
    TransferResult result = kNoResult;
    auto blocked = BlockStdout();
    std::thread end(
        [&] { result = sending ? SendFile(link.ours, "p.bin") : ReceiveFile(link.ours); });
    Bytes opening, arrived;  // what came while the output was blocked
    if (sending) {           // a classic receiver: the preamble is dropped
      opening = ReadQuietly(link.theirs, kOpening.size(), 20000);
      WriteAll(link.theirs, {kReady});
      ReadQuietly(link.theirs, 16, 20000);
      WriteAll(link.theirs, {kAccept});
      arrived = ReadQuietly(link.theirs, 1026, 2000);
    } else {
      WriteAll(link.theirs, {kStart});
      opening = ReadQuietly(link.theirs, 1, 20000);
      WriteAll(link.theirs, Concat(NameField("p.bin"), SizeField(1024)));
      arrived = ReadQuietly(link.theirs, 1, 2000);
    }
    UnblockStdout(blocked, [&] {  // and the exchange goes on to its end
      if (sending) {
        ReadQuietly(link.theirs, 1026 - arrived.size(), 20000);
        WriteAll(link.theirs, Word(kReplyOk));
      } else {
        ReadQuietly(link.theirs, 1 - arrived.size(), 20000);
        WriteAll(link.theirs, framed);
        ReadQuietly(link.theirs, 2, 20000);
      }
      end.join();
    });
    EXPECT_EQ(opening, sending ? kOpening : Bytes{kReady});
    EXPECT_EQ(arrived, sending ? framed : Bytes{kAccept});
    EXPECT_EQ(result, TransferResult::kDone);
    CloseLink(link);
  }
}

}  // namespace
