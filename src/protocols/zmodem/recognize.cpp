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

bool EndsInsideZmodemHeader(const uint8_t* bytes, size_t length) {
  // A hex header: ZPAD ZDLE 'B' and 14 hex digits.
  size_t digits = 0;
  for (size_t at = length; at > 0 && digits < 14; at--, digits++) {
    uint8_t byte = bytes[at - 1] & 0x7F;
    bool hex = (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'f');
    if (hex) continue;
    return byte == kZHex && digits > 0 && at >= 3 && bytes[at - 2] == kZDle &&
           (bytes[at - 3] & 0x7F) == kZPad;
  }
  return false;
}
