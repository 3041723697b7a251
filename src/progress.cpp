#include "progress.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "names.h"

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

void DrawProgress(ProgressLine* line, uint64_t done, bool error) {
  std::string drawn = FormatProgress(line->name, line->total, done, error, IsConsoleUtf8());
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

void EndProgress(ProgressLine* line) {
  if (line->begun) putchar('\n');
  line->begun = false;
  fflush(stdout);
}
