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
// The longest a sender's opening may be (PREAMBLE and START, from a velcot
// sender): right after a file a receiver judges no longer burst.
#define OPENING_MAX_LENGTH 8
#define NAME_FIELD_SIZE 12
#define REPLY_OK 0xFFFF

// Both ends give a file up once one of its blocks has been refused this
// many times in a row: two ends out of step refuse every block however
// long bytes keep flowing. A line has to be very bad for a good block to
// meet this: at a bit error rate of 1e-4 a round of a block, its checksum
// and its reply (1028 characters, 10,280 bits at 8N1) is spoilt with
// probability 1 - (1 - 1e-4)^10280, about 0.64, and one block refused 50
// times in a row with 0.64^50, about 2e-10. Such a line gets no 1 MiB file
// through whole for other reasons, as measured (bench/faults.sh): damaged
// replies put the ends out of step, which gives the file up, and two bit
// errors can cancel in the 16-bit sum, which stores it damaged. At 1e-5,
// 14 copies of 20 arrive whole.
#define MAX_REFUSALS 50

// Results of SendFile and RecvFile. 0 and 1 keep their classic meaning; the
// others tell the driver why it has to stop or report a failed run.
enum TransferResult {
  TRANSFER_DONE = 0,         // sent, or received and stored
  TRANSFER_FAILED = 1,       // sender: file skipped; receiver: file declined
  TRANSFER_DECLINED = 2,     // sender: the receiver declined and left receive mode
  TRANSFER_NOT_STORED = 3,   // receiver: the exchange completed, the file was not stored
  TRANSFER_PORT_LOST = 4,    // the port went away; errno tells why (0: hung up)
  TRANSFER_STALLED = 5,      // the peer fell silent mid-file; the exchange is lost
  TRANSFER_REFUSED = 6,      // one block was refused too often; the exchange is lost
  TRANSFER_OUT_OF_STEP = 7,  // receiver: the sender was out of step; the file is given up
  TRANSFER_WITHDRAWN = 8,    // sender: the file could not be read to its end; it fell silent
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
// not taken for a new one: the quiet after START and ten characters more,
// at least half a second and at most 900 ms. It stays shorter than the
// second between a waiting sender's STARTs, so that the wait ends between
// two of them and the next one is answered.
uint32_t ComputeQuietTime(uint32_t baudrate, const LineFormat& format);

// How long the line must stay quiet after a 0x99 for it to be a sender's
// START: a sender writes START and waits for READY, while a 0x99 in block
// data is followed at once by more. See ComputeOpeningQuiet in transfer.cpp.
uint32_t ComputeOpeningQuiet(uint32_t baudrate, const LineFormat& format);

// How long a receiver watches the line after the last answer of a file
// whose size is a multiple of 1024 for a block that a sender out of step
// puts there at once. See ComputeWatchTime in transfer.cpp.
uint32_t ComputeWatchTime(uint32_t baudrate, const LineFormat& format);

// The receiver's waits on the line, from the functions above.
struct ReceiverTimes {
  uint32_t stall_limit_ms;    // ComputeStallLimit, or NO_STALL_LIMIT
  uint32_t opening_quiet_ms;  // ComputeOpeningQuiet
  uint32_t watch_ms;          // ComputeWatchTime
};
ReceiverTimes ComputeReceiverTimes(uint32_t baudrate, const LineFormat& format);

// A block sent again after a refusal that differs from the refused copy in
// more bytes than this is another block: the sender took a damaged refusal
// for 0xFFFF and went on.
uint16_t ComputeWentOnLimit(uint16_t length);

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

// A data block (at most BLOCK_SIZE bytes) and the checksum word after it,
// each way in one call to the port. The reader returns the checksum word
// received, PORT_LOST, or LINE_STALLED.
int WriteSummedBlock(PortHandle port, const uint8_t* bytes, uint16_t length, uint16_t checksum);
int32_t ReadSummedBlock(PortHandle port, uint8_t* buffer, uint16_t length,
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

// Says why the file did not yield the bytes it announced (read_error: an
// errno, or -1 for a file that ended early).
void ReportBadSource(const char* path, int read_error);

// A sender's opening that a receiver has already taken off the line, for
// the next RecvFile to answer: START alone (a classic sender, or a velcot
// sender whose PREAMBLE was lost), or PREAMBLE and START (a velcot sender
// offering the streaming exchange).
enum SeenOpening { NO_OPENING_SEEN, CLASSIC_OPENING_SEEN, STREAM_OPENING_SEEN };

// One file each. Once a file is under way, a peer silent for longer than
// the stall limit (from ComputeStallLimit) ends it with TRANSFER_STALLED;
// waiting for START or READY has no limit. *opened carries a sender's
// opening from one RecvFile to the next: set on return when the receiver
// took one off the line after the file, and answered at once on entry.
int SendFile(PortHandle port, const char* path, uint32_t stall_limit_ms = NO_STALL_LIMIT);
int RecvFile(PortHandle port, const ReceiverTimes& times, SeenOpening* opened);

#endif
