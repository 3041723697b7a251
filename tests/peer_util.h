// A peer scripted by a unit test, on the other end of a socketpair from the
// sender or the receiver under test, and a scratch folder to receive into.
#ifndef VELCOT_TESTS_PEER_UTIL_H
#define VELCOT_TESTS_PEER_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "commdev.h"
#include "scratch_util.h"
#include "transfer.h"

typedef std::vector<uint8_t> Bytes;

struct Link {
  PortHandle ours;  // the port under test
  int theirs;       // the scripted peer
};

Link OpenLink();

// The receiver's waits on a socketpair: the line counts as quiet after a
// START once kOpeningQuietMs have passed, and a sender out of step after a
// file shows within kWatchMs. A scripted peer writes what belongs together
// in one call.
const uint32_t kOpeningQuietMs = 20;
const uint32_t kWatchMs = 100;

// RecvFile as receive mode calls it: the port then turns to the line again,
// which hands over the answer the receiver collected last. *opened, if
// given, carries a START from one call to the next.
int ReceiveFile(PortHandle port, uint32_t stall_limit_ms = NO_STALL_LIMIT,
                SeenOpening* opened = nullptr);
void CloseLink(const Link& link);

// Reads exactly n bytes, failing the test instead of hanging on a silent
// peer; fewer only when the other end has closed.
Bytes ReadExact(int fd, size_t n);

void WriteAll(int fd, const Bytes& bytes);

// Bytes already sent and waiting to be read, without waiting for more.
size_t CountPending(int fd);

Bytes Word(uint16_t value);
uint16_t ToWord(const Bytes& bytes);
Bytes Concat(Bytes a, const Bytes& b);

// The name field and the size field of an announcement.
Bytes NameField(const std::string& name);
Bytes SizeField(uint32_t size);

// What a velcot sender writes before READY: the preamble that offers the
// streaming exchange, then START.
extern const Bytes kOpening;

// Forces the classic exchange at both ends while it is in scope, if asked.
class ForceClassic {
 public:
  explicit ForceClassic(bool classic);
  ~ForceClassic();
};

// ---- the streaming exchange, as a scripted peer writes it ----

// The receiver's READY to an opening with the preamble, and the field a
// streaming sender writes in place of the name field.
const uint8_t kReadyStream = 0xC5;
extern const Bytes kStreamField;

// CRC-32 (zlib's), bit by bit: apart from the program's table.
uint32_t Crc32(const Bytes& bytes);

Bytes BigEndian(uint64_t value, int bytes);
uint64_t FromBigEndian(const Bytes& bytes, size_t at, int count);

// A frame: sync, type, sequence, length, header check, payload, CRC-32.
Bytes EncodeFrame(uint8_t type, uint8_t sequence, const Bytes& payload);

struct PeerFrame {
  uint8_t type = 0;
  uint8_t sequence = 0;
  Bytes payload;
};

bool operator==(const PeerFrame& a, const PeerFrame& b);
std::ostream& operator<<(std::ostream& out, const PeerFrame& frame);

// Reads one whole frame, failing the test if its checks fail.
PeerFrame ReadPeerFrame(int fd);

#endif
