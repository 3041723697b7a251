// progress: the line each end keeps up to date while a file travels.
#ifndef VELCOT_PROGRESS_H
#define VELCOT_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

// One drawing of the progress line, carriage return included.
std::string FormatProgress(const char* name, uint64_t total, uint64_t done, int error, bool utf8);

// The name with the bytes a terminal would act on escaped, for this
// console's character set (EscapeForTerminal). Escaping twice changes
// nothing more.
std::string EscapeForConsole(const char* name);

// What a run's progress lines moved, for the summary at its end.
struct RunTally {
  int lines = 0;       // progress lines ended
  int files = 0;       // of those, lines that ended with every byte there
  uint64_t bytes = 0;  // bytes moved, a resumed file's kept part not counted
  std::chrono::steady_clock::time_point first{}, last{};  // the first line's start, the last's end
};

// One file's progress line, owned by its session and drawn by its
// exchange; made as {name, total} or {name, total, tally}, not drawn yet.
struct ProgressLine {
  const char* name;
  uint64_t total;
  RunTally* tally = nullptr;  // the run's, which the line adds to when it ends

  bool begun = false;  // the line is this file's: ending it writes a line feed
  bool error = false;  // something was refused since the last paced drawing
  std::chrono::steady_clock::time_point paced_at = std::chrono::steady_clock::now();
  // Since the first drawing, for the rate: when, and the count it showed;
  // the last count shown, and the columns the last drawing took on a
  // console (a shorter one blanks the rest).
  std::chrono::steady_clock::time_point begun_at{};
  uint64_t begun_done = 0;
  uint64_t last_done = 0;
  size_t watched_width = 0;
};

// Draws the line now, for this console's character set, "(ERROR)" in place
// of the percentage when error.
void DrawProgress(ProgressLine* line, uint64_t done, bool error);

// Draws the line, showing an error noted since the last time, if forced, if
// an error waits, or if it was last drawn so long ago that it looks stuck.
void PaceProgress(ProgressLine* line, uint64_t done, bool force);

// Closes the line with a line feed if it was begun, and flushes the output
// stream, so that a message on the error stream comes after it.
void EndProgress(ProgressLine* line);

// ---- for a person watching ----

// True when standard output is a console a person reads, rather than a
// file or a pipe a program reads (or the line, which the driver keeps it
// off). Only there does the progress line go on after its percentage, with
// the rate and the time left, and a run end with its summary.
bool IsConsoleWatched();

// What follows the percentage on a console: " 27.3 kB/s, 0:42 left" for
// moved bytes of done out of total in seconds (the rate alone once done is
// total); "" before there is a rate to tell.
std::string FormatRateAndTimeLeft(uint64_t total, uint64_t done, uint64_t moved, double seconds);

// The run's one-line summary: "3 files, 1.2 MB in 0:45: 27.3 kB/s, 95% of
// the line's 11.5 kB/s" (what baudrate carries, as baudrate / 10 bytes).
std::string FormatRunSummary(const RunTally& tally, uint32_t baudrate);

#endif
