// nullmodem: two pseudo-terminals joined like a null-modem cable, so serial
// programs can be run against each other (and against a faulty line) without
// hardware. Usage and the meaning of each option: see PrintUsage.

// Only the kernel's termios2 is used (not <termios.h>, whose struct termios
// clashes with it): it carries arbitrary rates, not just the Bxxx set.
#include <asm/termbits.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <math.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "ports/commdev.h"

namespace {

// Like a UART driver's transmit buffer: a writer that outruns the line
// blocks once this much is queued (plus what the pty itself buffers).
constexpr size_t kInFlight = 4096;
// Timed waits end a few microseconds late; the last char before the line
// falls idle (a turnaround) is waited for by spinning this long instead.
constexpr int64_t kSpinNs = 12000;
// Chars in mid-stream are handed over in batches at most this often, as a
// UART's receive FIFO does; every pty write costs the kernel a worker wake-up.
// The last queued char, which a reply may be waiting for, is always on time.
constexpr int64_t kBatchNs = 50000;
// A reading end whose pty is full is retried this often.
constexpr int64_t kRetryNs = 1000000;
// An FTDI chip sends what it received in USB packets of 64 bytes, two of
// them its status: a packet goes as soon as 62 chars are in, else when the
// chip's latency timer next fires.
constexpr size_t kUsbPacket = 62;
// velcot's streaming frames (doc/protocol.md): sync F3 5C, type, sequence,
// length (2), header check (2), payload, CRC-32 (4).
constexpr size_t kHeaderSize = 8, kTrailerSize = 4, kPayloadMax = 8200;
// What may begin a frame header or a string to rewrite is held for the
// bytes after it, at most this long once the writer pauses; a frame whose
// header has come, until its last byte or for 1 s (a receiver drops a
// frame that pauses that long).
constexpr int64_t kHoldNs = 10000000, kFrameHoldNs = 1000000000;

enum FrameAction { kDrop, kDamage, kDup, kDelay };

// --frame: the first..last (1-based) of the frames of type (and sequence,
// if seq >= 0) going one way get the action.
struct FrameRule {
  int dir;
  uint8_t type;
  int seq;
  uint64_t first, last;
  FrameAction action;
  int64_t delayNs;
  uint64_t seen;
};

// --inject: count letters go one way every periodNs among what the writer
// sends, as keystrokes or a console's messages would: from the start, or
// once the nth frame of type (and sequence, if seq >= 0) has gone the way
// of trigger.
struct Injection {
  int dir;
  uint64_t count;
  int64_t periodNs;
  int trigger;  // -1: from the start
  uint8_t type;
  int seq;
  uint64_t nth, seen;
  int64_t nextNs;  // when the next letters go; INT64_MAX until started
  uint64_t rng;
};

// --rewrite: the nth occurrence of from going one way becomes to.
struct Rewrite {
  int dir;
  std::string from, to;
  uint64_t nth, seen;
};

struct Options {
  int64_t baud = -1;  // -1: each end's own termios speed
  int dataBits = 8;
  char parity = 'N';
  int stopBits = 1;
  uint64_t seed = 1;
  double ber[2] = {0, 0};      // [0] A->B, [1] B->A
  uint64_t spare[2] = {0, 0};  // first bytes of a direction kept error-free
  uint64_t noiseA = 0;
  int64_t cutAfter = -1;
  int64_t latencyNs = 0;
  int64_t usbLatencyNs[2] = {0, 0};  // [0] end A, [1] end B; 0: not USB
  const char* link[2] = {nullptr, nullptr};
  std::vector<FrameRule> frames;
  std::vector<Rewrite> rewrites;
  std::vector<Injection> injections;
};

// One direction of the cable: a queue of chars on the wire with the time
// each one's last bit reaches the far end.
struct Line {
  const char* name;
  const char *srcLink, *dstLink;
  int src, dst;  // masters of the writing and the reading end
  int dstEnd;    // 0 for A, 1 for B
  uint8_t data[kInFlight];
  int64_t due[kInFlight];
  size_t head, count;
  int64_t lineFree;  // when the last queued char's stop bit is sent
  int64_t retryAt;   // reading end's pty was full; no writes before this
  int64_t lastWrite;
  bool pending;  // writer's bytes wait in the pty
  double ber;
  int64_t usbNs;     // the reading end's latency timer, 0 if not USB
  int64_t usbEpoch;  // when that timer started
  uint64_t spare;    // chars still to be kept error-free
  uint64_t rng;
  uint64_t carried, flipped, dropped;
  // With --frame or --rewrite: what was read, before the rewrites; after
  // them, a header or a frame being collected; what has been judged and
  // waits for room on the line; frames held back, with when they go.
  std::vector<FrameRule> rules;
  std::vector<Rewrite> rewrites;
  std::vector<Injection>* injections;  // the cable's, all ways
  bool judging;                        // frames are told: rules, or an injection waits for one
  std::string raw, unjudged, out;
  std::vector<std::pair<int64_t, std::string>> delayed;
  int64_t lastRead;
  uint64_t frames[4];  // by FrameAction
  uint64_t rewritten, injected;
};

struct Cable {
  Options opt;
  int sigFd, epollFd, notifyFd;
  int master[2], slave[2];
  int watch[2];  // inotify watches on the slaves
  int users[2];  // opens of each slave but ours
  std::string slavePath[2];
  Line line[2];  // [0] A->B, [1] B->A
};

enum Step { kGoOn, kStop, kCut, kFail };

int64_t NowNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void PrintUsage(FILE* f) {
  fputs(
      "usage: nullmodem [options] LINK_A LINK_B\n"
      "Joins two pseudo-terminals like a null-modem cable; LINK_A and LINK_B\n"
      "become symlinks to their ports. Each direction sends one char at a\n"
      "time at the writing end's speed and delivers it when its last bit\n"
      "would arrive.\n"
      "  -b BAUD          fixed speed for both ends, 0 = unpaced (default:\n"
      "                   each end's own port speed; ends at different\n"
      "                   speeds receive garbled chars)\n"
      "  -m MODE          framing: data bits 5-8, parity N/O/E, stop bits\n"
      "                   1/2 (default 8N1); fewer data bits mask the bytes\n"
      "  --seed N         seed of the fault generators (default 1)\n"
      "  --ber-ab R       probability of each data bit flipping, A to B\n"
      "  --ber-ba R       likewise B to A\n"
      "  --after-ab N     no bit errors in the first N bytes A to B\n"
      "  --after-ba N     likewise B to A\n"
      "  --noise-a N      N random bytes arrive at A at start\n"
      "  --cut-after N    hang up both ends once N bytes (both ways) crossed\n"
      "  --latency-ms MS  every char arrives MS ms later, as over a long\n"
      "                   link; chars keep their spacing\n"
      "  --usb-latency-a MS  end A is a USB adapter (FTDI): the chars that\n"
      "                   reach it are held until 62 have collected or the\n"
      "                   latency timer, which fires every MS ms, runs out;\n"
      "                   a lone reply waits up to MS ms, a stream comes in\n"
      "                   bursts of 62 (B's timer runs at a phase to A's\n"
      "                   that --seed picks)\n"
      "  --usb-latency-b MS  likewise end B\n"
      "  --frame DIR:TYPE[/SEQ]:N[-M]:ACTION  acts on velcot's streaming\n"
      "                   frames going DIR (ab or ba) whose type is the\n"
      "                   letter TYPE (and sequence byte SEQ): the Nth to\n"
      "                   Mth of them (N-: from the Nth on); ACTION is drop,\n"
      "                   damage (the CRC-32 fails, the header passes), dup\n"
      "                   (sent twice) or delay=MS (held while later bytes\n"
      "                   pass); may be given more than once, the first\n"
      "                   that acts on a frame wins\n"
      "  --rewrite DIR:HEX=HEX[:N]  replaces the Nth (default first)\n"
      "                   occurrence of a byte string going DIR with another\n"
      "                   as long; may be given more than once\n"
      "  --inject DIR:COUNT/MS[:FDIR:TYPE[/SEQ]:N]  COUNT random lowercase\n"
      "                   letters go DIR every MS ms among what the writer\n"
      "                   sends (keystrokes, a console's chatter), from the\n"
      "                   start or once the Nth frame of type TYPE (and\n"
      "                   sequence SEQ) has gone FDIR; may be given more\n"
      "                   than once\n"
      "  -h               show this help\n"
      "Frames are told by their header's check, before bit errors; bytes\n"
      "that may begin a header or a string to rewrite wait for the rest (at\n"
      "most 10 ms once the writer pauses; a frame whose header has come, 1 s);\n"
      "everything else passes at once.\n"
      "A->B is what end A writes and end B reads. Prints \"nullmodem: ready\"\n"
      "when the links exist. On SIGINT/SIGTERM/SIGHUP or a cut, prints per\n"
      "direction the bytes carried, bits flipped and bytes dropped (on the\n"
      "line or unread from the writer at that moment, sent while an end's\n"
      "speed was 0, or reaching an end that no program had open, as a\n"
      "closed port loses them), with --frame or --rewrite the frames\n"
      "dropped, damaged, duplicated and delayed and the strings rewritten,\n"
      "and with --inject the letters injected;\n"
      "removes the links, exits 0. The cable keeps\n"
      "both ptys open itself, so an end that is closed does not hang up the\n"
      "line; what that end's program left unread is discarded, as a serial\n"
      "driver does at the last close. A paced cable runs at\n"
      "real-time priority when allowed, for precise timing. On SIGUSR1 it\n"
      "prints the same counters, as they stand, and goes on.\n",
      f);
}

bool ParseCount(const char* s, uint64_t* out) {
  char* end;
  errno = 0;
  unsigned long long v = strtoull(s, &end, 10);
  if (*s < '0' || *s > '9' || *end != '\0' || errno != 0) return false;
  *out = v;
  return true;
}

bool ParseReal(const char* s, double lo, double hi, double* out) {
  char* end;
  double v = strtod(s, &end);
  if (end == s || *end != '\0' || !(v >= lo && v <= hi)) return false;
  *out = v;
  return true;
}

// DIR as "ab" or "ba": the direction's index.
bool ParseDirection(const std::string& s, int* dir) {
  *dir = s == "ab" ? 0 : s == "ba" ? 1 : -1;
  return *dir >= 0;
}

bool ParseHex(const std::string& s, std::string* out) {
  if (s.empty() || s.size() % 2 != 0 || s.find_first_not_of("0123456789abcdefABCDEF") != s.npos)
    return false;
  for (size_t i = 0; i < s.size(); i += 2)
    *out += static_cast<char>(strtoul(s.substr(i, 2).c_str(), nullptr, 16));
  return true;
}

// Splits at each ':', as many parts as given or fewer.
std::vector<std::string> SplitFields(const char* s) {
  std::vector<std::string> parts(1);
  for (; *s; s++) {
    if (*s == ':') {
      parts.emplace_back();
    } else {
      parts.back() += *s;
    }
  }
  return parts;
}

// DIR:TYPE[/SEQ]:N[-M]:ACTION
bool ParseFrameRule(const char* arg, Options* o) {
  std::vector<std::string> f = SplitFields(arg);
  FrameRule r{};
  uint64_t seq = 0, ms = 0;
  if (f.size() != 4 || !ParseDirection(f[0], &r.dir) || f[1].empty()) return false;
  r.type = static_cast<uint8_t>(f[1][0]);
  r.seq = -1;
  if (f[1].size() > 1) {
    if (f[1][1] != '/' || !ParseCount(f[1].c_str() + 2, &seq) || seq > 255) return false;
    r.seq = static_cast<int>(seq);
  }
  size_t dash = f[2].find('-');
  r.last = UINT64_MAX;
  if (!ParseCount(f[2].substr(0, dash).c_str(), &r.first) || r.first == 0) return false;
  if (dash == f[2].npos) r.last = r.first;
  if (dash != f[2].npos && dash + 1 < f[2].size() &&
      (!ParseCount(f[2].c_str() + dash + 1, &r.last) || r.last < r.first))
    return false;
  const std::string& a = f[3];
  r.action = a == "drop" ? kDrop : a == "damage" ? kDamage : a == "dup" ? kDup : kDelay;
  if (r.action == kDelay && (a.compare(0, 6, "delay=") != 0 || !ParseCount(a.c_str() + 6, &ms)))
    return false;
  r.delayNs = static_cast<int64_t>(std::min<uint64_t>(ms, 1000000000)) * 1000000;
  o->frames.push_back(r);
  return true;
}

// DIR:COUNT/MS[:FDIR:TYPE[/SEQ]:N]
bool ParseInjection(const char* arg, Options* o) {
  std::vector<std::string> f = SplitFields(arg);
  Injection j{};
  uint64_t ms = 0, seq = 0;
  size_t slash = f.size() > 1 ? f[1].find('/') : std::string::npos;
  if ((f.size() != 2 && f.size() != 5) || !ParseDirection(f[0], &j.dir) || slash == f[1].npos ||
      !ParseCount(f[1].substr(0, slash).c_str(), &j.count) || j.count == 0 ||
      !ParseCount(f[1].c_str() + slash + 1, &ms) || ms == 0 || ms > 1000000000)
    return false;
  j.periodNs = static_cast<int64_t>(ms) * 1000000;
  j.trigger = -1;
  j.seq = -1;
  j.nextNs = 0;  // from the start: set then
  if (f.size() == 5) {
    if (!ParseDirection(f[2], &j.trigger) || f[3].empty() || !ParseCount(f[4].c_str(), &j.nth) ||
        j.nth == 0)
      return false;
    j.type = static_cast<uint8_t>(f[3][0]);
    if (f[3].size() > 1 && (f[3][1] != '/' || !ParseCount(f[3].c_str() + 2, &seq) || seq > 255))
      return false;
    if (f[3].size() > 1) j.seq = static_cast<int>(seq);
    j.nextNs = INT64_MAX;
  }
  o->injections.push_back(j);
  return true;
}

// DIR:HEX=HEX[:N]
bool ParseRewrite(const char* arg, Options* o) {
  std::vector<std::string> f = SplitFields(arg);
  Rewrite r{};
  r.nth = 1;
  size_t equals = f.size() > 1 ? f[1].find('=') : std::string::npos;
  if (f.size() < 2 || f.size() > 3 || !ParseDirection(f[0], &r.dir) || equals == f[1].npos ||
      !ParseHex(f[1].substr(0, equals), &r.from) || !ParseHex(f[1].substr(equals + 1), &r.to) ||
      r.from.size() != r.to.size() ||
      (f.size() == 3 && (!ParseCount(f[2].c_str(), &r.nth) || r.nth == 0)))
    return false;
  o->rewrites.push_back(r);
  return true;
}

// velcot's mode strings, limited to the data bits a UART can frame.
bool ParseMode(const char* s, Options* o) {
  LineFormat format;
  if (!ParseLineMode(s, &format) || format.data_bits < 5 || format.data_bits > 8) return false;
  o->dataBits = format.data_bits;
  o->parity = format.parity;
  o->stopBits = format.stop_bits;
  return true;
}

bool ParseOption(int c, const char* arg, Options* o) {
  uint64_t n = 0;
  double r = 0;
  switch (c) {
    case 'b':
      return ParseCount(arg, &n) && n <= UINT32_MAX && (o->baud = static_cast<int64_t>(n), true);
    case 'm':
      return ParseMode(arg, o);
    case 's':
      return ParseCount(arg, &o->seed);
    case 'e':
      return ParseReal(arg, 0, 1, &o->ber[0]);
    case 'E':
      return ParseReal(arg, 0, 1, &o->ber[1]);
    case 'f':
      return ParseCount(arg, &o->spare[0]);
    case 'F':
      return ParseCount(arg, &o->spare[1]);
    case 'n':
      return ParseCount(arg, &o->noiseA);
    case 'c':
      return ParseCount(arg, &n) && n <= INT64_MAX && (o->cutAfter = static_cast<int64_t>(n), true);
    case 'l':
      return ParseReal(arg, 0, 1e6, &r) && (o->latencyNs = llround(r * 1e6), true);
    case 'u':
    case 'U':
      return ParseReal(arg, 0, 1e6, &r) && (o->usbLatencyNs[c == 'U'] = llround(r * 1e6), true);
    case 'r':
      return ParseFrameRule(arg, o);
    case 'w':
      return ParseRewrite(arg, o);
    case 'i':
      return ParseInjection(arg, o);
  }
  return false;
}

// Returns -1 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Options* o) {
  static const option kLong[] = {{"seed", required_argument, nullptr, 's'},
                                 {"ber-ab", required_argument, nullptr, 'e'},
                                 {"ber-ba", required_argument, nullptr, 'E'},
                                 {"after-ab", required_argument, nullptr, 'f'},
                                 {"after-ba", required_argument, nullptr, 'F'},
                                 {"noise-a", required_argument, nullptr, 'n'},
                                 {"cut-after", required_argument, nullptr, 'c'},
                                 {"latency-ms", required_argument, nullptr, 'l'},
                                 {"usb-latency-a", required_argument, nullptr, 'u'},
                                 {"usb-latency-b", required_argument, nullptr, 'U'},
                                 {"frame", required_argument, nullptr, 'r'},
                                 {"rewrite", required_argument, nullptr, 'w'},
                                 {"inject", required_argument, nullptr, 'i'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  const char* kShortUsage = "usage: nullmodem [options] LINK_A LINK_B (-h for help)\n";
  int c, index = -1;
  while ((c = getopt_long(argc, argv, "b:m:h", kLong, &index)) != -1) {
    if (c == 'h') return PrintUsage(stdout), 0;
    if (c == '?') return fputs(kShortUsage, stderr), 2;
    if (!ParseOption(c, optarg, o)) {
      fprintf(stderr, "nullmodem: bad value for %s%s: %s\n", index >= 0 ? "--" : "-",
              index >= 0 ? kLong[index].name : std::string(1, c).c_str(), optarg);
      return fputs(kShortUsage, stderr), 2;
    }
    index = -1;
  }
  if (argc - optind != 2 || strcmp(argv[optind], argv[optind + 1]) == 0) {
    fputs("nullmodem: need two different link paths\n", stderr);
    return fputs(kShortUsage, stderr), 2;
  }
  o->link[0] = argv[optind];
  o->link[1] = argv[optind + 1];
  return -1;
}

// cfmakeraw, plus CLOCAL|CREAD, done on termios2.
bool MakeRaw(int fd) {
  termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return ioctl(fd, TCSETS2, &t) == 0;
}

// Keeps the slave open itself so an end closing its port does not hang up
// the pty.
bool OpenPty(int* master, int* slave, std::string* path) {
  *master = posix_openpt(O_RDWR | O_NOCTTY);
  if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0 ||
      fcntl(*master, F_SETFL, O_NONBLOCK) != 0 || fcntl(*master, F_SETFD, FD_CLOEXEC) != 0) {
    fprintf(stderr, "nullmodem: cannot open pty: %s\n", strerror(errno));
    return false;
  }
  *path = ptsname(*master);
  *slave = open(path->c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*slave < 0 || !MakeRaw(*slave)) {
    fprintf(stderr, "nullmodem: cannot set up %s: %s\n", path->c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool MakeLink(const std::string& target, const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISLNK(st.st_mode)) {
    fprintf(stderr, "nullmodem: cannot create link %s: %s (not a symlink)\n", path,
            strerror(EEXIST));
    return false;
  }
  if ((unlink(path) != 0 && errno != ENOENT) || symlink(target.c_str(), path) != 0) {
    fprintf(stderr, "nullmodem: cannot create link %s: %s\n", path, strerror(errno));
    return false;
  }
  return true;
}

// Leaves the path alone if someone has since pointed it elsewhere.
void RemoveLink(const std::string& target, const char* path) {
  char buf[256];
  ssize_t n = readlink(path, buf, sizeof buf);
  if (n >= 0 && target.compare(0, std::string::npos, buf, n) == 0) unlink(path);
}

uint64_t NextRandom(uint64_t* state) {  // splitmix64
  uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// Speed an end has set on its port. Termios ioctls on a master act on its
// slave. 0 means the end dropped the line (B0) or the ioctl failed.
uint32_t ReadSpeed(int master, bool input) {
  termios2 t;
  if (ioctl(master, TCGETS2, &t) != 0) return 0;
  return input && t.c_ispeed != 0 ? t.c_ispeed : t.c_ospeed;
}

int FrameBits(const Options& o) {
  return 1 + o.dataBits + (o.parity != 'N') + o.stopBits;
}

int64_t CharNs(const Options& o, uint32_t baud) {
  // Rounded up so a char is never early.
  return (FrameBits(o) * 1000000000LL + baud - 1) / baud;
}

// What a receiver at rx baud makes of a char sent at tx baud: it syncs on
// the start bit's edge, then samples the middle of each of its own bit
// periods. Past the frame the line idles high.
uint8_t Garble(const Options& o, uint8_t c, uint64_t tx, uint64_t rx) {
  unsigned data = c & ((1u << o.dataBits) - 1);
  unsigned parity = __builtin_parity(data) ^ (o.parity == 'O');
  int parityBits = o.parity != 'N';
  uint64_t frame = ~0ULL << (1 + o.dataBits + parityBits);
  frame |= static_cast<uint64_t>(parity & parityBits) << (1 + o.dataBits);
  frame |= data << 1;
  unsigned out = 0;
  for (int k = 1; k <= o.dataBits; k++) {
    uint64_t bit = (2 * k + 1) * tx / (2 * rx);
    out |= (bit >= 64 ? 1 : (frame >> bit) & 1) << (k - 1);
  }
  return static_cast<uint8_t>(out);
}

uint8_t AddBitErrors(Line* l, int dataBits, uint8_t c) {
  if (l->ber <= 0) return c;
  if (l->spare > 0) return l->spare--, c;
  for (int i = 0; i < dataBits; i++) {
    if ((NextRandom(&l->rng) >> 11) * 0x1p-53 < l->ber) {
      c ^= static_cast<uint8_t>(1u << i);
      l->flipped++;
    }
  }
  return c;
}

// Bytes waiting in a master. A pty must never be read or poll()ed while
// empty: n_tty then waits for the kernel worker feeding it, which keeps
// going for as long as the other end keeps writing.
size_t Available(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

// Room for more of what the writing end sent: what waits to go on the line
// counts.
size_t Room(const Line& l) {
  size_t used = l.count + l.out.size();
  return used < kInFlight ? kInFlight - used : 0;
}

// Takes what the writing end has sent, as far as the line has room.
bool ReadSource(Line* l) {
  char buf[kInFlight];
  size_t room = Room(*l);
  size_t want = std::min(Available(l->src), room);
  l->pending = want == room;
  if (want == 0) return true;
  ssize_t n = read(l->src, buf, want);
  if (n <= 0) {
    fprintf(stderr, "nullmodem: cannot read from %s: %s\n", l->srcLink,
            n < 0 ? strerror(errno) : "end of file");
    return false;
  }
  l->lastRead = NowNs();
  (!l->judging && l->rewrites.empty() ? l->out : l->raw).append(buf, n);
  return true;
}

uint32_t Crc32(const uint8_t* p, size_t n) {  // zlib's
  uint32_t crc = ~0u;
  while (n-- > 0) {
    crc ^= *p++;
    for (int k = 0; k < 8; k++)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

// What the bytes from p on hold: -1 no frame header, 0 too few bytes to
// tell, else the length of the frame that starts there.
long FrameAt(const std::string& s, size_t p) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(s.data()) + p;
  size_t n = s.size() - p;
  if (b[0] != 0xF3 || (n > 1 && b[1] != 0x5C)) return -1;
  if (n < kHeaderSize) return 0;
  size_t length = b[4] << 8 | b[5];
  uint32_t check = b[6] << 8 | b[7];
  if (length > kPayloadMax || (Crc32(b + 2, 4) & 0xFFFF) != check) return -1;
  return static_cast<long>(kHeaderSize + length + kTrailerSize);
}

// An injection that waits for this frame starts a period after it.
void CountTriggers(Line* l, const std::string& frame, int64_t now) {
  int dir = 1 - l->dstEnd;
  for (Injection& j : *l->injections) {
    if (j.trigger != dir || j.type != static_cast<uint8_t>(frame[2]) ||
        (j.seq >= 0 && j.seq != static_cast<uint8_t>(frame[3])))
      continue;
    if (++j.seen == j.nth) j.nextNs = now + j.periodNs;
  }
}

// Every rule that matches the frame counts it; the first whose range holds
// that count acts.
void ActOnFrame(Line* l, std::string frame, int64_t now) {
  CountTriggers(l, frame, now);
  const FrameRule* acting = nullptr;
  for (FrameRule& r : l->rules) {
    if (r.type != static_cast<uint8_t>(frame[2]) ||
        (r.seq >= 0 && r.seq != static_cast<uint8_t>(frame[3])))
      continue;
    r.seen++;
    if (acting == nullptr && r.seen >= r.first && r.seen <= r.last) acting = &r;
  }
  if (acting == nullptr) {
    l->out += frame;
    return;
  }
  FrameAction action = acting->action;
  l->frames[action]++;
  if (action == kDamage) frame.back() ^= 1;  // in the CRC-32
  if (action == kDelay) {
    l->delayed.emplace_back(now + acting->delayNs, frame);
  } else if (action != kDrop) {
    l->out += action == kDup ? frame + frame : frame;
  }
}

// Moves what was read on, rewriting as asked; what may begin a string to
// rewrite waits for the rest, unless flush.
void PassRewrites(Line* l, bool flush) {
  std::string& in = l->raw;
  auto active = [](const Rewrite& r) { return r.seen < r.nth; };
  size_t p = 0;
  if (std::none_of(l->rewrites.begin(), l->rewrites.end(), active)) p = in.size();
  for (; p < in.size(); p++) {
    size_t left = in.size() - p;
    bool wait = false;
    for (const Rewrite& r : l->rewrites)
      wait |= active(r) && left < r.from.size() && in.compare(p, left, r.from, 0, left) == 0;
    if (wait && !flush) break;
    for (Rewrite& r : l->rewrites) {
      if (active(r) && in.compare(p, r.from.size(), r.from) == 0 && ++r.seen == r.nth) {
        in.replace(p, r.to.size(), r.to);
        l->rewritten++;
      }
    }
  }
  l->unjudged.append(in, 0, p);
  in.erase(0, p);
}

// Passes bytes on and acts on each whole frame; a header or a frame that
// has begun waits for the rest, unless flush.
void JudgeFrames(Line* l, int64_t now, bool flush) {
  std::string& in = l->unjudged;
  size_t p = l->judging ? 0 : std::string::npos, plain = 0;  // in[plain, p) passes
  while ((p = in.find('\xF3', p)) != std::string::npos) {
    long length = FrameAt(in, p);
    bool whole = length > 0 && in.size() - p >= static_cast<size_t>(length);
    if (!whole && length >= 0 && !flush) break;
    if (!whole) {
      p++;
      continue;
    }
    l->out.append(in, plain, p - plain);
    ActOnFrame(l, in.substr(p, length), now);
    plain = p += length;
  }
  p = std::min(p, in.size());
  l->out.append(in, plain, p - plain);
  in.erase(0, p);
}

// When held bytes go as they are, unless the writer has more waiting.
int64_t HoldDeadline(const Line& l) {
  if (l.pending || (l.raw.empty() && l.unjudged.empty())) return INT64_MAX;
  if (!l.raw.empty()) return l.lastRead + kHoldNs;
  return l.lastRead + (FrameAt(l.unjudged, 0) > 0 ? kFrameHoldNs : kHoldNs);
}

int64_t FilterDeadline(const Line& l) {
  int64_t next = HoldDeadline(l);
  for (const auto& held : l.delayed)
    next = std::min(next, held.first);
  return next;
}

// Held bytes go before delayed frames that are due with them: they were
// due first.
void FilterLine(Line* l, int64_t now) {
  bool due = now >= HoldDeadline(*l);
  bool flushRaw = due && !l->raw.empty();
  PassRewrites(l, flushRaw);
  JudgeFrames(l, now, due && !flushRaw);
  for (auto it = l->delayed.begin(); it != l->delayed.end();) {
    if (it->first > now) {
      ++it;
      continue;
    }
    l->out += it->second;
    it = l->delayed.erase(it);
  }
}

// Letters that are due go after what the writer sent so far, which may be
// the middle of a frame.
void Inject(Cable* c, int64_t now) {
  for (Injection& j : c->opt.injections) {
    if (j.nextNs > now) continue;
    Line& l = c->line[j.dir];
    for (uint64_t i = 0; i < j.count; i++)
      l.out += static_cast<char>('a' + NextRandom(&j.rng) % 26);
    l.injected += j.count;
    j.nextNs = std::max(j.nextNs + j.periodNs, now);
  }
}

int64_t NextInjection(const Options& o) {
  int64_t next = INT64_MAX;
  for (const Injection& j : o.injections)
    next = std::min(next, j.nextNs);
  return next;
}

// Puts what has passed onto the line, as far as it has room. The speeds
// are read each time: ends set them whenever they like.
void FeedLine(Line* l, const Options& o) {
  size_t n = std::min(l->out.size(), kInFlight - l->count);
  if (n == 0) return;
  int64_t now = NowNs();
  uint32_t fixed = static_cast<uint32_t>(o.baud);
  uint32_t tx = o.baud >= 0 ? fixed : ReadSpeed(l->src, false);
  uint32_t rx = o.baud >= 0 ? fixed : ReadSpeed(l->dst, true);
  int64_t charNs = tx > 0 ? CharNs(o, tx) : 0;
  uint8_t mask = static_cast<uint8_t>((1u << o.dataBits) - 1);
  bool lost = o.baud < 0 && (tx == 0 || rx == 0);
  if (lost) l->dropped += n;
  for (size_t i = 0; i < n && !lost; i++) {
    uint8_t b = static_cast<uint8_t>(l->out[i]);
    uint8_t c = tx != rx ? Garble(o, b, tx, rx) : b & mask;
    size_t tail = (l->head + l->count++) % kInFlight;
    l->data[tail] = AddBitErrors(l, o.dataBits, c);
    l->lineFree = std::max(now, l->lineFree) + charNs;
    l->due[tail] = l->lineFree + o.latencyNs;
  }
  l->out.erase(0, n);
}

// The first tick of the reading end's latency timer at or after t.
int64_t NextTick(const Line& l, int64_t t) {
  return l.usbEpoch + (t - l.usbEpoch + l.usbNs - 1) / l.usbNs * l.usbNs;
}

// Takes in the opens and closes of the slaves. Once no program has an end
// open, what it left unread is discarded, as at a serial port's last close.
void CountUsers(Cable* c) {
  alignas(inotify_event) char buf[4096];
  ssize_t n;
  while ((n = read(c->notifyFd, buf, sizeof buf)) > 0) {
    for (char* p = buf; p < buf + n;
         p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len) {
      const inotify_event* ev = reinterpret_cast<inotify_event*>(p);
      int e = ev->wd == c->watch[0] ? 0 : ev->wd == c->watch[1] ? 1 : -1;
      if (e < 0) continue;
      if (ev->mask & IN_OPEN) c->users[e]++;
      if ((ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && c->users[e] > 0 && --c->users[e] == 0)
        ioctl(c->slave[e], TCFLSH, TCIFLUSH);
    }
  }
}

// An open is reported before the opener can do anything else, so reading
// the reports first leaves no char lost that a program was there for.
bool IsEndOpen(Cable* c, int end) {
  if (c->users[end] == 0) CountUsers(c);
  return c->users[end] > 0;
}

// How many of the chars that have arrived by now the reading end gets: an
// FTDI adapter passes on full packets only until its timer fires.
size_t CountDue(const Line& l, int64_t now, uint64_t budget) {
  size_t n = 0;
  for (size_t i = l.head; n < l.count && n < budget; i = (i + 1) % kInFlight, n++)
    if (l.due[i] > now) break;
  if (n > 0 && l.usbNs > 0 && now < NextTick(l, l.due[l.head])) n -= n % kUsbPacket;
  return n;
}

// Writes every char that has arrived by now, in one write().
bool DeliverDue(Cable* c, Line* l, int64_t now, uint64_t budget) {
  if (now < l->retryAt) return true;
  size_t n = CountDue(*l, now, budget);
  if (n == 0) return true;
  if (!IsEndOpen(c, l->dstEnd)) {
    fprintf(stderr, "nullmodem: %zu bytes lost at %s, which no program has open\n", n, l->dstLink);
    l->dropped += n;
    l->head = (l->head + n) % kInFlight;
    l->count -= n;
    return true;
  }
  uint8_t buf[kInFlight];
  for (size_t k = 0; k < n; k++)
    buf[k] = l->data[(l->head + k) % kInFlight];
  ssize_t w = write(l->dst, buf, n);
  if (w < 0 && errno != EAGAIN) {
    fprintf(stderr, "nullmodem: cannot write to %s: %s\n", l->dstLink, strerror(errno));
    return false;
  }
  w = std::max<ssize_t>(w, 0);
  // No POLLOUT: polling a master can stall (see Available).
  if (static_cast<size_t>(w) < n) l->retryAt = now + kRetryNs;
  l->lastWrite = now;
  l->head = (l->head + w) % kInFlight;
  l->count -= w;
  l->carried += w;
  return true;
}

// Counts what is on the line or still unread from the writer as lost.
void DiscardInFlight(Line* l) {
  uint8_t buf[kInFlight];
  l->dropped += l->count + l->raw.size() + l->unjudged.size() + l->out.size();
  for (const auto& held : l->delayed)
    l->dropped += held.second.size();
  l->count = 0;
  l->raw.clear();
  l->unjudged.clear();
  l->out.clear();
  l->delayed.clear();
  size_t n;
  for (int i = 0; i < 64 && (n = Available(l->src)) > 0; i++)
    l->dropped += std::max<ssize_t>(read(l->src, buf, std::min(n, kInFlight)), 0);
}

// When a line next has chars to hand over.
int64_t LineDeadline(const Line& l, bool* last) {
  if (l.count == 0) return INT64_MAX;
  if (l.usbNs > 0) {  // the timer's tick, or a packet's last char
    int64_t packet =
        l.count >= kUsbPacket ? l.due[(l.head + kUsbPacket - 1) % kInFlight] : INT64_MAX;
    return std::max(std::min(NextTick(l, l.due[l.head]), packet), l.retryAt);
  }
  int64_t final = l.due[(l.head + l.count - 1) % kInFlight];
  int64_t batch = std::max(l.due[l.head], l.lastWrite + kBatchNs);
  *last = final <= batch;
  return std::max(std::min(batch, final), l.retryAt);
}

// *spin tells a deadline that leaves a line idle.
int64_t NextDeadline(const Line* lines, bool* spin) {
  int64_t next = INT64_MAX;
  *spin = false;
  for (int i = 0; i < 2; i++) {
    bool last = false;
    int64_t at = LineDeadline(lines[i], &last);
    if (at < next) {
      next = at;
      *spin = last;
    }
    at = FilterDeadline(lines[i]);
    if (at < next) {
      next = at;
      *spin = false;
    }
  }
  return next;
}

timespec ToTimespec(int64_t ns) {
  timespec t;
  t.tv_sec = static_cast<time_t>(ns / 1000000000);
  t.tv_nsec = static_cast<long>(ns % 1000000000);
  return t;
}

// epoll_wait() only counts milliseconds, so the nanosecond wait is a ppoll()
// on the epoll descriptor, which is readable while any end has news; the
// events are then collected without waiting.
int WaitUntil(int epollFd, epoll_event* ev, int size, int64_t deadline) {
  if (deadline == INT64_MAX) return epoll_wait(epollFd, ev, size, -1);
  for (;;) {
    timespec ts = ToTimespec(std::max<int64_t>(deadline - NowNs(), 0));
    pollfd p = {epollFd, POLLIN, 0};
    int n = ppoll(&p, 1, &ts, nullptr);
    if (n <= 0) return n;
    n = epoll_wait(epollFd, ev, size, 0);
    if (n != 0) return n;  // else the news was taken back: wait on
  }
}

void PrintSummary(const Cable& c) {
  typedef unsigned long long Count;
  for (const Line& l : c.line) {
    fprintf(stderr, "%s: %llu bytes carried, %llu bits flipped, %llu bytes dropped", l.name,
            Count(l.carried), Count(l.flipped), Count(l.dropped));
    if (!c.opt.frames.empty() || !c.opt.rewrites.empty())
      fprintf(stderr,
              "; frames %llu dropped, %llu damaged, %llu duplicated, %llu delayed; %llu rewritten",
              Count(l.frames[kDrop]), Count(l.frames[kDamage]), Count(l.frames[kDup]),
              Count(l.frames[kDelay]), Count(l.rewritten));
    if (!c.opt.injections.empty()) fprintf(stderr, "; %llu injected", Count(l.injected));
    fputc('\n', stderr);
  }
}

// The signal that came, 0 if it was taken already.
uint32_t TakeSignal(int sigFd) {
  signalfd_siginfo si;
  return read(sigFd, &si, sizeof si) == sizeof si ? si.ssi_signo : 0;
}

// Sleeps until the next delivery or until an end writes or a signal comes.
Step Wait(Cable* c) {
  bool spin;
  int64_t deadline = NextDeadline(c->line, &spin);
  if (NextInjection(c->opt) < deadline) {
    deadline = NextInjection(c->opt);
    spin = false;
  }
  epoll_event ev[4];
  int n = WaitUntil(c->epollFd, ev, 4, deadline - (spin ? kSpinNs : 0));
  if (n < 0) return errno == EINTR ? kGoOn : kFail;
  while (n == 0 && spin && NowNs() < deadline) {
  }
  for (int i = 0; i < n; i++) {
    if (ev[i].data.u32 == 2) {
      // SIGUSR1 asks for the counters so far and leaves the cable running.
      uint32_t signo = TakeSignal(c->sigFd);
      if (signo == SIGUSR1) PrintSummary(*c);
      if (signo != SIGUSR1 && signo != 0) return kStop;
      continue;
    }
    if (ev[i].data.u32 == 3) {
      CountUsers(c);
      continue;
    }
    c->line[ev[i].data.u32].pending = true;
  }
  return kGoOn;
}

// An unplugged cable: both ends see a hang-up.
void CutCable(Cable* c) {
  for (int e = 0; e < 2; e++)
    DiscardInFlight(&c->line[e]);
  for (int e = 0; e < 2; e++)
    close(c->master[e]);
  for (int e = 0; e < 2; e++)
    close(c->slave[e]);
}

uint64_t Crossed(const Cable& c) {
  return c.line[0].carried + c.line[1].carried;
}

// Chars that may still cross before a --cut-after.
uint64_t Budget(const Cable& c) {
  if (c.opt.cutAfter < 0) return kInFlight;
  return static_cast<uint64_t>(c.opt.cutAfter) - Crossed(c);
}

Step RunCable(Cable* c) {
  for (;;) {
    int64_t now = NowNs();
    for (Line& l : c->line)
      if (!DeliverDue(c, &l, now, Budget(*c))) return kFail;
    if (Budget(*c) == 0) return CutCable(c), kCut;
    for (Line& l : c->line) {
      if (l.pending && Room(l) > 0 && !ReadSource(&l)) return kFail;
      FilterLine(&l, NowNs());
    }
    Inject(c, NowNs());
    for (Line& l : c->line)
      FeedLine(&l, c->opt);
    Step s = Wait(c);
    if (s != kGoOn) return s;
  }
}

bool WatchFd(int epollFd, int fd, uint32_t events, uint32_t tag) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u32 = tag;
  return epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

// Edge-triggered, so a master is never polled again while empty (see
// Available); each arrival of bytes reports it anew. Tags: line to read, 2
// for a signal, 3 for an end opened or closed. The cable's own opens of the
// slaves come before the watches, so they are not counted.
bool OpenEvents(Cable* c) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGUSR1);
  c->epollFd = epoll_create1(EPOLL_CLOEXEC);
  bool ok = c->epollFd >= 0 && sigprocmask(SIG_BLOCK, &set, nullptr) == 0 &&
            (c->sigFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK)) >= 0 &&
            WatchFd(c->epollFd, c->sigFd, EPOLLIN, 2) &&
            (c->notifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) >= 0 &&
            WatchFd(c->epollFd, c->notifyFd, EPOLLIN, 3);
  for (int e = 0; e < 2 && ok; e++) {
    c->watch[e] = inotify_add_watch(c->notifyFd, c->slavePath[e].c_str(),
                                    IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    ok = c->watch[e] >= 0;
  }
  for (int e = 0; e < 2 && ok; e++)
    ok = WatchFd(c->epollFd, c->master[e], EPOLLIN | EPOLLET, e);
  if (!ok) fprintf(stderr, "nullmodem: cannot watch ptys: %s\n", strerror(errno));
  return ok;
}

// Line noise that reached end A before anything was sent.
bool SendNoise(Cable* c) {
  std::string noise;
  uint8_t mask = static_cast<uint8_t>((1u << c->opt.dataBits) - 1);
  for (uint64_t i = 0; i < c->opt.noiseA; i++)
    noise += static_cast<char>(NextRandom(&c->line[1].rng) & mask);
  if (noise.empty()) return true;
  ssize_t w = write(c->master[0], noise.data(), noise.size());
  if (w == static_cast<ssize_t>(noise.size())) return true;
  fprintf(stderr, "nullmodem: cannot write noise to %s: %s\n", c->opt.link[0],
          w < 0 ? strerror(errno) : "pty buffer full");
  return false;
}

// Two adapters' latency timers run from the moments they were plugged in:
// A's from the cable's start, B's from a point in its period that the seed
// picks. Which phase the two have decides how long a reply waits on top
// of a block's tail (at 1 ms and 921600 baud, 0.8 or 1.8 ms a block).
int64_t UsbTimerPhase(const Options& o, int end) {
  uint64_t state = o.seed ^ 0x6A09E667F3BCC909ULL;
  int64_t period = o.usbLatencyNs[end];
  return end == 1 && period > 0 ? static_cast<int64_t>(NextRandom(&state) % period) : 0;
}

void InitLines(Cable* c) {
  static const char* const kName[2] = {"A->B", "B->A"};
  int64_t start = NowNs();
  for (int e = 0; e < 2; e++) {
    Line& l = c->line[e];
    l = Line{};
    l.name = kName[e];
    l.srcLink = c->opt.link[e];
    l.dstLink = c->opt.link[1 - e];
    l.src = c->master[e];
    l.dst = c->master[1 - e];
    l.dstEnd = 1 - e;
    l.usbNs = c->opt.usbLatencyNs[1 - e];
    l.usbEpoch = start + UsbTimerPhase(c->opt, l.dstEnd);
    l.ber = c->opt.ber[e];
    l.spare = c->opt.spare[e];
    l.rng = c->opt.seed ^ (e ? 0xB5AD4ECEDA1CE2A9ULL : 0);
    for (const FrameRule& r : c->opt.frames)
      if (r.dir == e) l.rules.push_back(r);
    for (const Rewrite& r : c->opt.rewrites)
      if (r.dir == e) l.rewrites.push_back(r);
    l.injections = &c->opt.injections;
    l.judging = !l.rules.empty();
    for (const Injection& j : c->opt.injections)
      l.judging = l.judging || j.trigger == e;
  }
  for (Injection& j : c->opt.injections) {
    j.rng = c->opt.seed ^ 0x243F6A8885A308D3ULL ^ static_cast<uint64_t>(j.dir);
    if (j.nextNs == 0) j.nextNs = start + j.periodNs;
  }
}

bool SetUp(Cable* c) {
  for (int e = 0; e < 2; e++)
    if (!OpenPty(&c->master[e], &c->slave[e], &c->slavePath[e])) return false;
  if (!OpenEvents(c)) return false;
  if (!MakeLink(c->slavePath[0], c->opt.link[0])) return false;
  if (!MakeLink(c->slavePath[1], c->opt.link[1])) {
    RemoveLink(c->slavePath[0], c->opt.link[0]);
    return false;
  }
  InitLines(c);
  return true;
}

// Deliveries and reads must not wait behind the programs under test, so a
// paced cable takes a real-time priority when allowed (best effort). Not an
// unpaced one: there it would only preempt the kernel workers feeding it.
void RaisePriority(const Options& o) {
  sched_param p{};
  p.sched_priority = 1;
  if (o.baud != 0) sched_setscheduler(0, SCHED_FIFO, &p);
  prctl(PR_SET_TIMERSLACK, 1UL);  // else sleeps overshoot by up to 50 us
}

}  // namespace

int main(int argc, char** argv) {
  Cable cable{};
  Cable* c = &cable;
  int status = ParseOptions(argc, argv, &c->opt);
  if (status >= 0) return status;
  RaisePriority(c->opt);
  if (!SetUp(c)) return 1;
  Step s = SendNoise(c) ? kGoOn : kFail;
  if (s == kGoOn) {
    fputs("nullmodem: ready\n", stderr);
    s = RunCable(c);
  }
  if (s == kStop)
    for (Line& l : c->line)
      DiscardInFlight(&l);
  PrintSummary(*c);
  for (int e = 0; e < 2; e++)
    RemoveLink(c->slavePath[e], c->opt.link[e]);
  return s == kFail ? 1 : 0;
}
