// The serial port code against a real pseudo-terminal.
#include "commdev.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

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

TEST(ConfigureComPort, SetsARawLineAtStandardAndOtherSpeeds) {
  Pty pty = OpenPty();
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, INVALID_PORT_HANDLE);
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
  CloseComPort(port);
  close(pty.master);
}

TEST(CloseComPort, PutsBackTheSettingsThePortHad) {
  Pty pty = OpenPty();
  termios before;
  ASSERT_EQ(tcgetattr(pty.master, &before), 0);
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, INVALID_PORT_HANDLE);
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
  ASSERT_NE(port, INVALID_PORT_HANDLE);
  ASSERT_EQ(ConfigureComPort(port, 115200, "8N1"), 1);
  ASSERT_EQ(fcntl(pty.master, F_SETFL, O_NONBLOCK), 0);
  std::string arriving(16384, 'x');
  ASSERT_GT(write(pty.master, arriving.data(), arriving.size()), 4096);
  EXPECT_EQ(WriteByte(port, 0xFF), 1);
  EXPECT_EQ(WriteByte(port, 0xFE), 1);
  CloseComPort(port);
  EXPECT_EQ(ReadWhatCame(pty.master), "\xFF\xFE");
  close(pty.master);
}

// Once the run has been asked to end, what it had not handed over yet is
// dropped instead of sent (at 300 baud that could take half a minute).
// The request is for the whole process, so a child of its own makes it.
TEST(CloseComPort, DropsWhatIsUnsentOnceTheRunIsInterrupted) {
  Pty pty = OpenPty();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PortHandle port = OpenComPort(pty.slave.c_str());
    if (port == INVALID_PORT_HANDLE || ConfigureComPort(port, 300, "8N1") != 1) _exit(1);
    WriteByte(port, 0x41);
    CatchInterrupts();
    raise(SIGINT);
    CloseComPort(port);
    _exit(GetInterruption() == SIGINT ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadWhatCame(pty.master), "");
  close(pty.master);
}

TEST(ConfigureComPort, RefusesFormatsQuietlyAndReportsWhatThePlatformRefuses) {
  Pty pty = OpenPty();
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, INVALID_PORT_HANDLE);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ConfigureComPort(port, 9600, "8X1"), 0);
  EXPECT_EQ(ConfigureComPort(port, 9600, "8N3"), 0);
  EXPECT_EQ(ConfigureComPort(port, 9600, ""), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(ConfigureComPort(port, 9600, "9N1"), 0);
  EXPECT_EQ(ConfigureComPort(port, 9600, "0N1"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "SetCommState() failed with 22\nSetCommState() failed with 22\n");
  CloseComPort(port);
  close(pty.master);
}

TEST(OpenComPort, OpensExistingDevicesExclusivelyOrSaysWhyNot) {
  Pty pty = OpenPty();
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, INVALID_PORT_HANDLE);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenComPort(pty.slave.c_str()), INVALID_PORT_HANDLE);  // held by us
  std::string said = testing::internal::GetCapturedStderr();
  // Root passes the terminal's exclusive flag and meets the lock instead.
  EXPECT_TRUE(said == "open(" + pty.slave + ") failed: " + strerror(EBUSY) +
                          " (another program has the port open)\n" ||
              said == "flock(" + pty.slave + ") failed: " + strerror(EWOULDBLOCK) +
                          " (another program has the port open)\n")
      << said;
  CloseComPort(port);
  port = OpenComPort(pty.slave.c_str());
  EXPECT_NE(port, INVALID_PORT_HANDLE);
  CloseComPort(port);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenComPort("/nonexistent/port"), INVALID_PORT_HANDLE);
  EXPECT_EQ(OpenComPort("COM256"), INVALID_PORT_HANDLE);
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
  ASSERT_NE(port, INVALID_PORT_HANDLE);
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
  ASSERT_NE(port, INVALID_PORT_HANDLE);
  ASSERT_EQ(ConfigureComPort(port, 115200, "8N1"), 1);
  for (int value : {0x00, 0x11, 0x13, 0x0D, 0x0A, 0x03, 0x7F, 0xFF, 0x99}) {
    unsigned char byte = static_cast<unsigned char>(value);
    ASSERT_EQ(write(pty.master, &byte, 1), 1);
    EXPECT_EQ(WriteByte(port, value), 1);
    EXPECT_EQ(ReadByte(port), value);  // hands over the written byte first
    ASSERT_EQ(read(pty.master, &byte, 1), 1);
    EXPECT_EQ(byte, value);
  }
  close(pty.master);  // the cable is pulled
  EXPECT_EQ(ReadByte(port), PORT_LOST);
  EXPECT_EQ(WriteByte(port, 0x41), 1);  // collected: the loss shows when it is handed over
  EXPECT_EQ(WaitForByte(port, 0), PORT_LOST);
  CloseComPort(port);
}

TEST(WaitForByte, TellsAWaitingByteFromSilenceWithoutTakingIt) {
  Pty pty = OpenPty();
  PortHandle port = OpenComPort(pty.slave.c_str());
  ASSERT_NE(port, INVALID_PORT_HANDLE);
  ASSERT_EQ(ConfigureComPort(port, 115200, "8N1"), 1);
  EXPECT_EQ(WaitForByte(port, 20), 0);
  unsigned char byte = 0x5A;
  ASSERT_EQ(write(pty.master, &byte, 1), 1);
  EXPECT_EQ(WaitForByte(port, 5000), 1);
  EXPECT_EQ(WaitForByte(port, 0), 1);  // still there
  EXPECT_EQ(ReadByte(port), 0x5A);
  EXPECT_EQ(WaitForByte(port, 0), 0);
  CloseComPort(port);
  close(pty.master);
}

}  // namespace
