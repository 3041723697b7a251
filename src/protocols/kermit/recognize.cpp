// What a run layer listening on the line may take for a Kermit peer.
#include <algorithm>

#include "protocols/kermit/kermit.h"
#include "protocols/kermit/packet.h"

// True when bytes hold, from some mark on, a whole packet of that type and
// sequence number whose check of type 1 holds, as sent or with the 8th
// bits dropped.
static bool HoldsPacket(const uint8_t* bytes, size_t length, uint8_t type, int seq) {
  for (size_t at = 0; at < length; at++) {
    if ((bytes[at] & 0x7F) != kKermitMark) continue;
    for (bool parity : {false, true}) {
      KermitBytes packet(bytes + at, bytes + length);
      if (parity) {
        for (uint8_t& byte : packet)
          byte &= 0x7F;
      }
      long measured = MeasureKermitPacket(packet.data(), packet.size(), 1, packet.size());
      KermitPacket read;
      if (measured > 0 && ReadKermitPacket(packet.data(), size_t(measured), 1, &read) &&
          read.type == type && (seq < 0 || read.seq == seq)) {
        return true;
      }
    }
  }
  return false;
}

bool IsKermitSendInit(const uint8_t* bytes, size_t length) {
  return HoldsPacket(bytes, length, 'S', -1);
}

bool IsKermitReceiverNak(const uint8_t* bytes, size_t length) {
  return HoldsPacket(bytes, length, 'N', 0);
}
