#include "fuzz_util.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

// Progress lines, thousands a second, are of no use here.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FUZZ_REQUIRE(freopen("/dev/null", "w", stdout) != nullptr);
  return 0;
}

void FailCheck(const char* condition, const char* file, int line, const char* detail) {
  fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
  if (detail != nullptr) fprintf(stderr, "  %s\n", detail);
  fflush(stderr);
  abort();
}

static std::string ShowBytes(const std::string& bytes, size_t from) {
  std::string shown;
  char hex[4];
  for (size_t i = from; i < bytes.size() && i < from + 24; i++) {
    snprintf(hex, sizeof hex, "%02X ", static_cast<unsigned char>(bytes[i]));
    shown += hex;
  }
  return shown + "(" + std::to_string(bytes.size()) + " bytes)";
}

std::string ShowDifference(const std::string& actual, const std::string& expected) {
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
    at++;
  return "from byte " + std::to_string(at) + ": " + ShowBytes(actual, at) + " instead of " +
         ShowBytes(expected, at);
}

// Writes the script and drains the other direction at the same time; a
// blocking write could wait for a reader that is itself blocked writing.
static void RunPeer(Peer* peer) {
  int fd = peer->theirs;
  const std::string& script = peer->script;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  size_t sent = 0;
  size_t pause = 0;  // the next of peer->pauses
  bool shut = false;
  for (;;) {
    while (pause < peer->pauses.size() && sent == peer->pauses[pause].after &&
           peer->heard.size() >= peer->pauses[pause].heard) {
      pause++;
    }
    size_t until = pause < peer->pauses.size() ? peer->pauses[pause].after : script.size();
    if (sent == script.size() && pause == peer->pauses.size() && !shut) {
      shutdown(fd, SHUT_WR);  // the port under test reads the end of input as a hang-up
      shut = true;
    }
    bool writing = !shut && sent < until;
    pollfd wait = {fd, short(POLLIN | (writing ? POLLOUT : 0)), 0};
    if (poll(&wait, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (writing && (wait.revents & POLLOUT)) {
      ssize_t n = write(fd, script.data() + sent, std::min<size_t>(4096, until - sent));
      if (n > 0) sent += size_t(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) {  // nobody reads
        sent = script.size();
        pause = peer->pauses.size();
      }
    }
    if (wait.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[4096];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) peer->heard.append(buffer, size_t(n));
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
    }
  }
}

void StartPeer(const uint8_t* script, size_t size, Peer* peer, const std::vector<Pause>& pauses) {
  signal(SIGPIPE, SIG_IGN);  // writes to a closed end fail instead of killing
  int fds[2];
  FUZZ_REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  peer->port = AdoptPortDescriptor(fds[0]);
  peer->theirs = fds[1];
  peer->script.assign(reinterpret_cast<const char*>(script), size);
  peer->pauses = pauses;
  peer->heard.clear();
  peer->thread = std::thread(RunPeer, peer);
}

void FinishPeer(Peer* peer) {
  CloseComPort(peer->port);
  peer->thread.join();
  close(peer->theirs);
  peer->port = kInvalidPortHandle;
  peer->theirs = -1;
}

static void RemoveScratchRoot() {
  fs::remove_all(FindScratchRoot());
}

const std::string& FindScratchRoot() {
  static const std::string root = [] {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/velcot-fuzz-XXXXXX";
    FUZZ_REQUIRE(mkdtemp(pattern.data()) != nullptr);
    FUZZ_REQUIRE(mkdir((pattern + "/work").c_str(), 0700) == 0);
    return pattern;
  }();
  static const bool cleanup_registered = atexit(RemoveScratchRoot) == 0;
  (void)cleanup_registered;
  return root;
}

int EnterWorkFolder() {
  int saved = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  FUZZ_REQUIRE(saved >= 0);
  FUZZ_REQUIRE(chdir((FindScratchRoot() + "/work").c_str()) == 0);
  FUZZ_REQUIRE(ListDirectory(".").empty());
  return saved;
}

void LeaveWorkFolder(int saved) {
  FUZZ_REQUIRE(fchdir(saved) == 0);
  close(saved);
}

void EmptyFolder(const std::string& path) {
  for (const auto& entry : fs::directory_iterator(path)) {
    fs::remove_all(entry.path());
  }
}

uint16_t ToWord(const uint8_t* bytes) {
  return uint16_t(bytes[0] << 8 | bytes[1]);
}

uint32_t ToDword(const uint8_t* bytes) {
  return uint32_t(ToWord(bytes)) << 16 | ToWord(bytes + 2);
}

std::string FromWord(uint16_t value) {
  return {char(value >> 8), char(value & 0xFF)};
}

std::string FromDword(uint32_t value) {
  return FromWord(uint16_t(value >> 16)) + FromWord(uint16_t(value & 0xFFFF));
}

uint32_t Crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFF;
  for (char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; bit++)
      crc = (crc >> 1) ^ (crc & 1 ? 0xEDB88320u : 0);
  }
  return ~crc;
}

uint64_t ToUint(const std::string& bytes, size_t at, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; i++)
    value = value << 8 | static_cast<unsigned char>(bytes.at(at + size_t(i)));
  return value;
}

std::string FromUint(uint64_t value, int count) {
  std::string out(size_t(count), '\0');
  for (int i = count - 1; i >= 0; i--, value >>= 8)
    out[size_t(i)] = char(value & 0xFF);
  return out;
}

std::string EncodeFrame(uint8_t type, uint8_t sequence, const std::string& payload) {
  std::string checked = std::string{char(type), char(sequence)} + FromUint(payload.size(), 2);
  return "\xF3\x5C" + checked + FromUint(Crc32(checked) & 0xFFFF, 2) + payload +
         FromUint(Crc32(checked + payload), 4);
}

std::vector<WireFrame> ParseFrames(const std::string& bytes) {
  std::vector<WireFrame> frames;
  for (size_t at = 0; at + 8 <= bytes.size();) {
    std::string checked = bytes.substr(at + 2, 4);
    size_t length = size_t(ToUint(bytes, at + 4, 2));
    bool header = bytes.compare(at, 2, "\xF3\x5C") == 0 &&
                  ToUint(bytes, at + 6, 2) == (Crc32(checked) & 0xFFFF) &&
                  at + 8 + length + 4 <= bytes.size();
    if (header &&
        ToUint(bytes, at + 8 + length, 4) == Crc32(checked + bytes.substr(at + 8, length))) {
      frames.push_back(
          {uint8_t(bytes[at + 2]), uint8_t(bytes[at + 3]), bytes.substr(at + 8, length)});
      at += 8 + length + 4;
    } else {
      at++;
    }
  }
  return frames;
}

std::string MakeSendContent(const uint8_t* header) {
  size_t size = ToWord(header) % (SEND_MAX_SIZE + 1);
  std::string content(size, '\0');
  for (size_t i = 0; i < size; i++) {
    content[i] = char((i * 131 + header[2] * 7u + i / 256) & 0xFF);
  }
  return content;
}
