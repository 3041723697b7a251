#include "protocols/kermit/link.h"

#include <algorithm>

#include "base/progress.h"

uint32_t CountKermitLineMs(const KermitLink& link, size_t n) {
  return uint32_t((uint64_t(link.char_us) * n + 999) / 1000);
}

// Two of the longest packets and a second: a packet's time on the line,
// and the other end's busy moments, either way.
static uint32_t CountRoundMs(const KermitLink& link) {
  return 2 * CountKermitLineMs(link, kKermitLongestIn) + 1000;
}

KermitLink OpenKermitLink(PortHandle port, const LineTimes& times, bool seven_bit) {
  KermitLink link;
  link.port = port;
  link.seven_bit = seven_bit;
  link.char_us = uint32_t(uint64_t(times.frame_ms) * 1000 / kLongestFrame);
  // A packet begun pauses only as long as a busy host or a USB adapter's
  // latency timer holds it.
  link.silence_ms = std::max<uint32_t>(1000, CountKermitLineMs(link, 64));
  link.reply_ms = CountRoundMs(link);
  // As long as velcot's own exchanges go without progress: 30 s, or longer
  // on a slow line.
  link.stall_ms = times.stall_limit_ms != kNoStallLimit ? times.stall_limit_ms : 30000;
  return link;
}

KermitInit FormOwnKermitInit(const KermitLink& link) {
  KermitInit init;
  init.maxl = kKermitNormalMax;
  init.time = int(std::min<uint32_t>(94, std::max<uint32_t>(5, (CountRoundMs(link) + 999) / 1000)));
  init.qbin = link.seven_bit ? '&' : 'Y';
  init.chkt = 3;
  init.rept = '~';
  init.capas = kCanLongPackets | kCanWindows | kCanAttributes;
  init.window = 31;
  init.maxlx = kKermitLongOffered;
  init.whatami = true;
  return init;
}

void TakeKermitAgreement(KermitLink* link, const KermitInit& ours, const KermitInit& theirs,
                         bool sending, const std::bitset<256>& prefixed) {
  link->agreed = AgreeKermit(ours, theirs, sending, prefixed);
  link->npad = theirs.npad;
  link->padc = theirs.padc;
  link->eol = theirs.eol;
  // The time the other end asked for, up to 5 s (its answers to a damaged
  // packet come at once; only a lost one waits this long), and never less
  // than the line takes.
  uint32_t asked_ms = uint32_t(std::min(theirs.time, 5)) * 1000;
  link->reply_ms = std::max(asked_ms, CountRoundMs(*link));
  link->stall_ms = std::max(link->stall_ms, 4 * link->reply_ms);
}

// ---- reading ----

static void DropEighthBits(uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; i++)
    bytes[i] &= 0x7F;
}

// The next byte, read ahead or from the port within wait_ms.
static PortResult TakeByte(KermitLink* link, uint32_t wait_ms, uint8_t* byte) {
  if (link->held_at < link->held.size()) {
    *byte = link->held[link->held_at++];
  } else {
    PortResult waiting = WaitForByte(link->port, wait_ms);
    if (waiting != PortResult::kDone) return waiting;
    if (ReadByte(link->port, byte) != PortResult::kDone) return PortResult::kLost;
  }
  if (link->seven_bit) *byte &= 0x7F;
  return PortResult::kDone;
}

// Appends n more bytes to packet, the line pausing at most silence_ms.
static PortResult TakeBytes(KermitLink* link, size_t n, KermitBytes* packet) {
  size_t at = packet->size();
  packet->resize(at + n);
  size_t ahead = std::min(n, link->held.size() - link->held_at);
  std::copy_n(link->held.begin() + long(link->held_at), ahead, packet->begin() + long(at));
  link->held_at += ahead;
  PortResult got = PortResult::kDone;
  if (ahead < n) {
    got = ReadBytes(link->port, packet->data() + at + ahead, n - ahead, link->silence_ms);
  }
  if (link->seven_bit) DropEighthBits(packet->data() + at, n);
  return got;
}

// Gives back what followed a packet's mark, to be searched for the next.
static void GiveBack(KermitLink* link, const KermitBytes& bytes, size_t from) {
  KermitBytes rest(bytes.begin() + long(from), bytes.end());
  rest.insert(rest.end(), link->held.begin() + long(link->held_at), link->held.end());
  link->held = std::move(rest);
  link->held_at = 0;
}

static bool IsMark(const KermitLink& link, uint8_t byte) {
  return byte == kKermitMark || (link.parity_unknown && byte == (kKermitMark | 0x80));
}

// Checks a whole packet: with the agreed check, and a Send-Init with type
// 1. While the line's parity is unknown, a packet whose characters carry
// an 8th bit and that checks without them comes from a peer that sends
// parity (no printable character has one; a check of type 1 alone cannot
// tell, as an even count of them leaves it whole).
static bool CheckPacket(KermitLink* link, KermitBytes* bytes, KermitPacket* packet) {
  int check = link->agreed.check;
  auto read = [&](const KermitBytes& b) {
    return ReadKermitPacket(b.data(), b.size(), check, packet) ||
           (check != 1 && b[3] == 'S' && ReadKermitPacket(b.data(), b.size(), 1, packet));
  };
  bool eighth = std::any_of(bytes->begin(), bytes->end(), [](uint8_t c) { return c >= 0x80; });
  if (link->parity_unknown && eighth) {
    KermitBytes stripped = *bytes;
    DropEighthBits(stripped.data(), stripped.size());
    if (read(stripped)) {
      link->seven_bit = true;
      return true;
    }
  }
  return read(*bytes);
}

KermitHeard HearKermitPacket(KermitLink* link, uint32_t wait_ms, KermitPacket* packet) {
  auto start = std::chrono::steady_clock::now();
  uint8_t byte = 0;
  for (;;) {
    // Bytes that never hold a mark end the wait as silence would.
    uint32_t waited = MillisecondsSince(start);
    if (waited > wait_ms) return KermitHeard::kQuiet;
    PortResult got = TakeByte(link, waited < wait_ms ? wait_ms - waited : 0, &byte);
    if (got == PortResult::kLost) return KermitHeard::kLost;
    if (got == PortResult::kTimedOut) return KermitHeard::kQuiet;
    if (IsMark(*link, byte)) break;
  }
  KermitBytes bytes = {kKermitMark};
  size_t need = 2;
  long measured = 0;
  while (measured <= 0) {
    PortResult got = TakeBytes(link, need - bytes.size(), &bytes);
    if (got == PortResult::kLost) return KermitHeard::kLost;
    if (got == PortResult::kTimedOut) return KermitHeard::kDamaged;  // cut short: dropped
    KermitBytes header = bytes;
    if (link->parity_unknown) DropEighthBits(header.data(), header.size());
    measured =
        MeasureKermitPacket(header.data(), header.size(), link->agreed.check, kKermitLongestIn);
    if (measured < 0) {
      GiveBack(link, bytes, 1);
      return KermitHeard::kDamaged;
    }
    need = measured > 0 ? size_t(measured) : 7;
  }
  if (need > bytes.size()) {
    PortResult got = TakeBytes(link, need - bytes.size(), &bytes);
    if (got == PortResult::kLost) return KermitHeard::kLost;
    if (got == PortResult::kTimedOut) return KermitHeard::kDamaged;
  }
  // A mark inside: this packet was cut short and the next one began there.
  for (size_t i = 1; i < bytes.size(); i++) {
    if (IsMark(*link, bytes[i])) {
      GiveBack(link, bytes, i);
      return KermitHeard::kDamaged;
    }
  }
  if (!CheckPacket(link, &bytes, packet)) return KermitHeard::kDamaged;
  link->parity_unknown = false;
  return KermitHeard::kPacket;
}

// ---- writing ----

KermitBytes FormKermitWire(const KermitLink& link, const KermitPacket& packet, int check) {
  return FormKermitPacket(packet, check, link.agreed.maxl_out);
}

PortResult PutKermitWire(KermitLink* link, const KermitBytes& wire) {
  KermitBytes out(size_t(link->npad), link->padc);
  out.insert(out.end(), wire.begin(), wire.end());
  out.push_back(link->eol);
  return WriteBytes(link->port, out.data(), out.size());
}

PortResult SendKermitPacket(KermitLink* link, int seq, uint8_t type, const KermitBytes& data) {
  KermitPacket packet;
  packet.seq = seq;
  packet.type = type;
  packet.data = data;
  return PutKermitWire(link, FormKermitWire(*link, packet, link->agreed.check));
}

KermitBytes FormKermitError(const KermitLink& link, int seq, const std::string& text) {
  KermitPacket packet;
  packet.seq = seq;
  packet.type = 'E';
  size_t at = 0;
  size_t room = std::min<size_t>(CountDataRoom(link.agreed), 90);
  EncodeKermitData(link.agreed.out, reinterpret_cast<const uint8_t*>(text.data()), text.size(), &at,
                   room, &packet.data);
  return FormKermitWire(link, packet, link.agreed.check);
}

void SayKermitLastWords(KermitLink* link, int seq, bool interrupts) {
  KermitBytes words = FormKermitError(*link, seq, "Interrupted");
  words.push_back(link->eol);
  if (interrupts) words.insert(words.end(), {0x03, 0x03});
  // Short: Windows ends the process 3 s after Ctrl+C.
  WriteLastWords(link->port, words.data(), words.size(), 1000);
}

std::string ReadKermitError(const KermitLink& link, const KermitPacket& packet) {
  KermitBytes text;
  if (!DecodeKermitData(link.agreed.in, packet.data.data(), packet.data.size(), &text)) {
    text = packet.data;
  }
  std::string shown(text.begin(), text.end());
  return EscapeForConsole(shown.c_str());
}
