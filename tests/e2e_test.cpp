// Two real velcot processes, or one velcot and a scripted peer, over a pair
// of pseudo-terminals linked by socat.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "process_util.h"
#include "wire_util.h"

using namespace std::string_literals;

namespace {

const int kLimitSeconds = 60;  // only stops a hung process
const int kLimitMilliseconds = kLimitSeconds * 1000;

// One drawing of a progress line: dark cells of 30, the name right-aligned
// in 12 columns, the counts and the percentage.
std::string DrawProgress(int dark, const std::string& name, const std::string& counts,
                         const std::string& percent, bool utf8) {
  std::string line;
  for (int i = 0; i < 30; i++) {
    if (utf8) {
      line += i < dark ? "\xE2\x96\x93" : "\xE2\x96\x91";
    } else {
      line += i < dark ? '\xB2' : '\xB0';
    }
  }
  line += ' ' + std::string(name.size() < 12 ? 12 - name.size() : 0, ' ') + name;
  return line + ' ' + counts + " (" + percent + ")\r";
}

// The last drawing of a file's progress line, ended by its line feed.
std::string DrawCompleteProgress(const std::string& name, size_t size, bool utf8) {
  std::string counts = std::to_string(size) + "/" + std::to_string(size);
  return DrawProgress(30, name, counts, "100.0%", utf8) + "\n";
}

class EndToEndTest : public ProgramTest {
 protected:
  EndToEndTest() : ProgramTest(kLimitSeconds) {}

  void SetUp() override {
    MakeScratch("velcot-e2e");
    MakeFolder("logs");
  }

  // Starts socat and opens both links; they stay open until TearDown, so a
  // velcot closing its end does not hang up the line.
  bool StartLine() {
    HeldLine line = StartHeldLine(scratch_);
    line_ = line.pair;
    fd_a_ = line.fd_a;
    fd_b_ = line.fd_b;
    return fd_a_ >= 0 && fd_b_ >= 0;
  }

  pid_t StartReceiver(const std::string& folder, const std::string& log = "rx",
                      const SpawnOptions& options = {}) {
    return StartVelcot(folder, {"-p", line_.link_a, "-b", "115200"}, log, options);
  }

  pid_t StartSender(const std::string& folder, const std::vector<std::string>& files,
                    const std::string& log = "tx") {
    std::vector<std::string> args = {"-p", line_.link_b, "-b", "115200"};
    args.insert(args.end(), files.begin(), files.end());
    return StartVelcot(folder, args, log);
  }

  // One exchange's run of a test: the classic exchange forced or not, and
  // the folders RUN-tx and RUN-rx. Returns RUN.
  std::string BeginRun(bool classic, std::string* tx, std::string* rx) {
    std::string run = classic ? "classic" : "streaming";
    ForceClassic(classic);
    *tx = MakeFolder(run + "-tx");
    *rx = MakeFolder(run + "-rx");
    return run;
  }

  void SendFilesOfEveryBlockShape(const std::string& run, const std::string& tx,
                                  const std::string& rx, bool classic);

  PtyPair line_;
  int fd_a_ = -1;
  int fd_b_ = -1;
};

const bool kProtocols[] = {true, false};  // classic, streaming

// Both exchanges; the classic one draws a line after every block.
TEST_F(EndToEndTest, SendsFilesOfEveryBlockShapeIntact) {
  for (bool classic : kProtocols) {
    std::string tx, rx, run = BeginRun(classic, &tx, &rx);
    SCOPED_TRACE(run);
    SendFilesOfEveryBlockShape(run, tx, rx, classic);
  }
}

void EndToEndTest::SendFilesOfEveryBlockShape(const std::string& run, const std::string& tx,
                                              const std::string& rx, bool classic) {
  std::string every_byte;
  for (int i = 0; i < 256; i++)
    every_byte += char(i);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty.bin", ""},
      {"one.bin", MakeContent(1, 1)},
      {"k1024.bin", MakeContent(1024, 2)},
      {"k1025.bin", MakeContent(1025, 3)},
      {"big.bin", MakeContent(2500, 4)},
      {"bytes.bin", every_byte},
  };
  std::vector<std::string> names;
  for (const auto& [name, content] : files) {
    ASSERT_TRUE(WriteWholeFile(tx + "/" + name, content));
    names.push_back(name);
  }
  ASSERT_TRUE(StartLine());
  pid_t receiver = StartReceiver(rx, run + "-rx");
  ProcessEnd sent = Finish(StartSender(tx, names, run + "-tx"));
  EXPECT_TRUE(sent.exited);
  EXPECT_EQ(sent.status, 0);
  EXPECT_EQ(Output(run + "-tx.err"), "");
  StopLine(line_);
  ExpectPortLost(Finish(receiver), run + "-rx", line_.link_a, true);

  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(ListDirectory(rx), sorted);
  std::string sender_out = Output(run + "-tx.out");
  std::string receiver_out = Output(run + "-rx.out");
  for (const auto& [name, content] : files) {
    SCOPED_TRACE(name);
    bool ok = false;
    EXPECT_EQ(ReadWholeFile(rx + "/" + name, &ok), content);
    EXPECT_TRUE(ok);
    std::string complete = DrawCompleteProgress(name, content.size(), false);
    EXPECT_NE(sender_out.find(complete), std::string::npos);
    EXPECT_NE(receiver_out.find(complete), std::string::npos);
  }
  if (!classic) return;
  // 1024 of 2500 bytes fill 12 of the 30 cells.
  std::string partial = DrawProgress(12, "big.bin", "1024/2500", "41.0%", false);
  EXPECT_NE(sender_out.find(partial), std::string::npos);
  EXPECT_NE(receiver_out.find(partial), std::string::npos);
}

// The new content replaces the old file. In the classic exchange it keeps
// the old file's permissions rather than those a new file would get; in
// the streaming one it takes the sender's permission bits, less the
// receiver's umask, and the sender's modification time.
TEST_F(EndToEndTest, ReplacesExistingFileKeepingItsPermissionsOrTakingTheSenders) {
  for (bool classic : kProtocols) {
    std::string tx, rx, run = BeginRun(classic, &tx, &rx);
    SCOPED_TRACE(run);
    std::string content = MakeContent(1500, 5);
    ASSERT_TRUE(WriteWholeFile(tx + "/same.txt", content));
    ASSERT_EQ(chmod((tx + "/same.txt").c_str(), 0755), 0);
    const struct timespec kWritten[2] = {{0, UTIME_OMIT}, {1234567890, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (tx + "/same.txt").c_str(), kWritten, 0), 0);
    ASSERT_TRUE(WriteWholeFile(rx + "/same.txt", MakeContent(4000, 6)));
    ASSERT_EQ(chmod((rx + "/same.txt").c_str(), 0600), 0);
    ASSERT_TRUE(StartLine());
    // The console's character set comes from LANG when nothing overrides it.
    env_ = {"LC_ALL", "LC_CTYPE", "LANG=C.UTF-8", classic ? "VELCOT_CLASSIC=1" : "VELCOT_CLASSIC"};
    SpawnOptions masked;
    masked.umask_value = 027;
    pid_t receiver = StartReceiver(rx, run + "-rx", masked);
    ProcessEnd sent = Finish(StartSender(tx, {"same.txt"}, run + "-tx"));
    EXPECT_EQ(sent.status, 0);
    StopLine(line_);
    ExpectPortLost(Finish(receiver), run + "-rx", line_.link_a, true);

    EXPECT_EQ(ListDirectory(rx), std::vector<std::string>{"same.txt"});
    EXPECT_EQ(ReadWholeFile(rx + "/same.txt"), content);
    struct stat info;
    ASSERT_EQ(stat((rx + "/same.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, classic ? 0600u : 0750u);
    EXPECT_EQ(info.st_mtime == 1234567890, !classic);
    std::string complete = DrawCompleteProgress("same.txt", content.size(), true);
    EXPECT_NE(Output(run + "-rx.out").find(complete), std::string::npos) << Output(run + "-rx.out");
    EXPECT_NE(Output(run + "-tx.out").find(complete), std::string::npos);
  }
}

// --existing keep declines a file whose name is taken, and the run goes on
// (in the classic exchange too); --existing rename stores it as name.1,
// then name.2.
TEST_F(EndToEndTest, KeepsOrRenamesExistingFileAsAsked) {
  for (bool classic : kProtocols) {
    std::string tx, rx, exchange = BeginRun(classic, &tx, &rx);
    ASSERT_TRUE(WriteWholeFile(tx + "/same.txt", "new") && WriteWholeFile(tx + "/new.txt", "n"));
    for (std::string existing : {"keep", "rename"}) {
      std::string run = exchange + "-" + existing;
      SCOPED_TRACE(run);
      rx = MakeFolder(run);
      ASSERT_TRUE(WriteWholeFile(rx + "/same.txt", "old"));
      ASSERT_TRUE(StartLine());
      pid_t receiver = StartVelcot(rx, {"-p", line_.link_a, "-b", "115200", "--existing", existing},
                                   run + "-rx");
      ProcessEnd sent = Finish(StartSender(tx, {"same.txt", "new.txt", "same.txt"}, run + "-tx"));
      StopLine(line_);
      Finish(receiver);
      EXPECT_EQ(ReadWholeFile(rx + "/same.txt"), "old");
      EXPECT_EQ(ReadWholeFile(rx + "/new.txt"), "n");
      if (existing == "keep") {
        EXPECT_EQ(sent.status, 2);
        std::string why = classic ? "\n" : ": a file of that name exists\n";
        EXPECT_NE(Output(run + "-tx.out").find("file same.txt declined by receiver" + why),
                  std::string::npos);
        EXPECT_EQ(ListDirectory(rx), (std::vector<std::string>{"new.txt", "same.txt"}));
      } else {
        EXPECT_EQ(sent.status, 0) << Output(run + "-tx.err");
        EXPECT_EQ(ReadWholeFile(rx + "/same.txt.1"), "new");
        EXPECT_EQ(ReadWholeFile(rx + "/same.txt.2"), "new");
        std::string note = "same.txt stored as same.txt.2: a file of that name exists\n";
        EXPECT_NE(Output(run + "-rx.out").find(note), std::string::npos);
      }
    }
  }
}

// A scripted sender stops halfway: the old file stays until a file is
// complete, and the partial one is dropped when the line goes away.
TEST_F(EndToEndTest, KeepsOldFileUntilTransferCompletes) {
  std::string rx = MakeFolder("rx");
  ASSERT_TRUE(WriteWholeFile(rx + "/keep.txt", "old content"));
  ASSERT_TRUE(StartLine());
  pid_t receiver = StartReceiver(rx);
  ASSERT_TRUE(WriteAll(fd_b_, "\x99"));
  ASSERT_EQ(ReadWithDeadline(fd_b_, 1, kLimitMilliseconds), "\x33");
  ASSERT_TRUE(WriteAll(fd_b_, EncodeAnnouncement("keep.txt", 2048)));
  ASSERT_EQ(ReadWithDeadline(fd_b_, 1, kLimitMilliseconds), "\xCC");

  std::string block = MakeContent(1024, 7);
  ASSERT_TRUE(WriteAll(fd_b_, block + EncodeWord(uint16_t(SumBlock(block) + 1))));
  std::string reply = ReadWithDeadline(fd_b_, 2, kLimitMilliseconds);
  ASSERT_EQ(reply.size(), 2u);
  EXPECT_NE(reply, "\xFF\xFF") << "a damaged block was accepted";
  ASSERT_TRUE(WriteAll(fd_b_, Frame(block)));
  ASSERT_EQ(ReadWithDeadline(fd_b_, 2, kLimitMilliseconds), "\xFF\xFF");

  // Beside the old file, at most a temporary one (none where the file
  // being received is anonymous).
  std::vector<std::string> during = ListDirectory(rx);
  EXPECT_EQ(during.back(), "keep.txt");
  for (size_t i = 0; i + 1 < during.size(); i++)
    EXPECT_EQ(during[i].rfind(".velcot-", 0), 0u) << during[i];
  EXPECT_EQ(ReadWholeFile(rx + "/keep.txt"), "old content");

  StopLine(line_);
  ExpectPortLost(Finish(receiver), "rx", line_.link_a, true);
  EXPECT_EQ(ListDirectory(rx), std::vector<std::string>{"keep.txt"});
  EXPECT_EQ(ReadWholeFile(rx + "/keep.txt"), "old content");
  EXPECT_NE(Output("rx.out").find(" 0/2048 (ERROR)\r"), std::string::npos);
  EXPECT_NE(Output("rx.out").find(" 1024/2048 (50.0%)\r"), std::string::npos);
}

// A scripted receiver checks what the sender puts on the line and refuses
// each block once, which must come again unchanged.
TEST_F(EndToEndTest, SenderFollowsWireFormatAndResendsRefusedBlocks) {
  std::string tx = MakeFolder("tx");
  std::string content = MakeContent(1027, 10);
  ASSERT_TRUE(WriteWholeFile(tx + "/wire.bin", content));
  ASSERT_TRUE(StartLine());
  pid_t sender = StartSender(tx, {"wire.bin"});
  // A classic receiver drops the preamble and answers READY: from there on
  // the exchange is the classic one, byte for byte.
  ASSERT_EQ(ReadWithDeadline(fd_a_, 5, kLimitMilliseconds), kSenderOpening);
  ASSERT_TRUE(WriteAll(fd_a_, "\x33"));
  ASSERT_EQ(ReadWithDeadline(fd_a_, 16, kLimitMilliseconds), EncodeAnnouncement("wire.bin", 1027));
  ASSERT_TRUE(WriteAll(fd_a_, "\xCC"));
  // The last block is odd: its last byte counts as a high byte.
  for (const std::string& block : {content.substr(0, 1024), content.substr(1024)}) {
    std::string framed = Frame(block);
    ASSERT_EQ(ReadWithDeadline(fd_a_, framed.size(), kLimitMilliseconds), framed);
    ASSERT_TRUE(WriteAll(fd_a_, "\x12\x34"));
    ASSERT_EQ(ReadWithDeadline(fd_a_, framed.size(), kLimitMilliseconds), framed);
    ASSERT_TRUE(WriteAll(fd_a_, "\xFF\xFF"));
  }
  ProcessEnd sent = Finish(sender);
  EXPECT_TRUE(sent.exited);
  EXPECT_EQ(sent.status, 0);
  std::string out = Output("tx.out");
  EXPECT_NE(out.find(DrawProgress(0, "wire.bin", "0/1027", "ERROR", false)), std::string::npos);
  EXPECT_NE(out.find(DrawProgress(29, "wire.bin", "1024/1027", "ERROR", false)), std::string::npos);
  EXPECT_NE(out.find(DrawCompleteProgress("wire.bin", 1027, false)), std::string::npos);
}

// A file the receiver cannot create is declined. A classic receiver leaves
// receive mode, and the sender, answered no more, gives the rest up; in the
// streaming exchange the receiver stays and the rest arrive.
TEST_F(EndToEndTest, DeclinedFileEndsClassicReceiveModeOnly) {
  for (bool classic : kProtocols) {
    std::string tx, rx, run = BeginRun(classic, &tx, &rx);
    SCOPED_TRACE(run);
    for (const char* name : {"first.txt", "decl.txt", "later.txt"})
      ASSERT_TRUE(WriteWholeFile(tx + "/" + name, std::string("content of ") + name));
    MakeFolder(run + "-rx/decl.txt");
    ASSERT_TRUE(StartLine());
    pid_t receiver = StartReceiver(rx, run + "-rx");
    ProcessEnd sent = Finish(StartSender(tx, {"first.txt", "decl.txt", "later.txt"}, run + "-tx"));
    EXPECT_TRUE(sent.exited);
    EXPECT_EQ(sent.status, 2);
    // A velcot receiver's reason reaches a velcot sender.
    std::string declined = classic ? "\n" : ": Is a directory\n";
    EXPECT_NE(Output(run + "-tx.out").find("file decl.txt declined by receiver" + declined),
              std::string::npos);
    EXPECT_EQ(Output(run + "-tx.err"), classic ? "file later.txt not sent\n" : "");
    StopLine(line_);
    ProcessEnd received = Finish(receiver);
    EXPECT_TRUE(received.exited);
    EXPECT_EQ(received.status, 2);
    EXPECT_EQ(
        Output(run + "-rx.err").rfind("Couldn't open decl.txt for writing: Is a directory\n", 0),
        0u);
    std::vector<std::string> stored = {"decl.txt", "first.txt"};
    if (!classic) stored.push_back("later.txt");
    EXPECT_EQ(ListDirectory(rx), stored);
    EXPECT_TRUE(ListDirectory(rx + "/decl.txt").empty());
    EXPECT_EQ(ReadWholeFile(rx + "/first.txt"), "content of first.txt");
  }
}

// Files that cannot be sent are skipped with nothing on the line; the others
// arrive under their base names: cut to 8.3 in the classic exchange, whole
// (UTF-8, up to 255 bytes) in the streaming one.
TEST_F(EndToEndTest, SkipsUnsendableFilesAndStoresBaseNames) {
  const std::string kLong = std::string(240, 'n') + "-\xC3\xA9t\xC3\xA9.txt";  // 251 bytes
  for (bool classic : kProtocols) {
    std::string tx, rx, run = BeginRun(classic, &tx, &rx);
    SCOPED_TRACE(run);
    MakeFolder(run + "-tx/sub");
    MakeFolder(run + "-tx/sub/dir");
    std::string report = MakeContent(3000, 8);
    std::string long_named = MakeContent(77, 9);
    std::string utf8_named = MakeContent(1, 10);
    ASSERT_TRUE(WriteWholeFile(tx + "/sub/dir/report.txt", report));
    ASSERT_TRUE(WriteWholeFile(tx + "/verylongname.txt", long_named));
    ASSERT_TRUE(WriteWholeFile(tx + "/" + kLong, utf8_named));
    ASSERT_TRUE(StartLine());
    pid_t receiver = StartReceiver(rx, run + "-rx");
    ProcessEnd sent = Finish(StartSender(
        tx, {"sub/dir/report.txt", "missing.txt", "sub", "verylongname.txt", kLong}, run + "-tx"));
    StopLine(line_);
    ProcessEnd received = Finish(receiver);

    EXPECT_TRUE(sent.exited);
    EXPECT_EQ(sent.status, 2);
    // Between velcots a folder goes as one.
    EXPECT_EQ(Output(run + "-tx.err"),
              "Couldn't stat missing.txt: No such file or directory\n" +
                  std::string(classic ? "Couldn't send sub: not a regular file\n" : ""));
    EXPECT_EQ(Output(run + "-tx.out").find("declined"), std::string::npos);
    std::string stored_long = classic ? "verylong.txt" : "verylongname.txt";
    std::string stored_utf8 = classic ? "nnnnnnnn.txt" : kLong;
    std::vector<std::string> stored = {"report.txt", stored_long, stored_utf8};
    if (!classic) {
      stored.push_back("sub");
      EXPECT_EQ(ReadWholeFile(rx + "/sub/dir/report.txt"), report);
    }
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(ListDirectory(rx), stored);
    EXPECT_EQ(ReadWholeFile(rx + "/report.txt"), report);
    EXPECT_EQ(ReadWholeFile(rx + "/" + stored_long), long_named);
    EXPECT_EQ(ReadWholeFile(rx + "/" + stored_utf8), utf8_named);
    // The receiver saw no other name: its only message is the lost line.
    ExpectPortLost(received, run + "-rx", line_.link_a, true);
    EXPECT_EQ(Output(run + "-rx.err").find('\n'), Output(run + "-rx.err").size() - 1);
  }
}

// A tree with empty folders, UTF-8 names, modes and times arrives as it
// is, what is neither file nor folder skipped; a receiver forced to the
// classic exchange hears of no folder, and takes the next file in that
// opening. A name with U+202E shows escaped on a UTF-8 console.
TEST_F(EndToEndTest, FolderArrivesWholeBetweenVelcotsAndAsNoFileElsewhere) {
  std::string tx = MakeFolder("tx"), rx = MakeFolder("rx"), classic_rx = MakeFolder("classic");
  auto shell = [&](const std::string& folder, const std::string& script, const std::string& log) {
    SpawnOptions options;
    options.argv = {"sh", "-c", script};
    Finish(StartLogged(options, folder, log));
  };
  const std::string kList =
      "(find tree -type f -printf '%p %m %s %T@\\n'; find tree -type d -printf '%p %m %T@\\n') | "
      "sort";
  shell(
      tx,
      "mkdir -p tree/empty tree/sub/deeper tree/\xC3\xA9t\xC3\xA9 && echo a >tree/a.txt && "
      "head -c 3000 /dev/urandom >tree/sub/b.bin && echo c >tree/sub/deeper/c && "
      "echo f >tree/\xE2\x80\xAEgpj.exe && "
      "echo d >tree/\xC3\xA9t\xC3\xA9/\xE2\x9C\x93.txt && mkfifo tree/fifo && echo e >after.txt && "
      "chmod 600 tree/a.txt && chmod 755 tree/sub/deeper/c && chmod 700 tree/empty && "
      "chmod 750 tree/sub && chmod 711 tree/sub/deeper && touch -d @1500000000 tree/a.txt "
      "tree/sub/deeper/c tree/*/*.txt tree/*.exe && "
      "touch -d @1400000000 tree/sub/b.bin tree/sub/deeper tree/empty && "
      "touch -d @1300000000 tree/sub tree/\xC3\xA9t\xC3\xA9 tree && " +
          kList,
      "sent");
  for (const std::string& to : {rx, classic_rx}) {
    SCOPED_TRACE(to);
    ASSERT_TRUE(StartLine());
    SpawnOptions options;
    options.env = {"LC_ALL=C.UTF-8"};  // a console that reads UTF-8
    if (to == classic_rx) options.env = {"LC_ALL=C", "VELCOT_CLASSIC=1"};
    pid_t receiver = StartReceiver(to, "rx", options);
    ProcessEnd sent = Finish(StartSender(tx, {"tree", "after.txt"}));
    StopLine(line_);
    Finish(receiver);
    EXPECT_TRUE(sent.exited);
    EXPECT_EQ(sent.status, 2);
    EXPECT_EQ(Output("tx.err"), to == rx ? "Skipping tree/fifo: not a regular file or folder\n"
                                         : "Couldn't send tree: not a regular file\n");
    EXPECT_EQ(ReadWholeFile(to + "/after.txt"), "e\n");
    std::string escaped = " tree/\\xE2\\x80\\xAEgpj.exe 2/2 (100.0%)\r";
    EXPECT_TRUE(to != rx || Output("rx.out").find(escaped) != std::string::npos)
        << Output("rx.out");
  }
  shell(rx, kList, "arrived");
  EXPECT_EQ(Output("arrived.out"), Output("sent.out"));
  EXPECT_NE(Output("sent.out").find("tree/empty 700 1400000000.0"), std::string::npos);
  EXPECT_EQ(ListDirectory(classic_rx), std::vector<std::string>{"after.txt"});
}

// A person watching the sender's console (a pty the test holds) sees the
// rate and the time left after the line, each drawing blanking what the one
// before left, and the run's summary.
TEST_F(EndToEndTest, ShowsRateAndSummaryWhereAPersonWatches) {
  std::string tx = MakeFolder("tx"), rx = MakeFolder("rx");
  ASSERT_TRUE(WriteWholeFile(tx + "/data.bin", MakeContent(6000, 22)));
  NullModem cable = StartNullModem(NULLMODEM_PATH, {"-b", "19200"}, scratch_, kLimitSeconds);
  ASSERT_GT(cable.pid, 0) << ReadWholeFile(cable.log);
  children_.push_back(cable.pid);
  int console = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(console >= 0 && grantpt(console) == 0 && unlockpt(console) == 0);
  held_fds_.push_back(console);
  struct winsize size = {24, 100, 0, 0};  // room for both figures
  ASSERT_EQ(ioctl(console, TIOCSWINSZ, &size), 0);
  pid_t receiver = StartVelcot(rx, {"-p", cable.link_b, "-b", "19200"}, "rx");
  ASSERT_TRUE(WaitForReader(receiver, kLimitMilliseconds));
  SpawnOptions watched;
  watched.stdout_path = ptsname(console);
  pid_t sender = StartVelcot(tx, {"-p", cable.link_a, "-b", "19200", "data.bin"}, "tx", watched);
  std::string screen;
  WaitForCondition([&] { return (screen += ReadWithDeadline(console, 65536, 50)), false; },
                   kLimitMilliseconds, sender);
  EXPECT_EQ(Finish(sender).status, 0);
  screen += ReadWithDeadline(console, 65536, 200);
  SendSignal(receiver, SIGTERM);
  Finish(receiver);
  EXPECT_NE(screen.find("B/s, 0:0"), std::string::npos) << screen;  // rate, time left
  size_t last = screen.rfind("data.bin 6000/6000 (100.0%) ");
  ASSERT_NE(last, std::string::npos) << screen;
  size_t summary = screen.find("\r\n1 file, 6.0 kB in 0:0", last);
  EXPECT_NE(screen.find("% of the line's 1.9 kB/s\r\n", summary), std::string::npos) << screen;
  for (size_t at = 0, end; (end = screen.find('\r', at)) < last; at = end + 1)
    EXPECT_GE(screen.find('\r', end + 1) - end, end - at) << "a drawing shorter than the last";
}

// A symbolic link in a folder (here to the folder above) is skipped with a
// word, its target not followed, and fails nothing.
TEST_F(EndToEndTest, SkipsLinksInAFolderWithoutFailingTheRun) {
  std::string tx = MakeFolder("tx"), rx = MakeFolder("rx");
  MakeFolder("tx/tree");
  ASSERT_TRUE(WriteWholeFile(tx + "/tree/a.txt", "a"));
  ASSERT_EQ(symlink("..", (tx + "/tree/up").c_str()), 0);
  ASSERT_TRUE(StartLine());
  pid_t receiver = StartReceiver(rx);
  EXPECT_EQ(Finish(StartSender(tx, {"tree"})).status, 0);
  StopLine(line_);
  Finish(receiver);
  EXPECT_EQ(Output("tx.err"), "Skipping tree/up: a symbolic link, not followed\n");
  EXPECT_EQ(ListDirectory(rx + "/tree"), std::vector<std::string>{"a.txt"});
}

// A scripted sender announces names that would leave the receiver's folder,
// garble its console, or name a Windows device.
TEST_F(EndToEndTest, RefusesUnsafeNames) {
  std::string out = MakeFolder("out");
  std::string rx = MakeFolder("out/rx");
  std::string in_tmp = "/tmp/vc" + std::to_string(getpid() % 1000000);
  ASSERT_FALSE(PathExists(in_tmp));
  const std::vector<std::pair<std::string, std::string>> names = {
      {"../evil.txt", "../evil.txt"},
      {in_tmp, in_tmp},
      {"a\\b", "a\\b"},
      {"C:x", "C:x"},
      {"..", ".."},
      {".", "."},
      {std::string(12, '\0'), ""},
      {"a\x1b[2Jb", "a\\x1B[2Jb"},
      {"x\x7f", "x\\x7F"},
      // Windows devices, in any case and with any extension.
      {"CON", "CON"},
      {"con", "con"},
      {"nul.txt", "nul.txt"},
      {"NUL .txt", "NUL .txt"},
      {"COM1", "COM1"},
      {"com9.log", "com9.log"},
      {"LPT1", "LPT1"},
      {"lpt0.a.b", "lpt0.a.b"},
      {"Aux.c", "Aux.c"},
      {"PRN", "PRN"},
      {"CONIN$", "CONIN$"},
      {"conout$.txt", "conout$.txt"},
      {"COM\xB9", "COM\\xB9"},
      {"LPT\xC2\xB2.x", "LPT\\xC2\\xB2.x"},
  };
  ASSERT_TRUE(StartLine());
  for (size_t i = 0; i < names.size(); i++) {
    const auto& [field, shown] = names[i];
    SCOPED_TRACE(shown);
    std::string log = "rx" + std::to_string(i);
    pid_t receiver = StartReceiver(rx, log);
    ASSERT_TRUE(WriteAll(fd_b_, "\x99"));
    ASSERT_EQ(ReadWithDeadline(fd_b_, 1, kLimitMilliseconds), "\x33");
    ASSERT_TRUE(WriteAll(fd_b_, EncodeAnnouncement(field, 5)));
    std::string answer = ReadWithDeadline(fd_b_, 1, kLimitMilliseconds);
    EXPECT_EQ(answer, "\x55");
    if (answer != "\x55") SendSignal(receiver, SIGKILL);  // it would wait for the data
    ProcessEnd end = Finish(receiver);
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.status, 2);
    EXPECT_EQ(Output(log + ".err"), "Refusing file \"" + shown + "\": not a plain file name\n");
    EXPECT_TRUE(ListDirectory(rx).empty());
    EXPECT_EQ(ListDirectory(out), std::vector<std::string>{"rx"});
    EXPECT_FALSE(PathExists(in_tmp));
  }
}

// The driver of a serial port, played by a preloaded library: a USB
// adapter reports the rate its clock divides down to and has a low-latency
// flag; a 16550 reports the rate asked for and the clock its divisor
// divides. The receiver runs as on a fresh boot, before the kernel's random
// pool is ready, and must name its temporary files without waiting for it.
TEST_F(EndToEndTest, UsesPortDriversAsTheyReallyAre) {
  std::string tx = MakeFolder("tx");
  std::string rx = MakeFolder("rx");
  std::string content = MakeContent(3000, 21);
  ASSERT_TRUE(WriteWholeFile(tx + "/data.bin", content));
  ASSERT_TRUE(StartLine());
  auto driver = [&](const std::vector<std::string>& settings, const std::string& log) {
    SpawnOptions options;
    options.env = {"LC_ALL=C", "LD_PRELOAD=" FAKE_UART_PATH,
                   "ASAN_OPTIONS=verify_asan_link_order=0",
                   "FAKE_UART_LOG=" + scratch_ + "/logs/" + log};
    options.env.insert(options.env.end(), settings.begin(), settings.end());
    return options;
  };
  pid_t receiver = StartReceiver(rx, "rx", driver({"FAKE_UART_POOL=unready"}, "pool"));
  // cp210x and pl2303 make 115384 for 115200: 0.16% off.
  ProcessEnd sent = Finish(StartVelcot(
      tx, {"-p", line_.link_b, "-b", "115200", "data.bin", "data.bin"}, "tx",
      driver({"FAKE_UART_RATES=115200=115384", "FAKE_UART_FLAGS=0x10000040"}, "serial")));
  EXPECT_EQ(sent.status, 0) << Output("tx.err");
  // Low latency asked for once, and the flags put back at the end.
  EXPECT_EQ(Output("serial"), "TIOCSSERIAL 0x10002040\nTIOCSSERIAL 0x10000040\n");

  // A rate the port does not make is refused, saying what it makes; one it
  // makes passes (and the file goes again). ftdi_sio's
  // baud_base (24000000) describes no whole divisor: 2500000 would be 4% off.
  struct Case {
    std::vector<std::string> driver;
    const char* rate;
    const char* refusal;  // nullptr: configured
  } cases[] = {
      {{"FAKE_UART_RATES=115200=109440"},
       "115200",
       "the driver set 109440 baud when 115200 was asked\n"},
      {{"FAKE_UART_TYPE=4", "FAKE_UART_BASE=115200"},
       "100000",
       "the UART's clock makes 115200 baud for 100000\n"},
      {{"FAKE_UART_TYPE=4", "FAKE_UART_BASE=115200"}, "57600", nullptr},
      {{"FAKE_UART_TYPE=4", "FAKE_UART_BASE=1500000"},
       "921600",
       "the UART's clock makes 750000 baud for 921600\n"},
      {{"FAKE_UART_TYPE=0", "FAKE_UART_BASE=24000000"}, "2500000", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driver.back() + " at " + c.rate);
    ProcessEnd end = Finish(StartVelcot(tx, {"-p", line_.link_b, "-b", c.rate, "data.bin"}, "rate",
                                        driver(c.driver, "rate-serial")));
    if (c.refusal != nullptr) {
      EXPECT_EQ(end.status, 1);
      EXPECT_EQ(Output("rate.err"), std::string(c.refusal) + "couldn't configure port\n");
    } else {
      EXPECT_EQ(end.status, 0);
      EXPECT_EQ(Output("rate.err").find("configure"), std::string::npos) << Output("rate.err");
    }
  }
  StopLine(line_);
  ExpectPortLost(Finish(receiver), "rx", line_.link_a, true);
  EXPECT_EQ(ReadWholeFile(rx + "/data.bin"), content);
  EXPECT_EQ(Output("pool").find("getrandom"), std::string::npos);  // never waited for the pool

  // Line control: RTS/CTS flow control in the terminal's settings, and the
  // modem lines as asked while velcot holds the port (RTS/CTS raises RTS),
  // those asked for put back at the end.
  ASSERT_TRUE(StartLine());
  pid_t held = StartVelcot(rx, {"-p", line_.link_a, "--flow", "rtscts", "--dtr", "on"}, "held",
                           driver({"FAKE_UART_MODEM=0x0", "FAKE_UART_FLAGS=0x2000"}, "modem"));
  ASSERT_TRUE(WaitForReader(held, kLimitMilliseconds));
  termios settings;
  ASSERT_EQ(tcgetattr(fd_a_, &settings), 0);
  EXPECT_NE(settings.c_cflag & CRTSCTS, 0u);
  SendSignal(held, SIGTERM);
  EXPECT_EQ(Finish(held).status, 128 + SIGTERM) << Output("held.err");
  EXPECT_EQ(Output("modem"), "TIOCMBIS 0x6\nTIOCMBIC 0x2\n");  // DTR back off, RTS left up
}

// Ctrl+C or SIGTERM at one end mid-file: the other end hears of it and
// ends the file at once with its message, rather than after its stall
// limit with another ("was silent for 30 s"); the receiver keeps its part
// and answers the sender started again at once, which goes on from there.
TEST_F(EndToEndTest, InterruptedEndTellsTheOtherAtOnce) {
  const struct {
    const char* what;
    bool at_sender;
    int signal;
  } rows[] = {{"Ctrl+C at the sender", true, SIGINT},
              {"SIGTERM at the sender", true, SIGTERM},
              {"Ctrl+C at the receiver", false, SIGINT}};
  const std::string content = MakeContent(120000, 41);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::string run = std::string(row.at_sender ? "tx" : "rx") + std::to_string(row.signal);
    std::string tx = MakeFolder(run + "-tx"), rx = MakeFolder(run + "-rx");
    ASSERT_TRUE(WriteWholeFile(tx + "/big.bin", content));
    NullModem cable =
        StartNullModem(NULLMODEM_PATH, {"-b", "115200"}, MakeFolder(run), kLimitSeconds);
    ASSERT_GT(cable.pid, 0) << ReadWholeFile(cable.log);
    children_.push_back(cable.pid);
    pid_t receiver = StartVelcot(rx, {"-p", cable.link_b, "-b", "115200"}, run + "-rx");
    std::vector<std::string> send = {"-p", cable.link_a, "-b", "115200", "big.bin"};
    pid_t sender = StartVelcot(tx, send, run + "-tx");
    auto stored = [&] {
      std::string count = FindDrawnCount(Output(run + "-rx.out"), "big.bin", true);
      return !count.empty() && std::stoull(count) >= 8192;
    };
    ASSERT_TRUE(WaitForCondition(stored, kLimitMilliseconds, receiver));
    SendSignal(row.at_sender ? sender : receiver, row.signal);
    EXPECT_EQ(Finish(row.at_sender ? sender : receiver).status, 128 + row.signal);
    if (row.at_sender) {
      EXPECT_TRUE(WaitForFileText(scratch_ + "/logs/" + run + "-rx.err",
                                  "Gave up receiving big.bin: the sender was interrupted; the part "
                                  "received is kept, and goes on when it is sent again\n",
                                  kLimitMilliseconds, receiver));
      ProcessEnd again = Finish(StartVelcot(tx, send, run + "-again"));
      EXPECT_EQ(again.status, 0) << Output(run + "-again.err");
      EXPECT_EQ(Output(run + "-again.err"), "");  // not "No receiver has answered ..."
      EXPECT_NE(FindDrawnCount(Output(run + "-again.out"), "big.bin", false), "0");
      EXPECT_TRUE(ReadWholeFile(rx + "/big.bin") == content);
    } else {
      EXPECT_EQ(Finish(sender).status, 2);
      EXPECT_EQ(Output(run + "-tx.err"), "Gave up sending big.bin: the receiver was interrupted\n");
    }
    SendSignal(cable.pid, SIGTERM);
    Finish(cable.pid);
    if (row.at_sender) Finish(receiver);
  }
}

class CommandLineTest : public EndToEndTest {};

TEST_F(CommandLineTest, HelpAndVersionEndBeforeAnythingIsOpened) {
  for (const char* asked : {"-h", "-?", "--help", "--version"}) {
    SCOPED_TRACE(asked);
    ProcessEnd end =
        Finish(StartVelcot(scratch_, {"a.txt", "-x", "-p", "/nonexistent", asked}, "help"));
    EXPECT_EQ(end.status, 0);
    std::string first = asked == "--version"s ? "velcot " : "Sends or receives files over serial";
    EXPECT_EQ(Output("help.out").rfind(first, 0), 0u);
    EXPECT_EQ(Output("help.err"), "");
  }
}

// Each mistake is told before the port is opened: a port that does not
// exist would otherwise say so first. Files that cannot be sent are told
// then too; with none left the run ends there.
TEST_F(CommandLineTest, MistakesAreToldBeforeThePortIsOpened) {
  const std::string kNoFile = "No such file or directory\n";
  const std::string kNotOpened = "None of the files given can be sent; the port was not opened\n";
  const struct {
    std::vector<std::string> args;
    std::string said;
    int status;
  } kCases[] = {
      {{"-x", "a.txt"},
       "Unknown option -x: velcot -h lists the options; a file so named goes as ./-x or after "
       "--\n",
       1},
      {{"-b", "115200x"}, "-b 115200x: \"x\" after the number\nmissing baudrate\n", 1},
      {{"-m", "7E1"},
       "-m 7E1: velcot's own exchange needs 8 data bits (--protocol kermit carries files over 7)\n",
       1},
      {{"missing.txt", "--", "-x"},
       "Couldn't stat missing.txt: " + kNoFile + "Couldn't stat -x: " + kNoFile + kNotOpened,
       2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::vector<std::string> args = {"-p", "/nonexistent"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessEnd end = Finish(StartVelcot(scratch_, args, "mistake"));
    EXPECT_EQ(end.status, c.status);
    EXPECT_EQ(Output("mistake.err"), c.said);
  }
}

TEST_F(CommandLineTest, ReportsPortThatCannotBeUsed) {
  ProcessEnd end = Finish(StartVelcot(scratch_, {"-p", "/nonexistent", "-b", "115200"}, "none"));
  EXPECT_EQ(end.status, 1);
  EXPECT_EQ(Output("none.err"),
            "open(/nonexistent) failed: No such file or directory\ncould not open /nonexistent\n");
  // A file is no serial port, as the platform says.
  ASSERT_TRUE(WriteWholeFile(scratch_ + "/README.md", "text"));
  end = Finish(StartVelcot(scratch_, {"-p", "README.md"}, "file"));
  EXPECT_EQ(end.status, 1);
  EXPECT_EQ(Output("file.err"), "README.md is not a serial port: " + std::string(strerror(ENOTTY)) +
                                    "\ncould not open README.md\n");
  EXPECT_EQ(ReadWholeFile(scratch_ + "/README.md"), "text");
}

TEST_F(CommandLineTest, RefusesPortHeldByAnotherVelcot) {
  ASSERT_TRUE(StartLine());
  pid_t first = StartReceiver(scratch_, "first");
  // The first receiver answers, so it holds the port.
  ASSERT_TRUE(WriteAll(fd_b_, "\x99"));
  ASSERT_EQ(ReadWithDeadline(fd_b_, 1, kLimitMilliseconds), "\x33");
  ProcessEnd second = Finish(StartReceiver(scratch_, "second"));
  EXPECT_TRUE(second.exited);
  EXPECT_EQ(second.status, 1);
  // The terminal's exclusive use refuses the open; root passes that and
  // meets the first one's lock.
  std::string errors = Output("second.err");
  std::string told = "(" + line_.link_a + ") failed: ";
  EXPECT_TRUE(errors.rfind("open" + told, 0) == 0 || errors.rfind("flock" + told, 0) == 0)
      << errors;
  EXPECT_NE(
      errors.find(" (another program has the port open)\ncould not open " + line_.link_a + "\n"),
      std::string::npos)
      << errors;
  StopLine(line_);
  ExpectPortLost(Finish(first), "first", line_.link_a, true);
}

// ---- where serial users are: handed-over lines, consoles, networks ----

class SerialUsersTest : public EndToEndTest {
 protected:
  // velcot typed on the console that is link A: its standard streams.
  pid_t StartOnConsole(const std::string& folder, const std::vector<std::string>& args) {
    SpawnOptions options;
    options.stdin_path = options.stdout_path = options.stderr_path = line_.link_a;
    return StartVelcot(folder, args, "console", options);
  }

  // A shell command run by a helper program, whose status goes to logs/<log>.status.
  std::string Shell(const std::string& folder, const std::string& args, const std::string& log) {
    std::string logs = scratch_ + "/logs/" + log;
    return "cd " + folder + " && " + VELCOT_PATH + " " + args + " 2>" + logs + ".err; echo $? >" +
           logs + ".status";
  }

  int Status(const std::string& log) { return atoi(Output(log + ".status").c_str()); }

  // Waits until a velcot on link A has set the line up: it was left at
  // 9600 baud, and velcot runs at 115200.
  bool AwaitLineSetUp(pid_t pid = -1) {
    return WaitForCondition([&] { return ReadLinkSpeed(line_.link_a) == B115200; },
                            kLimitMilliseconds, pid);
  }

  // Plays a classic sender of one file on fd_b_ up to the last answer.
  void SendClassically(const std::string& name, const std::string& content) {
    ASSERT_TRUE(WriteAll(fd_b_, "\x99"));
    ASSERT_EQ(ReadWithDeadline(fd_b_, 1, kLimitMilliseconds), "\x33");
    ASSERT_TRUE(WriteAll(fd_b_, EncodeAnnouncement(name, uint32_t(content.size()))));
    ASSERT_EQ(ReadWithDeadline(fd_b_, 1, kLimitMilliseconds), "\xCC");
    for (size_t at = 0; at < content.size(); at += 1024) {
      ASSERT_TRUE(WriteAll(fd_b_, Frame(content.substr(at, 1024))));
      ASSERT_EQ(ReadWithDeadline(fd_b_, 2, kLimitMilliseconds), "\xFF\xFF");
    }
  }

  // Plays a classic receiver of one file on fd_b_, from a velcot sender's
  // opening to the last answer: every byte it reads is the exchange's.
  void ReceiveClassically(const std::string& name, const std::string& content) {
    ASSERT_EQ(ReadWithDeadline(fd_b_, 5, kLimitMilliseconds), kSenderOpening);
    ASSERT_TRUE(WriteAll(fd_b_, "\x33"));
    ASSERT_EQ(ReadWithDeadline(fd_b_, 16, kLimitMilliseconds),
              EncodeAnnouncement(name, uint32_t(content.size())));
    ASSERT_TRUE(WriteAll(fd_b_, "\xCC"));
    for (size_t at = 0; at < content.size(); at += 1024) {
      std::string framed = Frame(content.substr(at, 1024));
      ASSERT_EQ(ReadWithDeadline(fd_b_, framed.size(), kLimitMilliseconds), framed);
      ASSERT_TRUE(WriteAll(fd_b_, "\xFF\xFF"));
    }
  }

  // picocom on link A, in folder, with velcot as its send and receive
  // commands. Its terminal is one end of a second line, whose other end
  // (terminal_) the test types into and reads as a person would.
  pid_t StartPicocom(const std::string& folder) {
    std::string dir = MakeFolder("terminal");
    HeldLine terminal = StartHeldLine(dir);
    terminal_ = terminal.fd_b;
    struct winsize size = {24, 80, 0, 0};  // or picocom's line editor asks the terminal
    EXPECT_EQ(ioctl(terminal.fd_a, TIOCSWINSZ, &size), 0);
    std::string command = std::string(VELCOT_PATH) + " -p - -b 115200";
    SpawnOptions picocom;
    picocom.argv = {"picocom",       "-b",    "9600",      "--send-cmd", command,
                    "--receive-cmd", command, line_.link_a};
    picocom.working_dir = folder;
    picocom.stdin_path = picocom.stdout_path = picocom.stderr_path = terminal.pair.link_a;
    picocom.env = {"LC_ALL=C.UTF-8"};
    return StartProgram(picocom);
  }

  // Reads picocom's screen until text shows after what was awaited before.
  bool AwaitScreen(const std::string& text) {
    size_t at = std::string::npos;
    bool shown = WaitForCondition(
        [&] {
          screen_ += ReadWithDeadline(terminal_, 65536, 20);
          at = screen_.find(text, screen_seen_);
          return at != std::string::npos;
        },
        kLimitMilliseconds);
    if (shown) screen_seen_ = at + text.size();
    return shown;
  }

  int terminal_ = -1;
  std::string screen_;
  size_t screen_seen_ = 0;
};

// ssh and socat hand the line over on pipes: both ends end by themselves,
// the progress line on standard error, in both exchanges. A file the
// receiver refuses does not end its run (in the streaming exchange; a
// classic receiver that declines leaves).
TEST_F(SerialUsersTest, PipesAtBothEndsCarryBothExchanges) {
  for (bool classic : kProtocols) {
    std::string tx, rx, run = BeginRun(classic, &tx, &rx);
    SCOPED_TRACE(run);
    std::string content = MakeContent(200000, 31);
    ASSERT_TRUE(WriteWholeFile(tx + "/img.bin", content));
    ASSERT_TRUE(WriteWholeFile(tx + "/two.bin", "\xFF\xFF"));
    std::string files = "img.bin two.bin";
    if (!classic) {
      ASSERT_TRUE(WriteWholeFile(tx + "/taken.bin", "a folder has its name"));
      MakeFolder(run + "-rx/taken.bin");
      files = "img.bin taken.bin two.bin";
    }
    SpawnOptions socat;
    socat.argv = {"socat", "SYSTEM:" + Shell(tx, "-p - -b 115200 " + files, run + "-tx"),
                  "SYSTEM:" + Shell(rx, "-p - -b 115200", run + "-rx")};
    socat.env = env_;
    EXPECT_EQ(Finish(StartProgram(socat)).status, 0);
    EXPECT_EQ(Status(run + "-tx"), classic ? 0 : 2) << Output(run + "-tx.err");
    EXPECT_EQ(Status(run + "-rx"), classic ? 0 : 2) << Output(run + "-rx.err");
    EXPECT_TRUE(ReadWholeFile(rx + "/img.bin") == content);
    EXPECT_EQ(ReadWholeFile(rx + "/two.bin"), "\xFF\xFF");
    for (const char* end : {"-tx.err", "-rx.err"}) {
      std::string shown = Output(run + end);
      EXPECT_NE(shown.find(DrawCompleteProgress("img.bin", content.size(), false)),
                std::string::npos);
      EXPECT_EQ(shown.find("lost"), std::string::npos) << shown;
    }
    if (!classic) {
      EXPECT_NE(
          Output(run + "-tx.err").find("file taken.bin declined by receiver: Is a directory\n"),
          std::string::npos);
    }
  }
}

// Typed on a board's console, whose terminal is the port: nothing but the
// exchange goes on the line, and the messages come once the settings are
// back. A receiver there ends after the run, on the line handed over
// (-p -) or named.
TEST_F(SerialUsersTest, OnTheBoardsConsoleOnlyTheExchangeIsOnTheLine) {
  std::string tx = MakeFolder("tx"), rx = MakeFolder("rx");
  std::string content = MakeContent(2500, 32);
  ASSERT_TRUE(WriteWholeFile(tx + "/one.bin", content));
  ASSERT_TRUE(StartLine());

  // A receiver against a classic sender.
  ASSERT_TRUE(SetLinkSpeed(line_.link_a, B9600));
  pid_t receiver = StartOnConsole(rx, {"-p", "-", "-b", "115200"});
  ASSERT_TRUE(AwaitLineSetUp(receiver));
  SendClassically("one.bin", content);
  EXPECT_EQ(Finish(receiver).status, 0);
  EXPECT_EQ(ReadWholeFile(rx + "/one.bin"), content);
  EXPECT_EQ(ReadWithDeadline(fd_b_, 1, 0), "");

  // A sender against a classic receiver; its message about the missing file
  // follows the exchange.
  pid_t sender = StartOnConsole(tx, {"-p", line_.link_a, "-b", "115200", "missing.bin", "one.bin"});
  ReceiveClassically("one.bin", content);
  EXPECT_EQ(Finish(sender).status, 2);
  EXPECT_EQ(ReadWithDeadline(fd_b_, 100, 1000),
            "Couldn't stat missing.bin: No such file or directory\n");

  // The same against a velcot, in the streaming exchange: the receiver
  // named its port.
  std::string again = MakeFolder("again"), peer = MakeFolder("peer");
  ASSERT_TRUE(SetLinkSpeed(line_.link_a, B9600));
  receiver = StartOnConsole(again, {"-p", line_.link_a, "-b", "115200"});
  ASSERT_TRUE(AwaitLineSetUp(receiver));
  EXPECT_EQ(Finish(StartSender(tx, {"one.bin"})).status, 0);
  EXPECT_EQ(Finish(receiver).status, 0);
  EXPECT_EQ(ReadWholeFile(again + "/one.bin"), content);
  receiver = StartVelcot(peer, {"-p", line_.link_b, "-b", "115200"}, "peer");
  ASSERT_TRUE(WaitForReader(receiver, kLimitMilliseconds));
  sender = StartOnConsole(tx, {"-p", "-", "-b", "115200", "missing.bin", "one.bin"});
  EXPECT_EQ(Finish(sender).status, 2);
  StopLine(line_);
  EXPECT_EQ(ReadWholeFile(peer + "/one.bin"), content);
  EXPECT_EQ(Finish(receiver).status, 2);
  EXPECT_EQ(Output("peer.err"), "lost port " + line_.link_b + ": hung up\n");
}

// Keystrokes at both ends, a few letters every 100 ms each way on a cable
// paced at 115200 baud, with velcot on the terminal at each end: every
// file arrives, and both ends end by themselves, also when one is refused.
TEST_F(SerialUsersTest, KeystrokesOnTheLineHoldNeitherEnd) {
  NullModem cable = StartNullModem(NULLMODEM_PATH,
                                   {"-b", "115200", "--inject", "ab:3/100", "--inject", "ba:3/100"},
                                   scratch_, kLimitSeconds);
  ASSERT_GT(cable.pid, 0) << ReadWholeFile(cable.log);
  children_.push_back(cable.pid);
  for (bool refused : {false, true}) {
    std::string run = refused ? "refused" : "stored";
    SCOPED_TRACE(run);
    std::string tx = MakeFolder(run + "-tx"), rx = MakeFolder(run + "-rx");
    std::string big = MakeContent(refused ? 3000 : 70000, 37), small = MakeContent(9000, 38);
    ASSERT_TRUE(WriteWholeFile(tx + "/big.bin", big) && WriteWholeFile(tx + "/small.bin", small));
    if (refused) MakeFolder(run + "-rx/small.bin");
    SpawnOptions terminal;
    terminal.stdin_path = terminal.stdout_path = cable.link_b;
    pid_t receiver = StartVelcot(rx, {"-p", "-", "-b", "115200"}, run + "-rx", terminal);
    // Set up: the letters keep it from blocking in a read.
    ASSERT_TRUE(WaitForCondition([&] { return ReadLinkSpeed(cable.link_b) == B115200; },
                                 kLimitMilliseconds, receiver));
    terminal.stdin_path = terminal.stdout_path = cable.link_a;
    ProcessEnd sent = Finish(StartVelcot(tx, {"-p", "-", "-b", "115200", "big.bin", "small.bin"},
                                         run + "-tx", terminal));
    ProcessEnd received = Finish(receiver);
    EXPECT_TRUE(sent.exited && received.exited);
    EXPECT_EQ(sent.status, refused ? 2 : 0) << Output(run + "-tx.err");
    EXPECT_EQ(received.status, refused ? 2 : 0) << Output(run + "-rx.err");
    EXPECT_TRUE(ReadWholeFile(rx + "/big.bin") == big);
    EXPECT_TRUE(refused || ReadWholeFile(rx + "/small.bin") == small);
  }
}

// The far end echoes the openings (a terminal in cooked mode, here played by
// the test; then bash at its prompt): the sender stops within three openings
// and says so. --start types the receiver's command into that shell first,
// and the file arrives.
TEST_F(SerialUsersTest, ShellAtTheFarEndIsToldOrStartedWithStart) {
  std::string tx = MakeFolder("tx"), rx = MakeFolder("rx");
  ASSERT_TRUE(WriteWholeFile(tx + "/note.txt", "a note"));
  const std::string told =
      "the other end echoes what velcot sends: a shell, not a receiver; start velcot there "
      "first\nfile note.txt not sent\n";
  ASSERT_TRUE(StartLine());
  pid_t sender = StartSender(tx, {"note.txt"});
  std::string typed;
  WaitForCondition(
      [&] {
        std::string got = ReadWithDeadline(fd_a_, 4096, 20);
        typed += got;
        return !WriteAll(fd_a_, got);
      },
      kLimitMilliseconds, sender);
  EXPECT_EQ(Finish(sender).status, 2);
  EXPECT_EQ(Output("tx.err"), told);
  size_t openings = 0;
  for (size_t at = 0; (at = typed.find(kSenderOpening, at)) != std::string::npos; at++)
    openings++;
  EXPECT_TRUE(openings >= 1 && openings <= 3) << openings;

  SpawnOptions shell;
  std::string link = scratch_ + "/shell";
  shell.argv = {"socat", "PTY,raw,echo=0,link=" + link,
                "EXEC:bash --norc --noprofile -i,pty,setsid,sane,stderr"};
  shell.env = {"PS1=$ ", "LC_ALL=C"};
  StartProgram(shell);
  ASSERT_TRUE(WaitForCondition([&] { return PathExists(link); }, kLimitMilliseconds));
  std::vector<std::string> send = {"-p", link, "-b", "115200", "note.txt"};
  EXPECT_EQ(Finish(StartVelcot(tx, send, "bash")).status, 2);
  EXPECT_EQ(Output("bash.err"), told);
  send.insert(send.begin(), {"--start", "cd " + rx + " && " + VELCOT_PATH + " -p - -b 115200"});
  EXPECT_EQ(Finish(StartVelcot(tx, send, "started")).status, 0) << Output("started.err");
  EXPECT_EQ(ReadWholeFile(rx + "/note.txt"), "a note");
}

// A person at picocom: C-a C-s, a file name and Enter send it; C-a C-r and
// Enter receive; C-a C-x leaves. velcot runs as picocom's commands on the
// line it hands over, against a velcot and against a classic peer, and the
// screen shows picocom's words and velcot's progress, never a byte of the
// exchange. picocom runs at 9600 baud, velcot at 115200: its speed on the
// line shows when it has set the line up.
TEST_F(SerialUsersTest, PicocomSendsAndReceivesThroughVelcot) {
  std::string here = MakeFolder("here"), there = MakeFolder("there");
  std::string content = MakeContent(30000, 33), back = MakeContent(5000, 34);
  ASSERT_TRUE(WriteWholeFile(here + "/a.bin", content));
  ASSERT_TRUE(WriteWholeFile(there + "/back.bin", back));
  ASSERT_TRUE(StartLine());
  pid_t picocom = StartPicocom(here);
  ASSERT_TRUE(AwaitScreen("Terminal ready"));
  for (bool classic_peer : {false, true}) {
    SCOPED_TRACE(classic_peer ? "a classic peer" : "a velcot peer");
    std::remove((here + "/back.bin").c_str());
    pid_t peer = -1;
    if (!classic_peer) {
      peer = StartVelcot(there, {"-p", line_.link_b, "-b", "115200"}, "rx");
      ASSERT_TRUE(WaitForReader(peer, kLimitMilliseconds));
    }
    ASSERT_TRUE(WriteAll(terminal_, "\x01\x13"));
    ASSERT_TRUE(AwaitScreen("*** file: ")) << screen_;
    ASSERT_TRUE(WriteAll(terminal_, "a.bin\r"));
    if (classic_peer) ReceiveClassically("a.bin", content);
    EXPECT_TRUE(AwaitScreen("*** exit status: 0 ***")) << screen_;
    if (!classic_peer) {
      SendSignal(peer, SIGTERM);
      EXPECT_EQ(Finish(peer).status, 128 + SIGTERM);
      EXPECT_TRUE(ReadWholeFile(there + "/a.bin") == content);
    }

    ASSERT_TRUE(WriteAll(terminal_, "\x01\x12"));
    ASSERT_TRUE(AwaitScreen("*** file: ")) << screen_;
    ASSERT_TRUE(WriteAll(terminal_, "\r"));
    ASSERT_TRUE(AwaitLineSetUp(picocom));
    if (classic_peer) {
      SendClassically("back.bin", back);
    } else {
      EXPECT_EQ(
          Finish(StartVelcot(there, {"-p", line_.link_b, "-b", "115200", "back.bin"}, "tx")).status,
          0);
    }
    EXPECT_TRUE(AwaitScreen("*** exit status: 0 ***")) << screen_;
    EXPECT_TRUE(ReadWholeFile(here + "/back.bin") == back);
  }
  ASSERT_TRUE(WriteAll(terminal_, "\x01\x18"));
  EXPECT_EQ(Finish(picocom).status, 0);
  // Each run's last drawing, and nothing else but printable text.
  for (const char* drawn : {"a.bin 30000/30000 (100.0%)", "back.bin 5000/5000 (100.0%)"}) {
    size_t at = screen_.find(drawn);
    ASSERT_NE(at, std::string::npos) << drawn;
    EXPECT_NE(screen_.find(drawn, at + 1), std::string::npos) << drawn;
  }
  // Skipping the line editor's escape sequences (ESC [ digits ; letter) and
  // the progress line's cells (U+2591, U+2593).
  for (size_t i = 0; i < screen_.size(); i++) {
    if (screen_.compare(i, 2, "\x1B[") == 0) {
      size_t end = screen_.find_first_not_of("0123456789;", i + 2);
      if (end < screen_.size() && isalpha(static_cast<unsigned char>(screen_[end]))) {
        i = end;
        continue;
      }
    }
    if (screen_.compare(i, 3, "\xE2\x96\x91") == 0 || screen_.compare(i, 3, "\xE2\x96\x93") == 0) {
      i += 2;
      continue;
    }
    unsigned char byte = static_cast<unsigned char>(screen_[i]);
    EXPECT_TRUE(byte == '\r' || byte == '\n' || (byte >= 0x20 && byte < 0x7F))
        << "byte " << int(byte) << " on the screen at " << i;
  }
}

// picocom's commands as they are, without an option, reach lrzsz: the
// sending velcot hears rz's ZRINIT and the receiving one sz's opening, and
// both answer by ZMODEM.
TEST_F(SerialUsersTest, PicocomReachesLrzszThroughVelcot) {
  std::string here = MakeFolder("here"), there = MakeFolder("there");
  std::string content = MakeContent(30000, 35), back = MakeContent(5000, 36);
  ASSERT_TRUE(WriteWholeFile(here + "/a.bin", content));
  ASSERT_TRUE(WriteWholeFile(there + "/back.bin", back));
  ASSERT_TRUE(StartLine());
  pid_t picocom = StartPicocom(here);
  ASSERT_TRUE(AwaitScreen("Terminal ready"));
  auto start_lrzsz = [&](const std::string& command) {
    SpawnOptions options;
    options.argv = {"socat", "FILE:" + line_.link_b + ",raw,echo=0",
                    "SYSTEM:" + command + "; sleep 0.3"};
    options.working_dir = there;
    return StartProgram(options);
  };
  pid_t rz = start_lrzsz("rz");
  ASSERT_TRUE(WriteAll(terminal_, "\x01\x13"));
  ASSERT_TRUE(AwaitScreen("*** file: ")) << screen_;
  ASSERT_TRUE(WriteAll(terminal_, "a.bin\r"));
  EXPECT_TRUE(AwaitScreen("sending by ZMODEM")) << screen_;
  EXPECT_TRUE(AwaitScreen("*** exit status: 0 ***")) << screen_;
  Finish(rz);
  EXPECT_TRUE(ReadWholeFile(there + "/a.bin") == content);

  ASSERT_TRUE(WriteAll(terminal_, "\x01\x12"));
  ASSERT_TRUE(AwaitScreen("*** file: ")) << screen_;
  ASSERT_TRUE(WriteAll(terminal_, "\r"));
  ASSERT_TRUE(AwaitLineSetUp(picocom));
  Finish(start_lrzsz("sz back.bin"));
  EXPECT_TRUE(AwaitScreen("receiving by ZMODEM")) << screen_;
  EXPECT_TRUE(AwaitScreen("*** exit status: 0 ***")) << screen_;
  EXPECT_TRUE(ReadWholeFile(here + "/back.bin") == back);
  ASSERT_TRUE(WriteAll(terminal_, "\x01\x18"));
  EXPECT_EQ(Finish(picocom).status, 0);
}

// ser2net 4 serves one end of the line as RFC 2217 and as raw TCP; velcot
// on the network side receives, then sends. Through RFC 2217 the device
// ser2net opened takes the speed and stop bits asked for (a
// pseudo-terminal keeps 8 data bits and no parity whatever it is told);
// the raw port has the speed of ser2net's configuration.
TEST_F(SerialUsersTest, Ser2netServesTheLineAsRfc2217AndRawTcp) {
  std::string tx = MakeFolder("tx"), net = MakeFolder("net"), peer = MakeFolder("peer");
  std::string content = MakeContent(70000, 35);
  ASSERT_TRUE(WriteWholeFile(tx + "/net.bin", content));
  ASSERT_TRUE(StartLine());
  Ser2net ser2net = StartSer2net(line_.link_a);
  ASSERT_GT(ser2net.pid, 0);
  for (bool telnet : {true, false}) {
    std::string url = telnet ? ser2net.rfc2217 : ser2net.raw;
    SCOPED_TRACE(url);
    std::vector<std::string> args = {"-p", url, "-b", "57600", "-m", "8N2"};
    ASSERT_TRUE(AwaitDeviceFree(ser2net, line_.link_a));
    ASSERT_TRUE(SetLinkSpeed(line_.link_a, B9600));
    pid_t receiver = StartVelcot(net, args, "net-rx");
    speed_t set = telnet ? B57600 : B115200;
    ASSERT_TRUE(WaitForCondition([&] { return ReadLinkSpeed(line_.link_a) == set; },
                                 kLimitMilliseconds, receiver))
        << Output("net-rx.err");
    SpawnOptions stty;
    stty.argv = {"stty", "-F", line_.link_a, "-a"};
    stty.stdout_path = scratch_ + "/logs/stty";
    Finish(StartProgram(stty));
    std::string settings = " " + Output("stty") + " ";
    std::replace(settings.begin(), settings.end(), '\n', ' ');
    EXPECT_EQ(settings.find(" cstopb ") != std::string::npos, telnet) << settings;
    EXPECT_EQ(Finish(StartVelcot(tx, {"-p", line_.link_b, "-b", "57600", "net.bin"}, "tx")).status,
              0)
        << Output("tx.err") << Output("net-rx.err");
    SendSignal(receiver, SIGTERM);
    EXPECT_EQ(Finish(receiver).status, 128 + SIGTERM) << Output("net-rx.err");
    EXPECT_TRUE(ReadWholeFile(net + "/net.bin") == content);

    std::remove((peer + "/net.bin").c_str());
    receiver = StartVelcot(peer, {"-p", line_.link_b, "-b", "57600"}, "rx");
    ASSERT_TRUE(WaitForReader(receiver, kLimitMilliseconds));
    args.push_back("net.bin");
    ASSERT_TRUE(AwaitDeviceFree(ser2net, line_.link_a));
    EXPECT_EQ(Finish(StartVelcot(tx, args, "net-tx")).status, 0) << Output("net-tx.err");
    SendSignal(receiver, SIGTERM);
    EXPECT_EQ(Finish(receiver).status, 128 + SIGTERM) << Output("rx.err");
    EXPECT_TRUE(ReadWholeFile(peer + "/net.bin") == content);
  }
}

// What goes wrong on the network gets a clear word and stores nothing; the
// test plays the server.
TEST_F(SerialUsersTest, NetworkFaultsAreReportedAndStoreNothing) {
  std::string rx = MakeFolder("rx");
  ASSERT_TRUE(WriteWholeFile(rx + "/keep.bin", "old content"));
  int closed = FindFreeTcpPort();
  const struct {
    std::string port;
    std::string reason;
  } kUnopenable[] = {
      {"socket://127.0.0.1:" + std::to_string(closed),
       "Couldn't connect to 127.0.0.1:" + std::to_string(closed) + ": Connection refused\n"},
      {"rfc2217://host.invalid:2217", "Couldn't connect to host.invalid:2217: "},
      {"tcp:host-without-port", "Couldn't connect to tcp:host-without-port: not HOST:PORT\n"},
  };
  for (const auto& c : kUnopenable) {
    SCOPED_TRACE(c.port);
    ProcessEnd end = Finish(StartVelcot(rx, {"-p", c.port, "-b", "115200"}, "open"));
    EXPECT_EQ(end.status, 1);
    EXPECT_EQ(Output("open.err").rfind(c.reason, 0), 0u) << Output("open.err");
    EXPECT_NE(Output("open.err").find("could not open " + c.port + "\n"), std::string::npos);
  }

  // An RFC 2217 server that sets another speed or another state of DTR
  // than asked (flow control and DTR go in SET-CONTROLs), or answers with
  // garbage.
  int port = 0;
  int listener = ListenOnFreeTcpPort(&port);
  ASSERT_GE(listener, 0);
  held_fds_.push_back(listener);
  std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);
  const std::string kAnswers =
      "\xFF\xFA\x2C\x66\x08\xFF\xF0\xFF\xFA\x2C\x67\x01\xFF\xF0\xFF\xFA\x2C\x68\x01\xFF\xF0"s;
  const struct {
    std::string answer;
    std::string refusal;
    std::vector<std::string> control = {};
  } kServers[] = {
      {"\xFF\xFA\x2C\x65\x00\x00\x25\x80\xFF\xF0"s + kAnswers + "\xFF\xFA\x2C\x69\x01\xFF\xF0"s,
       "the port server set baud rate 9600 when 100000 was asked\n"},
      {"\xFF\xFA\x2C\x65\x00\x01\x86\xA0\xFF\xF0"s + kAnswers +
           "\xFF\xFA\x2C\x69\x03\xFF\xF0\xFF\xFA\x2C\x69\x09\xFF\xF0"s,
       "the port server set DTR 9 when 8 was asked\n",
       {"--flow", "rtscts", "--dtr", "on"}},
      {"\xFF\xFB\xC8\xFF\xFA\x2C\xFF\xFD\x99\xFF\xFB",
       "the port server did not answer COM-PORT-OPTION's settings within 5 s\n"},
      {"", "the port server closed the connection\n"},  // as ser2net does to a second client
  };
  for (const auto& server : kServers) {
    std::vector<std::string> args = {"-p", url, "-b", "100000"};
    args.insert(args.end(), server.control.begin(), server.control.end());
    pid_t client = StartVelcot(rx, args, "rfc");
    int connection = AcceptWithin(listener, kLimitMilliseconds);
    ASSERT_GE(connection, 0);
    held_fds_.push_back(connection);
    std::string asked = ReadWithDeadline(connection, 200, 500);
    EXPECT_NE(asked.find("\xFF\xFA\x2C\x01\x00\x01\x86\xA0"s), std::string::npos);
    std::string control = server.control.empty() ? "\x01"s : "\x03\xFF\xF0\xFF\xFA\x2C\x05\x08"s;
    EXPECT_NE(asked.find("\xFF\xFA\x2C\x05"s + control + "\xFF\xF0"s), std::string::npos);
    if (server.answer.empty()) shutdown(connection, SHUT_RDWR);
    ASSERT_TRUE(server.answer.empty() || WriteAll(connection, server.answer));
    ProcessEnd end = Finish(client);
    EXPECT_EQ(end.status, 1);
    EXPECT_EQ(Output("rfc.err"), server.refusal + "couldn't configure port\n");
  }

  // A server that drops the connection mid-file: the old file stays.
  pid_t receiver =
      StartVelcot(rx, {"-p", "socket://127.0.0.1:" + std::to_string(port), "-b", "115200"}, "drop");
  int connection = AcceptWithin(listener, kLimitMilliseconds);
  ASSERT_GE(connection, 0);
  std::string block = MakeContent(1024, 36);
  ASSERT_TRUE(WriteAll(connection, "\x99"));
  ASSERT_EQ(ReadWithDeadline(connection, 1, kLimitMilliseconds), "\x33");
  ASSERT_TRUE(WriteAll(connection, EncodeAnnouncement("keep.bin", 3000)));
  ASSERT_EQ(ReadWithDeadline(connection, 1, kLimitMilliseconds), "\xCC");
  ASSERT_TRUE(WriteAll(connection, Frame(block)));
  ASSERT_EQ(ReadWithDeadline(connection, 2, kLimitMilliseconds), "\xFF\xFF");
  close(connection);
  ProcessEnd end = Finish(receiver);
  EXPECT_EQ(end.status, 2);
  EXPECT_NE(Output("drop.err").find("lost port socket://127.0.0.1:"), std::string::npos);
  EXPECT_EQ(ListDirectory(rx), std::vector<std::string>{"keep.bin"});
  EXPECT_EQ(ReadWholeFile(rx + "/keep.bin"), "old content");
}

}  // namespace
