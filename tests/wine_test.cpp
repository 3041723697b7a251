// The Windows program, velcot.exe, run by Wine against the Linux velcot
// over a pair of pseudo-terminals. Wine opens COMn as whatever the link
// dosdevices/comN in its prefix points to; each test links its own N.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "process_util.h"
#include "wire_util.h"

namespace {

const int kLimitSeconds = 120;  // only stops a hung process; Wine starts slowly

// Windows' text-mode streams end lines with CR LF.
std::string DropCarriageReturnsBeforeLineFeeds(std::string text) {
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
    text.erase(at, 1);
  return text;
}

std::string EveryByteValue(int rounds) {
  std::string bytes;
  for (int round = 0; round < rounds; round++) {
    for (int value = 0; value < 256; value++)
      bytes += char(value ^ round);
  }
  return bytes;
}

// A file of that size whose blocks are never written, so it takes no room.
bool MakeSparseFile(const std::string& path, off_t size) {
  return WriteWholeFile(path, "") && truncate(path.c_str(), size) == 0;
}

class WineTest : public ProgramTest {
 protected:
  WineTest() : ProgramTest(kLimitSeconds) {}

  void SetUp() override {
    MakeScratch("velcot-wine");
    MakeFolder("logs");
  }

  void TearDown() override {
    ProgramTest::TearDown();
    for (const std::string& link : com_links_)
      unlink(link.c_str());
  }

  // Starts socat and holds both links open, so that a program closing its
  // end does not hang up the line. COMn of Wine is link A.
  bool StartLine(int com_number) {
    HeldLine line = StartHeldLine(scratch_);
    line_ = line.pair;
    fd_a_ = line.fd_a;
    fd_b_ = line.fd_b;
    return fd_a_ >= 0 && fd_b_ >= 0 && LinkComPort(com_number, line_.link_a);
  }

  bool LinkComPort(int number, const std::string& target) {
    std::string link = std::string(WINE_PREFIX) + "/dosdevices/com" + std::to_string(number);
    unlink(link.c_str());
    com_links_.push_back(link);
    bool linked = symlink(target.c_str(), link.c_str()) == 0;
    EXPECT_TRUE(linked) << link;
    return linked;
  }

  pid_t StartWindowsVelcot(const std::string& folder, const std::vector<std::string>& args,
                           const std::string& log, bool classic = false) {
    SpawnOptions options;
    options.argv = {WINE_PATH, VELCOT_EXE_PATH};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.env = {"WINEPREFIX=" WINE_PREFIX, "WINEDEBUG=-all",
                   classic ? "VELCOT_CLASSIC=1" : "VELCOT_CLASSIC"};
    return StartLogged(options, folder, log);
  }

  // What a program wrote to logs/<name>, with Windows line ends made plain.
  std::string Output(const std::string& name) {
    return DropCarriageReturnsBeforeLineFeeds(ProgramTest::Output(name));
  }

  void ExpectExit(const ProcessEnd& end, int status, const std::string& log) {
    EXPECT_TRUE(end.exited) << log;
    EXPECT_EQ(end.status, status) << log << ": " << Output(log + ".err");
  }

  // Plays a classic receiver at link B up to the answer: READY to START
  // (after the preamble that offers the streaming exchange, unless the
  // sender was forced to the classic one), then the name and size fields.
  std::string AnswerStart(bool classic = false) {
    std::string opening = classic ? "\x99" : "\x16VCT\x99";
    EXPECT_EQ(ReadWithDeadline(fd_b_, opening.size(), kLimitSeconds * 1000), opening);
    EXPECT_TRUE(WriteAll(fd_b_, "\x33"));
    return ReadWithDeadline(fd_b_, 16, kLimitSeconds * 1000);
  }

  PtyPair line_;
  int fd_a_ = -1;
  int fd_b_ = -1;

 private:
  std::vector<std::string> com_links_;
};

TEST_F(WineTest, WindowsSendsEveryByteValueAndExpandsWildcards) {
  ASSERT_TRUE(StartLine(11));
  std::string tx = MakeFolder("tx"), rx = MakeFolder("rx");
  const std::string every = EveryByteValue(9), big = MakeContent(5000, 1);
  ASSERT_TRUE(WriteWholeFile(tx + "/allbytes.bin", every));
  ASSERT_TRUE(WriteWholeFile(tx + "/big.bin", big));
  ASSERT_TRUE(WriteWholeFile(tx + "/empty.txt", ""));
  ASSERT_TRUE(WriteWholeFile(tx + "/left.out", "not matched"));

  pid_t receiver = StartVelcot(rx, {"-p", line_.link_b, "-b", "115200"}, "rx");
  // The pattern reaches velcot.exe unexpanded: no shell is in between.
  pid_t sender =
      StartWindowsVelcot(tx, {"-p", "COM11", "-b", "115200", "*.bin", "empty.txt"}, "tx");
  ExpectExit(Finish(sender), 0, "tx");
  // The empty file, the last, is in place once the receiver's watch after
  // its answer has seen the line stay quiet.
  EXPECT_TRUE(WaitForCondition([&] { return ListDirectory(rx).size() == 3; }, kLimitSeconds * 1000,
                               receiver));
  KillProcess(receiver);

  EXPECT_EQ(ListDirectory(rx), (std::vector<std::string>{"allbytes.bin", "big.bin", "empty.txt"}));
  EXPECT_EQ(ReadWholeFile(rx + "/allbytes.bin"), every);
  EXPECT_EQ(ReadWholeFile(rx + "/big.bin"), big);
  EXPECT_EQ(ReadWholeFile(rx + "/empty.txt"), "");
  // Not a console, so the code page 437 shade blocks.
  EXPECT_NE(Output("tx.out").find(std::string(30, '\xB2') + "      big.bin 5000/5000 (100.0%)\r"),
            std::string::npos)
      << Output("tx.out");
  EXPECT_EQ(Output("tx.err"), "");
}

TEST_F(WineTest, WindowsReceivesReplacesAndRefusesWhatWindowsCannotName) {
  ASSERT_TRUE(StartLine(12));
  std::string tx = MakeFolder("tx"), rx = MakeFolder("rx");
  const std::string every = EveryByteValue(5), big = MakeContent(3500, 2);
  ASSERT_TRUE(WriteWholeFile(tx + "/allbytes.bin", every));
  ASSERT_TRUE(WriteWholeFile(tx + "/empty.txt", ""));
  ASSERT_TRUE(WriteWholeFile(tx + "/big.bin", big));
  ASSERT_TRUE(WriteWholeFile(tx + "/what?.txt", "a name Windows has no file for"));
  ASSERT_TRUE(WriteWholeFile(rx + "/big.bin", "the old big.bin"));

  ASSERT_TRUE(WriteWholeFile(rx + "/a", "the old a"));

  pid_t receiver = StartWindowsVelcot(rx, {"-p", "COM12", "-b", "115200"}, "rx");
  pid_t sender = StartVelcot(
      tx, {"-p", line_.link_b, "-b", "115200", "allbytes.bin", "empty.txt", "big.bin", "what?.txt"},
      "tx");
  ExpectExit(Finish(sender), 2, "tx");
  EXPECT_NE(Output("tx.out").find("file what?.txt declined by receiver: not a plain file name\n"),
            std::string::npos)
      << Output("tx.out");
  // Names Windows would store under another: offered as an older sender
  // would, each is declined, and receive mode goes on.
  for (const std::string name : {"a.", "a ", ".velcot-12345678.part.", "..."}) {
    SCOPED_TRACE(name);
    std::string answer;  // written again until answered, as a sender does
    for (int tries = 0; tries < kLimitSeconds && answer.empty(); tries++) {
      ASSERT_TRUE(WriteAll(fd_b_, kSenderOpening));
      answer = ReadWithDeadline(fd_b_, 1, 1000);
    }
    ASSERT_EQ(answer, "\xC5");
    std::string offer = EncodeWord(0) + EncodeWord(0) + EncodeWord(0) + EncodeWord(1);
    offer += std::string(8, '\0') + EncodeWord(0) + EncodeWord(0644) + name;
    ASSERT_TRUE(WriteAll(
        fd_b_, std::string("\0VELCOT\x01\0\0\0\0", 12) + EncodeStreamFrame('F', 0, offer)));
    std::string declined = EncodeStreamFrame('N', 0, "");
    EXPECT_EQ(ReadWithDeadline(fd_b_, declined.size(), kLimitSeconds * 1000), declined);
    ASSERT_EQ(ReadWithDeadline(fd_b_, 1, 1000), "");  // the line falls quiet
  }
  EXPECT_FALSE(HasProcessEnded(receiver));
  KillProcess(receiver);

  EXPECT_EQ(ListDirectory(rx),
            (std::vector<std::string>{"a", "allbytes.bin", "big.bin", "empty.txt"}));
  EXPECT_EQ(ReadWholeFile(rx + "/a"), "the old a");
  EXPECT_EQ(ReadWholeFile(rx + "/allbytes.bin"), every);
  EXPECT_EQ(ReadWholeFile(rx + "/big.bin"), big);
  EXPECT_EQ(ReadWholeFile(rx + "/empty.txt"), "");
  EXPECT_EQ(Output("rx.err").rfind("Refusing file \"what?.txt\": not a plain file name\n"
                                   "Refusing file \"a.\": not a plain file name\n",
                                   0),
            0u)
      << Output("rx.err");
}

TEST_F(WineTest, WindowsAnnouncesSizesAbove2GiBAndSkipsFilesAbove4GiB) {
  ASSERT_TRUE(StartLine(13));
  std::string tx = MakeFolder("tx");
  ASSERT_TRUE(MakeSparseFile(tx + "/huge.bin", 3000000000));
  ASSERT_TRUE(MakeSparseFile(tx + "/over.bin", 4294967296));

  pid_t sender = StartWindowsVelcot(tx, {"-p", "COM13", "over.bin", "huge.bin"}, "tx", true);
  // This end plays the receiver up to the size field, then declines.
  std::string announced = AnswerStart(true);
  ASSERT_TRUE(WriteAll(fd_b_, "\x55"));
  ExpectExit(Finish(sender), 2, "tx");

  EXPECT_EQ(announced, std::string("huge.bin\0\0\0\0\xB2\xD0\x5E\x00", 16));
  EXPECT_EQ(Output("tx.err"), "Couldn't send over.bin: larger than 4294967295 bytes\n");
  EXPECT_EQ(Output("tx.out"), "file huge.bin declined by receiver\n");
}

// The wait for a byte with a limit: a read that the driver ends when a byte
// arrives or the limit has passed.
TEST_F(WineTest, WindowsSenderGivesUpOnASilentReceiver) {
  ASSERT_TRUE(StartLine(14));
  std::string tx = MakeFolder("tx");
  ASSERT_TRUE(WriteWholeFile(tx + "/big.bin", MakeContent(3000, 3)));
  pid_t sender = StartWindowsVelcot(tx, {"-p", "COM14", "big.bin"}, "tx");
  EXPECT_EQ(AnswerStart().size(), 16u);
  ASSERT_TRUE(WriteAll(fd_b_, "\xCC"));
  EXPECT_EQ(ReadWithDeadline(fd_b_, 1026, kLimitSeconds * 1000).size(), 1026u);
  // No reply: silence from here on.
  ExpectExit(Finish(sender), 2, "tx");
  EXPECT_EQ(Output("tx.err"), "Gave up sending big.bin: the receiver was silent for 30 s\n");
}

// At 50 baud the limit is 822 s, far beyond this test's: each reply must end
// the wait the moment it arrives, and reach the sender whole.
TEST_F(WineTest, WindowsSenderTakesEachReplyAsItArrives) {
  ASSERT_TRUE(StartLine(15));
  std::string tx = MakeFolder("tx");
  const std::string content = MakeContent(2500, 4);
  ASSERT_TRUE(WriteWholeFile(tx + "/three.bin", content));
  pid_t sender = StartWindowsVelcot(tx, {"-p", "COM15", "-b", "50", "three.bin"}, "tx");
  EXPECT_EQ(AnswerStart().substr(0, 10), std::string("three.bin\0", 10));
  ASSERT_TRUE(WriteAll(fd_b_, "\xCC"));
  for (size_t at = 0; at < content.size(); at += 1024) {
    size_t length = std::min<size_t>(1024, content.size() - at);
    std::string block = ReadWithDeadline(fd_b_, length + 2, kLimitSeconds * 1000);
    EXPECT_EQ(block.substr(0, length), content.substr(at, length));
    usleep(200 * 1000);  // the sender is waiting by now
    ASSERT_TRUE(WriteAll(fd_b_, "\xFF\xFF"));
  }
  ExpectExit(Finish(sender), 0, "tx");
  EXPECT_EQ(Output("tx.err"), "");
}

// Ctrl+C while the Windows receiver waits mid-file for a block that does
// not come: the wait ends within a slice and the run unwinds. No temporary
// file is left, the progress line is ended, the port gets back the settings
// it had (its speed here), and the status tells the interrupt.
TEST_F(WineTest, WindowsReceiverInterruptedOnAQuietLineLeavesNothingBehind) {
  ASSERT_TRUE(StartLine(16));
  ASSERT_TRUE(SetLinkSpeed(line_.link_a, B2400));
  std::string rx = MakeFolder("rx");
  pid_t receiver = StartWindowsVelcot(rx, {"-p", "COM16", "-b", "115200"}, "rx");
  std::string answer;
  for (int tries = 0; answer.empty() && tries < kLimitSeconds / 2; tries++) {
    ASSERT_TRUE(WriteAll(fd_b_, "\x99"));  // until velcot.exe has its port open
    answer = ReadWithDeadline(fd_b_, 1, 2000);
  }
  ASSERT_EQ(answer, "\x33");
  const std::string block = MakeContent(1024, 5);
  ASSERT_TRUE(WriteAll(fd_b_, EncodeAnnouncement("keep.bin", 3000)));
  ASSERT_EQ(ReadWithDeadline(fd_b_, 1, kLimitSeconds * 1000), "\xCC");
  ASSERT_TRUE(WriteAll(fd_b_, Frame(block)));
  ASSERT_EQ(ReadWithDeadline(fd_b_, 2, kLimitSeconds * 1000), "\xFF\xFF");
  SendSignal(receiver, SIGINT);  // Wine makes it a console Ctrl+C event
  ExpectExit(Finish(receiver), 130, "rx");
  EXPECT_TRUE(ListDirectory(rx).empty());
  std::string shown = Output("rx.out");
  EXPECT_EQ(shown.empty() ? ' ' : shown.back(), '\n');
  EXPECT_EQ(ReadLinkSpeed(line_.link_a), speed_t(B2400));
}

TEST_F(WineTest, WindowsRefusesBadModesAndSaysWhyAPortWillNotOpen) {
  ASSERT_TRUE(StartLine(3));
  std::string here = MakeFolder("run");
  ExpectExit(Finish(StartWindowsVelcot(here, {"-p", "COM3", "-m", "8X1", "a.txt"}, "mode")), 1,
             "mode");
  EXPECT_EQ(Output("mode.err"),
            "-m 8X1: parity is N, O or E, not \"X\"\ncouldn't configure port\n");
  // Flow control goes into the DCB, which Wine sets on the terminal; the
  // settings the port had come back at the end.
  pid_t held = StartWindowsVelcot(here, {"-p", "COM3", "--flow", "rtscts", "--dtr", "on"}, "flow");
  auto crtscts = [&] {
    termios settings;
    return tcgetattr(fd_a_, &settings) == 0 && (settings.c_cflag & CRTSCTS) != 0;
  };
  EXPECT_TRUE(WaitForCondition(crtscts, kLimitSeconds * 1000, held)) << Output("flow.err");
  SendSignal(held, SIGINT);
  ExpectExit(Finish(held), 130, "flow");
  EXPECT_FALSE(crtscts());

  // The system's reason comes first, with a hint for the usual two. Wine
  // refuses a port that is a directory as Windows refuses one in use.
  ASSERT_FALSE(PathExists(std::string(WINE_PREFIX) + "/dosdevices/com99"));
  ASSERT_TRUE(LinkComPort(4, MakeFolder("not-a-port")));
  const struct {
    const char* port;
    const char* reason;
  } kRefusals[] = {
      {"COM99", "2 (no such port)"},
      {"COM4", "5 (access denied: usually another program has the port open)"},
  };
  for (const auto& refusal : kRefusals) {
    ExpectExit(Finish(StartWindowsVelcot(here, {"-p", refusal.port}, "port")), 1, "port");
    EXPECT_EQ(Output("port.err"), std::string("CreateFile() failed with ") + refusal.reason +
                                      "\ncould not open " + refusal.port + "\n");
  }
  EXPECT_EQ(ReadWithDeadline(fd_b_, 1, 0), "");  // nothing went on the line
}

// The streaming exchange both ways: whole names, UTF-8 on the wire and
// Unicode on Windows, and the sender's modification time.
TEST_F(WineTest, WindowsStreamsWholeNamesAndTimesBothWays) {
  ASSERT_TRUE(StartLine(16));
  std::string tx = MakeFolder("tx"), rx = MakeFolder("rx"), back = MakeFolder("back");
  const std::string kName =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x80\x93 \xCE\xB1\xCE\xB2\xCE\xB3.txt";
  const std::string content = MakeContent(30000, 5), reply = MakeContent(7000, 6);
  ASSERT_TRUE(WriteWholeFile(tx + "/" + kName, content));
  const struct timespec kWritten[2] = {{0, UTIME_OMIT}, {1234567890, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (tx + "/" + kName).c_str(), kWritten, 0), 0);
  ASSERT_TRUE(WriteWholeFile(rx + "/a-long-report-name.csv", reply));
  // A tree goes there and back with its names, its empty folder and times.
  MakeFolder("tx/tree");
  MakeFolder("tx/tree/empty");
  MakeFolder("tx/tree/sub");
  ASSERT_TRUE(WriteWholeFile(tx + "/tree/sub/" + kName, reply));
  const std::vector<std::string> tree = {"/tree/sub/" + kName, "/tree/sub", "/tree/empty", "/tree"};
  for (const std::string& path : tree)
    ASSERT_EQ(utimensat(AT_FDCWD, (tx + path).c_str(), kWritten, 0), 0);

  pid_t receiver = StartWindowsVelcot(rx, {"-p", "COM16", "-b", "115200"}, "rx");
  ExpectExit(Finish(StartVelcot(tx, {"-p", line_.link_b, "-b", "115200", kName, "tree"}, "tx")), 0,
             "tx");
  KillProcess(receiver);
  EXPECT_EQ(ReadWholeFile(rx + "/" + kName), content);
  struct stat info;
  ASSERT_EQ(stat((rx + "/" + kName).c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1234567890);

  pid_t linux_receiver = StartVelcot(back, {"-p", line_.link_b, "-b", "115200"}, "back");
  ExpectExit(Finish(StartWindowsVelcot(
                 rx, {"-p", "COM16", "-b", "115200", "a-long-report-name.csv", "tree"}, "tx-win")),
             0, "tx-win");
  KillProcess(linux_receiver);
  EXPECT_EQ(ListDirectory(back), (std::vector<std::string>{"a-long-report-name.csv", "tree"}));
  EXPECT_EQ(ReadWholeFile(back + "/a-long-report-name.csv"), reply);
  EXPECT_EQ(ListDirectory(back + "/tree"), (std::vector<std::string>{"empty", "sub"}));
  EXPECT_EQ(ReadWholeFile(back + "/tree/sub/" + kName), reply);
  for (const std::string& path : tree) {
    ASSERT_EQ(stat((back + path).c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mtime, 1234567890) << path;
  }
}

// velcot.exe receiving a file that the cable cuts off has it in its kept
// part, and goes on from there when the file is sent again; the part is
// gone after.
TEST_F(WineTest, WindowsReceiverGoesOnFromTheKeptPartAfterACut) {
  std::string tx = MakeFolder("tx"), rx = MakeFolder("rx");
  const std::string content = MakeContent(40000, 7);
  ASSERT_TRUE(WriteWholeFile(tx + "/big.bin", content));
  uint64_t kept = 0;
  for (const char* run : {"cut", "again"}) {
    SCOPED_TRACE(run);
    std::vector<std::string> options = {"-b", "115200"};
    if (kept == 0) options.insert(options.end(), {"--cut-after", "20000"});
    NullModem cable = StartNullModem(NULLMODEM_PATH, options, MakeFolder(run), kLimitSeconds);
    ASSERT_GT(cable.pid, 0) << ReadWholeFile(cable.log);
    children_.push_back(cable.pid);
    ASSERT_TRUE(LinkComPort(17, cable.link_a));
    pid_t receiver =
        StartWindowsVelcot(rx, {"-p", "COM17", "-b", "115200"}, std::string(run) + "-rx");
    ProcessEnd sent = Finish(
        StartVelcot(tx, {"-p", cable.link_b, "-b", "115200", "big.bin"}, std::string(run) + "-tx"));
    SendSignal(cable.pid, SIGTERM);
    Finish(cable.pid);
    KillProcess(receiver);  // Wine does not pass a pty's hang-up on: the part is as written
    std::vector<std::string> parts = ListKeptParts(rx);
    if (kept == 0) {
      ASSERT_EQ(parts.size(), 1u);
      kept = std::filesystem::file_size(rx + "/" + parts[0]);
      EXPECT_GE(kept, 4096u);
      continue;
    }
    ExpectExit(sent, 0, std::string(run) + "-tx");
    EXPECT_EQ(ReadWholeFile(rx + "/big.bin"), content);
    EXPECT_TRUE(parts.empty());
    EXPECT_EQ(FindDrawnCount(Output(std::string(run) + "-tx.out"), "big.bin", false),
              std::to_string(kept));
  }
}

// velcot.exe on network ports, through ser2net on the host: it receives
// over RFC 2217, which gives the device its speed, and sends over RFC 2217
// and raw TCP; every byte value, 0xFF (Telnet's IAC) among them, arrives.
TEST_F(WineTest, WindowsReachesALineThroughANetworkSerialServer) {
  ASSERT_TRUE(StartLine(17));
  Ser2net ser2net = StartSer2net(line_.link_a);
  ASSERT_GT(ser2net.pid, 0);
  std::string tx = MakeFolder("tx"), rx = MakeFolder("rx"), back = MakeFolder("back");
  const std::string content = EveryByteValue(100);
  ASSERT_TRUE(WriteWholeFile(tx + "/every.bin", content));

  pid_t receiver = StartWindowsVelcot(rx, {"-p", ser2net.rfc2217, "-b", "57600"}, "rx");
  ASSERT_TRUE(WaitForCondition([&] { return ReadLinkSpeed(line_.link_a) == B57600; },
                               kLimitSeconds * 1000, receiver))
      << Output("rx.err");
  ExpectExit(Finish(StartVelcot(tx, {"-p", line_.link_b, "-b", "57600", "every.bin"}, "tx")), 0,
             "tx");
  KillProcess(receiver);
  EXPECT_TRUE(ReadWholeFile(rx + "/every.bin") == content);

  for (const std::string& port : {ser2net.rfc2217, ser2net.raw}) {
    SCOPED_TRACE(port);
    std::remove((back + "/every.bin").c_str());
    pid_t linux_receiver = StartVelcot(back, {"-p", line_.link_b, "-b", "115200"}, "back");
    ASSERT_TRUE(WaitForReader(linux_receiver, kLimitSeconds * 1000));
    ASSERT_TRUE(AwaitDeviceFree(ser2net, line_.link_a));
    ExpectExit(Finish(StartWindowsVelcot(tx, {"-p", port, "-b", "115200", "every.bin"}, "tx-win")),
               0, "tx-win");
    KillProcess(linux_receiver);
    EXPECT_TRUE(ReadWholeFile(back + "/every.bin") == content);
  }
}

// velcot.exe speaks Kermit with C-Kermit both ways: long packets and
// sliding windows, every byte value, names and times.
TEST_F(WineTest, WindowsTradesFilesWithCKermit) {
  ASSERT_TRUE(StartLine(18));
  std::string tx = MakeFolder("tx"), rx = MakeFolder("rx"), back = MakeFolder("back");
  const std::string every = EveryByteValue(40), text = "a line\n";
  ASSERT_TRUE(WriteWholeFile(tx + "/every.bin", every));
  ASSERT_TRUE(WriteWholeFile(tx + "/notes.txt", text));
  const std::string kFast = "set window 31\nset receive packet-length 9024\nset block-check 3\n";

  pid_t receiver =
      StartWindowsVelcot(rx, {"-p", "COM18", "-b", "115200", "--protocol", "kermit"}, "rx");
  ASSERT_TRUE(WaitForCondition([&] { return HoldsFile(receiver, line_.link_a); },
                               kLimitSeconds * 1000, receiver));
  ExpectExit(Finish(StartKermit(tx, line_.link_b, kFast + "msend every.bin notes.txt", "send")), 0,
             "send");
  ExpectExit(Finish(receiver), 0, "rx");
  EXPECT_TRUE(ReadWholeFile(rx + "/every.bin") == every);
  EXPECT_EQ(ReadWholeFile(rx + "/notes.txt"), text);

  pid_t kermit = StartKermit(back, line_.link_b, kFast + "receive", "receive");
  ExpectExit(
      Finish(StartWindowsVelcot(
          rx, {"-p", "COM18", "-b", "115200", "--protocol", "kermit", "every.bin", "notes.txt"},
          "tx")),
      0, "tx");
  ExpectExit(Finish(kermit), 0, "receive");
  EXPECT_TRUE(ReadWholeFile(back + "/every.bin") == every);
  EXPECT_EQ(ReadWholeFile(back + "/notes.txt"), text);
}

// velcot.exe speaks YMODEM and ZMODEM with lrzsz both ways (through socat:
// lrzsz flushes the line as it exits, which on a pty drops its last
// answer).
TEST_F(WineTest, WindowsTradesFilesWithLrzsz) {
  ASSERT_TRUE(StartLine(18));
  std::string tx = MakeFolder("tx");
  const std::string every = EveryByteValue(40), text = "a line\n";
  ASSERT_TRUE(WriteWholeFile(tx + "/every.bin", every));
  ASSERT_TRUE(WriteWholeFile(tx + "/notes.txt", text));
  auto start_lrzsz = [&](const std::string& folder, const std::string& command) {
    SpawnOptions options;
    options.argv = {"socat", "FILE:" + line_.link_b + ",raw,echo=0",
                    "SYSTEM:" + command + "; sleep 0.3"};
    return StartLogged(options, folder, "lrzsz");
  };
  const struct {
    const char* protocol;
    const char* receiver;
    const char* sender;
  } kRows[] = {{"ymodem", "rb", "sb every.bin notes.txt"},
               {"zmodem", "rz", "sz every.bin notes.txt"}};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.protocol);
    std::string rx = MakeFolder(std::string("rx-") + row.protocol);
    std::string back = MakeFolder(std::string("back-") + row.protocol);
    const std::vector<std::string> kArgs = {"-p",     "COM18",      "-b",
                                            "115200", "--protocol", row.protocol};
    std::vector<std::string> args = kArgs;
    args.insert(args.end(), {"every.bin", "notes.txt"});
    pid_t sender = StartWindowsVelcot(tx, args, "tx");
    ASSERT_TRUE(WaitForCondition([&] { return HoldsFile(sender, line_.link_a); },
                                 kLimitSeconds * 1000, sender));
    pid_t peer = start_lrzsz(back, row.receiver);
    ExpectExit(Finish(sender), 0, "tx");
    Finish(peer);
    EXPECT_TRUE(ReadWholeFile(back + "/every.bin") == every);
    EXPECT_EQ(ReadWholeFile(back + "/notes.txt"), text);

    pid_t receiver = StartWindowsVelcot(rx, kArgs, "rx");
    ASSERT_TRUE(WaitForCondition([&] { return HoldsFile(receiver, line_.link_a); },
                                 kLimitSeconds * 1000, receiver));
    Finish(start_lrzsz(tx, row.sender));
    ExpectExit(Finish(receiver), 0, "rx");
    EXPECT_TRUE(ReadWholeFile(rx + "/every.bin") == every);
    EXPECT_EQ(ReadWholeFile(rx + "/notes.txt"), text);
  }
}

}  // namespace
