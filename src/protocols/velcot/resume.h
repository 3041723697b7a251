// resume: a file cut off between two velcots goes on from what the
// receiver kept of it (doc/protocol.md, "Resume"). An item that waits
// (the first of a session always, a later one whose FILE record says so)
// is written straight into its kept part; the receiver offers the part's
// length and CRC-32, the sender checks them against its own file and goes
// on from there (ORIGIN), or from 0.
#ifndef VELCOT_RESUME_H
#define VELCOT_RESUME_H

#include <cstdint>
#include <cstdio>

#include "files/store.h"
#include "protocols/velcot/records.h"

// The FILE record's flag of an item that waits for the receiver's offer.
constexpr uint8_t kFileWaits = 0x01;

// Where the receiver's kept part of an item ends, and the CRC-32 of the
// bytes before that: {0, 0} when it has none.
struct ResumeOffer {
  uint64_t offset;
  uint32_t crc;
};

// The offer as a payload: ACCEPT's 8-byte form when it is 0 (as_accept),
// else offset (8) and CRC-32 (4). Its length.
uint16_t PutResumeOffer(uint8_t* payload, const ResumeOffer& offer, bool as_accept);
ResumeOffer ReadResumeOffer(const uint8_t* payload, uint16_t length);

// True for a file that takes 2 s or more on the line, whose longest frame
// takes frame_ms: it waits, as waiting costs one round trip.
bool IsWaitingSize(uint64_t size, uint32_t frame_ms);

// The sender's answer to an offer: where its data goes on, given the size
// of its file and the first `read` bytes of it with their CRC-32: the
// offer's offset where they are the receiver's bytes, else 0.
uint64_t ChooseOrigin(const ResumeOffer& offer, uint64_t size, uint64_t read, uint32_t crc);

// Reads the first length bytes of a file to send, from its start: 0, or
// why not (ReadFileBytes); *read and *crc tell what came.
int ReadPrefix(FILE* file, uint64_t length, uint64_t* read, uint32_t* crc);

// The receiver: opens the file of an item that waits in its kept part in
// its folder under leaf (facts.name is its whole path),
// taking the part kept for this name, size and time if there is one
// (*offer then tells it), after the folder's parts are pruned. False after
// reporting why the file cannot be stored.
bool OpenWaitingFile(const StoreFolder& folder, const char* leaf, const FileRecord& facts,
                     ReceivedFile* received, ResumeOffer* offer);

// A waiting item cut off with stored bytes written and proved: its part
// is kept from KEPT_PART_MIN bytes on, else removed.
void KeepWaitingFile(const StoreFolder& folder, ReceivedFile* received, uint64_t stored);

#endif
