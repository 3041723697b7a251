#include "protocols/velcot/offer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "base/retry.h"
#include "files/names.h"
#include "protocols/velcot/codec.h"
#include "protocols/velcot/frame.h"

typedef std::chrono::steady_clock Clock;

bool FormStreamName(const char* path, char* name) {
  std::string utf8 = ConvertNameToUtf8(FindBaseName(path));
  bool carried = utf8.size() <= kStreamNameMax && IsPlainFileName(utf8.c_str()) &&
                 HasNoC1Controls(utf8.c_str());
  if (!carried) utf8.clear();
  memcpy(name, utf8.c_str(), utf8.size() + 1);
  return carried;
}

uint8_t ListCapabilities(bool compression) {
  return kCapabilitySession | kCapabilityResume | kCapabilityPaths | ListCodecs(compression);
}

uint8_t AgreeCapabilities(uint8_t offered, uint8_t own) {
  uint8_t shared = offered & own;
  return shared & kCapabilitySession ? shared : 0;
}

// ---- sender ----

uint32_t ComputeLingerQuiet(uint32_t stall_limit_ms) {
  return std::max<uint32_t>(kLingerMs, stall_limit_ms / 2 + 1000);
}

PortResult SayGoodbye(PortHandle port, const StreamGoodbye& goodbye) {
  const uint32_t kQuietTries = 3;
  uint32_t limit_ms =
      uint32_t(std::min<uint64_t>(uint64_t(goodbye.quiet_ms) * kQuietTries, UINT32_MAX));
  if (goodbye.quiet_ms != 0 &&
      WaitForQuietLine(port, goodbye.quiet_ms, limit_ms) == PortResult::kLost) {
    return PortResult::kLost;
  }
  return WriteFrame(port, kFrameBye, 0, nullptr, 0);
}

// ---- receiver ----

// Garbage, or frames other than FILE, are no more progress than silence.
Ending ReadStreamOffer(PortHandle port, uint32_t stall_limit_ms, StreamOffer* offer,
                       SeenOpening* opened, uint8_t own) {
  Frame frame;
  auto started = Clock::now();
  auto heard_at = started;
  auto asked_at = started;
  int asked_epoch = -1;  // the sender's epoch last asked for the offer
  for (;;) {
    bool heard = false;
    uint32_t wait = stall_limit_ms == kNoStallLimit ? UINT32_MAX : stall_limit_ms;
    FrameRead got = ReadFrame(port, &frame, wait, &heard);
    if (got == FrameRead::kLost) return {Reason::kPortLost};
    if (heard) heard_at = Clock::now();
    if (got == FrameRead::kOpening) {
      *opened = SeenOpening::kStream;
      return {Reason::kStartedAgain};
    }
    bool well_formed = IsWellFormed(got, frame);
    if (well_formed && frame.type == kFrameFile) break;
    if (well_formed && frame.type == kFrameInterrupted) return {Reason::kPeerInterrupted};
    if (well_formed && frame.type == kFrameHello &&
        WriteFrame(port, kFrameShared, AgreeCapabilities(frame.sequence, own), nullptr, 0) !=
            PortResult::kDone) {
      return {Reason::kPortLost};
    }
    // A damaged frame, or the sender's data before its offer: the offer was
    // damaged or lost. Asked for again in that frame's epoch, the sender goes
    // back to it at once; once an epoch, or again after kResendAgainMs.
    bool sent_on = well_formed && (frame.type == kFrameData || frame.type == kFrameEnd);
    if ((got == FrameRead::kDamaged || sent_on) &&
        (frame.sequence != asked_epoch || MillisecondsSince(asked_at) >= kResendAgainMs)) {
      if (WriteOffsetFrame(port, kFrameResend, frame.sequence, 0) != PortResult::kDone) {
        return {Reason::kPortLost};
      }
      asked_epoch = frame.sequence;
      asked_at = Clock::now();
    }
    if (HasRunOut(stall_limit_ms, started)) {
      return EndStalled(stall_limit_ms, heard_at, stall_limit_ms);
    }
  }
  offer->capabilities = frame.sequence;
  offer->size = GetBigEndian(frame.payload, 8);
  offer->mtime = int64_t(GetBigEndian(frame.payload + 8, 8));
  offer->mode = uint32_t(GetBigEndian(frame.payload + 16, 4));
  size_t length = frame.length - 20u;
  memcpy(offer->name, frame.payload + 20, length);
  offer->name[length] = '\0';
  // A NUL would cut the name short into another one: shown, and refused,
  // as the control byte it is.
  std::replace(offer->name, offer->name + length, '\0', '\x01');
  return {Reason::kDone};
}

PortResult SayHello(PortHandle port, uint8_t offered, uint32_t stall_limit_ms, uint8_t* shared) {
  const int kHellos = 3;
  uint32_t retry_ms = ComputeOfferRetry(stall_limit_ms);
  Frame frame;
  for (int hellos = 0; hellos < kHellos; hellos++) {
    if (WriteFrame(port, kFrameHello, offered, nullptr, 0) != PortResult::kDone) {
      return PortResult::kLost;
    }
    auto sent = Clock::now();
    for (uint32_t waited = 0; waited < retry_ms; waited = MillisecondsSince(sent)) {
      bool heard = false;
      FrameRead got = ReadFrame(port, &frame, retry_ms - waited, &heard);
      if (got == FrameRead::kLost) return PortResult::kLost;
      if (IsWellFormed(got, frame) && frame.type == kFrameShared) {
        *shared = frame.sequence & offered;
        return PortResult::kDone;
      }
    }
  }
  *shared = 0;
  return PortResult::kTimedOut;
}

// DECLINE, after the receiver's reason (why) where there is one: a sender
// that does not know REASON hears the DECLINE alone.
static PortResult SayDecline(PortHandle port, uint8_t agreed, const std::string& why) {
  size_t length = std::min(why.size(), kStreamNameMax);
  if (length > 0 && WriteFrame(port, kFrameReason, 0, reinterpret_cast<const uint8_t*>(why.data()),
                               uint16_t(length)) != PortResult::kDone) {
    return PortResult::kLost;
  }
  return WriteFrame(port, kFrameDecline, agreed, nullptr, 0);
}

PortResult DeclineStreamed(PortHandle port, uint8_t agreed, uint32_t stall_limit_ms,
                           SeenOpening* opened, const std::string& why) {
  if (SayDecline(port, agreed, why) != PortResult::kDone) return PortResult::kLost;
  // A lost DECLINE would cost the sender a stall limit: its FILE frame sent
  // again, after the retry time of an offer, is answered again, for 5 s at
  // most.
  uint32_t quiet = std::min<uint32_t>(kLingerMs, ComputeOfferRetry(stall_limit_ms) + 500);
  auto started = Clock::now();
  Frame frame;
  for (uint32_t spent = 0; spent < kLingerMs; spent = MillisecondsSince(started)) {
    bool heard = false;
    FrameRead got = ReadFrame(port, &frame, std::min(quiet, kLingerMs - spent), &heard);
    if (got == FrameRead::kOpening) *opened = SeenOpening::kStream;
    // A port lost now shows at the next read, as after any last answer.
    if (got == FrameRead::kLost || got == FrameRead::kSilent || got == FrameRead::kOpening) break;
    if (IsWellFormed(got, frame) && frame.type == kFrameFile &&
        SayDecline(port, agreed, why) != PortResult::kDone) {
      break;
    }
  }
  return PortResult::kDone;
}
