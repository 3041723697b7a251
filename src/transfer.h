// transfer: the wire format and the exchange itself, the sender and the
// receiver of one file.
#ifndef VELCOT_TRANSFER_H
#define VELCOT_TRANSFER_H

#include <cstdint>
#include <string>

#include "commdev.h"

// Protocol bytes.
#define START 0x99    // sender: opens the exchange for one file
#define READY 0x33    // receiver: answer to START
#define ACCEPT 0xCC   // receiver: the file is created, blocks may follow
#define DECLINE 0x55  // receiver: the file cannot be created, the exchange ends

#define BLOCK_SIZE 1024
#define NAME_FIELD_SIZE 12
#define REPLY_OK 0xFFFF

// Both ends give a file up once one of its blocks has been refused this
// many times in a row. A line with one bit in 10,000 wrong spoils a round
// of a block, its checksum and its reply (1028 characters, 10,280 bits at
// 8N1) with probability 1 - (1 - 1e-4)^10280, about 0.64. One block is
// refused 50 times in a row with probability 0.64^50, about 2e-10, and some
// block of the 1024 in a 1 MiB file with about 2e-7: such a line still gets
// its files through, while two ends out of step, which refuse every block
// however long bytes keep flowing, give up after 50 rounds.
#define MAX_REFUSALS 50

// Results of SendFile and RecvFile. 0 and 1 keep their classic meaning; the
// others tell the driver why it has to stop or report a failed run.
enum TransferResult {
  TRANSFER_DONE = 0,        // sent, or received and stored
  TRANSFER_FAILED = 1,      // sender: file skipped; receiver: file declined
  TRANSFER_DECLINED = 2,    // sender: the receiver declined and left receive mode
  TRANSFER_NOT_STORED = 3,  // receiver: the exchange completed, the file was not stored
  TRANSFER_PORT_LOST = 4,   // the port went away; errno tells why (0: hung up)
  TRANSFER_STALLED = 5,     // the peer fell silent mid-file; the exchange is lost
  TRANSFER_REFUSED = 6,     // one block was refused too often; the exchange is lost
};

// A block, or the data at one offset, refused MAX_REFUSALS times in a row.
#define BLOCK_REFUSED (-3)

// The readers' answer when the line has been silent for longer than their
// limit. NO_STALL_LIMIT lets them wait for ever.
#define LINE_STALLED (-2)
#define NO_STALL_LIMIT 0

// How long a file in progress may go without a byte from the peer before the
// exchange counts as lost, in milliseconds: 30 s, or four times one block
// with its checksum and reply (1028 bytes) at this speed and framing if
// that is longer, so a slow line never trips it.
uint32_t ComputeStallLimit(uint32_t baudrate, const LineFormat& format);

// How long the line must have been quiet before a receiver that gave up an
// exchange waits for START again, so that the rest of the dead exchange is
// not taken for a new one: a second, or ten characters at this speed and
// framing if that is longer.
uint32_t ComputeQuietTime(uint32_t baudrate, const LineFormat& format);

// Reads and drops bytes until none has arrived for quiet_ms: 0, or PORT_LOST.
int WaitForQuietLine(PortHandle port, uint32_t quiet_ms);

// Wire integers go most significant byte first. Writers return 0, or
// PORT_LOST; readers return the value, PORT_LOST, or LINE_STALLED after
// limit_ms of silence.
int WriteWord(PortHandle port, uint16_t value);
int WriteDword(PortHandle port, uint32_t value);
int WriteBlock(PortHandle port, const uint8_t* bytes, uint16_t length);
int32_t ReadWord(PortHandle port, uint32_t limit_ms = NO_STALL_LIMIT);
int64_t ReadDword(PortHandle port, uint32_t limit_ms = NO_STALL_LIMIT);
int ReadBlock(PortHandle port, uint8_t* buffer, uint16_t length,
              uint32_t limit_ms = NO_STALL_LIMIT);

// 16-bit sum of byte pairs taken low byte first; an odd last byte counts
// as a high byte.
uint16_t GenerateChecksum(const uint8_t* bytes, uint16_t length);

// The receiver's answer to a block: REPLY_OK exactly when the checksums agree.
uint16_t MakeReplyWord(uint16_t received, uint16_t computed);

// ---- shared with the streaming exchange (stream.cpp) ----

#include <chrono>
#include <cstdio>

uint32_t MillisecondsSince(std::chrono::steady_clock::time_point start);

// Ends a transfer whose port went away, keeping errno for the driver.
int AbandonTransfer(FILE* file, bool line_drawn);

// Ends a file whose peer has been silent for longer than the limit. what
// names the file, as in "sending a.txt"; peer is "sender" or "receiver".
int ReportStall(const std::string& what, const char* peer, uint32_t limit_ms, bool line_drawn);

// Ends a file one of whose blocks was refused MAX_REFUSALS times in a row.
int ReportRefusals(const std::string& what, const char* refused);

// The file did not yield the bytes it announced (read_error: an errno, or
// -1 for a file that ended early). Returns TRANSFER_FAILED.
int ReportBadSource(const char* path, int read_error);

// One file each. Once a file is under way, a peer silent for longer than
// stall_limit_ms (from ComputeStallLimit) ends it with TRANSFER_STALLED;
// waiting for START or READY has no limit.
int SendFile(PortHandle port, const char* path, uint32_t stall_limit_ms = NO_STALL_LIMIT);
int RecvFile(PortHandle port, uint32_t stall_limit_ms = NO_STALL_LIMIT);

#endif
