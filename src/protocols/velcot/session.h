// session: files back to back between two velcots, once the first file's
// FILE frame and its ACCEPT agreed to it (doc/protocol.md, "The session").
// The sender's items go in one stream of records S (records.h), compressed
// as one stream C (codec.h), cut into segments with selective repeat
// (repeat.h); each item is stored, and answered, on its own proof.
#ifndef VELCOT_SESSION_H
#define VELCOT_SESSION_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "base/outcome.h"
#include "base/wire.h"
#include "files/store.h"
#include "ports/commdev.h"
#include "protocols/velcot/offer.h"
#include "protocols/velcot/resume.h"

// A file of a run still to be sent: a file or folder given, or an item of
// a folder given, under its path from that folder's name on.
struct PendingFile {
  const char* path;
  bool again;  // its session was lost before its answer: this is its last try
  std::shared_ptr<const SendItem> item;  // path is its path
};

// The run's files still to send, as a session sees them: it takes its next
// item through take_next and gives back, through put_back, those a lost
// session left without an answer. How folders given become items is the
// run's.
struct SessionFiles {
  // The next file a session can carry, taken off the front with the name
  // it goes under (paths: agreed). False when there is none, or when the
  // next one cannot go so: it stays for the next opening.
  bool (*take_next)(void* context, bool paths, PendingFile* next, char* name);
  // Puts count files back at the front, in order, for the next opening.
  void (*put_back)(void* context, const PendingFile* files, size_t count);
  void* context;
};

// The first item: the file the FILE frame offered, open, nothing read.
struct SessionStart {
  const char* path;
  std::shared_ptr<const SendItem> item;  // of a folder given: holds path
  FILE* file;                            // stays the caller's; none for a folder item
  uint64_t size;
  bool again;         // a last try, after a session lost before its answer
  uint8_t agreed;     // the capabilities ACCEPT shared
  ResumeOffer offer;  // ACCEPT's, with resume agreed
};

// Sends the first item, then the files taken from files, back to back,
// until there is none a session can carry.
// Each file is reported as it ends; *failed is set when one was not
// stored. Items without an answer when the session is lost go back to the
// files for the next opening, once. The result says how the
// session ended, for the next opening: kDone when it ended in order.
TransferResult SendSession(PortHandle port, const SessionStart& start, const SessionFiles& files,
                           const LineTimes& times, bool* failed);

// Receives a session whose first item is offer, opened here as any item
// is (in its folder with paths agreed, in its kept part with resume, which
// ACCEPT then offers) and declined if it cannot be, and answers its FILE
// frame with ACCEPT and the capabilities agreed. kDone
// when every item was stored; kNotStored when one was not (or the session
// broke, or the sender started again, which sets *opened); a lost exchange
// as for one file.
TransferResult ReceiveSession(PortHandle port, const StreamOffer& offer, uint8_t agreed,
                              const LineTimes& times, SeenOpening* opened);

#endif
