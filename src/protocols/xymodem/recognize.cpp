// What a run layer listening on the line may take for an X/YMODEM receiver.
#include "protocols/xymodem/block.h"
#include "protocols/xymodem/xymodem.h"

uint8_t FindXyReceiverAsk(const uint8_t* bytes, size_t length) {
  if (length == 0) return 0;
  uint8_t ask = bytes[0];
  if (ask != kXyAskCrc && ask != kXyNak && ask != kXyAskG) return 0;
  for (size_t i = 1; i < length; i++) {
    if (bytes[i] != ask) return 0;
  }
  return ask;
}
