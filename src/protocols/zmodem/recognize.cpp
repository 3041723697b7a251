// What a run layer listening on the line may take for a ZMODEM peer.
#include "protocols/zmodem/frame.h"
#include "protocols/zmodem/zmodem.h"

bool IsZmodemSenderOpening(const uint8_t* bytes, size_t length) {
  ZHeader header;
  return FindZHexHeader(bytes, length, kZRqInit, &header);
}

bool IsZmodemReceiverInit(const uint8_t* bytes, size_t length) {
  ZHeader header;
  return FindZHexHeader(bytes, length, kZRInit, &header);
}
