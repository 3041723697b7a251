// Helpers for tests that run real programs: child processes, a socat-linked
// pair of pseudo-terminals or the nullmodem tool, a scripted peer on one of
// its ends, scratch directories and files.
#ifndef VELCOT_TESTS_PROCESS_UTIL_H
#define VELCOT_TESTS_PROCESS_UTIL_H

#include <gtest/gtest.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "file_util.h"

// How to start a child process.
struct SpawnOptions {
  std::vector<std::string> argv;  // argv[0]: a path, or a name looked up in PATH
  std::string working_dir;        // empty: the caller's
  std::string stdin_path;         // empty: /dev/null
  std::string stdout_path;        // empty: /dev/null; otherwise created or truncated
  std::string stderr_path;        // empty: /dev/null
  std::vector<std::string> env;   // on top of the caller's: "NAME=value" sets, "NAME" unsets
  int umask_value = -1;           // -1: the caller's
  // The largest file the child may write (RLIMIT_FSIZE); -1: no limit of
  // ours. SIGXFSZ keeps its default action, which ends a program that does
  // not ignore it.
  long long file_size_limit = -1;
  std::vector<int> ignored_signals;  // ignored when the child starts, as nohup does
};

// How a child ended.
struct ProcessEnd {
  bool exited = false;       // ended through exit(); status is valid
  int status = -1;           // exit status
  int signal = 0;            // the signal that ended it, or 0
  bool hung = false;         // still running at the limit, so it was killed
  bool wait_failed = false;  // not our child, or already reaped
};

// Starts a child; its stdin is /dev/null unless given, and on Linux it is killed when the
// caller ends. Returns its pid, or -1.
pid_t SpawnProcess(const SpawnOptions& options);

// Waits for a child. A child still running after limit_seconds is hung: it
// is killed with SIGKILL and reaped. The limit only stops a hung process.
ProcessEnd WaitForProcess(pid_t pid, int limit_seconds);

// Sends a signal to a child that has not been reaped yet; true when sent.
bool SendSignal(pid_t pid, int signal);

// Kills and reaps a child if it is still there; for cleanup.
void KillProcess(pid_t pid);

// True once a child has ended. It is left unreaped, so WaitForProcess can
// still tell how it ended.
bool HasProcessEnded(pid_t pid);

// Checks every few milliseconds until check() holds, or the child pid (if
// > 0) has ended, or limit_ms has passed. True when it holds.
bool WaitForCondition(const std::function<bool()>& check, int limit_ms, pid_t pid = -1);

// Waits until the file holds text, or until the child pid (if > 0) has
// ended, or limit_ms has passed. True when the text is there.
bool WaitForFileText(const std::string& path, const std::string& text, int limit_ms,
                     pid_t pid = -1);

// Waits until a child is blocked reading (a receiver that has opened and
// configured its port and waits for the line), or has ended, or limit_ms
// has passed. True when it is reading.
bool WaitForReader(pid_t pid, int limit_ms);

// A running `socat pty,raw,echo=0,link=A pty,raw,echo=0,link=B`.
struct PtyPair {
  pid_t socat_pid = -1;
  std::string link_a;
  std::string link_b;
};

// Starts socat with both links in dir and waits until both exist. On
// failure socat_pid is -1 and socat's stderr is in dir/socat.err.
PtyPair StartPtyPair(const std::string& dir, int limit_seconds);

// A running `nullmodem [options] dir/A dir/B`.
struct NullModem {
  pid_t pid = -1;
  std::string link_a;
  std::string link_b;
  std::string log;  // its stderr: the ready line, and its counters once it ends
};

// Starts the nullmodem program with its links and log in dir and waits
// until it reports that it is ready. On failure pid is -1 and the log tells
// why.
NullModem StartNullModem(const std::string& program, const std::vector<std::string>& options,
                         const std::string& dir, int limit_seconds);

// What one direction of a nullmodem carried, from the counters it prints
// when it ends.
struct LineCounters {
  bool found = false;
  uint64_t carried = 0;
  uint64_t flipped = 0;
  uint64_t dropped = 0;
  uint64_t frames_acted = 0;  // with --frame or --rewrite: frames and strings acted on
};

// The counters of direction "A->B" or "B->A" in a nullmodem's log.
LineCounters ParseLineCounters(const std::string& log, const std::string& direction);

// Opens a pty link (O_RDWR | O_NOCTTY, no lock) and puts it in raw 8-bit
// mode. Keeping it open keeps the link alive when other users close it.
// Returns the fd, or -1.
int OpenPtyLink(const std::string& path);

// The output speed a pty link is set to, or 0 if it cannot be read; and
// setting it, as another program may have left it. True when set.
speed_t ReadLinkSpeed(const std::string& path);
bool SetLinkSpeed(const std::string& path, speed_t speed);

// Reads until length bytes have arrived, the line ends, or timeout_ms has
// passed. Returns the bytes that arrived.
std::string ReadWithDeadline(int fd, size_t length, int timeout_ms);

// Writes all bytes; true when all were written.
bool WriteAll(int fd, const std::string& bytes);

// A local TCP port no program listens on, or 0.
int FindFreeTcpPort();

// Listens on a free local TCP port: the descriptor, *port set; or -1.
int ListenOnFreeTcpPort(int* port);

// True when the child has the file open (a terminal given by a link too).
bool HoldsFile(pid_t pid, const std::string& path);

// True when a program listens on the local TCP port.
bool CanConnect(int port);

// Accepts one connection within timeout_ms: its descriptor, or -1.
int AcceptWithin(int listener, int timeout_ms);

// The count the first (or last) progress drawing of name shows in a
// program's output ("" when none): "123" of " name 123/4567 (".
std::string FindDrawnCount(const std::string& shown, const std::string& name, bool last);

// Creates a new directory under $TMPDIR (or /tmp); empty on failure.
std::string MakeScratchDir(const std::string& prefix);

// Removes a directory tree; for cleanup.
void RemoveTree(const std::string& path);

bool PathExists(const std::string& path);

// Random bytes, the same for the same seed.
std::string MakeContent(size_t size, uint32_t seed);

// Lines of an instrument's log, which compress, the same for the same seed.
std::string MakeText(size_t size, uint32_t seed);

// A socat-linked pair of pseudo-terminals whose ends the test holds open,
// so that a program closing its end does not hang up the line.
struct HeldLine {
  PtyPair pair;
  int fd_a = -1;
  int fd_b = -1;
};

// A running ser2net 4 that serves one device on local ports as RFC 2217
// (at 9600n81 until a client sets it) and as raw TCP (at 115200n81).
struct Ser2net {
  pid_t pid = -1;
  std::string rfc2217;  // rfc2217://127.0.0.1:PORT
  std::string raw;      // socket://127.0.0.1:PORT
};

// U-Boot (Debian's u-boot-qemu) on qemu-system-arm -M virt, its console
// UART on end A of a nullmodem at 115200 baud; the test holds end B, where
// a program that talks to U-Boot (velcot for loadx, loady, loadb) runs.
struct UBoot {
  pid_t qemu_pid = -1;
  NullModem cable;
  int console = -1;  // end B, held by the test; -1 after a reported failure
};

// Reads the console byte by byte until text has come, so that what U-Boot
// says after it stays for the next reader; all that came, or "" after
// limit_ms without the text.
std::string ReadUntil(int fd, const std::string& text, int limit_ms);

// Types a command at U-Boot's prompt: what it printed up to text (the next
// prompt by default), or "" when that did not come in limit_ms.
std::string TypeUBootCommand(const UBoot& uboot, const std::string& command,
                             const std::string& until = "\n=> ", int limit_ms = 30000);

// U-Boot's own CRC-32 of size bytes at address (both in hex, "0x40200000"):
// its 8 hex digits, or "" when it gave none.
std::string ReadUBootCrc32(const UBoot& uboot, const std::string& address, size_t size);

// The same CRC-32 of bytes, as U-Boot prints it.
std::string FormatCrc32(const std::string& bytes);

// A test that runs programs in a scratch directory. The children it starts
// and the fds it holds are ended, and the directory removed, even when an
// assertion fails.
class ProgramTest : public ::testing::Test {
 protected:
  explicit ProgramTest(int limit_seconds) : limit_seconds_(limit_seconds) {}
  void TearDown() override;

  // Creates the scratch directory; called from SetUp.
  void MakeScratch(const std::string& prefix);

  // A new folder; path is relative to the scratch directory.
  std::string MakeFolder(const std::string& path);

  // Starts a line whose links are dir/A and dir/B, ended with the test;
  // fd_a and fd_b are -1 after a reported failure.
  HeldLine StartHeldLine(const std::string& dir);

  // Starts U-Boot, its cable's links and log in dir (cable_options: faults
  // such as --ber-ab), stops its autoboot and waits for its prompt; ended
  // with the test.
  UBoot StartUBoot(const std::string& dir, const std::vector<std::string>& cable_options = {});

  // Starts ser2net on device, ended with the test, and waits until it
  // listens; pid is -1 after a reported failure.
  Ser2net StartSer2net(const std::string& device);

  // Waits until ser2net has let the device go: only then does it take a
  // client, who would otherwise find the connection closed.
  bool AwaitDeviceFree(const Ser2net& server, const std::string& device);

  // Starts a child that is ended with the test.
  pid_t StartProgram(const SpawnOptions& options);

  // Waits for a child. One that hangs is killed, and so are the others,
  // which may be waiting for it.
  ProcessEnd Finish(pid_t pid);

  // Starts a program (options.argv) in folder, its output going to LOG.out
  // and LOG.err (unless options names where): under the scratch directory's
  // logs/, or where LOG says if it is an absolute path.
  pid_t StartLogged(SpawnOptions options, const std::string& folder, const std::string& log);

  // Starts velcot with args, and env_ unless options sets an environment.
  pid_t StartVelcot(const std::string& folder, const std::vector<std::string>& args,
                    const std::string& log, SpawnOptions options = {});

  // C-Kermit on link at speed, running commands (one a line) in folder and
  // exiting with the status of the last; its output in LOG.out.
  pid_t StartKermit(const std::string& folder, const std::string& link, const std::string& commands,
                    const std::string& log, const std::string& speed = "115200");

  // What a program started so wrote to LOG (e.g. "rx.err").
  std::string Output(const std::string& log);

  // A velcot that ended because its port went away: status 2, and "lost
  // port PORT: " in its errors (at their start when first).
  void ExpectPortLost(const ProcessEnd& end, const std::string& log, const std::string& port,
                      bool first = false);

  // Ends socat, so that every program still on the line sees it hang up.
  void StopLine(const PtyPair& pair);

  // Forces the classic exchange at both ends of the velcots started next, or not.
  void ForceClassic(bool classic);

  std::vector<std::string> env_ = {"LC_ALL=C"};  // VELCOT_CLASSIC=1 forces the classic exchange
  std::string scratch_;
  std::vector<pid_t> children_;
  std::vector<int> held_fds_;
  const int limit_seconds_;  // only stops a hung process
};

#endif
