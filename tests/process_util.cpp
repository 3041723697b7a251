#include "process_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

static std::chrono::steady_clock::time_point MakeDeadline(int milliseconds) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

static int CountRemainingMilliseconds(std::chrono::steady_clock::time_point deadline) {
  auto left = deadline - std::chrono::steady_clock::now();
  return int(
      std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
}

// In the child: points fd at path (or /dev/null), or ends the child.
static void RedirectOrDie(int fd, const std::string& path, int flags) {
  int file = open(path.empty() ? "/dev/null" : path.c_str(), flags, 0644);
  if (file < 0 || dup2(file, fd) < 0) _exit(127);
  if (file != fd) close(file);
}

pid_t SpawnProcess(const SpawnOptions& options) {
  if (options.argv.empty()) return -1;
  std::vector<char*> argv;
  for (const std::string& arg : options.argv)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  [[maybe_unused]] pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
#ifdef __linux__
  // The child dies with the test, so a run killed from outside leaves nothing.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
#endif
  if (!options.working_dir.empty() && chdir(options.working_dir.c_str()) != 0) _exit(127);
  RedirectOrDie(STDIN_FILENO, options.stdin_path, O_RDONLY);
  RedirectOrDie(STDOUT_FILENO, options.stdout_path, O_WRONLY | O_CREAT | O_TRUNC);
  RedirectOrDie(STDERR_FILENO, options.stderr_path, O_WRONLY | O_CREAT | O_TRUNC);
  for (const std::string& entry : options.env) {
    size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      unsetenv(entry.c_str());
    } else {
      setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
  }
  if (options.umask_value >= 0) umask(mode_t(options.umask_value));
  if (options.file_size_limit >= 0) {
    struct rlimit limit = {rlim_t(options.file_size_limit), rlim_t(options.file_size_limit)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
  }
  signal(SIGPIPE, SIG_DFL);
  signal(SIGXFSZ, SIG_DFL);
  for (int ignored : options.ignored_signals)
    signal(ignored, SIG_IGN);
  execvp(argv[0], argv.data());
  _exit(127);
}

static ProcessEnd DescribeEnd(int wait_status) {
  ProcessEnd end;
  if (WIFEXITED(wait_status)) {
    end.exited = true;
    end.status = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    end.signal = WTERMSIG(wait_status);
  }
  return end;
}

ProcessEnd WaitForProcess(pid_t pid, int limit_seconds) {
  auto deadline = MakeDeadline(limit_seconds * 1000);
  int wait_status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &wait_status, WNOHANG);
    if (done == pid) return DescribeEnd(wait_status);
    if (done < 0 && errno != EINTR) {
      ProcessEnd end;
      end.wait_failed = true;
      return end;
    }
    if (CountRemainingMilliseconds(deadline) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  ProcessEnd end = DescribeEnd(wait_status);
  end.hung = true;
  return end;
}

bool SendSignal(pid_t pid, int signal) {
  return pid > 0 && kill(pid, signal) == 0;
}

void KillProcess(pid_t pid) {
  if (pid <= 0) return;
  // Reaped children are left alone, so a reused pid is never hit.
  if (waitpid(pid, nullptr, WNOHANG) != 0) return;
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool HasProcessEnded(pid_t pid) {
  siginfo_t info = {};
  if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
  return info.si_pid == pid;
}

bool WaitForCondition(const std::function<bool()>& check, int limit_ms, pid_t pid) {
  auto deadline = MakeDeadline(limit_ms);
  for (;;) {
    if (check()) return true;
    if ((pid > 0 && HasProcessEnded(pid)) || CountRemainingMilliseconds(deadline) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The child may have brought it about just before it ended.
  return check();
}

bool WaitForFileText(const std::string& path, const std::string& text, int limit_ms, pid_t pid) {
  auto has_text = [&] { return ReadWholeFile(path).find(text) != std::string::npos; };
  return WaitForCondition(has_text, limit_ms, pid);
}

// /proc/PID/syscall starts with the number of the call the process is
// blocked in.
bool WaitForReader(pid_t pid, int limit_ms) {
  std::string syscall = "/proc/" + std::to_string(pid) + "/syscall";
  std::string reading = std::to_string(SYS_read) + " ";
  auto is_reading = [&] { return ReadWholeFile(syscall).rfind(reading, 0) == 0; };
  return WaitForCondition(is_reading, limit_ms, pid);
}

NullModem StartNullModem(const std::string& program, const std::vector<std::string>& options,
                         const std::string& dir, int limit_seconds) {
  NullModem cable;
  cable.log = dir + "/nullmodem.err";
  SpawnOptions spawn;
  spawn.argv = {program};
  spawn.argv.insert(spawn.argv.end(), options.begin(), options.end());
  spawn.argv.push_back(dir + "/A");
  spawn.argv.push_back(dir + "/B");
  spawn.stderr_path = cable.log;
  pid_t pid = SpawnProcess(spawn);
  if (pid < 0) return cable;
  if (!WaitForFileText(cable.log, "nullmodem: ready\n", limit_seconds * 1000, pid)) {
    KillProcess(pid);
    return cable;
  }
  cable.pid = pid;
  cable.link_a = dir + "/A";
  cable.link_b = dir + "/B";
  return cable;
}

LineCounters ParseLineCounters(const std::string& log, const std::string& direction) {
  LineCounters counters;
  std::string lines = "\n" + log;
  size_t at = lines.find("\n" + direction + ": ");
  if (at == std::string::npos) return counters;
  unsigned long long carried = 0, flipped = 0, dropped = 0, acted[5] = {};
  const char* values = lines.c_str() + at + direction.size() + 3;
  int found =
      sscanf(values,
             "%llu bytes carried, %llu bits flipped, %llu bytes dropped; frames %llu "
             "dropped, %llu damaged, %llu duplicated, %llu delayed; %llu rewritten",
             &carried, &flipped, &dropped, &acted[0], &acted[1], &acted[2], &acted[3], &acted[4]);
  counters.found = found >= 3;
  for (unsigned long long count : acted)
    counters.frames_acted += count;
  counters.carried = carried;
  counters.flipped = flipped;
  counters.dropped = dropped;
  return counters;
}

PtyPair StartPtyPair(const std::string& dir, int limit_seconds) {
  PtyPair pair;
  std::string link_a = dir + "/A";
  std::string link_b = dir + "/B";
  SpawnOptions options;
  options.argv = {"socat", "pty,raw,echo=0,link=" + link_a, "pty,raw,echo=0,link=" + link_b};
  options.stderr_path = dir + "/socat.err";
  pid_t pid = SpawnProcess(options);
  if (pid < 0) return pair;
  auto deadline = MakeDeadline(limit_seconds * 1000);
  while (!PathExists(link_a) || !PathExists(link_b)) {
    if (waitpid(pid, nullptr, WNOHANG) != 0 || CountRemainingMilliseconds(deadline) == 0) {
      KillProcess(pid);
      return pair;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pair.socat_pid = pid;
  pair.link_a = link_a;
  pair.link_b = link_b;
  return pair;
}

int OpenPtyLink(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct termios settings;
  if (tcgetattr(fd, &settings) != 0) {
    close(fd);
    return -1;
  }
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &settings) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

speed_t ReadLinkSpeed(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  struct termios settings;
  speed_t speed = fd >= 0 && tcgetattr(fd, &settings) == 0 ? cfgetospeed(&settings) : 0;
  if (fd >= 0) close(fd);
  return speed;
}

bool SetLinkSpeed(const std::string& path, speed_t speed) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  struct termios settings;
  bool set = fd >= 0 && tcgetattr(fd, &settings) == 0 && cfsetspeed(&settings, speed) == 0 &&
             tcsetattr(fd, TCSANOW, &settings) == 0;
  if (fd >= 0) close(fd);
  return set;
}

std::string ReadWithDeadline(int fd, size_t length, int timeout_ms) {
  auto deadline = MakeDeadline(timeout_ms);
  std::string bytes;
  while (bytes.size() < length) {
    struct pollfd waiting = {fd, POLLIN, 0};
    int ready = poll(&waiting, 1, CountRemainingMilliseconds(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, length - bytes.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // hung up
    bytes.append(buffer, size_t(n));
  }
  return bytes;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += size_t(n);
  }
  return true;
}

int ListenOnFreeTcpPort(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(fd, 4) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int FindFreeTcpPort() {
  int port = 0;
  int fd = ListenOnFreeTcpPort(&port);
  if (fd >= 0) close(fd);
  return fd >= 0 ? port : 0;
}

bool HoldsFile(pid_t pid, const std::string& path) {
  std::error_code error;
  std::filesystem::path target = std::filesystem::canonical(path, error);
  std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
    std::error_code unreadable;
    if (std::filesystem::read_symlink(entry.path(), unreadable) == target) return true;
  }
  return false;
}

bool CanConnect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(uint16_t(port));
  bool connected =
      fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return connected;
}

int AcceptWithin(int listener, int timeout_ms) {
  struct pollfd waiting = {listener, POLLIN, 0};
  if (poll(&waiting, 1, timeout_ms) != 1) return -1;
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

std::string MakeScratchDir(const std::string& prefix) {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  return mkdtemp(path.data()) != nullptr ? std::string(path.data()) : std::string();
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

bool PathExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string MakeContent(size_t size, uint32_t seed) {
  std::mt19937 pick(seed);
  std::string content;
  for (size_t i = 0; i < size; i++)
    content += char(pick() & 0xFF);
  return content;
}

std::string MakeText(size_t size, uint32_t seed) {
  std::mt19937 pick(seed);
  std::string text;
  for (unsigned line = 0; text.size() < size; line++) {
    text += "2026-01-01 12:" + std::to_string(10 + line / 60 % 50) + ":" +
            std::to_string(10 + line % 60 / 2 * 3 % 50) + " sensor-" + std::to_string(pick() % 8) +
            " reading " + std::to_string(pick() % 2000) + " mV\n";
  }
  text.resize(size);
  return text;
}

void ProgramTest::TearDown() {
  for (pid_t pid : children_)
    KillProcess(pid);
  for (int fd : held_fds_)
    close(fd);
  RemoveTree(scratch_);
}

void ProgramTest::MakeScratch(const std::string& prefix) {
  scratch_ = MakeScratchDir(prefix);
  ASSERT_FALSE(scratch_.empty());
}

std::string ProgramTest::MakeFolder(const std::string& path) {
  std::string full = scratch_ + "/" + path;
  EXPECT_EQ(mkdir(full.c_str(), 0755), 0) << full;
  return full;
}

HeldLine ProgramTest::StartHeldLine(const std::string& dir) {
  HeldLine line;
  line.pair = StartPtyPair(dir, limit_seconds_);
  if (line.pair.socat_pid < 0) {
    ADD_FAILURE() << "socat: " << ReadWholeFile(dir + "/socat.err");
    return line;
  }
  children_.push_back(line.pair.socat_pid);
  line.fd_a = OpenPtyLink(line.pair.link_a);
  line.fd_b = OpenPtyLink(line.pair.link_b);
  for (int fd : {line.fd_a, line.fd_b}) {
    if (fd >= 0) held_fds_.push_back(fd);
  }
  if (line.fd_a < 0 || line.fd_b < 0) ADD_FAILURE() << "cannot open the line's links";
  return line;
}

std::string ReadUntil(int fd, const std::string& text, int limit_ms) {
  auto deadline = MakeDeadline(limit_ms);
  std::string heard;
  while (heard.size() < text.size() ||
         heard.compare(heard.size() - text.size(), text.size(), text)) {
    std::string byte = ReadWithDeadline(fd, 1, CountRemainingMilliseconds(deadline));
    if (byte.empty()) return "";
    heard += byte;
  }
  return heard;
}

std::string TypeUBootCommand(const UBoot& uboot, const std::string& command,
                             const std::string& until, int limit_ms) {
  // What U-Boot said before (the end of a load) comes ahead of the echo.
  if (!WriteAll(uboot.console, command + "\r") ||
      ReadUntil(uboot.console, command, limit_ms).empty()) {
    return "";
  }
  return ReadUntil(uboot.console, until, limit_ms);
}

std::string ReadUBootCrc32(const UBoot& uboot, const std::string& address, size_t size) {
  char length[32];
  snprintf(length, sizeof length, "0x%zx", size);
  std::string shown = TypeUBootCommand(uboot, "crc32 " + address + " " + length);
  size_t at = shown.find("==> ");
  return at == std::string::npos ? "" : shown.substr(at + 4, 8);
}

std::string FormatCrc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFF;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; bit++)
      crc = crc >> 1 ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  char text[9];
  snprintf(text, sizeof text, "%08x", ~crc);
  return text;
}

UBoot ProgramTest::StartUBoot(const std::string& dir,
                              const std::vector<std::string>& cable_options) {
  UBoot uboot;
  std::vector<std::string> options = {"-b", "115200"};
  options.insert(options.end(), cable_options.begin(), cable_options.end());
  uboot.cable = StartNullModem(NULLMODEM_PATH, options, dir, limit_seconds_);
  if (uboot.cable.pid < 0) {
    ADD_FAILURE() << "nullmodem: " << ReadWholeFile(uboot.cable.log);
    return uboot;
  }
  children_.push_back(uboot.cable.pid);
  int console = OpenPtyLink(uboot.cable.link_b);  // before U-Boot talks: no word is lost
  if (console < 0) return ADD_FAILURE() << "cannot open " << uboot.cable.link_b, uboot;
  held_fds_.push_back(console);
  SpawnOptions qemu;
  qemu.argv = {"qemu-system-arm",
               "-M",
               "virt",
               "-bios",
               "/usr/lib/u-boot/qemu_arm/u-boot.bin",
               "-nographic",
               "-nic",
               "none",
               "-monitor",
               "none",
               "-chardev",
               "serial,id=console,path=" + uboot.cable.link_a,
               "-serial",
               "chardev:console"};
  qemu.stdout_path = qemu.stderr_path = dir + "/qemu.log";
  uboot.qemu_pid = SpawnProcess(qemu);
  if (uboot.qemu_pid < 0) return ADD_FAILURE() << "cannot start qemu-system-arm", uboot;
  children_.push_back(uboot.qemu_pid);
  // Any key stops the autoboot; missed, U-Boot finds nothing to boot and
  // prompts all the same.
  if (ReadUntil(console, "autoboot", limit_seconds_ * 1000).empty() || !WriteAll(console, " ") ||
      ReadUntil(console, "=> ", limit_seconds_ * 1000).empty()) {
    ADD_FAILURE() << "no U-Boot prompt: " << ReadWholeFile(qemu.stdout_path);
    return uboot;
  }
  uboot.console = console;
  return uboot;
}

Ser2net ProgramTest::StartSer2net(const std::string& device) {
  Ser2net server;
  int rfc2217 = 0, raw = 0;
  int first = ListenOnFreeTcpPort(&rfc2217), second = ListenOnFreeTcpPort(&raw);  // two apart
  close(first);
  close(second);
  std::string yaml = scratch_ + "/ser2net.yaml";
  WriteWholeFile(yaml,
                 "%YAML 1.1\n---\nconnection: &rfc2217\n  accepter: telnet(rfc2217),tcp,"
                 "127.0.0.1," +
                     std::to_string(rfc2217) + "\n  connector: serialdev," + device +
                     ",9600n81,local\nconnection: &raw\n  accepter: tcp,127.0.0.1," +
                     std::to_string(raw) + "\n  connector: serialdev," + device +
                     ",115200n81,local\n");
  SpawnOptions options;
  options.argv = {"ser2net", "-n", "-d", "-c", yaml};
  options.stderr_path = scratch_ + "/ser2net.err";
  pid_t pid = StartProgram(options);
  auto listening = [&] { return CanConnect(rfc2217) && CanConnect(raw); };
  if (!WaitForCondition(listening, limit_seconds_ * 1000, pid)) {
    ADD_FAILURE() << "ser2net: " << ReadWholeFile(options.stderr_path);
    return server;
  }
  server.pid = pid;
  server.rfc2217 = "rfc2217://127.0.0.1:" + std::to_string(rfc2217);
  server.raw = "socket://127.0.0.1:" + std::to_string(raw);
  return server;
}

bool ProgramTest::AwaitDeviceFree(const Ser2net& server, const std::string& device) {
  return WaitForCondition([&] { return !HoldsFile(server.pid, device); }, limit_seconds_ * 1000,
                          server.pid);
}

pid_t ProgramTest::StartProgram(const SpawnOptions& options) {
  pid_t pid = SpawnProcess(options);
  EXPECT_GT(pid, 0) << options.argv[0];
  if (pid > 0) children_.push_back(pid);
  return pid;
}

pid_t ProgramTest::StartLogged(SpawnOptions options, const std::string& folder,
                               const std::string& log) {
  std::string path = log[0] == '/' ? log : scratch_ + "/logs/" + log;
  options.working_dir = folder;
  if (options.stdout_path.empty()) options.stdout_path = path + ".out";
  if (options.stderr_path.empty()) options.stderr_path = path + ".err";
  return StartProgram(options);
}

pid_t ProgramTest::StartVelcot(const std::string& folder, const std::vector<std::string>& args,
                               const std::string& log, SpawnOptions options) {
  options.argv = {VELCOT_PATH};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  if (options.env.empty()) options.env = env_;
  return StartLogged(options, folder, log);
}

pid_t ProgramTest::StartKermit(const std::string& folder, const std::string& link,
                               const std::string& commands, const std::string& log,
                               const std::string& speed) {
  std::string script = scratch_ + "/logs/" + log + ".ksc";
  EXPECT_TRUE(WriteWholeFile(script, "set line " + link + "\nset speed " + speed +
                                         "\nset carrier-watch off\nset flow none\n" + commands +
                                         "\nexit\n"));
  SpawnOptions options;
  options.argv = {"kermit", "-Y", "+", script};
  return StartLogged(options, folder, log);
}

std::string ProgramTest::Output(const std::string& log) {
  return ReadWholeFile(log[0] == '/' ? log : scratch_ + "/logs/" + log);
}

void ProgramTest::ExpectPortLost(const ProcessEnd& end, const std::string& log,
                                 const std::string& port, bool first) {
  EXPECT_TRUE(end.exited);
  EXPECT_EQ(end.status, 2);
  size_t at = Output(log + ".err").find("lost port " + port + ": ");
  EXPECT_TRUE(first ? at == 0 : at != std::string::npos) << Output(log + ".err");
}

void ProgramTest::ForceClassic(bool classic) {
  env_ = {"LC_ALL=C", classic ? "VELCOT_CLASSIC=1" : "VELCOT_CLASSIC"};
}

void ProgramTest::StopLine(const PtyPair& pair) {
  SendSignal(pair.socat_pid, SIGTERM);
  EXPECT_FALSE(WaitForProcess(pair.socat_pid, limit_seconds_).hung);
}

ProcessEnd ProgramTest::Finish(pid_t pid) {
  ProcessEnd end = WaitForProcess(pid, limit_seconds_);
  EXPECT_FALSE(end.hung) << "killed after " << limit_seconds_ << " s";
  if (end.hung) {
    for (pid_t child : children_)
      KillProcess(child);
  }
  return end;
}

std::string FindDrawnCount(const std::string& shown, const std::string& name, bool last) {
  std::string key = " " + name + " ";
  size_t at = last ? shown.rfind(key) : shown.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return shown.substr(at, shown.find('/', at) - at);
}
