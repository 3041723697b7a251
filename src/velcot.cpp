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

#include "commdev.h"
#include "protocol_choice.h"
#include "transfer.h"

#ifndef PROJECT_URL
#error "PROJECT_URL, the web address in the help text, comes from the build"
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
  puts("");
  puts("Started without filenames will put velcot into receive mode.");
  printf("Default settings: -p %s -b %lu -m %s.\n", kDefaultPort,
         static_cast<unsigned long>(kDefaultBaudrate), kDefaultMode);
  puts("");
  puts("For bugreports or comments, please visit (URL:" PROJECT_URL ").");
  puts("");
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

bool ParseArguments(int argc, char** argv, Settings* settings) {
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    bool has_value = i + 1 < argc;
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "-?") == 0) return true;
    if (strcmp(arg, "-p") == 0) {
      settings->port = has_value ? argv[++i] : nullptr;
    } else if (strcmp(arg, "-b") == 0) {
      settings->baudrate = has_value ? ParseBaudrate(argv[++i]) : 0;
    } else if (strcmp(arg, "-m") == 0) {
      settings->mode = has_value ? argv[++i] : nullptr;
    } else if (strcmp(arg, "--protocol") == 0) {
      settings->protocol = has_value ? argv[++i] : "";
    } else if (strncmp(arg, "--protocol=", 11) == 0) {
      settings->protocol = arg + 11;
    } else if (strcmp(arg, "-o") == 0) {
      settings->output_name = has_value ? argv[++i] : "";
    } else {
      settings->files[settings->file_count++] = arg;
    }
  }
  return false;
}

const char* FindMissingSetting(const Settings& settings) {
  if (settings.port == nullptr) return "missing port name\n";
  if (settings.baudrate == 0) return "missing baudrate\n";
  if (settings.mode == nullptr) return "missing mode string\n";
  return nullptr;
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
         result == TransferResult::kOutOfStep || result == TransferResult::kWithdrawn;
}

// Sends the files in order. A file that fails is reported and the next one
// follows. After a lost exchange the next opening waits only as long as a
// receiver takes to give the dead one up (a receiver that declined answers
// at once, or has left receive mode); with no answer by then, or once the
// port is lost, the rest are reported and not offered.
static int RunSendMode(PortHandle port, const Settings& settings, const SessionSettings& session) {
  uint32_t give_up_ms = 0;
  SendRun run;
  for (int i = 0; i < settings.file_count; i++)
    run.pending.push_back({settings.files[i], false, nullptr});
  while (!run.pending.empty()) {
    TransferResult result = SendFiles(port, &run, session, give_up_ms);
    if (result == TransferResult::kDone) give_up_ms = 0;
    if (result == TransferResult::kDone) continue;
    if (GetInterruption() != 0) break;
    if (result == TransferResult::kPortLost) ReportLostPort(settings.port, port);
    if (result == TransferResult::kPortLost || result == TransferResult::kUnanswered) {
      for (const PendingFile& file : run.pending)
        fprintf(stderr, "file %s not sent\n", file.path);
      break;
    }
    if (result == TransferResult::kDeclined) {
      give_up_ms = kQuickStarts * kQuickStartMs;
    } else if (IsExchangeLost(result)) {
      give_up_ms = ScaleStallLimit(session.times.stall_limit_ms, 10);
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
static PortResult AwaitNextFile(PortHandle port, const SessionSettings& session, uint32_t limit_ms,
                                bool first, SeenOpening* opened, int* status) {
  PortResult seen = AwaitSender(port, session, limit_ms, opened);
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
static int RunReceiveMode(PortHandle port, const Settings& settings, const SessionSettings& session,
                          bool one_run) {
  int status = kExitComplete;
  SeenOpening opened = SeenOpening::kNone;
  uint32_t wait_ms = kFirstFileWaitMs;
  for (bool first = true;; first = false) {
    PortResult next = opened != SeenOpening::kNone || !one_run
                          ? PortResult::kDone
                          : AwaitNextFile(port, session, wait_ms, first, &opened, &status);
    if (next == PortResult::kTimedOut) return status;
    TransferResult result =
        next == PortResult::kDone ? RecvFile(port, session, &opened) : TransferResult::kPortLost;
    wait_ms = ComputeNextFileWait(session.times, result);
    if (result == TransferResult::kDone) continue;
    status = kExitIncomplete;
    if (GetInterruption() != 0) return status;
    // A sender's opening that came already ends what was left to pass.
    if (opened != SeenOpening::kNone && result == TransferResult::kNotStored) continue;
    if (result == TransferResult::kNotStored || IsExchangeLost(result)) {
      if (WaitForQuietLine(port, session.times.quiet_ms) == PortResult::kDone) continue;
      if (GetInterruption() != 0) return status;
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

// Standard output and error while the port is open, when one of them is
// the line itself: nothing but the exchange may go there. Plain data: for
// each of the two, the descriptor it had (or -1, left as it was) and the
// temporary file that holds its text until the port's settings are back.
struct ConsoleStreams {
  int saved[2];
  FILE* held[2];
};

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
    if (console->saved[stream] < 0) continue;
    FILE* to = PickStream(stream);
    fflush(to);
    dup2(console->saved[stream], fileno(to));
    close(console->saved[stream]);
#ifdef _WIN32
    _setmode(fileno(to), _O_TEXT);
#endif
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
  LineFormat format;
  if (ParseLineMode(settings.mode, &format)) run.data_bits = format.data_bits;
  TransferResult result = RunProtocol(port, run, times);
  if (result == TransferResult::kPortLost && GetInterruption() == 0) {
    ReportLostPort(settings.port, port);
  }
  return result == TransferResult::kDone ? kExitComplete : kExitIncomplete;
}

static int Run(int argc, char** argv, Settings* settings) {
  if (ParseArguments(argc, argv, settings)) {
    PrintHelp();
    return kExitComplete;
  }
  const char* missing = FindMissingSetting(*settings);
  if (missing != nullptr) {
    fputs(missing, stderr);
    return kExitNotStarted;
  }
  Protocol protocol = Protocol::kVelcot;
  if (settings->protocol != nullptr && !ParseProtocolName(settings->protocol, &protocol)) {
    fprintf(stderr, "Unknown protocol \"%s\": velcot speaks %s\n", settings->protocol,
            kProtocolNames);
    return kExitNotStarted;
  }
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
  PortHandle port = OpenComPort(settings->port);
  if (port == kInvalidPortHandle) {
    fprintf(stderr, "could not open %s\n", settings->port);
    return kExitNotStarted;
  }
  // The console velcot was typed on, or a line handed over, is given back
  // after one run of files.
  bool one_run =
      IsLineStream(port, stdin) || IsLineStream(port, stdout) || IsLineStream(port, stderr);
  ConsoleStreams console = KeepConsoleOffLine(port);
  int status = kExitNotStarted;
  LineFormat format;
  if (!ConfigureComPort(port, settings->baudrate, settings->mode) ||
      !ParseLineMode(settings->mode, &format)) {
    fprintf(stderr, "couldn't configure port\n");
  } else {
    SessionSettings session;
    session.times = ComputeLineTimes(settings->baudrate, format);
    session.classic_only = settings->classic_only;
    session.compression = settings->compression;
    if (protocol != Protocol::kVelcot) {
      status = RunProtocolMode(port, *settings, protocol, session.times);
    } else {
      status = settings->file_count > 0 ? RunSendMode(port, *settings, session)
                                        : RunReceiveMode(port, *settings, session, one_run);
    }
  }
  CloseComPort(port);
  RestoreConsole(&console);
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
