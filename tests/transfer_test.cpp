// The wire encoding, and the sender and receiver of one file against a
// scripted peer over a socketpair.
#include "transfer.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "names.h"
#include "peer_util.h"

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
  EXPECT_EQ(WriteWord(link.ours, 0x1234), 0);
  EXPECT_EQ(WriteDword(link.ours, 0x000009C4), 0);
  EXPECT_EQ(WriteDword(link.ours, 0xFEDCBA98), 0);
  EXPECT_EQ(CountPending(link.theirs), 0u);  // collected until the port turns to reading
  EXPECT_EQ(ReadWord(link.ours), 0xABCD);
  EXPECT_EQ(ReadExact(link.theirs, 10),
            (Bytes{0x12, 0x34, 0, 0, 0x09, 0xC4, 0xFE, 0xDC, 0xBA, 0x98}));
  EXPECT_EQ(ReadDword(link.ours), 0xFFFFFFFEll);
  uint8_t block[3];
  EXPECT_EQ(ReadBlock(link.ours, block, 3), 0);
  EXPECT_EQ(Bytes(block, block + 3), (Bytes{0x00, 0x11, 0x13}));

  // A peer that has gone away is a lost port, for every reader, and for a
  // writer once its bytes are handed over.
  close(link.theirs);
  link.theirs = -1;
  EXPECT_EQ(ReadByte(link.ours), PORT_LOST);
  EXPECT_EQ(ReadWord(link.ours), PORT_LOST);
  EXPECT_EQ(ReadDword(link.ours), PORT_LOST);
  EXPECT_EQ(ReadBlock(link.ours, block, 3), PORT_LOST);
  EXPECT_EQ(WriteByte(link.ours, 1), 1);
  EXPECT_EQ(WaitForByte(link.ours, 0), PORT_LOST);
  CloseLink(link);
}

// ---- sender ----

class SendFileTest : public InScratchFolder {};

// Plays the receiver's part up to the answer; returns the announced name
// field and size.
std::pair<Bytes, Bytes> AnswerAnnouncement(int fd, uint8_t answer) {
  EXPECT_EQ(ReadExact(fd, kOpening.size()), kOpening);
  WriteAll(fd, {READY});
  Bytes name = ReadExact(fd, NAME_FIELD_SIZE);
  Bytes size = ReadExact(fd, 4);
  WriteAll(fd, {answer});
  return {name, size};
}

TEST_F(SendFileTest, SendsARefusedBlockAgainUnchanged) {
  Bytes content = PatternBytes(2500, 1);
  fs::create_directory("sub");
  WriteFile("sub/verylongname.txt", content);
  Link link = OpenLink();
  int result = -1;
  testing::internal::CaptureStdout();
  std::thread sender([&] { result = SendFile(link.ours, "sub/verylongname.txt"); });

  auto header = AnswerAnnouncement(link.theirs, ACCEPT);
  EXPECT_EQ(header.first, NameField("verylong.txt"));
  EXPECT_EQ(header.second, SizeField(2500));
  Bytes first = ReadExact(link.theirs, 1024 + 2);
  WriteAll(link.theirs, Word(0x1234));  // refused
  Bytes again = ReadExact(link.theirs, 1024 + 2);
  EXPECT_EQ(again, first);
  WriteAll(link.theirs, Word(REPLY_OK));
  Bytes received(first.begin(), first.end() - 2);
  for (uint16_t n : {1024, 452}) {
    Bytes block = ReadExact(link.theirs, n + 2u);
    Bytes data(block.begin(), block.end() - 2);
    EXPECT_EQ(ToWord(Bytes(block.end() - 2, block.end())), GenerateChecksum(data.data(), n));
    received = Concat(received, data);
    WriteAll(link.theirs, Word(REPLY_OK));
  }
  sender.join();
  std::string shown = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TRANSFER_DONE);
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
  EXPECT_EQ(SendFile(link.ours, "missing.txt"), TRANSFER_FAILED);
  EXPECT_EQ(SendFile(link.ours, "folder"), TRANSFER_FAILED);
  if (!root_reads_anyway) {
    EXPECT_EQ(SendFile(link.ours, "locked.txt"), TRANSFER_FAILED);
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
    ForceClassic classic(name.first == "...");
    EXPECT_EQ(SendFile(link.ours, name.first.c_str()), TRANSFER_FAILED) << name.second;
  }
  mkfifo("fifo", 0600);
  EXPECT_EQ(SendFile(link.ours, "fifo"), TRANSFER_FAILED);
  std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountPending(link.theirs), 0u);
  EXPECT_NE(errors.find("Couldn't stat missing.txt: No such file or directory\n"),
            std::string::npos);
  EXPECT_NE(errors.find("Couldn't send folder: not a regular file\n"), std::string::npos);
  EXPECT_NE(errors.find("Couldn't send fifo: not a regular file\n"), std::string::npos);
  for (const auto& name : refused) {
    EXPECT_NE(errors.find("Couldn't send " + name.first + ": a receiver would refuse its name \"" +
                          name.second + "\"\n"),
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
  for (uint8_t answer : {uint8_t(DECLINE), uint8_t(0x00), uint8_t(ACCEPT ^ 1)}) {
    Link link = OpenLink();
    int result = -1;
    testing::internal::CaptureStdout();
    std::thread sender([&] { result = SendFile(link.ours, "a.txt"); });
    AnswerAnnouncement(link.theirs, answer);
    sender.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "file a.txt declined by receiver\n");
    EXPECT_EQ(result, TRANSFER_DECLINED);
    EXPECT_EQ(CountPending(link.theirs), 0u);
    CloseLink(link);
  }
}

// A file that yields fewer bytes than it announced, because it shrank or
// because reading it failed, is filled up with zeros and reported.
TEST_F(SendFileTest, FillsAFileThatShrankOrFailedWithZerosAndReportsIt) {
  const uint32_t size = 20000, kept = 10000;
  Bytes content = PatternBytes(size, 2);
  WriteFile("shrinks.bin", content);
  std::fill(content.begin() + kept, content.end(), 0);
  struct Source {
    std::string path;
    Bytes sent;
    std::string message;
  };
  std::vector<Source> sources = {
      {"shrinks.bin", content,
       "shrinks.bin changed while being sent; the copy received is not the file\n"}};
  // A sysfs attribute that claims 4096 bytes and fails every read.
  const std::string failing = "/sys/devices/software/power/autosuspend_delay_ms";
  int fd = open(failing.c_str(), O_RDONLY);
  char byte;
  if (fd >= 0 && read(fd, &byte, 1) < 0 && errno == EIO) {
    sources.push_back(
        {failing, Bytes(4096, 0), "Couldn't read " + failing + ": " + strerror(EIO) + "\n"});
  }
  if (fd >= 0) close(fd);
  for (const Source& source : sources) {
    SCOPED_TRACE(source.path);
    Link link = OpenLink();
    int result = -1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::thread sender([&] { result = SendFile(link.ours, source.path.c_str()); });
    AnswerAnnouncement(link.theirs, ACCEPT);
    Bytes received;
    for (size_t done = 0; done < source.sent.size(); done += 1024) {
      size_t n = std::min<size_t>(1024, source.sent.size() - done);
      Bytes block = ReadExact(link.theirs, n + 2u);
      received.insert(received.end(), block.begin(), block.end() - 2);
      // The sender read the size before this; now the file holds less.
      if (done == 0 && source.path == "shrinks.bin") {
        EXPECT_EQ(truncate("shrinks.bin", kept), 0);
      }
      WriteAll(link.theirs, Word(REPLY_OK));
    }
    sender.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, TRANSFER_FAILED);
    EXPECT_EQ(received, source.sent);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), source.message);
    CloseLink(link);
  }
}

TEST_F(SendFileTest, EndsWhenThePortIsLostMidFile) {
  WriteFile("a.bin", PatternBytes(3000, 4));
  Link link = OpenLink();
  int result = -1;
  std::thread sender([&] { result = SendFile(link.ours, "a.bin"); });
  AnswerAnnouncement(link.theirs, ACCEPT);
  ReadExact(link.theirs, 1024 + 2);
  close(link.theirs);
  link.theirs = -1;
  sender.join();
  EXPECT_EQ(result, TRANSFER_PORT_LOST);
  CloseLink(link);
}

// ---- receiver ----

class RecvFileTest : public InScratchFolder {};

// Plays the sender's part of the announcement; returns the answer.
int Announce(int fd, const Bytes& name_field, uint32_t size) {
  WriteAll(fd, {START});
  EXPECT_EQ(ReadExact(fd, 1), Bytes{READY});
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
  int result = -1;
  testing::internal::CaptureStdout();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });

  WriteAll(link.theirs, {0x00, 0x11, 0x13, READY, ACCEPT, 0xFF});  // noise before START
  ASSERT_EQ(Announce(link.theirs, NameField("report.txt"), 2500), ACCEPT);
  Bytes first(content.begin(), content.begin() + 1024);
  uint16_t sum = GenerateChecksum(first.data(), 1024);
  EXPECT_EQ(SendBlock(link.theirs, first, uint16_t(sum + 4)), MakeReplyWord(sum + 4, sum));
  Bytes damaged = first;
  damaged[10] ^= 0x40;
  EXPECT_NE(SendBlock(link.theirs, damaged, sum), REPLY_OK);
  EXPECT_EQ(SendBlock(link.theirs, first, sum), REPLY_OK);
  // Until the last block has arrived the old file stands.
  EXPECT_EQ(ReadFile("report.txt"), (Bytes{'o', 'l', 'd'}));
  synced_directories.clear();
  for (size_t at : {1024u, 2048u}) {
    Bytes block(content.begin() + long(at),
                content.begin() + long(std::min<size_t>(at + 1024, 2500)));
    EXPECT_EQ(SendBlock(link.theirs, block, GenerateChecksum(block.data(), uint16_t(block.size()))),
              REPLY_OK);
  }
  // Stored before the last answer: a sender that is done leaves the file in
  // place, its data and then its name on the disk.
  EXPECT_EQ(ReadFile("report.txt"), content);
  EXPECT_EQ(synced_directories, (std::vector<bool>{false, true}));
  EXPECT_EQ(fs::status("report.txt").permissions(), fs::perms(0604));
  receiver.join();
  std::string shown = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TRANSFER_DONE);
  EXPECT_EQ(ListFolder("."), std::vector<std::string>{"report.txt"});
  EXPECT_NE(shown.find("   report.txt 0/2500 (ERROR)\r"), std::string::npos) << shown;
  EXPECT_NE(shown.find("   report.txt 2500/2500 (100.0%)\r\n"), std::string::npos);
  EXPECT_EQ(CountPending(link.theirs), 0u);
  CloseLink(link);
}

TEST_F(RecvFileTest, StoresEmptyFilesAndFullLengthNames) {
  Link link = OpenLink();
  int result = -1;
  testing::internal::CaptureStdout();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });
  ASSERT_EQ(Announce(link.theirs, NameField("abcdefgh.txt"), 0), ACCEPT);
  EXPECT_TRUE(fs::exists("abcdefgh.txt"));
  receiver.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TRANSFER_DONE);
  EXPECT_EQ(ListFolder("."), std::vector<std::string>{"abcdefgh.txt"});
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
    int result = -1;
    testing::internal::CaptureStderr();
    std::thread receiver([&] { result = ReceiveFile(link.ours); });
    EXPECT_EQ(Announce(link.theirs, NameField(name), 10), DECLINE) << EscapeFileName(name.c_str());
    receiver.join();
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, TRANSFER_FAILED);
    EXPECT_EQ(ListFolder("."), (std::vector<std::string>{"locked.txt", "taken"}));
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
  int result = -1;
  testing::internal::CaptureStdout();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });
  ASSERT_EQ(Announce(link.theirs, NameField("keep.txt"), 3000), ACCEPT);
  Bytes block = PatternBytes(1024, 6);
  EXPECT_EQ(SendBlock(link.theirs, block, GenerateChecksum(block.data(), 1024)), REPLY_OK);
  WriteAll(link.theirs, Bytes(block.begin(), block.begin() + 100));
  close(link.theirs);
  link.theirs = -1;
  receiver.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, TRANSFER_PORT_LOST);
  EXPECT_EQ(ReadFile("keep.txt"), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(ListFolder("."), std::vector<std::string>{"keep.txt"});
  CloseLink(link);
}

// The last answer would tell the sender the file is in place: it is
// withheld, so the sender gives the file up instead of reporting success.
TEST_F(RecvFileTest, AnswersEveryBlockButTheLastAfterAFailedWrite) {
  // Files larger than 1500 bytes cannot be written here.
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 1500;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

  Bytes content = PatternBytes(5000, 7);
  Link link = OpenLink();
  int result = -1;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::thread receiver([&] { result = ReceiveFile(link.ours); });
  ASSERT_EQ(Announce(link.theirs, NameField("big.bin"), 5000), ACCEPT);
  for (size_t at = 0; at < 5000; at += 1024) {
    Bytes block(content.begin() + long(at),
                content.begin() + long(std::min<size_t>(at + 1024, 5000)));
    uint16_t sum = GenerateChecksum(block.data(), uint16_t(block.size()));
    if (at + 1024 < 5000) {
      EXPECT_EQ(SendBlock(link.theirs, block, sum), REPLY_OK);
    } else {
      WriteAll(link.theirs, Concat(block, Word(sum)));
    }
  }
  receiver.join();
  EXPECT_EQ(CountPending(link.theirs), 0u);
  setrlimit(RLIMIT_FSIZE, &saved);
  testing::internal::GetCapturedStdout();
  std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, TRANSFER_NOT_STORED);
  EXPECT_EQ(errors, "Couldn't write big.bin: File too large\n");
  EXPECT_TRUE(ListFolder(".").empty());
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
  int sent = -1, received = -1;
  testing::internal::CaptureStdout();
  std::thread receiver([&] { received = ReceiveFile(link.ours); });
  sent = SendFile(sender_port, "../out/allbytes.bin");
  receiver.join();
  CloseComPort(sender_port);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(sent, TRANSFER_DONE);
  EXPECT_EQ(received, TRANSFER_DONE);
  EXPECT_EQ(ReadFile("allbytes.bin"), content);
  EXPECT_EQ(ListFolder("."), std::vector<std::string>{"allbytes.bin"});
  CloseLink(link);
}

}  // namespace
