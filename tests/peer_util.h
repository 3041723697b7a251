// A peer scripted by a unit test, on the other end of a socketpair from the
// sender or the receiver under test, and a scratch folder to receive into.
#ifndef VELCOT_TESTS_PEER_UTIL_H
#define VELCOT_TESTS_PEER_UTIL_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "file_util.h"
#include "ports/commdev.h"
#include "run/transfer.h"
#include "scratch_util.h"
#include "wire_util.h"

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

// SendFile with the stall limit given (no limit by default), and the
// classic exchange alone if asked.
TransferResult SendFile(PortHandle port, const char* path, uint32_t stall_limit_ms = kNoStallLimit,
                        uint32_t give_up_ms = 0, bool classic = false);

// RecvFile as receive mode calls it: the port then turns to the line again,
// which hands over the answer the receiver collected last. *opened, if
// given, carries a START from one call to the next.
TransferResult ReceiveFile(PortHandle port, uint32_t stall_limit_ms = kNoStallLimit,
                           SeenOpening* opened = nullptr, bool classic = false);

// A result no call returns: what a thread under test has until it returns.
constexpr TransferResult kNoResult = static_cast<TransferResult>(-1);
std::ostream& operator<<(std::ostream& out, TransferResult result);
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

// The size field of an announcement.
Bytes SizeField(uint32_t size);

// What a velcot sender writes before READY: the preamble that offers the
// streaming exchange, then START.
extern const Bytes kOpening;

// ---- the streaming exchange, as a scripted peer writes it ----

// The receiver's READY to an opening with the preamble, and the field a
// streaming sender writes in place of the name field.
const uint8_t kPeerReadyStream = 0xC5;
extern const Bytes kPeerStreamField;

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

// ---- another protocol's peer, scripted ----

// What the peer writes, and the bytes it then waits for, others passed
// over; none: it writes it again and again while it is the last step.
struct Step {
  Bytes says;
  std::string expects;
};

std::vector<Step> Join(std::vector<std::vector<Step>> parts);

// Reads until what came ends with want: false when the other end closed
// or went silent first.
bool AwaitBytes(int fd, const std::string& want);

// What a transfer under test returned, and wrote on stderr.
struct Played {
  TransferResult result = kNoResult;
  std::string said;
};

// Runs transfer on a thread with a new link's port while peer plays the
// far end (done: the transfer has returned), then closes the link.
Played PlayAgainst(const std::function<TransferResult(PortHandle)>& transfer,
                   const std::function<void(int fd, const std::atomic<bool>& done)>& peer);

#endif
