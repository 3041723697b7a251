// The serial port code against a real pseudo-terminal.
#include "ports/commdev.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Pty {
  int master;
  std::string slave;
};

Pty OpenPty() {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(master, 0);
  EXPECT_EQ(grantpt(master), 0);
  EXPECT_EQ(unlockpt(master), 0);
  return {master, ptsname(master)};
}

// What the other end of the line has been sent so far: all that comes
// before it falls quiet for a tenth of a second.
std::string ReadWhatCame(int master) {
  std::string got;
  char buffer[4096];
  struct pollfd wanted = {master, POLLIN, 0};
  while (poll(&wanted, 1, 100) > 0) {
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, size_t(n));
  }
  return got;
}

typedef std::vector<uint8_t> Bytes;

// The next byte from the port, or -1 when it could not be read.
int TakeByte(PortHandle port) {
  uint8_t byte;
  return ReadByte(port, &byte) == PortResult::kDone ? byte : -1;
}

// ---- a read watched through /proc ----

// A ReadBytes on a thread of its own, on a pty whose master the test
// writes to, watching what the thread blocks in.
struct Reader {
  Pty pty;
  PortHandle port;
  Bytes buffer;
  std::atomic<pid_t> tid{0};
  long reads = -1;  // the thread's reads when last seen blocked
  PortResult result = PortResult::kDone;
  int error = 0;
  std::thread thread;
};

std::string ReadTaskFile(pid_t tid, const char* name) {
  std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/" + name);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// "poll" (waiting for bytes, no time-out), "sleep", another call's number,
// or "" while the thread runs.
std::string NameBlockingCall(pid_t tid) {
  std::istringstream call(ReadTaskFile(tid, "syscall"));
  long number = -1;
  std::string fds, count, timeout;
  if (!(call >> number >> fds >> count >> timeout)) return "";
#ifdef SYS_poll
  if (number == SYS_poll) return timeout != "0x0" ? "poll" : "poll 0";
#endif
#ifdef SYS_nanosleep
  if (number == SYS_nanosleep) return "sleep";
#endif
  if (number == SYS_ppoll) return "poll";
  return number == SYS_clock_nanosleep ? "sleep" : std::to_string(number);
}

// Waits, for at most 20 s, until the reader is blocked in wanted (or, when
// wanted is empty, in anything after a read since last seen); returns what
// it is blocked in. (Counting reads, not wake-ups: a poll on a pty is
// sometimes woken with nothing to read.)
std::string WaitForReader(Reader* reader, const std::string& wanted = "") {
  for (int tries = 0; tries < 20000; tries++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    pid_t tid = reader->tid;
    std::string io = tid != 0 ? ReadTaskFile(tid, "io") : "";
    std::string call = tid != 0 ? NameBlockingCall(tid) : "";
    if (call.empty() || io.empty() || ReadTaskFile(tid, "io") != io) continue;  // moved on
    long reads = std::stol(io.substr(io.find("syscr:") + 6));
    if (wanted.empty() ? reads > reader->reads : call == wanted) {
      reader->reads = reads;
      return call;
    }
  }
  return "gave up";
}

void StartReading(Reader* reader, uint32_t baudrate, size_t length) {
  reader->pty = OpenPty();
  reader->port = OpenComPort(reader->pty.slave.c_str());
  ASSERT_EQ(ConfigureComPort(reader->port, baudrate, "8N1"), 1);
  reader->buffer.assign(length, 0);
  reader->thread = std::thread([=] {
    reader->tid = pid_t(syscall(SYS_gettid));
    reader->result = ReadBytes(reader->port, reader->buffer.data(), length, 0);
    reader->error = GetPortError(reader->port);
  });
  ASSERT_EQ(WaitForReader(reader, "poll"), "poll");
}

void WriteToReader(Reader* reader, const Bytes& bytes) {
  ASSERT_EQ(write(reader->pty.master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

// Writes the bytes; returns what the reader is blocked in once it has them.
std::string FeedReader(Reader* reader, const Bytes& bytes) {
  WriteToReader(reader, bytes);
  return WaitForReader(reader);
}

void FinishReading(Reader* reader) {
  reader->thread.join();
  CloseComPort(reader->port);
  close(reader->pty.master);
}

TEST(ConfigureComPort, SetsARawLineAtStandardAndOtherSpeeds) {
  Pty pty = OpenPty();
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, kInvalidPortHandle);
  for (uint32_t rate : {9600u, 115200u, 921600u, 12345u, 1u}) {
    ASSERT_EQ(ConfigureComPort(port, rate, "8N1"), 1) << rate;
  }
  EXPECT_EQ(ConfigureComPort(port, 115200, "7o2"), 1);
  termios settings;  // a master's termios calls act on its terminal
  ASSERT_EQ(tcgetattr(pty.master, &settings), 0);
  EXPECT_EQ(cfgetospeed(&settings), speed_t(B115200));
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
  // A break is dropped, not read as a NUL; nothing is translated, stripped,
  // marked or answered with flow control.
  EXPECT_EQ(settings.c_iflag, tcflag_t(IGNBRK));
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(settings.c_cflag & CRTSCTS, 0u);
  // XON/XOFF as asked, with its two characters; a pty has no modem lines,
  // which is said when some are asked for.
  LineControl control;
  control.flow = FlowControl::kXonXoff;
  control.dtr = ModemLine::kOn;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(ConfigureComPort(port, 115200, "8N1", control));
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("the port has no modem lines (", 0), 0u);
  ASSERT_EQ(tcgetattr(pty.master, &settings), 0);
  EXPECT_EQ(settings.c_iflag, tcflag_t(IGNBRK | IXON | IXOFF));
  EXPECT_TRUE(settings.c_cc[VSTART] == 0x11 && settings.c_cc[VSTOP] == 0x13);
  CloseComPort(port);
  close(pty.master);
}

TEST(CloseComPort, PutsBackTheSettingsThePortHad) {
  Pty pty = OpenPty();
  termios before;
  ASSERT_EQ(tcgetattr(pty.master, &before), 0);
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, kInvalidPortHandle);
  ASSERT_EQ(ConfigureComPort(port, 921600, "7E2"), 1);
  CloseComPort(port);
  termios after;
  ASSERT_EQ(tcgetattr(pty.master, &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  close(pty.master);
}

// The settings put back echo, as most ports' do; bytes still arriving
// when they are (more than the line discipline takes, so some are still
// on their way in) are not sent back, and the last bytes written still go.
TEST(CloseComPort, SendsTheLastBytesButEchoesNothingBack) {
  Pty pty = OpenPty();
  termios echoing;
  ASSERT_EQ(tcgetattr(pty.master, &echoing), 0);
  ASSERT_NE(echoing.c_lflag & ECHO, 0u);
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, kInvalidPortHandle);
  ASSERT_EQ(ConfigureComPort(port, 115200, "8N1"), 1);
  ASSERT_EQ(fcntl(pty.master, F_SETFL, O_NONBLOCK), 0);
  std::string arriving(16384, 'x');
  ASSERT_GT(write(pty.master, arriving.data(), arriving.size()), 4096);
  EXPECT_EQ(WriteByte(port, 0xFF), PortResult::kDone);
  EXPECT_EQ(WriteByte(port, 0xFE), PortResult::kDone);
  CloseComPort(port);
  EXPECT_EQ(ReadWhatCame(pty.master), "\xFF\xFE");
  close(pty.master);
}

// Once the run has been asked to end, what it had not handed over yet is
// dropped instead of sent (at 300 baud that could take half a minute), but
// a protocol's last words (its cancel) still go, alone. The request is for
// the whole process, so a child of its own makes it.
TEST(CloseComPort, DropsWhatIsUnsentOnceTheRunIsInterruptedButTheLastWords) {
  for (bool last_words : {false, true}) {
    Pty pty = OpenPty();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      PortHandle port = OpenComPort(pty.slave.c_str());
      if (port == kInvalidPortHandle || ConfigureComPort(port, 300, "8N1") != 1) _exit(1);
      WriteByte(port, 0x41);
      CatchInterrupts();
      raise(SIGINT);
      const uint8_t cancel[] = {0x18, 0x18};
      bool spoken = !last_words || WriteLastWords(port, cancel, 2, 1000) == PortResult::kDone;
      bool silenced = WriteByte(port, 0x42) == PortResult::kLost;
      CloseComPort(port);
      _exit(GetInterruption() == SIGINT && spoken && silenced ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadWhatCame(pty.master), last_words ? "\x18\x18" : "");
    close(pty.master);
  }
}

TEST(ConfigureComPort, RefusesFormatsQuietlyAndReportsWhatThePlatformRefuses) {
  Pty pty = OpenPty();
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, kInvalidPortHandle);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ConfigureComPort(port, 9600, "8X1"), 0);
  EXPECT_EQ(ConfigureComPort(port, 9600, "8N3"), 0);
  EXPECT_EQ(ConfigureComPort(port, 9600, ""), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(ConfigureComPort(port, 9600, "9N1"), 0);
  EXPECT_EQ(ConfigureComPort(port, 9600, "0N1"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "the port refused 9600 baud 9N1: Invalid argument\n"
            "the port refused 9600 baud 0N1: Invalid argument\n");
  CloseComPort(port);
  close(pty.master);
}

TEST(OpenComPort, OpensExistingDevicesExclusivelyOrSaysWhyNot) {
  Pty pty = OpenPty();
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, kInvalidPortHandle);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenComPort(pty.slave.c_str()), kInvalidPortHandle);  // held by us
  std::string said = testing::internal::GetCapturedStderr();
  // Root passes the terminal's exclusive flag and meets the lock instead.
  EXPECT_TRUE(said == "open(" + pty.slave + ") failed: " + strerror(EBUSY) +
                          " (another program has the port open)\n" ||
              said == "flock(" + pty.slave + ") failed: " + strerror(EWOULDBLOCK) +
                          " (another program has the port open)\n")
      << said;
  CloseComPort(port);
  port = OpenComPort(pty.slave.c_str());
  EXPECT_NE(port, kInvalidPortHandle);
  CloseComPort(port);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenComPort("/nonexistent/port"), kInvalidPortHandle);
  EXPECT_EQ(OpenComPort("COM256"), kInvalidPortHandle);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "open(/nonexistent/port) failed: No such file or directory\n"
            "open(/dev/ttyS255) failed: No such file or directory\n");
  close(pty.master);
}

TEST(CloseComPort, GivesUpExclusiveUseWhileOthersHoldTheTerminal) {
  Pty pty = OpenPty();
  int held = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);  // as a virtual cable holds it
  ASSERT_GE(held, 0);
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, kInvalidPortHandle);
  int exclusive = -1;
  ASSERT_EQ(ioctl(held, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  CloseComPort(port);
  ASSERT_EQ(ioctl(held, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  close(held);
  close(pty.master);
}

TEST(ReadByte, CarriesEveryByteValueAndReportsAHangUp) {
  Pty pty = OpenPty();
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, kInvalidPortHandle);
  ASSERT_EQ(ConfigureComPort(port, 115200, "8N1"), 1);
  for (int value : {0x00, 0x11, 0x13, 0x0D, 0x0A, 0x03, 0x7F, 0xFF, 0x99}) {
    unsigned char byte = static_cast<unsigned char>(value);
    ASSERT_EQ(write(pty.master, &byte, 1), 1);
    EXPECT_EQ(WriteByte(port, uint8_t(value)), PortResult::kDone);
    EXPECT_EQ(TakeByte(port), value);  // hands over the written byte first
    ASSERT_EQ(read(pty.master, &byte, 1), 1);
    EXPECT_EQ(byte, value);
  }
  // A run each way in one call, after single bytes: in order, as they were.
  Bytes every(256);
  for (int value = 0; value < 256; value++)
    every[size_t(value)] = uint8_t(value);
  ASSERT_EQ(write(pty.master, every.data(), every.size()), 256);
  EXPECT_EQ(WriteByte(port, 0x33), PortResult::kDone);
  EXPECT_EQ(WriteBytes(port, every.data(), every.size()), PortResult::kDone);
  Bytes got(256);
  EXPECT_EQ(ReadBytes(port, got.data(), 256, 1000), PortResult::kDone);
  EXPECT_EQ(got, every);
  Bytes out(257);
  for (size_t n = 0; n < out.size();) {
    ssize_t r = read(pty.master, out.data() + n, out.size() - n);
    ASSERT_GT(r, 0);
    n += size_t(r);
  }
  EXPECT_EQ(out[0], 0x33);
  EXPECT_EQ(Bytes(out.begin() + 1, out.end()), every);
  // Silence part-way is no complete run, and no hang-up.
  ASSERT_EQ(write(pty.master, every.data(), 10), 10);
  EXPECT_EQ(ReadBytes(port, got.data(), 20, 50), PortResult::kTimedOut);

  close(pty.master);  // the cable is pulled
  EXPECT_EQ(ReadByte(port, got.data()), PortResult::kLost);
  EXPECT_EQ(ReadBytes(port, got.data(), 20, 0), PortResult::kLost);
  EXPECT_EQ(WriteByte(port, 0x41), PortResult::kDone);  // collected: lost once handed over
  EXPECT_EQ(WaitForByte(port, 0), PortResult::kLost);
  CloseComPort(port);
}

TEST(WaitForByte, TellsAWaitingByteFromSilenceWithoutTakingIt) {
  Pty pty = OpenPty();
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, kInvalidPortHandle);
  ASSERT_EQ(ConfigureComPort(port, 115200, "8N1"), 1);
  EXPECT_EQ(WaitForByte(port, 20), PortResult::kTimedOut);
  unsigned char byte = 0x5A;
  ASSERT_EQ(write(pty.master, &byte, 1), 1);
  EXPECT_EQ(WaitForByte(port, 5000), PortResult::kDone);
  EXPECT_EQ(WaitForByte(port, 0), PortResult::kDone);  // still there
  EXPECT_EQ(TakeByte(port), 0x5A);
  EXPECT_EQ(WaitForByte(port, 0), PortResult::kTimedOut);
  CloseComPort(port);
  close(pty.master);
}

// ---- reading without waking for every character ----

// A new arrival puts the reader to sleep while most of the rest travel;
// bytes that come meanwhile are taken on waking, and the next arrival puts
// it to sleep again. Every byte arrives, in order.
TEST(ReadBytes, SleepsWhileARunArrivesAndTakesEveryByte) {
  Reader reader;
  StartReading(&reader, 9600, 256);  // a character every 1.04 ms
  Bytes sent(256);
  for (size_t i = 0; i < sent.size(); i++)
    sent[i] = uint8_t(255 - i);
  EXPECT_EQ(FeedReader(&reader, Bytes(sent.begin(), sent.begin() + 1)), "sleep");
  WriteToReader(&reader, Bytes(sent.begin() + 1, sent.begin() + 101));
  EXPECT_EQ(WaitForReader(&reader), "poll");
  EXPECT_EQ(FeedReader(&reader, Bytes(sent.begin() + 101, sent.begin() + 102)), "sleep");
  WriteToReader(&reader, Bytes(sent.begin() + 102, sent.end()));
  FinishReading(&reader);
  EXPECT_EQ(reader.result, PortResult::kDone);
  EXPECT_EQ(reader.buffer, sent);
}

// A line that brings more at once than its speed could carry (a pty that
// nothing paces, a socket) is not slept on: here for 2.6 s at 1200 baud.
TEST(ReadBytes, DoesNotSleepOnALineFasterThanItsSpeed) {
  Reader reader;
  StartReading(&reader, 1200, 1000);
  EXPECT_EQ(FeedReader(&reader, Bytes(600, 0x5A)), "poll");
  WriteToReader(&reader, Bytes(400, 0x5A));
  FinishReading(&reader);
  EXPECT_EQ(reader.result, PortResult::kDone);
  EXPECT_EQ(reader.buffer, Bytes(1000, 0x5A));
}

// Ctrl+C ends the sleep at once, and from then on every port call fails. In
// a child process: the flag is the process's, for good.
TEST(ReadBytes, ReturnsPortLostOnceInterruptedInItsSleep) {
  EXPECT_EXIT(
      {
        CatchInterrupts();
        Reader reader;
        StartReading(&reader, 300, 100);  // 3.3 s for 100 characters
        std::string call = FeedReader(&reader, {0x01});
        pthread_kill(reader.thread.native_handle(), SIGINT);
        WriteToReader(&reader, Bytes(99, 0x02));  // what an unheeded signal would read
        reader.thread.join();
        uint8_t byte = 0;
        bool then_lost = ReadBytes(reader.port, &byte, 1, 0) == PortResult::kLost &&
                         GetPortError(reader.port) == EINTR &&
                         WriteBytes(reader.port, &byte, 1) == PortResult::kLost &&
                         GetPortError(reader.port) == EINTR &&
                         ReadByte(reader.port, &byte) == PortResult::kLost &&
                         WaitForByte(reader.port, 0) == PortResult::kLost;
        fprintf(stderr, "%s, %s errno %d, then lost %d\n", call.c_str(),
                reader.result == PortResult::kLost ? "lost" : "not lost", reader.error, then_lost);
        _exit(0);
      },
      testing::ExitedWithCode(0), "sleep, lost errno 4, then lost 1");
}

}  // namespace
