#include "exchange.h"

#include <cerrno>
#include <cstring>

#include "progress.h"

int WaitForQuietLine(PortHandle port, uint32_t quiet_ms) {
  for (;;) {
    int waiting = WaitForByte(port, quiet_ms);
    if (waiting == 0) return 0;
    if (waiting == PORT_LOST || ReadByte(port) == PORT_LOST) return PORT_LOST;
  }
}

uint32_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  auto elapsed = std::chrono::steady_clock::now() - start;
  return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

int AbandonTransfer(FILE* file, bool line_drawn) {
  int reason = errno;
  EndProgress(line_drawn);
  if (file != nullptr) fclose(file);
  errno = reason;
  return TRANSFER_PORT_LOST;
}

int ReportStall(const std::string& what, const char* peer, uint32_t limit_ms, bool line_drawn,
                bool silent) {
  EndProgress(line_drawn);
  fprintf(stderr, "Gave up %s: the %s %s for %lu s\n", what.c_str(), peer,
          silent ? "was silent" : "made no progress",
          static_cast<unsigned long>((uint64_t(limit_ms) + 999) / 1000));
  return TRANSFER_STALLED;
}

int ReportRefusals(const std::string& what, const char* refused) {
  EndProgress(true);
  fprintf(stderr, "Gave up %s: %s %d times in a row\n", what.c_str(), refused, MAX_REFUSALS);
  return TRANSFER_REFUSED;
}

void ReportBadSource(const char* path, int read_error) {
  if (read_error > 0) {
    fprintf(stderr, "Gave up sending %s: reading it failed: %s\n", path, strerror(read_error));
  } else {
    fprintf(stderr, "Gave up sending %s: it changed while being sent\n", path);
  }
}
