#include "protocols/zmodem/link.h"

#include <cstdio>
#include <string>

#include "base/progress.h"

bool WriteZ(PortHandle port, const ZBytes& bytes) {
  return WriteBytes(port, bytes.data(), bytes.size()) == PortResult::kDone;
}

void CancelZTransfer(PortHandle port, const Ending& ending) {
  if (ending.reason == Reason::kPeerCancelled) return;
  if (ending.reason == Reason::kPortLost) {
    // Short: Windows ends the process 3 s after Ctrl+C.
    if (GetInterruption() != 0) WriteLastWords(port, kZCancel, sizeof kZCancel, 1000);
    return;
  }
  if (WriteBytes(port, kZCancel, sizeof kZCancel) == PortResult::kDone) FlushPort(port);
}

TransferResult ReportZEnding(ProgressLine* line, const Ending& ending, bool sending,
                             const char* shown) {
  if (ending.reason != Reason::kRefused) return ReportEnding(line, ending, sending, shown);
  if (line != nullptr) EndProgress(line);
  std::string what = EscapeForConsole(shown != nullptr ? shown : "an announced file");
  fprintf(stderr, "Gave up %s %s: %s %d times in a row\n", sending ? "sending" : "receiving",
          what.c_str(),
          sending ? "the receiver asked for the same data again"
                  : "the data asked for did not come whole",
          kZRetries + 1);
  return TransferResult::kRefused;
}
