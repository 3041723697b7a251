// offer: how two velcots agree on what follows the opening, both the
// exchange of one file (legacy/stream.h) and the session (session.h):
// HELLO and the capabilities shared, the FILE frame's offer and its answer,
// and the sender's goodbye.
#ifndef VELCOT_OFFER_H
#define VELCOT_OFFER_H

#include <cstdint>
#include <string>

#include "base/outcome.h"
#include "base/wire.h"
#include "ports/commdev.h"
#include "protocols/velcot/records.h"

// Capabilities: the sender offers its own in the FILE frame's sequence
// byte, and the receiver answers, in ACCEPT's or DECLINE's, those it shares.
// 0 either way is today's exchange, which every velcot speaks. The codecs'
// bits (codec.h) go only with the session's.
constexpr uint8_t kCapabilitySession = 0x01;
// A cut file goes on from what the receiver kept of it (resume.h).
constexpr uint8_t kCapabilityResume = 0x08;
// Names may be relative paths, and items folders (doc/protocol.md,
// "Folders"): only within a session.
constexpr uint8_t kCapabilityPaths = 0x10;

// What this end can do: the session, paths and, with compression, its
// codecs.
uint8_t ListCapabilities(bool compression);

// The receiver's answer to the offered bits: those it has, codecs only
// within a session.
uint8_t AgreeCapabilities(uint8_t offered, uint8_t own);

// The name a file is offered under: its base name in UTF-8, or "" (false)
// when no receiver would store it: the file then goes classically.
bool FormStreamName(const char* path, char* name);

// What the sender's goodbye needs: whether it is due (the receiver gave its
// last answer) and how long the line must first be quiet, when answers to
// frames sent again may still be on their way (0: at once).
struct StreamGoodbye {
  bool due;
  uint32_t quiet_ms;
};

// Tells the receiver the last answer arrived: kDone, or kLost. The line
// is given a few quiet_ms to fall quiet first, as the answers still on
// their way come within one; bytes that keep coming after that are not
// theirs (keystrokes, a console's chatter), and the goodbye goes anyway.
PortResult SayGoodbye(PortHandle port, const StreamGoodbye& goodbye);

// The offer a receiver reads: the file's facts, and a name for it with any
// NUL in it turned into a control byte that no receiver stores.
struct StreamOffer {
  uint8_t capabilities;  // the sender's
  uint64_t size;
  int64_t mtime;
  uint32_t mode;
  char name[kStreamNameMax + 1];
};

// Reads the offer after the stream field, answering each HELLO before it
// with the capabilities it shares with own. The ending is kDone once it
// has come; kStartedAgain sets *opened.
Ending ReadStreamOffer(PortHandle port, uint32_t stall_limit_ms, StreamOffer* offer,
                       SeenOpening* opened, uint8_t own);

// A sender's HELLO, before its first FILE frame: sent each retry time of an
// offer, three times in all, until the receiver answers the capabilities
// it shares (*shared). kTimedOut: a receiver that does not know HELLO.
PortResult SayHello(PortHandle port, uint8_t offered, uint32_t stall_limit_ms, uint8_t* shared);

// Declines the offer (for the reason why; "" for none), answering the
// capabilities agreed, and declines it
// again while the sender repeats it, until the line is quiet: kDone once
// the first DECLINE is out, or kLost. A sender's next opening meanwhile
// sets *opened. The receiver stays in receive mode.
PortResult DeclineStreamed(PortHandle port, uint8_t agreed, uint32_t stall_limit_ms,
                           SeenOpening* opened, const std::string& why);

// How long a request for data waits for it before it is sent again.
constexpr uint32_t kResendAgainMs = 500;

// How long a receiver lingers after its last answer while the line is
// quiet, to answer what the sender repeats: longer than a sender waits for
// that answer before it sends something again, which its retry time,
// doubled at each silence, may make half the stall limit.
uint32_t ComputeLingerQuiet(uint32_t stall_limit_ms);

// How long a receiver answers a sender that repeats its last frame, at most.
constexpr uint32_t kLingerMs = 5000;

#endif
