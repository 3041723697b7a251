// velcot against the programs of targets that cannot run it, over the
// nullmodem tool. Kermit against C-Kermit, both ways: batches with long
// packets and sliding windows (a file the receiver refuses among them), a
// 7-bit line with parity, a noisy line, and Ctrl+C at either end.
// X/YMODEM and ZMODEM against lrzsz's sx, rx, sb, rb, sz and rz, both
// ways, on clean and noisy lines and with Ctrl+C. And U-Boot's loadb, loadx
// and loady.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "process_util.h"

namespace {

const int kLimitSeconds = 240;  // only stops a hung process

// C-Kermit as the best transfers want it: 31 slots, the longest packets,
// CRC-16, and a file that did not come whole not kept.
const std::string kFast =
    "set window 31\nset receive packet-length 9024\nset block-check 3\nset file incomplete "
    "discard\n";

class PeersTest : public ProgramTest {
 protected:
  PeersTest() : ProgramTest(kLimitSeconds) {}

  void SetUp() override {
    MakeScratch("velcot-peers");
    MakeFolder("logs");
    tx_ = MakeFolder("tx");
    rx_ = MakeFolder("rx");
  }

  void StartCable(const std::vector<std::string>& options) {
    cable_ = StartNullModem(NULLMODEM_PATH, options, MakeFolder("cable"), kLimitSeconds);
    ASSERT_GT(cable_.pid, 0) << ReadWholeFile(cable_.log);
    children_.push_back(cable_.pid);
  }

  // velcot on link A; what receives starts first and holds its end.
  pid_t StartKermitVelcot(const std::string& folder, std::vector<std::string> args,
                          const std::string& log) {
    args.insert(args.begin(), {"-p", cable_.link_a, "--protocol", "kermit"});
    return StartVelcot(folder, args, log);
  }

  void AwaitOpen(pid_t pid, const std::string& link) {
    EXPECT_TRUE(WaitForCondition([&] { return HoldsFile(pid, link); }, kLimitSeconds * 1000, pid));
  }

  void ExpectExit(const ProcessEnd& end, int status, const std::string& log) {
    EXPECT_TRUE(end.exited) << log;
    EXPECT_EQ(end.status, status) << log << ": " << Output(log + ".err") << Output(log + ".out");
  }

  // Files to send: every byte value in runs and alone, random bytes, a
  // line of text; each with its own time.
  void MakeFiles(size_t size) {
    std::string every;
    for (int i = 0; i < 256; i++)
      every += std::string(size_t(i % 7 + 1), char(i));
    files_ = {{"every.bin", every + MakeContent(size, 1)},
              {"random.bin", MakeContent(size, 2)},
              {"notes.txt", "a line\n"}};
    for (size_t i = 0; i < files_.size(); i++) {
      EXPECT_TRUE(WriteWholeFile(tx_ + "/" + files_[i].first, files_[i].second));
      const struct timespec kWritten[2] = {{0, UTIME_OMIT}, {time_t(1500000000 + i * 1000), 0}};
      EXPECT_EQ(utimensat(AT_FDCWD, (tx_ + "/" + files_[i].first).c_str(), kWritten, 0), 0);
    }
  }

  // Sends the files one way, velcot to C-Kermit (to_kermit) or back, into
  // an empty rx, or one that has random.bin as existing says.
  void Transfer(bool to_kermit, std::vector<std::string> velcot_args, const std::string& settings,
                const std::string& existing = "") {
    RemoveTree(rx_);
    MakeFolder("rx");
    EXPECT_TRUE(existing.empty() || WriteWholeFile(rx_ + "/random.bin", existing));
    std::string names;
    for (const auto& file : files_)
      names += " " + file.first;
    if (to_kermit) {
      pid_t kermit = StartKermit(rx_, cable_.link_b, settings + "receive", "kermit");
      AwaitOpen(kermit, cable_.link_b);
      for (const auto& file : files_)
        velcot_args.push_back(file.first);
      velcot_end_ = Finish(StartKermitVelcot(tx_, velcot_args, "velcot"));
      kermit_end_ = Finish(kermit);
    } else {
      pid_t velcot = StartKermitVelcot(rx_, velcot_args, "velcot");
      AwaitOpen(velcot, cable_.link_a);
      kermit_end_ = Finish(StartKermit(tx_, cable_.link_b, settings + "msend" + names, "kermit"));
      velcot_end_ = Finish(velcot);
    }
  }

  // Each file is in rx whole, or not there at all, and nothing else is;
  // true when all are.
  bool ExpectWholeOrNone() {
    bool all = ListDirectory(rx_).size() == files_.size();
    EXPECT_LE(ListDirectory(rx_).size(), files_.size());
    for (const auto& file : files_) {
      bool there = false;
      std::string got = ReadWholeFile(rx_ + "/" + file.first, &there);
      EXPECT_TRUE(!there || got == file.second) << file.first;
      all = all && got == file.second;
    }
    return all;
  }

  // An lrzsz program on link B, through socat: it flushes the line as it
  // exits, which on a pty drops its last answer before the cable takes it.
  // Its status follows its messages in LOG.err; it keeps the pipe open a
  // moment after, so that socat can hand it a last answer it no longer
  // waits for.
  pid_t StartLrzsz(const std::string& folder, const std::string& command, const std::string& log) {
    SpawnOptions options;
    options.argv = {"socat", "FILE:" + cable_.link_b + ",raw,echo=0",
                    "SYSTEM:" + command + "; echo status $? >&2; sleep 0.3"};
    return StartLogged(options, folder, log);
  }

  // The status an lrzsz program so started reported; -1 for none.
  int ReadPeerStatus(const std::string& log) {
    std::string said = Output(log + ".err");
    size_t at = said.rfind("status ");
    return at == std::string::npos ? -1 : atoi(said.c_str() + at + 7);
  }

  // velcot on link A, started first (a sender waits for the ask), then
  // the peer: an lrzsz command, or a velcot with the same arguments.
  void RunXy(bool to_peer, std::vector<std::string> args, const char* peer) {
    std::vector<std::string> velcot_args = {"-p", cable_.link_a, "-b", "115200"};
    velcot_args.insert(velcot_args.end(), args.begin(), args.end());
    if (to_peer) {
      for (const auto& file : files_)
        velcot_args.push_back(file.first);
    }
    pid_t velcot = StartVelcot(to_peer ? tx_ : rx_, velcot_args, "velcot");
    AwaitOpen(velcot, cable_.link_a);
    pid_t other;
    if (peer != nullptr) {
      other = StartLrzsz(to_peer ? rx_ : tx_, peer, "peer");
    } else {
      args.insert(args.begin(), {"-p", cable_.link_b, "-b", "115200"});
      other = StartVelcot(rx_, args, "peer");
    }
    velcot_end_ = Finish(velcot);
    kermit_end_ = Finish(other);
    if (peer != nullptr) kermit_end_.status = ReadPeerStatus("peer");
  }

  NullModem cable_;
  std::string tx_, rx_;
  std::vector<std::pair<std::string, std::string>> files_;
  ProcessEnd velcot_end_, kermit_end_;
};

// Both ways with windows and long packets: every file whole, with its
// time. C-Kermit keeps a file it has (SET FILE COLLISION DISCARD), refusing
// it in its answer to the attributes: velcot says so and sends the next.
TEST_F(PeersTest, BatchesGoBothWaysWithCKermit) {
  StartCable({"-b", "115200"});
  MakeFiles(200000);
  for (bool to_kermit : {true, false}) {
    SCOPED_TRACE(to_kermit ? "to C-Kermit" : "from C-Kermit");
    Transfer(to_kermit, {"-b", "115200"}, kFast + "set file collision discard\n",
             to_kermit ? "the old one" : "");
    ExpectExit(velcot_end_, to_kermit ? 2 : 0, "velcot");
    ExpectExit(kermit_end_, 0, "kermit");
    for (size_t i = 0; i < files_.size(); i++) {
      const std::string& name = files_[i].first;
      bool kept = to_kermit && name == "random.bin";
      EXPECT_EQ(ReadWholeFile(rx_ + "/" + name) == files_[i].second, !kept) << name;
      struct stat info;
      ASSERT_EQ(stat((rx_ + "/" + name).c_str(), &info), 0);
      EXPECT_TRUE(kept || info.st_mtime == time_t(1500000000 + i * 1000)) << name;
    }
    std::string shown = Output("velcot.out");
    EXPECT_NE(shown.find(to_kermit ? "file random.bin declined by receiver\n"
                                   : " random.bin 200000/200000 (100.0%)\r"),
              std::string::npos)
        << shown;
  }
}

// A 7-bit line with even parity: C-Kermit asks for the 8th bit prefixed,
// and so does velcot told -m 7E1; every byte value arrives both ways.
TEST_F(PeersTest, SevenBitLineWithParityCarriesEveryByte) {
  StartCable({"-b", "115200", "-m", "7E1"});
  MakeFiles(20000);
  for (bool to_kermit : {true, false}) {
    SCOPED_TRACE(to_kermit ? "to C-Kermit" : "from C-Kermit");
    Transfer(to_kermit, {"-b", "115200", "-m", "7E1"}, "set parity even\nset block-check 3\n");
    ExpectExit(velcot_end_, 0, "velcot");
    ExpectExit(kermit_end_, 0, "kermit");
    EXPECT_TRUE(ExpectWholeOrNone());
  }
}

// Bit errors both ways on a line with latency: every file arrives whole or
// not at all, and both ends say so; neither hangs.
TEST_F(PeersTest, NoisyLineStoresEveryFileWholeOrNotAtAll) {
  StartCable({"-b", "115200", "--ber-ab", "1e-5", "--ber-ba", "1e-5", "--latency-ms", "20"});
  MakeFiles(100000);
  for (bool to_kermit : {true, false}) {
    SCOPED_TRACE(to_kermit ? "to C-Kermit" : "from C-Kermit");
    Transfer(to_kermit, {"-b", "115200"}, kFast);
    EXPECT_TRUE(velcot_end_.exited && kermit_end_.exited);
    bool whole = ExpectWholeOrNone();
    if (velcot_end_.status == 0) {
      EXPECT_TRUE(whole) << Output("velcot.err");
    }
  }
  SendSignal(cable_.pid, SIGTERM);
  Finish(cable_.pid);
  EXPECT_GT(ParseLineCounters(ReadWholeFile(cable_.log), "A->B").flipped, 0u);
}

// Ctrl+C at velcot mid-file, sending and receiving: it ends at once with
// the interrupt's status and tells C-Kermit, which gives up too; the
// receiving end stores nothing.
TEST_F(PeersTest, InterruptedEndCancelsTheOther) {
  StartCable({"-b", "57600"});
  MakeFiles(300000);
  for (bool to_kermit : {true, false}) {
    SCOPED_TRACE(to_kermit ? "to C-Kermit" : "from C-Kermit");
    pid_t kermit, velcot;  // rx is empty: the first round stored nothing
    if (to_kermit) {
      kermit = StartKermit(rx_, cable_.link_b, kFast + "receive", "kermit", "57600");
      AwaitOpen(kermit, cable_.link_b);
      velcot = StartKermitVelcot(tx_, {"-b", "57600", "every.bin"}, "velcot");
    } else {
      velcot = StartKermitVelcot(rx_, {"-b", "57600"}, "velcot");
      AwaitOpen(velcot, cable_.link_a);
      kermit = StartKermit(tx_, cable_.link_b, kFast + "send every.bin", "kermit", "57600");
    }
    ASSERT_TRUE(WaitForFileText(scratch_ + "/logs/velcot.out", "every.bin 1", kLimitSeconds * 1000,
                                velcot));
    SendSignal(velcot, SIGINT);
    ExpectExit(Finish(velcot), 130, "velcot");
    ProcessEnd kermit_end = Finish(kermit);
    EXPECT_TRUE(kermit_end.exited && kermit_end.status != 0) << Output("kermit.out");
    EXPECT_TRUE(ListDirectory(rx_).empty());
  }
}

// U-Boot's loadb stores what velcot sends, as its own crc32 says; Ctrl+C
// in velcot mid-file ends loadb, and U-Boot prompts again.
TEST_F(PeersTest, UBootLoadbTakesTheFileAndEndsOnCtrlC) {
  UBoot uboot = StartUBoot(MakeFolder("uboot"));
  ASSERT_GE(uboot.console, 0);
  const std::string image = MakeContent(100000, 3);
  ASSERT_TRUE(WriteWholeFile(tx_ + "/image.bin", image));
  std::vector<std::string> args = {"-p",         uboot.cable.link_b, "-b",       "115200",
                                   "--protocol", "kermit",           "image.bin"};
  ASSERT_FALSE(TypeUBootCommand(uboot, "loadb 0x40200000", "bps...\r\n").empty());
  ExpectExit(Finish(StartVelcot(tx_, args, "velcot")), 0, "velcot");
  // loadb drops what comes in its last 100 ms: its prompt first.
  EXPECT_NE(ReadUntil(uboot.console, "\n=> ", 30000), "");
  EXPECT_EQ(ReadUBootCrc32(uboot, "0x40200000", image.size()), FormatCrc32(image));

  ASSERT_FALSE(TypeUBootCommand(uboot, "loadb 0x40200000", "bps...\r\n").empty());
  pid_t velcot = StartVelcot(tx_, args, "cancel");
  ASSERT_TRUE(
      WaitForFileText(scratch_ + "/logs/cancel.out", "image.bin 1", kLimitSeconds * 1000, velcot));
  SendSignal(velcot, SIGINT);
  ExpectExit(Finish(velcot), 130, "cancel");
  EXPECT_NE(ReadUntil(uboot.console, "\n=> ", 30000), "");
}

// ---- X/YMODEM ----

// What an X/YMODEM sender puts on the line for content: 1 KiB blocks (or
// 128-byte ones), a tail of up to 128 bytes in a short block, SUB padding.
std::string PadAsSent(const std::string& content, size_t room) {
  size_t tail = content.size() % room;
  size_t block = tail == 0 ? 0 : tail <= 128 ? 128 : room;
  return content + std::string(tail == 0 ? 0 : block - tail, '\x1a');
}

// Every row both ways where the peer does both: each file stored whole,
// under its name (XMODEM: the one -o gives), YMODEM's with its time; rx
// keeps XMODEM's padding, velcot cuts it.
TEST_F(PeersTest, LrzszProtocolsGoBothWays) {
  StartCable({"-b", "115200"});
  MakeFiles(20000);
  auto all = files_;
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* peer;  // nullptr: another velcot
    bool to_peer;
    size_t padded;  // XMODEM's blocks as rx stores them; 0: a batch
  } kRows[] = {
      {"to rx -c: XMODEM, CRC-16", {"--protocol", "xmodem"}, "rx -c got.bin", true, 128},
      {"to rx: XMODEM-1K, 8-bit sum", {"--protocol", "xmodem-1k"}, "rx got.bin", true, 1024},
      {"from sx: XMODEM", {"--protocol", "xmodem", "-o", "got.bin"}, "sx every.bin", false, 0},
      {"from sx -k: XMODEM-1K",
       {"--protocol", "xmodem", "-o", "got.bin"},
       "sx -k every.bin",
       false,
       0},
      {"to rb: YMODEM", {"--protocol", "ymodem"}, "rb", true, 0},
      {"from sb: YMODEM", {"--protocol", "ymodem"}, "sb every.bin random.bin notes.txt", false, 0},
      {"from sb: YMODEM-g",
       {"--protocol", "ymodem-g"},
       "sb every.bin random.bin notes.txt",
       false,
       0},
      {"to velcot: YMODEM-g", {"--protocol", "ymodem-g"}, nullptr, true, 0},
      {"to rz: ZMODEM", {"--protocol", "zmodem"}, "rz", true, 0},
      {"from sz: ZMODEM", {"--protocol", "zmodem"}, "sz every.bin random.bin notes.txt", false, 0},
      {"from sz -e: ZMODEM, every control character escaped",
       {"--protocol", "zmodem"},
       "sz -e every.bin random.bin notes.txt",
       false,
       0},
      {"to velcot: ZMODEM", {"--protocol", "zmodem"}, nullptr, true, 0},
      {"to rz: ZMODEM, --escape-all", {"--protocol", "zmodem", "--escape-all"}, "rz", true, 0},
      {"to velcot: ZMODEM, --escape-all",
       {"--protocol", "zmodem", "--escape-all"},
       nullptr,
       true,
       0},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    bool xmodem = row.args[1].find("xmodem") == 0;
    files_ = xmodem ? decltype(files_){all[0]} : all;
    RemoveTree(rx_);
    MakeFolder("rx");
    RunXy(row.to_peer, row.args, row.peer);
    ExpectExit(velcot_end_, 0, "velcot");
    ExpectExit(kermit_end_, 0, "peer");
    if (xmodem) {
      std::string content = files_[0].second;
      EXPECT_EQ(ReadWholeFile(rx_ + "/got.bin"),
                row.to_peer ? PadAsSent(content, row.padded) : content);
      continue;
    }
    EXPECT_TRUE(ExpectWholeOrNone());
    for (size_t i = 0; i < files_.size(); i++) {
      struct stat info;
      ASSERT_EQ(stat((rx_ + "/" + files_[i].first).c_str(), &info), 0);
      EXPECT_EQ(info.st_mtime, time_t(1500000000 + i * 1000)) << files_[i].first;
    }
  }
}

// Bit errors both ways on a line with latency: every file whole or not
// there, never a hang.
TEST_F(PeersTest, LrzszOnANoisyLineStoresEveryFileWholeOrNotAtAll) {
  StartCable({"-b", "115200", "--ber-ab", "1e-5", "--ber-ba", "1e-5", "--latency-ms", "20"});
  MakeFiles(50000);
  const struct {
    const char* protocol;
    const char* receiver;
    const char* sender;
  } kRows[] = {{"ymodem", "rb", "sb every.bin random.bin notes.txt"},
               {"zmodem", "rz", "sz every.bin random.bin notes.txt"}};
  for (const auto& row : kRows) {
    for (bool to_peer : {true, false}) {
      SCOPED_TRACE(std::string(row.protocol) + (to_peer ? " to " : " from ") +
                   (to_peer ? row.receiver : row.sender));
      RemoveTree(rx_);
      MakeFolder("rx");
      RunXy(to_peer, {"--protocol", row.protocol}, to_peer ? row.receiver : row.sender);
      EXPECT_TRUE(velcot_end_.exited && kermit_end_.exited);
      bool whole = ExpectWholeOrNone();
      if (velcot_end_.status == 0 && !to_peer) {
        EXPECT_TRUE(whole) << Output("velcot.err");
      }
    }
  }
  SendSignal(cable_.pid, SIGTERM);
  Finish(cable_.pid);
  EXPECT_GT(ParseLineCounters(ReadWholeFile(cable_.log), "A->B").flipped, 0u);
}

// Ctrl+C at velcot mid-file: it ends at once with the interrupt's status,
// and its cancel (CAN CAN, or ZMODEM's CANs) ends the lrzsz program too;
// velcot receiving stores nothing.
TEST_F(PeersTest, LrzszInterruptedEndCancelsTheOther) {
  StartCable({"-b", "57600"});
  MakeFiles(300000);
  const struct {
    const char* protocol;
    const char* receiver;
    const char* sender;
  } kRows[] = {{"ymodem", "rb", "sb every.bin"}, {"zmodem", "rz", "sz every.bin"}};
  for (const auto& row : kRows) {
    for (bool to_peer : {true, false}) {
      SCOPED_TRACE(std::string(row.protocol) + (to_peer ? " to " : " from ") +
                   (to_peer ? row.receiver : row.sender));
      std::vector<std::string> args = {"-p",    cable_.link_a, "-b",
                                       "57600", "--protocol",  row.protocol};
      if (to_peer) args.push_back("every.bin");
      pid_t velcot = StartVelcot(to_peer ? tx_ : rx_, args, "velcot");
      AwaitOpen(velcot, cable_.link_a);
      pid_t peer = StartLrzsz(to_peer ? rx_ : tx_, to_peer ? row.receiver : row.sender, "peer");
      ASSERT_TRUE(WaitForFileText(scratch_ + "/logs/velcot.out", "every.bin 1",
                                  kLimitSeconds * 1000, velcot));
      SendSignal(velcot, SIGINT);
      ExpectExit(Finish(velcot), 130, "velcot");
      EXPECT_TRUE(Finish(peer).exited);
      EXPECT_GT(ReadPeerStatus("peer"), 0) << Output("peer.err");
      // Nothing stored; a ZMODEM receiver keeps its part, for a resume.
      bool there = false;
      ReadWholeFile(rx_ + "/every.bin", &there);
      EXPECT_TRUE(to_peer || !there);
      RemoveTree(rx_);
      MakeFolder("rx");
    }
  }
}

// U-Boot's loadx and loady store what velcot sends, as its own crc32 says;
// Ctrl+C in velcot mid-file ends loady, and U-Boot prompts again.
TEST_F(PeersTest, UBootLoadxAndLoadyTakeTheFile) {
  UBoot uboot = StartUBoot(MakeFolder("uboot"));
  ASSERT_GE(uboot.console, 0);
  // XMODEM's padding is SUB: loadx drops every SUB at the end.
  std::string image = MakeContent(100000, 3) + "end";
  ASSERT_TRUE(WriteWholeFile(tx_ + "/image.bin", image));
  for (std::string protocol : {"xmodem", "xmodem-1k", "ymodem"}) {
    SCOPED_TRACE(protocol);
    std::vector<std::string> args = {"-p",         uboot.cable.link_b, "-b",       "115200",
                                     "--protocol", protocol,           "image.bin"};
    std::string command = protocol == "ymodem" ? "loady" : "loadx";
    ASSERT_FALSE(TypeUBootCommand(uboot, command + " 0x40200000", "bps...\r\n").empty());
    ExpectExit(Finish(StartVelcot(tx_, args, "velcot")), 0, "velcot");
    std::string said = ReadUntil(uboot.console, "\n=> ", 30000);
    EXPECT_NE(said, "");
    EXPECT_EQ(ReadUBootCrc32(uboot, "0x40200000", image.size()), FormatCrc32(image)) << said;
  }
  ASSERT_FALSE(TypeUBootCommand(uboot, "loady 0x40200000", "bps...\r\n").empty());
  pid_t velcot = StartVelcot(
      tx_, {"-p", uboot.cable.link_b, "-b", "115200", "--protocol", "ymodem", "image.bin"},
      "cancel");
  ASSERT_TRUE(
      WaitForFileText(scratch_ + "/logs/cancel.out", "image.bin 1", kLimitSeconds * 1000, velcot));
  SendSignal(velcot, SIGINT);
  ExpectExit(Finish(velcot), 130, "cancel");
  EXPECT_NE(ReadUntil(uboot.console, "\n=> ", 30000), "");
}

// ---- velcot's own exchange meeting the others ----

// A default sender that hears a receiver of another protocol says how to
// send to it; a default receiver takes a C-Kermit sender's files by Kermit.
TEST_F(PeersTest, DefaultEndsRecognizeOtherProtocols) {
  StartCable({"-b", "115200"});
  MakeFiles(20000);
  const struct {
    const char* peer;
    const char* said;
  } kRows[] = {{"rb", "--protocol ymodem"},
               {"rx got.bin", "--protocol xmodem\n"},
               {nullptr, "--protocol kermit\n"}};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.said);
    pid_t velcot = StartVelcot(tx_, {"-p", cable_.link_a, "-b", "115200", "every.bin"}, "velcot");
    AwaitOpen(velcot, cable_.link_a);
    pid_t peer = row.peer != nullptr ? StartLrzsz(rx_, row.peer, "peer")
                                     : StartKermit(rx_, cable_.link_b, "receive", "peer");
    EXPECT_TRUE(
        WaitForFileText(scratch_ + "/logs/velcot.err", row.said, kLimitSeconds * 1000, velcot));
    SendSignal(velcot, SIGINT);
    Finish(velcot);
    SendSignal(peer, SIGTERM);
    Finish(peer);
  }
  RemoveTree(rx_);
  MakeFolder("rx");
  pid_t velcot = StartVelcot(rx_, {"-p", cable_.link_a, "-b", "115200"}, "velcot");
  AwaitOpen(velcot, cable_.link_a);
  ExpectExit(Finish(StartKermit(tx_, cable_.link_b, kFast + "msend every.bin random.bin notes.txt",
                                "kermit")),
             0, "kermit");
  SendSignal(velcot, SIGINT);
  Finish(velcot);
  EXPECT_TRUE(ExpectWholeOrNone());
  EXPECT_NE(Output("velcot.out").find("receiving by Kermit"), std::string::npos);
}

// Without --protocol at either end: a sender that hears rz's ZRINIT sends
// its batch by ZMODEM, and a receiver that hears sz's opening takes it so.
TEST_F(PeersTest, DefaultEndsSpeakZmodemWithLrzsz) {
  StartCable({"-b", "115200"});
  MakeFiles(20000);
  files_.pop_back();  // a batch of two
  RunXy(true, {}, "rz");
  ExpectExit(velcot_end_, 0, "velcot");
  ExpectExit(kermit_end_, 0, "peer");
  EXPECT_TRUE(ExpectWholeOrNone());
  EXPECT_NE(Output("velcot.out").find("sending by ZMODEM"), std::string::npos);
  RemoveTree(rx_);
  MakeFolder("rx");
  pid_t velcot = StartVelcot(rx_, {"-p", cable_.link_a, "-b", "115200"}, "velcot");
  AwaitOpen(velcot, cable_.link_a);
  pid_t peer = StartLrzsz(tx_, "sz every.bin random.bin", "peer");
  EXPECT_TRUE(Finish(peer).exited);
  EXPECT_EQ(ReadPeerStatus("peer"), 0) << Output("peer.err");
  SendSignal(velcot, SIGINT);
  Finish(velcot);
  EXPECT_TRUE(ExpectWholeOrNone());
  EXPECT_EQ(ListDirectory(rx_).size(), 2u);
  EXPECT_NE(Output("velcot.out").find("receiving by ZMODEM"), std::string::npos);
}

// Resume both ways: rz -r holding half the file gets only the rest; velcot
// cut off mid-file keeps its part and asks sz only for the rest.
TEST_F(PeersTest, ZmodemResumesFromTheReceiversPart) {
  MakeFiles(100000);
  files_ = {files_[1]};
  const std::string content = files_[0].second;
  const std::string path = rx_ + "/" + files_[0].first;
  StartCable({"-b", "115200"});
  ASSERT_TRUE(WriteWholeFile(path, content.substr(0, 50000)));
  RunXy(true, {"--protocol", "zmodem"}, "rz -r");
  ExpectExit(velcot_end_, 0, "velcot");
  ExpectExit(kermit_end_, 0, "peer");
  EXPECT_EQ(ReadWholeFile(path), content);
  SendSignal(cable_.pid, SIGTERM);
  Finish(cable_.pid);
  EXPECT_LT(ParseLineCounters(ReadWholeFile(cable_.log), "A->B").carried, 60000u);

  RemoveTree(rx_);
  MakeFolder("rx");
  for (const char* cut : {"40000", ""}) {
    SCOPED_TRACE(*cut ? "cut off" : "sent again");
    std::vector<std::string> options = {"-b", "115200"};
    if (*cut) options.insert(options.end(), {"--cut-after", cut});
    cable_ =
        StartNullModem(NULLMODEM_PATH, options, MakeFolder(*cut ? "cut" : "again"), kLimitSeconds);
    ASSERT_GT(cable_.pid, 0) << ReadWholeFile(cable_.log);
    children_.push_back(cable_.pid);
    RunXy(false, {"--protocol", "zmodem"}, "sz random.bin");
    SendSignal(cable_.pid, SIGTERM);
    Finish(cable_.pid);
    if (*cut) {
      EXPECT_NE(velcot_end_.status, 0);
      EXPECT_EQ(ListDirectory(rx_).size(), 1u);  // the kept part alone
      continue;
    }
    ExpectExit(velcot_end_, 0, "velcot");
    EXPECT_EQ(ReadWholeFile(path), content);
    EXPECT_EQ(ListDirectory(rx_).size(), 1u);
    EXPECT_LT(ParseLineCounters(ReadWholeFile(cable_.log), "B->A").carried, 80000u);
  }
}

}  // namespace
