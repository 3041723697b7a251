// velcot against a peer that means harm or has died, and against a machine
// that works against it: real velcot processes over pseudo-terminals linked
// by socat, with the test playing the other end where the fault is the
// peer's.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "process_util.h"
#include "wire_util.h"

namespace {

const int kLimitSeconds = 120;  // only stops a hung process
const int kLimitMilliseconds = kLimitSeconds * 1000;
// How long a scripted peer listens for bytes that must not come; not a
// claim about speed.
const int kQuietMilliseconds = 1000;

// The bytes a file occupies on disk.
long long CountDiskBytes(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? (long long)info.st_blocks * 512 : -1;
}

// The file a receiver in folder is writing: its temporary file there, or
// the anonymous file it holds open; empty if there is none.
std::string FindFileBeingReceived(pid_t pid, const std::string& folder) {
  for (const std::string& name : ListDirectory(folder)) {
    if (name.rfind(".velcot-", 0) == 0) return folder + "/" + name;
  }
  std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const std::string& fd : ListDirectory(fds)) {
    char target[4096];
    ssize_t n = readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, size_t(n)).rfind(folder + "/", 0) == 0) return fds + "/" + fd;
  }
  return "";
}

// The peak resident memory of a running process, from /proc; -1 if unknown.
long long ReadPeakMemoryKiB(pid_t pid) {
  std::string status = ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::stoll(status.substr(at + 6));
}

// The receiver is on link A (fd_a), the sender on link B (fd_b).
typedef HeldLine Line;

class HostileTest : public ProgramTest {
 protected:
  HostileTest() : ProgramTest(kLimitSeconds) {}

  void SetUp() override {
    MakeScratch("velcot-hostile");
    MakeFolder("logs");
  }

  // A line in its own folder under the scratch directory.
  Line StartLine(const std::string& name) { return StartHeldLine(MakeFolder(name)); }

  pid_t StartReceiver(const Line& line, const std::string& folder, const std::string& log,
                      long long file_size_limit = -1) {
    SpawnOptions options;
    options.file_size_limit = file_size_limit;
    return StartVelcot(folder, {"-p", line.pair.link_a, "-b", "115200"}, log, options);
  }

  pid_t StartSender(const Line& line, const std::string& folder,
                    const std::vector<std::string>& files, const std::string& log) {
    std::vector<std::string> args = {"-p", line.pair.link_b, "-b", "115200"};
    args.insert(args.end(), files.begin(), files.end());
    return StartVelcot(folder, args, log);
  }

  // Plays the sender up to the receiver's answer to the announcement.
  std::string Announce(const Line& line, const std::string& name, uint32_t size) {
    EXPECT_TRUE(WriteAll(line.fd_b, "\x99"));
    EXPECT_EQ(ReadWithDeadline(line.fd_b, 1, kLimitMilliseconds), "\x33");
    EXPECT_TRUE(WriteAll(line.fd_b, EncodeAnnouncement(name, size)));
    return ReadWithDeadline(line.fd_b, 1, kLimitMilliseconds);
  }

  // Plays the sender for blocks; true when each was answered 0xFFFF.
  bool SendBlocks(const Line& line, const std::string& content) {
    for (size_t at = 0; at < content.size(); at += 1024) {
      if (!WriteAll(line.fd_b, Frame(content.substr(at, 1024))) ||
          ReadWithDeadline(line.fd_b, 2, kLimitMilliseconds) != "\xFF\xFF") {
        return false;
      }
    }
    return true;
  }

  // A receiver that gave keep.bin up stores the next file beside the old
  // one, and ends when the line is cut.
  void ExpectNextFileStored(const Line& line, pid_t receiver, const std::string& rx,
                            const std::string& next) {
    ASSERT_EQ(Announce(line, "next.bin", uint32_t(next.size())), "\xCC");
    ASSERT_TRUE(SendBlocks(line, next));
    StopLine(line.pair);
    ExpectPortLost(Finish(receiver), "rx", line.pair.link_a);
    EXPECT_EQ(ListDirectory(rx), (std::vector<std::string>{"keep.bin", "next.bin"}));
    EXPECT_EQ(ReadWholeFile(rx + "/next.bin"), next);
  }
};

// Names that only look like the ones Windows keeps for devices, and a name
// that fills all 12 bytes of its field, are stored. (Every name refused is
// tested with the other end-to-end cases.)
TEST_F(HostileTest, StoresNamesThatOnlyLookLikeDeviceNames) {
  std::string rx = MakeFolder("rx");
  Line line = StartLine("line");
  ASSERT_GE(line.fd_b, 0);

  const std::vector<std::string> stored = {"abcdefgh.txt", "CONSOLE", "COM10.txt", "nul_.txt",
                                           "LPT.txt",      "con1",    "aux-"};
  pid_t receiver = StartReceiver(line, rx, "stored");
  for (const std::string& name : stored) {
    SCOPED_TRACE(name);
    ASSERT_EQ(Announce(line, name, uint32_t(name.size() + 2)), "\xCC");
    ASSERT_TRUE(SendBlocks(line, "<" + name + ">"));
  }
  StopLine(line.pair);
  ExpectPortLost(Finish(receiver), "stored", line.pair.link_a);
  std::vector<std::string> sorted = stored;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(ListDirectory(rx), sorted);
  for (const std::string& name : stored)
    EXPECT_EQ(ReadWholeFile(rx + "/" + name), "<" + name + ">") << name;
  EXPECT_EQ(Output("stored.err").find("Refusing"), std::string::npos);
}

// A link in the receiver's folder is replaced by the received file, wherever
// it points: at a file, at nothing, or at a folder. What it points at is
// never written.
TEST_F(HostileTest, ReplacesSymbolicLinksWithoutWritingTheirTargets) {
  std::string tx = MakeFolder("tx");
  std::string rx = MakeFolder("rx");
  std::string aside = MakeFolder("aside");
  MakeFolder("aside/folder");
  ASSERT_TRUE(WriteWholeFile(aside + "/target.txt", "the target's own content"));
  const std::vector<std::pair<std::string, std::string>> links = {
      {"file.txt", aside + "/target.txt"},
      {"dangling.txt", aside + "/absent.txt"},
      {"folder.txt", aside + "/folder"},
  };
  std::vector<std::string> names;
  for (const auto& [name, target] : links) {
    ASSERT_EQ(symlink(target.c_str(), (rx + "/" + name).c_str()), 0) << name;
    ASSERT_TRUE(WriteWholeFile(tx + "/" + name, MakeContent(1500, uint32_t(names.size()))));
    names.push_back(name);
  }
  Line line = StartLine("line");
  pid_t receiver = StartReceiver(line, rx, "rx");
  ProcessEnd sent = Finish(StartSender(line, tx, names, "tx"));
  EXPECT_EQ(sent.status, 0) << Output("tx.err");
  StopLine(line.pair);
  ExpectPortLost(Finish(receiver), "rx", line.pair.link_a);

  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(ListDirectory(rx), sorted);
  for (size_t i = 0; i < names.size(); i++) {
    SCOPED_TRACE(names[i]);
    struct stat info;
    ASSERT_EQ(lstat((rx + "/" + names[i]).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(ReadWholeFile(rx + "/" + names[i]), MakeContent(1500, uint32_t(i)));
  }
  EXPECT_EQ(ListDirectory(aside), (std::vector<std::string>{"folder", "target.txt"}));
  EXPECT_EQ(ReadWholeFile(aside + "/target.txt"), "the target's own content");
  EXPECT_TRUE(ListDirectory(aside + "/folder").empty());
}

// A sender announces up to 4294967295 bytes and the line is cut after a few
// blocks: the receiver holds on disk and in memory only what arrived, and
// keeps none of it.
TEST_F(HostileTest, HugeAnnouncedSizeCostsOnlyWhatArrived) {
  const size_t kArrived = 3 * 1024;
  for (uint32_t size : {4294967295u, 2147483648u}) {
    std::string run = std::to_string(size);
    SCOPED_TRACE(run);
    std::string rx = MakeFolder("rx" + run);
    Line line = StartLine("line" + run);
    ASSERT_GE(line.fd_b, 0);
    pid_t receiver = StartReceiver(line, rx, run);
    ASSERT_EQ(Announce(line, "huge.bin", size), "\xCC");
    ASSERT_TRUE(SendBlocks(line, MakeContent(kArrived, 3)));
    ASSERT_TRUE(WriteAll(line.fd_b, MakeContent(500, 4)));  // and part of a block

    // The third block has been answered, so it has been handed to the file.
    std::string receiving = FindFileBeingReceived(receiver, rx);
    ASSERT_FALSE(receiving.empty());
    struct stat info;
    ASSERT_EQ(stat(receiving.c_str(), &info), 0);
    EXPECT_LE(info.st_size, (off_t)kArrived) << "space set aside for what never came";
    long long disk_bytes = CountDiskBytes(receiving);
    EXPECT_LE(disk_bytes, 64 * 1024);
    long long peak_kib = ReadPeakMemoryKiB(receiver);
    RecordProperty("disk_bytes_" + run, std::to_string(disk_bytes));
    RecordProperty("peak_kib_" + run, std::to_string(peak_kib));
    if (peak_kib >= 0) {
      EXPECT_LT(peak_kib, 32 * 1024) << "peak resident memory in KiB";
    }

    StopLine(line.pair);
    ExpectPortLost(Finish(receiver), run, line.pair.link_a);
    EXPECT_TRUE(ListDirectory(rx).empty());
  }
}

// The receiver may write no file longer than 3000 bytes, and velcot itself
// must keep SIGXFSZ from ending it. It stores nothing and keeps the old file
// of that name. In the classic exchange, from the write that fails on, no
// block is answered, so the sender gives the file up when its stall limit
// runs out rather than send the rest or report it sent, and sends no more;
// in the streaming exchange the receiver says so at once, and the next file
// follows.
TEST_F(HostileTest, DiskRefusingWritesIsNoSuccess) {
  struct Case {
    bool classic;
    std::string sender_errors;
    std::vector<std::string> stored;
  };
  const std::vector<Case> cases = {
      {true,
       "Gave up sending big.bin: the receiver was silent for 30 s\n",
       {"big.bin", "small.bin"}},
      {false,
       "Gave up sending big.bin: the receiver could not store it\n",
       {"big.bin", "small.bin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.classic ? "classic" : "streaming");
    std::string run = c.classic ? "classic" : "stream";
    ForceClassic(c.classic);
    std::string tx = MakeFolder(run + "-tx");
    std::string rx = MakeFolder(run + "-rx");
    std::string big = MakeContent(40 * 1024, 5);
    ASSERT_TRUE(WriteWholeFile(tx + "/big.bin", big));
    ASSERT_TRUE(WriteWholeFile(tx + "/small.bin", "small"));
    ASSERT_TRUE(WriteWholeFile(rx + "/big.bin", "old"));
    Line line = StartLine(run);
    pid_t receiver = StartReceiver(line, rx, run + "-rx", 3000);
    ProcessEnd sent = Finish(StartSender(line, tx, {"big.bin", "small.bin"}, run + "-tx"));
    EXPECT_TRUE(sent.exited);
    EXPECT_EQ(sent.status, 2);
    EXPECT_EQ(Output(run + "-tx.err"), c.sender_errors);
    if (c.classic) {
      // The third block's write goes past 3000 bytes: it is the last answered.
      std::string shown = Output(run + "-tx.out");
      EXPECT_NE(shown.find(" 3072/40960 "), std::string::npos) << shown;
      EXPECT_EQ(shown.find(" 4096/40960 "), std::string::npos) << shown;
    }
    StopLine(line.pair);
    ProcessEnd received = Finish(receiver);
    ExpectPortLost(received, run + "-rx", line.pair.link_a);

    EXPECT_EQ(
        Output(run + "-rx.err").rfind("Couldn't write big.bin: File too large\nlost port ", 0), 0u)
        << Output(run + "-rx.err");
    EXPECT_EQ(ListDirectory(rx), c.stored);
    EXPECT_EQ(ReadWholeFile(rx + "/big.bin"), "old");
  }
}

// A sender out of step: it sends its last block again after the answer
// (it took the answer for a refusal), or another block where a refused one
// was due (it took the refusal for 0xFFFF). Before any of that, block data
// full of START bytes (a receiver started mid-file) opens no exchange. The
// receiver gives each file up and keeps the old one, lets the rest of the
// exchange pass, and takes the next file.
TEST_F(HostileTest, ReceiverGivesUpOnASenderOutOfStepAndTakesTheNextFile) {
  std::string rx = MakeFolder("rx");
  ASSERT_TRUE(WriteWholeFile(rx + "/keep.bin", "old"));
  Line line = StartLine("line");
  ASSERT_GE(line.fd_b, 0);
  pid_t receiver = StartReceiver(line, rx, "rx");
  std::string starts = MakeContent(3000, 11);
  for (size_t at = 0; at < starts.size(); at += 7)
    starts[at] = '\x99';
  ASSERT_TRUE(WriteAll(line.fd_b, starts + "."));
  EXPECT_EQ(ReadWithDeadline(line.fd_b, 1, kQuietMilliseconds), "");

  std::string lost = MakeContent(2048, 12);
  const std::string first = lost.substr(0, 1024), second = lost.substr(1024);
  const std::string went_on =
      "Gave up receiving keep.bin: another block came where a refused one was due\n";
  const std::string after_last =
      "Gave up receiving keep.bin: more came after its last block; the sender was out of step\n";
  std::string expected_errors;
  for (bool refused_first : {false, true}) {
    SCOPED_TRACE(refused_first ? "went on" : "after the last block");
    ASSERT_EQ(Announce(line, "keep.bin", uint32_t(refused_first ? 3000 : lost.size())), "\xCC");
    if (refused_first) {
      ASSERT_TRUE(WriteAll(line.fd_b, first + EncodeWord(uint16_t(SumBlock(first) + 1))));
      ASSERT_EQ(ReadWithDeadline(line.fd_b, 2, kLimitMilliseconds).size(), 2u);
      ASSERT_TRUE(WriteAll(line.fd_b, Frame(second)));  // and waits in vain
      expected_errors += went_on;
    } else {
      ASSERT_TRUE(SendBlocks(line, lost));
      ASSERT_TRUE(WriteAll(line.fd_b, Frame(second)));
      expected_errors += after_last;
    }
    EXPECT_EQ(ReadWithDeadline(line.fd_b, 1, kQuietMilliseconds), "");
    EXPECT_EQ(Output("rx.err"), expected_errors);
    EXPECT_EQ(ListDirectory(rx), std::vector<std::string>{"keep.bin"});
    EXPECT_EQ(ReadWholeFile(rx + "/keep.bin"), "old");
  }

  ExpectNextFileStored(line, receiver, rx, MakeContent(2000, 13));
}

// A second velcot, sending or receiving, cannot take a port another one is
// using, and its attempt leaves the first one's exchange intact.
TEST_F(HostileTest, SecondVelcotOnAPortFailsWithoutDisturbingTheFirst) {
  std::string rx = MakeFolder("rx");
  std::string tx = MakeFolder("tx");
  ASSERT_TRUE(WriteWholeFile(tx + "/other.txt", "other"));
  Line line = StartLine("line");
  ASSERT_GE(line.fd_b, 0);
  pid_t first = StartReceiver(line, rx, "first");
  std::string content = MakeContent(3000, 7);
  ASSERT_EQ(Announce(line, "kept.bin", uint32_t(content.size())), "\xCC");
  ASSERT_TRUE(SendBlocks(line, content.substr(0, 1024)));

  ProcessEnd as_receiver = Finish(StartReceiver(line, tx, "second-rx"));
  ProcessEnd as_sender = Finish(StartVelcot(
      tx, {"-p", line.pair.link_a, "-b", "9600", "-m", "8E2", "other.txt"}, "second-tx"));
  for (const auto& [end, log] : {std::make_pair(as_receiver, std::string("second-rx")),
                                 std::make_pair(as_sender, std::string("second-tx"))}) {
    SCOPED_TRACE(log);
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.status, 1);
    std::string errors = Output(log + ".err");
    std::string last =
        " (another program has the port open)\ncould not open " + line.pair.link_a + "\n";
    EXPECT_TRUE(errors.size() > last.size() &&
                errors.compare(errors.size() - last.size(), last.size(), last) == 0)
        << errors;
    EXPECT_EQ(Output(log + ".out"), "");
  }

  // Nothing of the second reached the line: the first goes on in step.
  ASSERT_TRUE(SendBlocks(line, content.substr(1024)));
  StopLine(line.pair);
  ExpectPortLost(Finish(first), "first", line.pair.link_a);
  EXPECT_EQ(ListDirectory(rx), std::vector<std::string>{"kept.bin"});
  EXPECT_EQ(ReadWholeFile(rx + "/kept.bin"), content);
}

// A folder, a FIFO with no writer, a character device and, in the classic
// exchange, a file too large to announce are each refused before anything
// about them goes on the line; the files around them travel.
TEST_F(HostileTest, SenderRefusesWhatIsNotAFileAndSendsTheRest) {
  env_.push_back("VELCOT_CLASSIC=1");
  std::string tx = MakeFolder("tx");
  std::string rx = MakeFolder("rx");
  MakeFolder("tx/folder");
  ASSERT_EQ(mkfifo((tx + "/fifo").c_str(), 0644), 0);
  ASSERT_TRUE(WriteWholeFile(tx + "/huge.bin", ""));
  ASSERT_EQ(truncate((tx + "/huge.bin").c_str(), 4294967296LL), 0);  // sparse
  ASSERT_TRUE(WriteWholeFile(tx + "/first.txt", "first"));
  ASSERT_TRUE(WriteWholeFile(tx + "/last.txt", "last"));
  Line line = StartLine("line");
  pid_t receiver = StartReceiver(line, rx, "rx");
  ProcessEnd sent = Finish(StartSender(
      line, tx, {"folder", "first.txt", "fifo", "/dev/null", "huge.bin", "last.txt"}, "tx"));
  EXPECT_TRUE(sent.exited);
  EXPECT_EQ(sent.status, 2);
  EXPECT_EQ(Output("tx.err"),
            "Couldn't send folder: not a regular file\n"
            "Couldn't send fifo: not a regular file\n"
            "Couldn't send /dev/null: not a regular file\n"
            "Couldn't send huge.bin: larger than 4294967295 bytes\n");
  StopLine(line.pair);
  ExpectPortLost(Finish(receiver), "rx", line.pair.link_a);

  EXPECT_EQ(ListDirectory(rx), (std::vector<std::string>{"first.txt", "last.txt"}));
  EXPECT_EQ(ReadWholeFile(rx + "/first.txt"), "first");
  EXPECT_EQ(ReadWholeFile(rx + "/last.txt"), "last");
  // The receiver saw two announcements and nothing else.
  EXPECT_EQ(Output("rx.err").rfind("lost port ", 0), 0u) << Output("rx.err");
}

// ---- a peer that falls silent mid-file (each waits out the 30 s limit) ----

// The receiver gives up on the file, keeps the old one of that name, and
// answers the next START.
TEST_F(HostileTest, ReceiverGivesUpOnASilentSenderAndTakesTheNextFile) {
  std::string rx = MakeFolder("rx");
  ASSERT_TRUE(WriteWholeFile(rx + "/keep.bin", "old"));
  Line line = StartLine("line");
  ASSERT_GE(line.fd_b, 0);
  pid_t receiver = StartReceiver(line, rx, "rx");
  std::string lost = MakeContent(5000, 8);
  ASSERT_EQ(Announce(line, "keep.bin", uint32_t(lost.size())), "\xCC");
  ASSERT_TRUE(SendBlocks(line, lost.substr(0, 1024)));
  ASSERT_TRUE(WriteAll(line.fd_b, lost.substr(1024, 300)));

  ASSERT_TRUE(WaitForFileText(scratch_ + "/logs/rx.err",
                              "Gave up receiving keep.bin: the sender was silent for 30 s\n",
                              kLimitMilliseconds, receiver))
      << Output("rx.err");
  EXPECT_EQ(ListDirectory(rx), std::vector<std::string>{"keep.bin"});
  EXPECT_EQ(ReadWholeFile(rx + "/keep.bin"), "old");
  EXPECT_FALSE(HasProcessEnded(receiver));

  // It takes a START again once the line has been quiet for half a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * kQuietMilliseconds));
  ExpectNextFileStored(line, receiver, rx, MakeContent(1500, 9));
  EXPECT_EQ(ReadWholeFile(rx + "/keep.bin"), "old");
}

// The sender gives up on the file, and offers the next one: a receiver that
// answers its opening gets it.
TEST_F(HostileTest, SenderGivesUpOnASilentReceiverAndOffersTheNextFile) {
  std::string tx = MakeFolder("tx");
  ASSERT_TRUE(WriteWholeFile(tx + "/big.bin", MakeContent(5000, 10)));
  ASSERT_TRUE(WriteWholeFile(tx + "/next.txt", "next"));
  Line line = StartLine("line");
  ASSERT_GE(line.fd_a, 0);
  pid_t sender = StartSender(line, tx, {"big.bin", "next.txt"}, "tx");
  ASSERT_EQ(ReadWithDeadline(line.fd_a, 5, kLimitMilliseconds), kSenderOpening);
  ASSERT_TRUE(WriteAll(line.fd_a, "\x33"));
  ASSERT_EQ(ReadWithDeadline(line.fd_a, 16, kLimitMilliseconds),
            EncodeAnnouncement("big.bin", 5000));
  ASSERT_TRUE(WriteAll(line.fd_a, "\xCC"));
  ASSERT_EQ(ReadWithDeadline(line.fd_a, 1026, kLimitMilliseconds).size(), 1026u);
  ASSERT_TRUE(WriteAll(line.fd_a, "\xFF\xFF"));
  ASSERT_EQ(ReadWithDeadline(line.fd_a, 1026, kLimitMilliseconds).size(), 1026u);

  ASSERT_EQ(ReadWithDeadline(line.fd_a, 5, kLimitMilliseconds), kSenderOpening);
  ASSERT_TRUE(WriteAll(line.fd_a, "\x33"));
  ASSERT_EQ(ReadWithDeadline(line.fd_a, 16, kLimitMilliseconds), EncodeAnnouncement("next.txt", 4));
  ASSERT_TRUE(WriteAll(line.fd_a, "\xCC"));
  ASSERT_EQ(ReadWithDeadline(line.fd_a, 6, kLimitMilliseconds), Frame("next"));
  ASSERT_TRUE(WriteAll(line.fd_a, "\xFF\xFF"));
  ProcessEnd end = Finish(sender);
  EXPECT_TRUE(end.exited);
  EXPECT_EQ(end.status, 2);
  EXPECT_EQ(Output("tx.err"), "Gave up sending big.bin: the receiver was silent for 30 s\n");
  EXPECT_EQ(ReadWithDeadline(line.fd_a, 1, kQuietMilliseconds), "");
}

}  // namespace
