// velcot: sends or receives files over a serial line.
#include "velcot.h"

#include <cctype>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "base/progress.h"
#include "files/names.h"
#include "files/store.h"
#include "ports/commdev.h"
#include "run/protocol_choice.h"
#include "run/transfer.h"

#ifndef PROJECT_URL
#error "PROJECT_URL, the web address in the help text, comes from the build"
#endif
#ifndef PROJECT_VERSION_TEXT
#error "PROJECT_VERSION_TEXT, the version --version prints, comes from the build"
#endif

void PrintHelp() {
  puts("Sends or receives files over serial COM lines (nullmodems).");
  puts("");
  puts("velcot [-p port] [-b baudrate] [-m mode] [file(s)]");
  puts("");
  puts("  -p port        use port for sending (e.g. COM3)");
  puts("  -b baudrate    use baudrate (e.g. 1200 for really bad lines)");
  puts("  -m mode        set mode (e.g. 8N1, 7O1, 6E2)");
  puts("                 if you don't understand this you won't need this");
  puts("  --protocol NAME  velcot (the default), xmodem, xmodem-1k, ymodem, ymodem-g,");
  puts("                 kermit, zmodem: for bootloaders (U-Boot's loadx, loady,");
  puts("                 loadb) and targets that run lrzsz or C-Kermit rather than");
  puts("                 velcot; by default, lrzsz's sz and rz are heard and answered");
  puts("                 by ZMODEM");
  puts("  --escape-all   ZMODEM: escape every control character both ways, for a");
  puts("                 line that eats some (a terminal program, a console)");
  puts("  -o NAME        receiving XMODEM, which carries no name: store as NAME");
  puts("  --flow FLOW    flow control: none, rtscts, or xonxoff (zmodem, kermit)");
  puts("  --dtr on|off   DTR while velcot holds the port (off unless asked)");
  puts("  --rts on|off   RTS likewise; --flow rtscts drives it");
  puts("  --start CMD    type CMD and Enter at the far end's shell before sending");
  puts("                 (e.g. --start \"velcot -p -\")");
  puts("  --existing X   a received file whose name is taken: replace (default),");
  puts("                 keep (the old one; the new one is declined) or rename");
  puts("                 (stored as name.1, name.2, ...)");
  puts("  -h, --help     this text; --version: the version");
  puts("  --             what follows is a file name, even -x");
  puts("");
  puts("Started without filenames will put velcot into receive mode.");
  printf("Default settings: -p %s -b %lu -m %s.\n", kDefaultPort,
         static_cast<unsigned long>(kDefaultBaudrate), kDefaultMode);
  puts("");
  puts("For bugreports or comments, please visit (URL:" PROJECT_URL ").");
  puts("");
}

void PrintVersion() {
  puts("velcot " PROJECT_VERSION_TEXT);
  puts(PROJECT_URL);
}

uint32_t ParseBaudrate(const char* text) {
  const char* p = text;
  while (isspace(static_cast<unsigned char>(*p)))
    p++;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  // A second sign or a blank after the sign ends the number before it starts.
  if (*p == '-' || *p == '+' || isspace(static_cast<unsigned char>(*p))) return 0;
  errno = 0;
  unsigned long long value = strtoull(p, nullptr, 0);
  if (errno == ERANGE || value > UINT32_MAX) return UINT32_MAX;
  uint32_t result = uint32_t(value);
  return negative ? 0u - result : result;
}

// A long option with a value, "--NAME VALUE" or "--NAME=VALUE": true when
// argv[*i] is it, with *value set ("" when it is the last argument).
static bool ReadLongOption(const char* name, int argc, char** argv, int* i, const char** value) {
  const char* arg = argv[*i];
  size_t length = strlen(name);
  if (strncmp(arg, name, length) != 0 || (arg[length] != '\0' && arg[length] != '=')) return false;
  if (arg[length] == '=') {
    *value = arg + length + 1;
  } else {
    *value = *i + 1 < argc ? argv[++*i] : "";
  }
  return true;
}

// An option rather than a file name: a '-' and a letter (or '?'), or "--"
// and a word.
static bool LooksLikeOption(const char* arg) {
  if (arg[0] != '-') return false;
  return isalpha(static_cast<unsigned char>(arg[1])) || arg[1] == '?' ||
         (arg[1] == '-' && arg[2] != '\0');
}

Request ParseArguments(int argc, char** argv, Settings* settings) {
  bool files_only = false;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    bool has_value = i + 1 < argc;
    if (files_only || !(LooksLikeOption(arg) || strcmp(arg, "--") == 0)) {
      settings->files[settings->file_count++] = arg;
    } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "-?") == 0 || strcmp(arg, "--help") == 0) {
      return Request::kHelp;
    } else if (strcmp(arg, "--version") == 0) {
      return Request::kVersion;
    } else if (strcmp(arg, "-p") == 0) {
      settings->port = has_value ? argv[++i] : nullptr;
    } else if (strcmp(arg, "-b") == 0) {
      settings->baudrate_text = has_value ? argv[++i] : nullptr;
      settings->baudrate = has_value ? ParseBaudrate(settings->baudrate_text) : 0;
    } else if (strcmp(arg, "-m") == 0) {
      settings->mode = has_value ? argv[++i] : nullptr;
    } else if (ReadLongOption("--protocol", argc, argv, &i, &settings->protocol) ||
               ReadLongOption("--flow", argc, argv, &i, &settings->flow) ||
               ReadLongOption("--dtr", argc, argv, &i, &settings->dtr) ||
               ReadLongOption("--rts", argc, argv, &i, &settings->rts) ||
               ReadLongOption("--start", argc, argv, &i, &settings->start) ||
               ReadLongOption("--existing", argc, argv, &i, &settings->existing)) {
    } else if (strcmp(arg, "--escape-all") == 0) {
      settings->escape_all = true;
    } else if (strcmp(arg, "-o") == 0) {
      settings->output_name = has_value ? argv[++i] : "";
    } else if (strcmp(arg, "--") == 0) {
      files_only = true;
    } else if (settings->unknown == nullptr) {
      settings->unknown = arg;
    }
  }
  return settings->unknown != nullptr ? Request::kUnknownOption : Request::kRun;
}

const char* FindMissingSetting(const Settings& settings) {
  if (settings.port == nullptr) return "missing port name\n";
  if (settings.baudrate == 0) return "missing baudrate\n";
  if (settings.mode == nullptr) return "missing mode string\n";
  return nullptr;
}

std::string DescribeBadBaudrate(const char* text) {
  const char* p = text;
  while (isspace(static_cast<unsigned char>(*p)))
    p++;
  if (*p == '-') return "a rate is not negative";
  if (*p == '+') p++;
  if (!isdigit(static_cast<unsigned char>(*p))) return "not a number";
  // Base 0's prefixes by hand: runtimes disagree on where "0x" alone ends
  // (glibc takes its 0 and leaves the "x").
  bool hex =
      p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isxdigit(static_cast<unsigned char>(p[2]));
  char* end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(hex ? p + 2 : p, &end, hex ? 16 : p[0] == '0' ? 8 : 10);
  if (*end != '\0') return "\"" + std::string(end) + "\" after the number";
  if (errno == ERANGE || value > UINT32_MAX) return "more than 4294967295";
  if (ParseBaudrate(text) == 0) return "a rate of 0 baud";
  return "";
}

std::string DescribeBadMode(const char* mode) {
  if (strlen(mode) != 3) return "a mode is three characters: data bits, parity, stop bits (8N1)";
  if (mode[0] < '5' || mode[0] > '8') {
    return "data bits are 5 to 8, not \"" + std::string(1, mode[0]) + "\"";
  }
  if (strchr("NnOoEe", mode[1]) == nullptr) {
    return "parity is N, O or E, not \"" + std::string(1, mode[1]) + "\"";
  }
  if (mode[2] != '1' && mode[2] != '2') {
    return "stop bits are 1 or 2, not \"" + std::string(1, mode[2]) + "\"";
  }
  return "";
}

// --dtr and --rts: on or off; false for anything else.
static bool ParseModemLine(const char* text, ModemLine* line) {
  if (text == nullptr) return true;
  if (strcmp(text, "on") == 0) *line = ModemLine::kOn;
  if (strcmp(text, "off") == 0) *line = ModemLine::kOff;
  return strcmp(text, "on") == 0 || strcmp(text, "off") == 0;
}

static bool ParseFlowControl(const char* text, FlowControl* flow) {
  static const struct {
    const char* name;
    FlowControl flow;
  } kNames[] = {{"none", FlowControl::kNone},
                {"rtscts", FlowControl::kRtsCts},
                {"xonxoff", FlowControl::kXonXoff}};
  for (const auto& entry : kNames) {
    if (text == nullptr || strcmp(text, entry.name) == 0) {
      *flow = text == nullptr ? FlowControl::kNone : entry.flow;
      return true;
    }
  }
  return false;
}

// What the run's protocol needs of the line: 8 data bits for velcot's own
// exchanges and every other but Kermit, which quotes 8-bit data on 7-bit
// lines; XON/XOFF flow control only where the protocol keeps those two
// bytes out of what it sends (ZMODEM escapes them, Kermit sends only
// printable characters).
static std::string CheckProtocolNeeds(const Settings& settings, Protocol protocol,
                                      const LineControl& control) {
  const char* name = settings.protocol != nullptr ? settings.protocol : "velcot's own exchange";
  int data_bits = settings.mode[0] - '0';
  bool kermit = protocol == Protocol::kKermit;
  if (data_bits < (kermit ? 7 : 8)) {
    return std::string("-m ") + settings.mode + ": " + name + " needs " +
           (kermit ? "7 or 8 data bits" : "8 data bits (--protocol kermit carries files over 7)") +
           "\n";
  }
  if (control.flow == FlowControl::kXonXoff && !kermit && protocol != Protocol::kZmodem) {
    return std::string("--flow xonxoff: ") + name +
           " carries every byte value, XON and XOFF too; use --flow rtscts, or --protocol zmodem "
           "or kermit\n";
  }
  bool xmodem = protocol == Protocol::kXmodem || protocol == Protocol::kXmodem1k;
  if (xmodem && settings.file_count > 1) {
    return std::string(name) + " sends one file; --protocol ymodem sends several\n";
  }
  // XMODEM carries no name: the receiver stores under the one given.
  if (xmodem && settings.file_count == 0) {
    if (settings.output_name == nullptr || settings.output_name[0] == '\0') {
      return std::string(name) +
             " carries no file name: give the one to store under with -o NAME\n";
    }
    if (!IsPlainFileName(settings.output_name)) {
      return std::string("-o ") + settings.output_name +
             ": not a plain file name in the current folder\n";
    }
  }
  return "";
}

std::string FindBadSetting(const Settings& settings, LineControl* control) {
  const char* missing = FindMissingSetting(settings);
  if (settings.port == nullptr) return missing;
  if (settings.baudrate_text != nullptr) {
    std::string fault = DescribeBadBaudrate(settings.baudrate_text);
    if (!fault.empty()) {
      return std::string("-b ") + settings.baudrate_text + ": " + fault + "\nmissing baudrate\n";
    }
  }
  if (missing != nullptr) return missing;
  Protocol protocol = Protocol::kVelcot;
  if (settings.protocol != nullptr && !ParseProtocolName(settings.protocol, &protocol)) {
    return std::string("Unknown protocol \"") + settings.protocol + "\": velcot speaks " +
           kProtocolNames + "\n";
  }
  std::string fault = DescribeBadMode(settings.mode);
  if (!fault.empty())
    return std::string("-m ") + settings.mode + ": " + fault + "\ncouldn't configure port\n";
  if (!ParseFlowControl(settings.flow, &control->flow)) {
    return std::string("--flow takes none, rtscts or xonxoff, not \"") + settings.flow + "\"\n";
  }
  ExistingFile existing;
  if (!ParseExistingFile(settings.existing, &existing)) {
    return std::string("--existing takes replace, keep or rename, not \"") + settings.existing +
           "\"\n";
  }
  if (settings.start != nullptr && (settings.start[0] == '\0' || settings.file_count == 0)) {
    return settings.start[0] == '\0'
               ? "--start takes the command that starts a receiver, e.g. --start \"velcot -p -\"\n"
               : "--start types a receiver's command before sending: give files to send\n";
  }
  if (!ParseModemLine(settings.dtr, &control->dtr)) {
    return std::string("--dtr takes on or off, not \"") + settings.dtr + "\"\n";
  }
  if (!ParseModemLine(settings.rts, &control->rts)) {
    return std::string("--rts takes on or off, not \"") + settings.rts + "\"\n";
  }
  if (control->flow == FlowControl::kRtsCts && control->rts != ModemLine::kUnset) {
    return "--rts: --flow rtscts drives RTS itself\n";
  }
  return CheckProtocolNeeds(settings, protocol, *control);
}

// The unit tests link the parsing above without what follows.
#ifndef VELCOT_NO_MAIN
// Exit statuses.
constexpr int kExitComplete = 0;  // every file transferred (or help shown)
constexpr int kExitNotStarted = 1;
constexpr int kExitIncomplete = 2;  // some file not transferred, or the port was lost
// Interrupted by a signal: 128 + its number (130 for Ctrl+C).

static void ReportLostPort(const char* port_name, PortHandle port) {
  fprintf(stderr, "lost port %s: %s\n", port_name, DescribePortLoss(port));
}

// A file given up mid-exchange: the peer fell silent, refused one block too
// often or was out of step, or the sender could not read the file to its
// end. There is no telling at once where the other end stands.
static bool IsExchangeLost(TransferResult result) {
  return result == TransferResult::kStalled || result == TransferResult::kRefused ||
         result == TransferResult::kOutOfStep || result == TransferResult::kWithdrawn ||
         result == TransferResult::kPeerInterrupted;
}

// How long the far end's shell may echo the command --start typed, and how
// quiet the line then is before the first opening: the receiver it starts
// says nothing until it answers.
constexpr uint32_t kStartEchoQuietMs = 300;
constexpr uint32_t kStartEchoLimitMs = 5000;

// Types the receiver's command at the far end's shell, as sz types "rz\r",
// and lets its echo pass. Ctrl+U first clears what the shell's line holds
// (openings typed into it before, which it echoed).
static PortResult TypeStartCommand(PortHandle port, const char* command) {
  std::string typed = "\x15" + std::string(command) + "\r";
  PortResult written =
      WriteBytes(port, reinterpret_cast<const uint8_t*>(typed.data()), typed.size());
  if (written != PortResult::kDone) return written;
  PortResult quiet = WaitForQuietLine(port, kStartEchoQuietMs, kStartEchoLimitMs);
  return quiet == PortResult::kLost ? quiet : PortResult::kDone;
}

// Sends the files in order. A file that fails is reported and the next one
// follows. After a lost exchange the next opening waits only as long as a
// receiver takes to give the dead one up (a receiver that declined answers
// at once, or has left receive mode); with no answer by then, or once the
// port is lost, the rest are reported and not offered.
static int RunSendMode(PortHandle port, const Settings& settings, const RunSettings& run_settings) {
  uint32_t give_up_ms = 0;
  SendRun run;
  for (int i = 0; i < settings.file_count; i++)
    run.pending.push_back({settings.files[i], false, nullptr});
  while (!run.pending.empty()) {
    TransferResult result = SendFiles(port, &run, run_settings, give_up_ms);
    if (result == TransferResult::kDone) give_up_ms = 0;
    if (result == TransferResult::kDone) continue;
    if (GetInterruption() != 0) break;
    if (result == TransferResult::kPortLost) ReportLostPort(settings.port, port);
    // A receiver that was interrupted answers no more.
    if (result == TransferResult::kPortLost || result == TransferResult::kUnanswered ||
        result == TransferResult::kPeerInterrupted) {
      for (const PendingFile& file : run.pending)
        fprintf(stderr, "file %s not sent\n", EscapeForConsole(file.path).c_str());
      break;
    }
    if (result == TransferResult::kDeclined) {
      give_up_ms = kQuickStarts * kQuickStartMs;
    } else if (IsExchangeLost(result)) {
      give_up_ms = ScaleStallLimit(run_settings.times.stall_limit_ms, 10);
    }
  }
  return run.failed ? kExitIncomplete : kExitComplete;
}

// A line handed over (-p -), or the console velcot was typed on, belongs
// to the program at its other end, which waits for velcot to end: a
// receiver there takes one run of files, and ends once no sender opens the
// next one in time, or the line hangs up (doc/design.md).
constexpr uint32_t kFirstFileWaitMs = 60000;
constexpr uint32_t kNextFileWaitMs = 5000;

// After a lost exchange, the sender gives the file up (its stall limit)
// and holds back a quarter more before its next START.
static uint32_t ComputeNextFileWait(const LineTimes& times, TransferResult result) {
  bool lost = result != TransferResult::kDone && result != TransferResult::kNotStored;
  return (lost ? ScaleStallLimit(times.stall_limit_ms, 5) : 0) + kNextFileWaitMs;
}

// In a run of files, waits limit_ms for a sender's opening: kDone when one
// came, kTimedOut when the run is over (*status tells how it went), or
// kLost.
static PortResult AwaitNextFile(PortHandle port, const RunSettings& run_settings, uint32_t limit_ms,
                                bool first, SeenOpening* opened, OtherOpening* other, int* status) {
  PortResult seen = AwaitSender(port, run_settings, limit_ms, opened, other);
  if (seen == PortResult::kTimedOut && first) {
    fprintf(stderr, "No sender opened a file within %lu s\n",
            static_cast<unsigned long>(kFirstFileWaitMs / 1000));
    *status = kExitIncomplete;
  }
  bool hung_up = seen == PortResult::kLost && GetPortError(port) == kHungUp;
  return hung_up && !first && GetInterruption() == 0 ? PortResult::kTimedOut : seen;
}

// Receives files until a classic receiver declines one or the port is
// lost, or in one run until the sender's run is over. A file not stored,
// or given up mid-exchange, leaves the next one welcome; what is left of
// its exchange is let pass first, so that the sender's last bytes are not
// taken for a new one. A START that the watch after a file saw is answered
// by the next call.
static int RunReceiveMode(PortHandle port, const Settings& settings,
                          const RunSettings& run_settings, bool one_run) {
  int status = kExitComplete;
  SeenOpening opened = SeenOpening::kNone;
  OtherOpening other = {};  // a Kermit sender's Send-Init, heard while waiting
  uint32_t wait_ms = kFirstFileWaitMs;
  for (bool first = true;; first = false) {
    PortResult next =
        opened != SeenOpening::kNone || !one_run
            ? PortResult::kDone
            : AwaitNextFile(port, run_settings, wait_ms, first, &opened, &other, &status);
    if (next == PortResult::kTimedOut) return status;
    TransferResult result = next == PortResult::kDone
                                ? RecvFile(port, run_settings, &opened, &other)
                                : TransferResult::kPortLost;
    wait_ms = ComputeNextFileWait(run_settings.times, result);
    if (result == TransferResult::kDone) continue;
    status = kExitIncomplete;
    if (GetInterruption() != 0) return status;
    // A sender's opening that came already ends what was left to pass.
    if (opened != SeenOpening::kNone && result == TransferResult::kNotStored) continue;
    if (result == TransferResult::kNotStored || IsExchangeLost(result)) {
      // In one run, a line that never falls quiet (keystrokes, a console's
      // chatter) ends it once no sender could have opened the next file.
      PortResult quiet =
          WaitForQuietLine(port, run_settings.times.quiet_ms, one_run ? wait_ms : kForEver);
      if (quiet == PortResult::kDone) continue;
      if (quiet == PortResult::kTimedOut || GetInterruption() != 0) return status;
      // A line handed over that hangs up once a session has ended in order
      // (not all of its files stored) ends the run, as it would after a file.
      bool hung_up = GetPortError(port) == kHungUp;
      if (one_run && hung_up && result == TransferResult::kNotStored) return status;
      result = TransferResult::kPortLost;
    }
    if (result == TransferResult::kPortLost) ReportLostPort(settings.port, port);
    return status;
  }
}

#ifdef _WIN32
constexpr char kNullDevice[] = "NUL";
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#define isatty _isatty
#else
constexpr char kNullDevice[] = "/dev/null";
#endif

namespace {

// Standard output and error while the port is open, when one of them is
// the line itself: nothing but the exchange may go there. Plain data: for
// each of the two, the descriptor it had (or -1, left as it was) and the
// temporary file that holds its text until the port's settings are back.
struct ConsoleStreams {
  int saved[2];
  FILE* held[2];
};

}  // namespace

static FILE* PickStream(int stream) {
  return stream == 0 ? stdout : stderr;
}

// Points stream (0 stdout, 1 stderr) at the file target, keeping what it was.
static void RedirectStream(ConsoleStreams* console, int stream, FILE* target) {
  FILE* from = PickStream(stream);
  fflush(from);
  console->saved[stream] = dup(fileno(from));
  dup2(fileno(target), fileno(from));
#ifdef _WIN32
  _setmode(fileno(from), _O_BINARY);  // the text is copied out as it was written
#endif
}

// Holds a stream's text in a temporary file (where none can be made, it is
// dropped rather than put on the line).
static void HoldStream(ConsoleStreams* console, int stream) {
  FILE* held = tmpfile();
  if (held == nullptr) held = fopen(kNullDevice, "w");
  if (held == nullptr) return;
  RedirectStream(console, stream, held);
  console->held[stream] = held;
}

// Decides, once the port is open, where the program's own output goes: the
// progress line to standard error when only standard output is the line
// (with standard output's messages, at once), and left out when both are;
// the messages of a stream that is the line are held until the end.
static ConsoleStreams KeepConsoleOffLine(PortHandle port) {
  ConsoleStreams console = {{-1, -1}, {nullptr, nullptr}};
  bool out_on_line = IsLineStream(port, stdout);
  bool err_on_line = IsLineStream(port, stderr);
  if (out_on_line && !err_on_line) {
    RedirectStream(&console, 0, stderr);
    return console;
  }
  if (out_on_line) HoldStream(&console, 0);
  if (err_on_line) HoldStream(&console, 1);
  return console;
}

// Gives a stream that RedirectStream pointed elsewhere its descriptor back.
static void GiveStreamBack(ConsoleStreams* console, int stream) {
  if (console->saved[stream] < 0) return;
  FILE* to = PickStream(stream);
  fflush(to);
  dup2(console->saved[stream], fileno(to));
  close(console->saved[stream]);
  console->saved[stream] = -1;
#ifdef _WIN32
  _setmode(fileno(to), _O_TEXT);
#endif
}

// Writes all that held holds to the stream, and closes it.
static void PassText(FILE* held, FILE* to) {
  if (held == nullptr) return;
  rewind(held);
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, held)) > 0;)
    fwrite(buffer, 1, n, to);
  fclose(held);
  fflush(to);
}

// Copies held text out: lines as they were written, but of a line redrawn
// with carriage returns (the progress line) nothing.
static void CopyHeldText(FILE* held, FILE* to) {
  rewind(held);
  std::string line;
  for (int c = fgetc(held);; c = fgetc(held)) {
    if (c != EOF && c != '\n') {
      line += char(c);
      continue;
    }
    if (!line.empty() && line.find('\r') == std::string::npos) fprintf(to, "%s\n", line.c_str());
    line.clear();
    if (c == EOF) break;
  }
}

// Once the port's settings are back: the streams as they were, and what
// they held. A terminal is a console someone reads; a pipe or a socket
// that is the line leads to a program, and what it held is dropped rather
// than put on it.
static void RestoreConsole(ConsoleStreams* console) {
  for (int stream = 0; stream < 2; stream++) {
    GiveStreamBack(console, stream);
    FILE* to = PickStream(stream);
    if (console->held[stream] == nullptr) continue;
    if (isatty(fileno(to))) CopyHeldText(console->held[stream], to);
    fclose(console->held[stream]);
    fflush(to);
  }
}

// A run in another protocol: its files, each reported as it ended, or the
// port lost.
static int RunProtocolMode(PortHandle port, const Settings& settings, Protocol protocol,
                           const LineTimes& times) {
  ProtocolRun run = {protocol, settings.files, settings.file_count, settings.output_name};
  run.escape_all = settings.escape_all;
  LineFormat format;
  if (ParseLineMode(settings.mode, &format)) run.data_bits = format.data_bits;
  TransferResult result = RunProtocol(port, run, times);
  if (result == TransferResult::kPortLost && GetInterruption() == 0) {
    ReportLostPort(settings.port, port);
  }
  return result == TransferResult::kDone ? kExitComplete : kExitIncomplete;
}

// True when a file named can be sent: a folder that can be read (when
// folders go), or a regular file that opens for reading. Otherwise says
// why, as the sender would when it came to it.
static bool CheckFileToSend(const char* path, bool folders) {
  if (IsFolder(path)) {
    if (!folders) {
      fprintf(stderr, "Couldn't send %s: not a regular file\n", path);
      return false;
    }
#ifdef _WIN32
    if (_access(path, 4) == 0) return true;
#else
    if (access(path, R_OK | X_OK) == 0) return true;
#endif
    fprintf(stderr, "Couldn't open %s for reading: %s\n", path, strerror(errno));
    return false;
  }
  uint64_t size = 0;
  FILE* file = OpenFileToSend(path, &size);
  if (file != nullptr) fclose(file);
  return file != nullptr;
}

// Checks the files named before the port is opened (opening it raises DTR,
// which resets many boards): those that cannot be sent are reported now and
// taken off the list. Returns how many were.
static int DropUnsendableFiles(Settings* settings, bool folders) {
  int kept = 0;
  for (int i = 0; i < settings->file_count; i++) {
    if (CheckFileToSend(settings->files[i], folders)) settings->files[kept++] = settings->files[i];
  }
  int dropped = settings->file_count - kept;
  settings->file_count = kept;
  return dropped;
}

static int Run(int argc, char** argv, Settings* settings) {
  Request request = ParseArguments(argc, argv, settings);
  if (request == Request::kHelp) PrintHelp();
  if (request == Request::kVersion) PrintVersion();
  if (request == Request::kHelp || request == Request::kVersion) return kExitComplete;
  if (request == Request::kUnknownOption) {
    fprintf(stderr,
            "Unknown option %s: velcot -h lists the options; a file so named goes as ./%s or "
            "after --\n",
            settings->unknown, settings->unknown);
    return kExitNotStarted;
  }
  LineControl control;
  std::string fault = FindBadSetting(*settings, &control);
  if (!fault.empty()) {
    fputs(fault.c_str(), stderr);
    return kExitNotStarted;
  }
  Protocol protocol = Protocol::kVelcot;
  if (settings->protocol != nullptr) ParseProtocolName(settings->protocol, &protocol);
  // What the check says waits until velcot knows whether its error stream
  // is the line (typed on a board's console, where nothing but the exchange
  // may go on it); the port's own word, if it does not open, follows it.
  ConsoleStreams early = {{-1, -1}, {nullptr, nullptr}};
  FILE* early_text = tmpfile();
  if (early_text != nullptr) RedirectStream(&early, 1, early_text);
  bool folders = protocol != Protocol::kVelcot || !settings->classic_only;
  int unsendable = DropUnsendableFiles(settings, folders);
  // Interrupted, the run still ends the progress line, drops a partial
  // file and puts the port back, and its status tells the signal.
  CatchInterrupts();
#ifdef SIGXFSZ
  // Beyond a file-size limit (ulimit -f) a write fails with EFBIG, which is
  // reported, rather than the signal ending the run without a word.
  signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef SIGPIPE
  // A pipe or a socket that closes under a write is a lost port, reported
  // as one, rather than the signal ending the run without a word.
  signal(SIGPIPE, SIG_IGN);
#endif
  bool none = unsendable > 0 && settings->file_count == 0;
  PortHandle port = none ? kInvalidPortHandle : OpenComPort(settings->port);
  GiveStreamBack(&early, 1);
  if (none || port == kInvalidPortHandle) {
    PassText(early_text, stderr);
    if (none) fprintf(stderr, "None of the files given can be sent; the port was not opened\n");
    if (!none) fprintf(stderr, "could not open %s\n", settings->port);
    return none ? kExitIncomplete : kExitNotStarted;
  }
  // The console velcot was typed on, or a line handed over, is given back
  // after one run of files.
  bool one_run =
      IsLineStream(port, stdin) || IsLineStream(port, stdout) || IsLineStream(port, stderr);
  ConsoleStreams console = KeepConsoleOffLine(port);
  PassText(early_text, stderr);
  int status = kExitNotStarted;
  LineFormat format;
  RunTally tally;
  if (!ConfigureComPort(port, settings->baudrate, settings->mode, control) ||
      !ParseLineMode(settings->mode, &format)) {
    fprintf(stderr, "couldn't configure port\n");
  } else {
    RunSettings run_settings;
    run_settings.times = ComputeLineTimes(settings->baudrate, format);
    run_settings.times.tally = &tally;
    run_settings.classic_only = settings->classic_only;
    run_settings.compression = settings->compression;
    run_settings.start_typed = settings->start != nullptr;
    run_settings.escape_all = settings->escape_all;
    ParseExistingFile(settings->existing, &run_settings.times.existing);
    if (settings->start != nullptr &&
        TypeStartCommand(port, settings->start) != PortResult::kDone) {
      if (GetInterruption() == 0) ReportLostPort(settings->port, port);
      status = kExitIncomplete;
    } else if (protocol != Protocol::kVelcot) {
      status = RunProtocolMode(port, *settings, protocol, run_settings.times);
    } else {
      status = settings->file_count > 0 ? RunSendMode(port, *settings, run_settings)
                                        : RunReceiveMode(port, *settings, run_settings, one_run);
    }
  }
  CloseComPort(port);
  // A person watching gets the run's figures; the line, or a program
  // reading the output, does not.
  if (tally.lines > 0 && IsConsoleWatched()) {
    fputs(FormatRunSummary(tally, settings->baudrate).c_str(), stdout);
  }
  RestoreConsole(&console);
  if (unsendable > 0 && status == kExitComplete) status = kExitIncomplete;
  return GetInterruption() != 0 ? 128 + GetInterruption() : status;
}

int main(int argc, char** argv) {
  setlocale(LC_CTYPE, "");  // the progress bar's shade blocks follow the console
  Settings settings = {kDefaultPort, kDefaultBaudrate, kDefaultMode, nullptr, 0};
  settings.files = static_cast<const char**>(calloc(argc, sizeof(const char*)));
  if (settings.files == nullptr) {
    fprintf(stderr, "Out of memory, try fewer files\n");
    return kExitNotStarted;
  }
  const char* classic = getenv(kClassicVariable);
  settings.classic_only = classic != nullptr && classic[0] != '\0' && strcmp(classic, "0") != 0;
  const char* compression = getenv(kCompressionVariable);
  settings.compression = compression == nullptr || strcmp(compression, "0") != 0;
  int status = Run(argc, argv, &settings);
  free(settings.files);
  return status;
}
#endif
