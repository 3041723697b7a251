// exchange: what the classic exchange and the streaming one share: the
// opening of every file, the results of one file, the limits on a file in
// progress, and the reports that end one.
#ifndef VELCOT_EXCHANGE_H
#define VELCOT_EXCHANGE_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "commdev.h"

// The opening of every file: the sender writes START, the receiver answers
// READY, the sender writes a field of this size (a name, in the classic
// exchange).
#define START 0x99
#define READY 0x33
#define NAME_FIELD_SIZE 12
// The receiver's answer to a file it cannot take, in either exchange.
#define DECLINE 0x55

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
  TRANSFER_UNANSWERED = 9,   // sender: no receiver answered the opening in the time allowed
};

// A block, or the data at one offset, refused MAX_REFUSALS times in a row.
#define BLOCK_REFUSED (-3)

// The readers' answer when the line has been silent for longer than their
// limit. NO_STALL_LIMIT lets them wait for ever.
#define LINE_STALLED (-2)
#define NO_STALL_LIMIT 0

// A sender's opening that a receiver has already taken off the line, for
// the next RecvFile to answer: START alone (a classic sender, or a velcot
// sender whose PREAMBLE was lost), or PREAMBLE and START (a velcot sender
// offering the streaming exchange).
enum SeenOpening { NO_OPENING_SEEN, CLASSIC_OPENING_SEEN, STREAM_OPENING_SEEN };

// Reads and drops bytes until none has arrived for quiet_ms: 0, or PORT_LOST.
int WaitForQuietLine(PortHandle port, uint32_t quiet_ms);

// The milliseconds since start, by the steady clock.
uint32_t MillisecondsSince(std::chrono::steady_clock::time_point start);

// Ends a transfer whose port went away, keeping errno for the driver.
int AbandonTransfer(FILE* file, bool line_drawn);

// Ends a file that has not moved forward for limit_ms: its peer was silent,
// or (silent false) talked without moving it. what names the file, as in
// "sending a.txt"; peer is "sender" or "receiver".
int ReportStall(const std::string& what, const char* peer, uint32_t limit_ms, bool line_drawn,
                bool silent = true);

// Ends a file one of whose blocks was refused MAX_REFUSALS times in a row.
int ReportRefusals(const std::string& what, const char* refused);

// Says why the file did not yield the bytes it announced (read_error: an
// errno, or -1 for a file that ended early).
void ReportBadSource(const char* path, int read_error);

#endif
