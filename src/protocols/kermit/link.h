// The line as Kermit packets: each read whole or judged damaged within a
// bounded wait, each written with what the other end asked for around it;
// the Error packet that ends a transaction, and the waits the line's speed
// sets.
#ifndef VELCOT_PROTOCOLS_KERMIT_LINK_H
#define VELCOT_PROTOCOLS_KERMIT_LINK_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/wire.h"
#include "ports/commdev.h"
#include "protocols/kermit/packet.h"

// The longest packet velcot takes: an extended one of one more than it
// offers (kKermitLongOffered) after its header, as C-Kermit sends.
constexpr size_t kKermitLongestIn = 7 + kKermitLongOffered + 1;

// A transaction's packets go back to sequence 0 after 63.
inline int NextKermitSeq(int seq) {
  return (seq + 1) & 63;
}
inline int CountKermitSeqs(int from, int to) {
  return (to - from) & 63;
}

struct KermitLink {
  PortHandle port;
  KermitAgreement agreed;      // from the Send-Init exchange on; its check 1 before
  bool seven_bit = false;      // the line carries 7 data bits: the 8th is dropped as read
  bool parity_unknown = true;  // until a packet comes: one whose check holds only with
                               // the 8th bits dropped shows a peer that sends parity
  // What the other end asked for around each packet.
  int npad = 0;
  uint8_t padc = 0;
  uint8_t eol = '\r';
  uint32_t char_us = 0;     // one character's time on the line
  uint32_t silence_ms = 0;  // how long a packet may pause once it has begun
  uint32_t reply_ms = 0;    // how long the other end may take to answer a packet
  uint32_t stall_ms = 0;    // how long a transaction may go without moving on
  KermitBytes held;         // read ahead: what followed a mark found inside a packet
  size_t held_at = 0;
};

// The link for port, with the waits the line's times give.
KermitLink OpenKermitLink(PortHandle port, const LineTimes& times, bool seven_bit);

// The time n characters take on the line.
uint32_t CountKermitLineMs(const KermitLink& link, size_t n);

// What velcot says of itself in Send-Init and its acknowledgement: the
// longest packets, sliding windows of 31, CRC-16, repeat counts,
// attributes; 8th-bit prefixing asked for on a 7-bit line.
KermitInit FormOwnKermitInit(const KermitLink& link);

// Takes on what both ends agreed from the Send-Init exchange: the coding,
// the check, the padding and end of line the other end asked for, and the
// time to wait for its answers. prefixed: the control characters this end
// prefixes.
void TakeKermitAgreement(KermitLink* link, const KermitInit& ours, const KermitInit& theirs,
                         bool sending, const std::bitset<256>& prefixed);

enum class KermitHeard {
  kPacket,   // one came whole and checked
  kDamaged,  // bytes came that are no packet, or one failed its check
  kQuiet,    // none began within the wait
  kLost,
};

// Waits at most wait_ms for a packet to begin and reads it whole. A
// Send-Init packet is taken with the check of type 1 it always carries.
KermitHeard HearKermitPacket(KermitLink* link, uint32_t wait_ms, KermitPacket* packet);

// The packet as it goes on the line, with the agreed check (type 1 for the
// Send-Init exchange, as check says).
KermitBytes FormKermitWire(const KermitLink& link, const KermitPacket& packet, int check);

// Writes a formed packet with the padding before it and the end of line
// after it.
PortResult PutKermitWire(KermitLink* link, const KermitBytes& wire);

// Forms and writes a packet with the agreed check.
PortResult SendKermitPacket(KermitLink* link, int seq, uint8_t type, const KermitBytes& data);

// The Error packet that ends the transaction, with text encoded as data.
KermitBytes FormKermitError(const KermitLink& link, int seq, const std::string& text);

// Once the run was asked to end (Ctrl+C): the Error packet, and with
// interrupts two Ctrl+C, which a receiver that takes no Error packet (U-Boot's
// loadb) ends on, written within a short bound.
void SayKermitLastWords(KermitLink* link, int seq, bool interrupts);

// The text of an Error packet's data, escaped for the console.
std::string ReadKermitError(const KermitLink& link, const KermitPacket& packet);

#endif
