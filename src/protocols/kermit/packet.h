// Kermit's packets without the port: their framing and block checks, the
// encoding of their data (control, 8th-bit and repeat prefixes), the
// Send-Init fields both ends exchange and what they agree on, and the file
// attributes. doc/kermit.md describes what velcot offers and accepts.
#ifndef VELCOT_PROTOCOLS_KERMIT_PACKET_H
#define VELCOT_PROTOCOLS_KERMIT_PACKET_H

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> KermitBytes;

// Every packet starts with the mark (SOH); its fields are printable.
constexpr uint8_t kKermitMark = 0x01;

// A number 0..94 as the printable character that carries it, and back.
inline uint8_t KermitChar(int value) {
  return uint8_t(value + 32);
}
inline int KermitValue(uint8_t c) {
  return int(c) - 32;
}

// A normal packet's LEN counts at most 94 characters; an extended one's
// two length characters at most 95 * 95 - 1. C-Kermit sends one more than
// the longest it is told (95 * 95 written with DEL), and so tells one less
// than it takes: velcot does the same.
constexpr int kKermitNormalMax = 94;
constexpr int kKermitLongMax = 95 * 95 - 1;
constexpr int kKermitLongOffered = kKermitLongMax - 1;

// ---- block checks ----

// The characters of a block check: 1 for type 1 (a 6-bit sum), 2 for type
// 2 (a 12-bit sum), 3 for type 3 (CRC-16).
inline int CountCheckCharacters(int type) {
  return type;
}

// Kermit's CRC-16: CRC-CCITT taken least significant bit first (reflected
// polynomial 0x8408), from 0. crc of what came before, 0 to start.
uint16_t UpdateKermitCrc(uint16_t crc, const uint8_t* bytes, size_t length);

// The block check of type 1, 2 or 3 over bytes, written at out as its
// printable characters.
void FormKermitCheck(int type, const uint8_t* bytes, size_t length, uint8_t* out);

// ---- packets ----

struct KermitPacket {
  int seq = 0;       // 0..63
  uint8_t type = 0;  // 'S', 'Y', 'N', 'F', 'A', 'D', 'Z', 'B', 'E', ...
  KermitBytes data;  // the data field as it travels
};

// The packet on the line, from the mark to its block check: a normal
// packet while it fits maxl (the longest the other end takes), an extended
// one beyond.
KermitBytes FormKermitPacket(const KermitPacket& packet, int check, int maxl = kKermitNormalMax);

// How many bytes the packet at bytes (the mark first) takes up to its
// block check: 0 when more are needed to tell, -1 when its header is not
// a packet's (a length out of range or beyond longest, the data field a
// packet may hold, a sequence number or type that is no character, an
// extended header that fails its check).
long MeasureKermitPacket(const uint8_t* bytes, size_t length, int check, size_t longest);

// Reads the measured packet at bytes: false when its block check fails.
bool ReadKermitPacket(const uint8_t* bytes, size_t length, int check, KermitPacket* packet);

// ---- data encoding ----

// How one end encodes data fields: its control prefix, the 8th-bit and
// repeat prefixes both agreed on (0 for none), and the control characters
// it prefixes (each a C0 or C1 control, DEL or 0xFF).
struct KermitCoding {
  uint8_t ctlq = '#';
  uint8_t ebq = 0;
  uint8_t rptq = 0;
  std::bitset<256> prefixed;
};

// The few control characters that must stay off any line: NUL, the mark,
// ETX (an interrupt), line feed and carriage return, XON and XOFF, each
// also with the 8th bit (which a 7-bit stretch of the line would drop).
// What a peer that reads packets by their length needs prefixed.
std::bitset<256> ListLineControls();

// Those and every other 7-bit control character and DEL: what a peer
// whose packet reader takes no control character in a packet (U-Boot's
// loadb) needs prefixed.
std::bitset<256> ListPacketControls();

// Encodes bytes from *at on into out until the next group would take out
// past room characters (a prefixed group is never split) or the bytes end;
// *at is moved past what went in.
void EncodeKermitData(const KermitCoding& coding, const uint8_t* bytes, size_t length, size_t* at,
                      size_t room, KermitBytes* out);

// Decodes a data field, appending to out: false for a malformed one (a
// prefix with nothing after it, a repeat count out of range).
bool DecodeKermitData(const KermitCoding& coding, const uint8_t* field, size_t length,
                      KermitBytes* out);

// ---- Send-Init ----

// CAPAS bits.
constexpr int kCanLongPackets = 2;
constexpr int kCanWindows = 4;
constexpr int kCanAttributes = 8;

// What one end says of itself in Send-Init (S) and its acknowledgement;
// the defaults are those of a field left out.
struct KermitInit {
  int maxl = 80;       // the longest normal packet it takes
  int time = 5;        // seconds the other should wait for it before timing out
  int npad = 0;        // padding it needs before each packet...
  uint8_t padc = 0;    // ...of this character
  uint8_t eol = '\r';  // what it needs after each packet
  uint8_t qctl = '#';  // the control prefix it sends with
  uint8_t qbin = 'N';  // 'Y' (it would), 'N' (it will not) or the 8th-bit prefix it asks for
  int chkt = 1;        // the block check it proposes
  uint8_t rept = ' ';  // the repeat prefix it proposes; ' ' none
  int capas = 0;
  int window = 1;        // slots, with kCanWindows
  int maxlx = 500;       // the longest extended packet it takes, with kCanLongPackets
  bool whatami = false;  // it says it takes files literally and binary (WHATAMI)
};

KermitBytes FormKermitInit(const KermitInit& init);
KermitInit ReadKermitInit(const uint8_t* field, size_t length);

// What the two ends agreed on.
struct KermitAgreement {
  int check = 1;
  int window = 1;
  bool attributes = false;
  int maxl_out = 80;        // the longest normal packet the other end takes
  int maxlx_out = 0;        // the longest extended one; 0 when it takes none
  KermitCoding out;         // how this end encodes
  KermitCoding in;          // how the other end encodes
  bool eighth_bit = false;  // 8th-bit prefixing is in use
};

// The agreement from the sender's and the receiver's Send-Init; prefixed,
// the control characters this end prefixes.
KermitAgreement AgreeKermit(const KermitInit& ours, const KermitInit& theirs, bool sending,
                            const std::bitset<256>& prefixed);

// The room for the data field of a packet this end sends.
size_t CountDataRoom(const KermitAgreement& agreement);

// ---- attributes ----

struct KermitFileFacts {
  bool sized = false;
  uint64_t size = 0;
  bool size_invalid = false;  // a byte count that is no number, or beyond 64 bits
  bool timed = false;
  int64_t mtime = 0;  // seconds since 1970
  bool moded = false;
  uint32_t mode = 0;  // POSIX permission bits
  bool text = false;  // the sender sends it as text, with its line ends made canonical
};

// The attribute packet's data for a file: type binary, its size in
// kilobytes and in bytes, its time in local time, and on POSIX systems the
// system and the permission bits.
KermitBytes FormKermitAttributes(uint64_t size, int64_t mtime, uint32_t mode);

// Adds what an attribute packet's data says to facts; what velcot does not
// know is passed over.
void ReadKermitAttributes(const uint8_t* field, size_t length, KermitFileFacts* facts);

// A time as Kermit's date attribute gives it, "yyyymmdd hh:mm:ss" in local
// time, and back; false for text that is no such date.
std::string FormKermitDate(int64_t mtime);
bool ReadKermitDate(const std::string& text, int64_t* mtime);

#endif
