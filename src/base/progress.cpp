#include "base/progress.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "base/escape.h"

#ifdef _WIN32
// The console shows the code page 437 shade blocks unless it was switched
// to UTF-8 (chcp 65001).
static bool IsConsoleUtf8() {
  return GetConsoleOutputCP() == CP_UTF8;
}
#else
// True when the console's character set decodes the UTF-8 form of a dark
// shade block as that character, which is what a UTF-8 locale does.
static bool IsConsoleUtf8() {
  static const char kDarkShade[] = "\xE2\x96\x93";
  std::mbstate_t state{};
  wchar_t decoded = 0;
  size_t used = std::mbrtowc(&decoded, kDarkShade, 3, &state);
  return used == 3 && decoded == 0x2593;
}
#endif

// Done cells of 30: exact while done * 30 fits 64 bits (files up to 512
// PiB), which every 32-bit count does.
static uint64_t CountDoneCells(uint64_t total, uint64_t done) {
  if (total == 0) return 30;  // an empty file is complete from the start
  if (done <= UINT64_MAX / 30) return done * 30 / total;
  return uint64_t(double(done) / double(total) * 30);
}

std::string FormatProgress(const char* name, uint64_t total, uint64_t done, int error, bool utf8) {
  uint64_t cells = CountDoneCells(total, done);
  std::string line;
  for (uint64_t i = 0; i < 30; i++) {
    if (utf8) {
      line += i < cells ? "\xE2\x96\x93" : "\xE2\x96\x91";
    } else {
      line += char(i < cells ? 0xB2 : 0xB0);
    }
  }
  // " %12s " by hand: the name is written whole, however long, with the
  // bytes a terminal would act on escaped.
  std::string shown = EscapeForTerminal(name, utf8);
  line += ' ';
  if (shown.size() < 12) line.append(12 - shown.size(), ' ');
  line += shown;
  // " %lu/%lu " for counts of any size, without the runtime's %llu.
  line += ' ' + std::to_string(done) + '/' + std::to_string(total) + ' ';
  char text[64];
  if (error) {
    line += "(ERROR)";
  } else {
    double percent = total == 0 ? 100.0 : double(done) * 100.0 / double(total);
    snprintf(text, sizeof text, "(%.1f%%)", percent);
    line += text;
  }
  line += '\r';
  return line;
}

std::string EscapeForConsole(const char* name) {
  return EscapeForTerminal(name, IsConsoleUtf8());
}

static void AddWatchedFigures(ProgressLine* line, uint64_t done, std::string* drawn);

void DrawProgress(ProgressLine* line, uint64_t done, bool error) {
  std::string drawn = FormatProgress(line->name, line->total, done, error, IsConsoleUtf8());
  AddWatchedFigures(line, done, &drawn);
  fwrite(drawn.data(), 1, drawn.size(), stdout);
  fflush(stdout);
  line->begun = true;
}

// How often a line that moves on its own is drawn.
constexpr auto kPaceInterval = std::chrono::milliseconds(200);

void PaceProgress(ProgressLine* line, uint64_t done, bool force) {
  auto now = std::chrono::steady_clock::now();
  if (!force && !line->error && now - line->paced_at < kPaceInterval) return;
  DrawProgress(line, done, line->error);
  line->paced_at = std::chrono::steady_clock::now();
  line->error = false;
}

static void TallyLine(ProgressLine* line);

void EndProgress(ProgressLine* line) {
  TallyLine(line);
  if (line->begun) putchar('\n');
  line->begun = false;
  fflush(stdout);
}

// ---- for a person watching ----

#ifdef _WIN32
bool IsConsoleWatched() {
  DWORD mode;
  return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))), &mode) != 0;
}

// The console's width, where its text wraps.
static size_t ReadConsoleColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  return GetConsoleScreenBufferInfo(out, &info) && info.dwSize.X > 0 ? size_t(info.dwSize.X) : 80;
}
#else
bool IsConsoleWatched() {
  return isatty(fileno(stdout)) != 0;
}

static size_t ReadConsoleColumns() {
  struct winsize size;
  return ioctl(fileno(stdout), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size_t(size.ws_col)
                                                                          : 80;
}
#endif

// "27.3 kB/s", in the decimal units a line's speed is given in.
static std::string FormatRate(double bytes_per_second) {
  char text[32];
  if (bytes_per_second < 1000) {
    snprintf(text, sizeof text, "%.0f B/s", bytes_per_second);
  } else if (bytes_per_second < 1e6) {
    snprintf(text, sizeof text, "%.1f kB/s", bytes_per_second / 1e3);
  } else {
    snprintf(text, sizeof text, "%.2f MB/s", bytes_per_second / 1e6);
  }
  return text;
}

// "0:42", "12:05" or "1:02:03".
static std::string FormatDuration(double seconds) {
  uint64_t whole = uint64_t(std::llround(std::max(seconds, 0.0)));
  char text[48];
  if (whole >= 3600) {
    snprintf(text, sizeof text, "%lu:%02u:%02u", static_cast<unsigned long>(whole / 3600),
             unsigned(whole / 60 % 60), unsigned(whole % 60));
  } else {
    snprintf(text, sizeof text, "%u:%02u", unsigned(whole / 60), unsigned(whole % 60));
  }
  return text;
}

// "999 bytes", "1.2 kB", "34.5 MB", "4.29 GB".
static std::string FormatSize(uint64_t bytes) {
  char text[32];
  if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  if (bytes < 1000000) {
    snprintf(text, sizeof text, "%.1f kB", double(bytes) / 1e3);
  } else if (bytes < 1000000000) {
    snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
  } else {
    snprintf(text, sizeof text, "%.2f GB", double(bytes) / 1e9);
  }
  return text;
}

// A rate only from half a second on: the first blocks' is noise.
constexpr double kFirstRateSeconds = 0.5;

std::string FormatRateAndTimeLeft(uint64_t total, uint64_t done, uint64_t moved, double seconds) {
  if (moved == 0 || seconds < kFirstRateSeconds) return "";
  double rate = double(moved) / seconds;
  std::string figures = " " + FormatRate(rate);
  if (done < total) figures += ", " + FormatDuration(double(total - done) / rate) + " left";
  return figures;
}

std::string FormatRunSummary(const RunTally& tally, uint32_t baudrate) {
  std::string files = std::to_string(tally.files);
  if (tally.files != tally.lines) files += " of " + std::to_string(tally.lines);
  double seconds = std::chrono::duration<double>(tally.last - tally.first).count();
  std::string summary = files + (tally.lines == 1 ? " file, " : " files, ") +
                        FormatSize(tally.bytes) + " in " + FormatDuration(seconds);
  if (tally.bytes > 0 && seconds >= kFirstRateSeconds && baudrate > 0) {
    double rate = double(tally.bytes) / seconds;
    double line = double(baudrate) / 10;
    char share[32];
    snprintf(share, sizeof share, "%.0f%%", rate * 100 / line);
    summary += ": " + FormatRate(rate) + ", " + share + " of the line's " + FormatRate(line);
  }
  return summary + "\n";
}

// The columns a drawing takes: its characters, the carriage return not
// counted.
static size_t CountColumns(const std::string& drawn, bool utf8) {
  size_t columns = 0;
  for (char c : drawn) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte != '\r' && (!utf8 || (byte & 0xC0) != 0x80)) columns++;
  }
  return columns;
}

// The line as drawn stays as it is; on a console the rate and the time
// left follow it, as much of them as fits before the console's edge (a
// wrapped line would not be drawn over), and blanks over what a longer
// drawing left.
static void AddWatchedFigures(ProgressLine* line, uint64_t done, std::string* drawn) {
  auto now = std::chrono::steady_clock::now();
  if (!line->begun) {
    line->begun_at = now;
    line->begun_done = done;
    line->watched_width = 0;
  }
  line->last_done = done;
  if (!IsConsoleWatched()) return;
  double seconds = std::chrono::duration<double>(now - line->begun_at).count();
  uint64_t moved = done > line->begun_done ? done - line->begun_done : 0;
  std::string figures = FormatRateAndTimeLeft(line->total, done, moved, seconds);
  size_t width = CountColumns(*drawn, IsConsoleUtf8());
  size_t columns = ReadConsoleColumns();
  size_t comma = figures.find(',');
  // Short of room, the time left tells more than the rate.
  if (width + figures.size() >= columns && comma != std::string::npos) figures.erase(0, comma + 1);
  if (width + figures.size() >= columns) figures.clear();
  size_t shown = width + figures.size();
  size_t blank = std::min(line->watched_width, columns - 1);
  if (shown < blank) figures.append(blank - shown, ' ');
  line->watched_width = shown;
  drawn->insert(drawn->size() - 1, figures);
}

static void TallyLine(ProgressLine* line) {
  RunTally* tally = line->tally;
  if (tally == nullptr || !line->begun) return;
  if (tally->lines == 0 || line->begun_at < tally->first) tally->first = line->begun_at;
  tally->last = std::chrono::steady_clock::now();
  tally->lines++;
  if (line->last_done == line->total) tally->files++;
  if (line->last_done > line->begun_done) tally->bytes += line->last_done - line->begun_done;
}
