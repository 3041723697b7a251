// classic: the lock-step exchange every peer speaks, after the opening and
// the name field. The sender announces the size; the receiver accepts or
// declines; 1024-byte blocks follow one at a time, each with a 16-bit
// checksum and answered with a reply word.
#ifndef VELCOT_CLASSIC_H
#define VELCOT_CLASSIC_H

#include <cstdint>
#include <cstdio>

#include "base/outcome.h"
#include "base/progress.h"
#include "base/wire.h"
#include "ports/commdev.h"

// The reply word to a block that passed its check.
constexpr uint16_t kReplyOk = 0xFFFF;

// Integers of 2 or 4 bytes on the line, most significant byte first; a
// reader gives up after limit_ms of silence (kTimedOut).
PortResult WriteNumber(PortHandle port, uint32_t value, int bytes);
PortResult ReadNumber(PortHandle port, int bytes, uint32_t limit_ms, uint32_t* value);

// A block (at most kBlockSize bytes) and the checksum word after it, each
// way in one call to the port.
PortResult WriteSummedBlock(PortHandle port, const uint8_t* bytes, uint16_t length,
                            uint16_t checksum);
PortResult ReadSummedBlock(PortHandle port, uint8_t* buffer, uint16_t length, uint32_t limit_ms,
                           uint16_t* checksum);

// Sends a file after its name field: the size, then, once the receiver
// accepts, every block until it passes. The progress line is begun once
// the file is accepted. The ending says why it stopped short.
Ending SendClassic(PortHandle port, FILE* file, uint32_t size, const LineTimes& times,
                   ProgressLine* line);

// Receives a file whose size has been read and whose temporary file is
// open: accepts it, takes its blocks, and puts it on the disk before the
// last answer. A file whose blocks are all full is then watched for a
// sender out of step; a sender's next opening seen meanwhile is set in
// *opened. The ending is whole when the file is to be stored.
Ending ReceiveClassic(PortHandle port, FILE* file, uint32_t size, const LineTimes& times,
                      ProgressLine* line, SeenOpening* opened);

// A block sent again after a refusal that differs from the refused copy in
// more bytes than this is another block: the sender took a damaged refusal
// for 0xFFFF and went on.
uint16_t ComputeWentOnLimit(uint16_t length);

#endif
