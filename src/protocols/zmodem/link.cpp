#include "protocols/zmodem/link.h"

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
