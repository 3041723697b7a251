// stream: the exchange two velcots agree on in place of the classic one.
//
// Frames with their own check, whole names with size, time and mode,
// data streamed in a window the receiver answers with cumulative offsets,
// and a check of the whole file before the receiver moves it into place.
// The classic exchange opens it (doc/protocol.md): the sender writes
// PREAMBLE before START; a receiver that saw it answers READY_STREAM; the
// sender then writes STREAM_FIELD where a name field would go.
#ifndef VELCOT_STREAM_H
#define VELCOT_STREAM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "commdev.h"
#include "exchange.h"

// Written before each START. None of its bytes is START, and four given
// bytes in a row are no likely noise. A classic receiver drops them.
#define PREAMBLE_SIZE 4
#define PREAMBLE "\x16VCT"

// The receiver's answer to a PREAMBLE followed by START; six bits away
// from READY, so one damaged into the other takes a lot of noise.
#define READY_STREAM 0xC5

// Written in place of the 12-byte name field. A classic name field is a
// name, NUL-filled: it never begins with NUL followed by another byte.
#define STREAM_FIELD "\0VELCOT\x01\0\0\0\0"

// Set to anything but "" or "0", this environment variable makes both ends
// speak the classic exchange only: no PREAMBLE, and READY to every START.
#define CLASSIC_VARIABLE "VELCOT_CLASSIC"

bool IsClassicForced();

// True for the field a streaming sender writes after READY_STREAM. Byte 0
// damaged on the way still counts: no classic name holds the rest.
bool IsStreamField(const char* field);

// The same, or the field with up to two bytes damaged: what follows
// READY_STREAM, which only a velcot sender's opening gets, is taken so.
bool IsDamagedStreamField(const char* field);

// The standard CRC-32 (of zlib and ZMODEM): crc of what came before, 0 to
// start, and the next bytes.
uint32_t UpdateCrc32(uint32_t crc, const uint8_t* bytes, size_t length);

// The name a file is offered under: its base name in UTF-8, or "" when no
// receiver would store it (reported when report is true).
bool FormStreamName(const char* path, char* name, bool report);
#define STREAM_NAME_MAX 255

// Sends one file after READY_STREAM, the field included. size is what
// OpenFileToSend found; the result is one of SendFile's.
int SendFileStreamed(PortHandle port, FILE* file, const char* path, const char* name, uint64_t size,
                     uint32_t stall_limit_ms);

// The longest frame on the line, in bytes: header, offset, data, CRC-32.
#define STREAM_FRAME_MAX (8 + 8 + 8192 + 4)

// Receives one file after STREAM_FIELD has been read. A sender that moves
// the file forward by no frame for the stall limit and frame_ms (the line
// time of the longest frame) has stalled. The result is one of RecvFile's;
// *opened is set when a sender's next opening came meanwhile.
int RecvFileStreamed(PortHandle port, uint32_t stall_limit_ms, uint32_t frame_ms,
                     SeenOpening* opened);

#endif
