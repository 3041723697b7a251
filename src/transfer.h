// transfer: the wire format and the exchange itself, the sender and the
// receiver of one file.
#ifndef VELCOT_TRANSFER_H
#define VELCOT_TRANSFER_H

#include <cstdint>
#include <string>

#include "commdev.h"
#include "exchange.h"

// Protocol bytes after the opening (START, READY).
#define ACCEPT 0xCC  // receiver: the file is created, blocks may follow

#define BLOCK_SIZE 1024
// The longest a sender's opening may be (PREAMBLE and START, from a velcot
// sender): right after a file a receiver judges no longer burst.
#define OPENING_MAX_LENGTH 8
#define REPLY_OK 0xFFFF

// A sender that has no answer writes START again after QUICK_START_MS (see
// OpenExchange), QUICK_STARTS times; the receiver's waits for a quiet line
// are kept shorter. A receiver waiting for a file answers within them.
#define QUICK_START_MS 1000
#define QUICK_STARTS 10

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
  uint32_t frame_ms = 0;      // the line time of the streaming exchange's longest frame
};
ReceiverTimes ComputeReceiverTimes(uint32_t baudrate, const LineFormat& format);

// A block sent again after a refusal that differs from the refused copy in
// more bytes than this is another block: the sender took a damaged refusal
// for 0xFFFF and went on.
uint16_t ComputeWentOnLimit(uint16_t length);

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

// One file each. Once a file is under way, a peer silent for longer than
// the stall limit (from ComputeStallLimit) ends it with TRANSFER_STALLED;
// waiting for START or READY has no limit. *opened carries a sender's
// opening from one RecvFile to the next: set on return when the receiver
// took one off the line after the file, and answered at once on entry.
// A sender whose opening no receiver has answered within give_up_ms (0:
// however long it takes) returns TRANSFER_UNANSWERED.
int SendFile(PortHandle port, const char* path, uint32_t stall_limit_ms = NO_STALL_LIMIT,
             uint32_t give_up_ms = 0);
int RecvFile(PortHandle port, const ReceiverTimes& times, SeenOpening* opened);

// Waits at most limit_ms for a sender's opening, dropping whatever comes
// before it, for the next RecvFile to answer: 1 with *opened set, 0 when
// none came in time, or PORT_LOST.
int WaitForOpeningWithin(PortHandle port, const ReceiverTimes& times, uint32_t limit_ms,
                         SeenOpening* opened);

#endif
