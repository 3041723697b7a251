#include "protocols/xymodem/link.h"

#include <cstdio>

void CancelXyTransfer(PortHandle port, const Ending& ending) {
  if (ending.reason == Reason::kPeerCancelled) return;
  if (ending.reason == Reason::kPortLost) {
    // Short: Windows ends the process 3 s after Ctrl+C.
    if (GetInterruption() != 0) WriteLastWords(port, kXyCancel, sizeof kXyCancel, 1000);
    return;
  }
  if (WriteBytes(port, kXyCancel, sizeof kXyCancel) == PortResult::kDone) FlushPort(port);
}

TransferResult ReportXyEnding(ProgressLine* line, const Ending& ending, bool sending,
                              const char* shown) {
  if (ending.reason != Reason::kRefused) return ReportEnding(line, ending, sending, shown);
  if (line != nullptr) EndProgress(line);
  std::string what = EscapeForConsole(shown != nullptr ? shown : "an announced file");
  if (ending.error == kXyStreamed) {
    fprintf(stderr,
            "Gave up receiving %s: a block failed its check, and YMODEM-g sends none again\n",
            what.c_str());
    return TransferResult::kRefused;
  }
  fprintf(stderr, "Gave up %s %s: %s %d times in a row\n", sending ? "sending" : "receiving",
          what.c_str(), sending ? "the receiver refused a block" : "a block failed its check",
          kXyRetries + 1);
  return TransferResult::kRefused;
}
