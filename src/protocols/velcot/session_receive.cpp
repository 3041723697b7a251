// session, the receiver's side: segments put back in order, decoded,
// and each item stored and answered on its own proof.
#include "protocols/velcot/session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "base/progress.h"
#include "protocols/velcot/codec.h"
#include "protocols/velcot/frame.h"
#include "protocols/velcot/records.h"
#include "protocols/velcot/repeat.h"

typedef std::chrono::steady_clock Clock;

namespace {

struct InItem {
  uint64_t number;
  FileRecord facts;
  ReceivedFile received;  // no file: a folder item
  StoreFolder folder;     // where it is stored: here, or with paths its own folder
  std::string leaf;       // its name there
  bool open;              // being written; once answered early (n, x) its records are dropped
  uint64_t written;
  uint32_t crc;
  ProgressLine line;
  bool waits;         // written into its kept part (resume.h)
  ResumeOffer offer;  // what was offered for it
  bool origin_due;    // an offer above 0 awaits its ORIGIN
};

struct KeptAnswer {
  bool valid;
  uint8_t type;
  uint8_t payload[12];
  uint16_t length;
};

struct SessionReceiver {
  PortHandle port;
  LineTimes times;
  uint8_t agreed;
  uint32_t progress_limit_ms;
  SegmentKeeper keeper;
  CodecDecoder decoder;
  RecordReader reader;
  InItem item;
  uint64_t items;  // begun so far
  KeptAnswer answers[256];
  bool segment_came, quit, failed;
  uint8_t last_seen;
  int damaged;  // segments damaged since C last moved on
  Clock::time_point last_heard, progressed, state_at, quit_at;
  Ending ending;  // once the session ended short
  std::vector<uint8_t> taken;
  uint8_t accept[12];  // ACCEPT's payload, for a FILE frame repeated
  uint16_t accept_length;
};

}  // namespace

// The functions below return true while the session goes on, and false
// once they have set how it ended short.
static bool EndSession(SessionReceiver* r, Ending ending) {
  r->ending = ending;
  return false;
}

static bool CheckWritten(SessionReceiver* r, PortResult written) {
  return written == PortResult::kDone || EndSession(r, {Reason::kPortLost});
}

static bool SendState(SessionReceiver* r) {
  uint8_t payload[4 + 8 * kRangesMax];
  ByteRange held[kRangesMax];
  size_t count = ListHeld(r->keeper, held);
  PutBigEndian(payload, r->keeper.acked, 4);
  for (size_t i = 0; i < count; i++) {
    PutBigEndian(payload + 4 + 8 * i, held[i].start, 4);
    PutBigEndian(payload + 8 + 8 * i, held[i].end, 4);
  }
  r->state_at = Clock::now();
  return CheckWritten(
      r, WriteFrame(r->port, kFrameState, r->last_seen, payload, uint16_t(4 + 8 * count)));
}

// The item's final answer, kept for the sender to ask for again.
static bool Answer(SessionReceiver* r, uint8_t type, const uint8_t* payload, uint16_t length) {
  KeptAnswer& kept = r->answers[uint8_t(r->item.number)];
  kept = {true, type, {}, length};
  if (length > 0) memcpy(kept.payload, payload, length);
  return CheckWritten(r, WriteFrame(r->port, type, uint8_t(r->item.number), payload, length));
}

static bool BreakSession(SessionReceiver* r);

// Opens the item: with paths agreed in its folder under this one, made if
// missing (a folder item: that folder, with no file); otherwise under a
// plain name here. An item that waits goes in its kept part, whose offer
// it takes. False after reporting why it cannot be stored.
static bool OpenItem(SessionReceiver* r) {
  InItem& item = r->item;
  item.received = {};
  item.received.existing = r->times.existing;
  item.folder = StoreFolder();
  item.leaf = item.facts.name;
  item.offer = {0, 0};
  if (!(r->agreed & kCapabilityPaths)) {
    if (!item.waits) return OpenFileToStore(item.leaf.c_str(), true, &item.received);
    return OpenWaitingFile(item.folder, item.leaf.c_str(), item.facts, &item.received, &item.offer);
  }
  if (!OpenItemFolder(item.facts.name, &item.folder, &item.leaf)) return false;
  bool opened = item.facts.size == 0;
  if (item.leaf.empty()) {
    item.received = {};
    if (!opened) ReportRefusedName(item.facts.name);
  } else if (item.waits) {
    opened =
        OpenWaitingFile(item.folder, item.leaf.c_str(), item.facts, &item.received, &item.offer);
  } else {
    opened = OpenFileToStoreIn(item.folder, item.leaf.c_str(), &item.received);
  }
  if (!opened) CloseItemFolder(&item.folder);
  return opened;
}

// Drops the item's file; one that waits keeps its part when it was cut
// off rather than failed.
static void GiveUpFile(InItem* item, bool cut) {
  if (item->received.file != nullptr) {
    if (cut && item->waits) {
      KeepWaitingFile(item->folder, &item->received, item->written);
    } else {
      DiscardFileIn(item->folder, &item->received);
    }
  }
  CloseItemFolder(&item->folder);
}

// Drops the item being written with a failure: reported, answered.
static bool FailItem(SessionReceiver* r, const Ending& ending, uint8_t reason, bool cut = false) {
  GiveUpFile(&r->item, cut);
  r->item.open = false;
  r->failed = true;
  ReportEnding(&r->item.line, ending, false, r->item.facts.name);
  return Answer(r, kFrameItemFailed, &reason, 1);
}

// The item's file holds the part offered until ORIGIN says otherwise; its
// progress line starts there once ORIGIN comes.
static void OfferPart(InItem* item) {
  item->written = item->offer.offset;
  item->crc = item->offer.crc;
  item->origin_due = item->offer.offset > 0;
  if (!item->origin_due && item->received.file != nullptr) DrawProgress(&item->line, 0, false);
}

static bool BeginItem(SessionReceiver* r, const FileRecord& facts) {
  r->item.number = r->items++;
  r->item.facts = facts;
  r->item.written = 0;
  r->item.crc = 0;
  r->item.line = {r->item.facts.name, facts.size, r->times.tally};
  r->item.waits = (facts.flags & kFileWaits) != 0;
  r->item.open = OpenItem(r);
  if (!r->item.open) {
    r->failed = true;
    // The reason goes before n, which alone is kept to be asked for again.
    const std::string& why = r->item.received.refusal;
    size_t length = std::min(why.size(), kStreamNameMax);
    if (length > 0 && !CheckWritten(r, WriteFrame(r->port, kFrameReason, uint8_t(r->item.number),
                                                  reinterpret_cast<const uint8_t*>(why.data()),
                                                  uint16_t(length)))) {
      return false;
    }
    return Answer(r, kFrameItemDeclined, nullptr, 0);
  }
  OfferPart(&r->item);
  if (!r->item.waits) return true;
  uint8_t payload[12];
  return Answer(r, kFrameItemOffer, payload, PutResumeOffer(payload, r->item.offer, false));
}

// ORIGIN: the sender goes on from the end of the part offered, or from 0.
static bool TakeOrigin(SessionReceiver* r, uint64_t offset) {
  InItem& item = r->item;
  if (!item.open) return true;
  if (!item.waits || (offset != 0 && offset != item.offer.offset)) return BreakSession(r);
  item.origin_due = false;
  if (offset == 0 && item.written > 0) {
    int failed = CutFile(item.received.file, 0);
    if (failed != 0) return FailItem(r, {Reason::kWriteFailed, failed}, kFailedWrite);
    item.written = 0;
    item.crc = 0;
  }
  DrawProgress(&item.line, item.written, false);
  return true;
}

static bool WriteData(SessionReceiver* r, const uint8_t* data, size_t length) {
  if (!r->item.open) return true;
  if (r->item.origin_due) return BreakSession(r);
  int failed = WriteFileBytes(r->item.received.file, data, length);
  if (failed != 0) return FailItem(r, {Reason::kWriteFailed, failed}, kFailedWrite);
  r->item.crc = UpdateCrc32(r->item.crc, data, length);
  r->item.written += length;
  PaceProgress(&r->item.line, r->item.written, false);
  return true;
}

// A folder item, after its contents: its time and mode; answered with
// size 0 and CRC 0.
static bool EndFolderItem(SessionReceiver* r) {
  InItem& item = r->item;
  int failed = ApplyFolderFacts(item.folder, item.facts.mtime, item.facts.mode);
  GiveUpFile(&item, false);
  item.open = false;
  uint8_t proof[12] = {kFailedWrite};
  if (failed != 0) {
    r->failed = true;
    ReportEnding(&item.line, {Reason::kWriteFailed, failed}, false, item.facts.name);
    return Answer(r, kFrameItemFailed, proof, 1);
  }
  PutProof(proof, 0, 0);
  return Answer(r, kFrameItemDone, proof, 12);
}

// END: the whole-file check, then time and mode, data and name on the
// disk, into place; answered with the proof.
static bool EndItem(SessionReceiver* r, uint32_t crc) {
  InItem& item = r->item;
  if (!item.open) return true;
  if (crc != item.crc) return FailItem(r, {Reason::kCheckFailed}, kFailedCheck);
  if (item.received.file == nullptr) return EndFolderItem(r);
  int failed = ApplyFileFacts(item.received.file, item.facts.mtime, item.facts.mode);
  if (failed == 0) failed = SyncFile(item.received.file);
  if (failed != 0) return FailItem(r, {Reason::kWriteFailed, failed}, kFailedWrite);
  failed = StoreFileIn(item.folder, &item.received, item.leaf.c_str());
  CloseItemFolder(&item.folder);
  item.open = false;
  if (failed != 0) {
    r->failed = true;
    ReportEnding(&item.line, {Reason::kWriteFailed, failed}, false, item.facts.name);
    uint8_t reason = kFailedWrite;
    return Answer(r, kFrameItemFailed, &reason, 1);
  }
  PaceProgress(&item.line, item.facts.size, true);
  ReportEnding(&item.line, {Reason::kDone}, false, item.facts.name);
  ReportPlacedName(item.received, item.facts.name);
  uint8_t proof[12];
  PutProof(proof, item.facts.size, crc);
  return Answer(r, kFrameItemDone, proof, 12);
}

// C or S cannot be read on: the item in progress fails its check, and the
// sender hears that the session is over.
static bool BreakSession(SessionReceiver* r) {
  if (r->item.open && !FailItem(r, {Reason::kCheckFailed}, kFailedCheck, true)) return false;
  r->failed = true;
  if (!CheckWritten(r, WriteFrame(r->port, kFrameBroken, 0, nullptr, 0))) return false;
  return EndSession(r, {Reason::kCheckFailed});
}

// Acts on decoded S, record by record, in order.
static bool ActOnRecords(SessionReceiver* r, const uint8_t* s, size_t size) {
  size_t at = 0;
  while (at < size) {
    size_t used = 0;
    Record record;
    RecordEvent event = ReadRecord(&r->reader, s + at, size - at, &used, &record);
    at += used;
    bool on = true;
    switch (event) {
      case RecordEvent::kNeedMore:
        break;
      case RecordEvent::kData:
        on = WriteData(r, record.data, record.length);
        break;
      case RecordEvent::kOrigin:
        on = TakeOrigin(r, record.offset);
        break;
      case RecordEvent::kEnd:
        on = EndItem(r, record.crc);
        break;
      case RecordEvent::kCancel:
        on = !r->item.open || FailItem(r, {Reason::kCancelled}, kFailedCancelled);
        break;
      case RecordEvent::kFile:
        on = BeginItem(r, record.file);
        break;
      case RecordEvent::kQuit:
        r->quit = true;
        r->quit_at = Clock::now();
        break;
      case RecordEvent::kBroken:
        return BreakSession(r);
    }
    if (!on) return false;
  }
  return true;
}

// Decodes what C took and acts on it.
static bool DecodeTaken(SessionReceiver* r) {
  static const size_t kRoom = 64 * 1024;
  std::vector<uint8_t> s(kRoom);
  size_t at = 0;
  for (;;) {
    size_t used = 0, made = 0;
    CodecError error = FeedDecoder(&r->decoder, r->taken.data() + at, r->taken.size() - at, &used,
                                   s.data(), kRoom, &made);
    at += used;
    if (made > 0 && !ActOnRecords(r, s.data(), made)) return false;
    if (error != CodecError::kNone) return BreakSession(r);
    if (used == 0 && made == 0) return true;
  }
}

// A damaged segment shows on the line of the item being written, as a
// refused block does.
static void ShowDamage(InItem* item) {
  if (!item->open || !item->line.begun) return;
  item->line.error = true;
  PaceProgress(&item->line, item->written, true);
}

static bool TakeSegmentFrame(SessionReceiver* r, const Frame& frame) {
  uint64_t offset = ExpandOffset(r->keeper.acked, uint32_t(GetBigEndian(frame.payload, 4)));
  uint64_t before = r->keeper.acked;
  r->taken.clear();
  TakeSegment(&r->keeper, offset, frame.payload + 4, frame.length - 4u, &r->taken);
  r->segment_came = true;
  r->last_seen = frame.sequence;
  // The state goes before the bytes are acted on, which may take a sync.
  if (!SendState(r)) return false;
  if (r->keeper.acked == before) return true;
  r->progressed = Clock::now();
  r->damaged = 0;
  return DecodeTaken(r);
}

static bool HandleFrame(SessionReceiver* r, const Frame& frame) {
  switch (frame.type) {
    case kFrameSegment:
      return TakeSegmentFrame(r, frame);
    case kFrameFile: {  // the ACCEPT was lost
      if (r->segment_came) return true;
      return CheckWritten(
          r, WriteFrame(r->port, kFrameAccept, r->agreed, r->accept, r->accept_length));
    }
    case kFrameAsk: {
      const KeptAnswer& kept = r->answers[frame.sequence];
      if (!kept.valid) return true;  // still being stored, or never begun
      return CheckWritten(
          r, WriteFrame(r->port, kept.type, frame.sequence, kept.payload, kept.length));
    }
    case kFrameInterrupted:
      return EndSession(r, {Reason::kPeerInterrupted});
    default:
      return true;
  }
}

// Receives and acts on the session until the sender says goodbye after
// QUIT (or falls quiet, or opens again), or it ends short.
static bool ReceiveItems(SessionReceiver* r, SeenOpening* opened) {
  uint32_t stall = r->times.stall_limit_ms;
  uint32_t quiet = ComputeLingerQuiet(stall);
  uint32_t linger = stall != kNoStallLimit ? 2 * stall : 6 * quiet;
  Frame frame;
  for (;;) {
    bool holding = !r->keeper.kept.empty();
    uint32_t wait = stall == kNoStallLimit ? UINT32_MAX : stall;
    if (holding) wait = kResendAgainMs;
    if (r->quit) wait = std::min(wait, quiet);
    bool heard = false;
    FrameRead got = ReadFrame(r->port, &frame, wait, &heard);
    if (heard) r->last_heard = Clock::now();
    if (got == FrameRead::kLost) return r->quit || EndSession(r, {Reason::kPortLost});
    if (got == FrameRead::kOpening) {
      *opened = SeenOpening::kStream;
      return r->quit || EndSession(r, {Reason::kStartedAgain});
    }
    bool on = true;
    if (got == FrameRead::kDamaged && frame.type == kFrameSegment) {
      r->last_seen = frame.sequence;
      on = SendState(r);
      ShowDamage(&r->item);
      if (on && ++r->damaged >= kMaxRefusals) on = EndSession(r, {Reason::kRefused});
    } else if (got == FrameRead::kSilent && holding &&
               MillisecondsSince(r->state_at) >= kResendAgainMs) {
      on = SendState(r);
    } else if (IsWellFormed(got, frame)) {
      // A sender says goodbye once it holds every item's answer: between
      // items, also where QUIT was lost on the way, the session is over.
      if (frame.type == kFrameBye && (r->quit || !r->item.open)) return true;
      on = HandleFrame(r, frame);
    }
    if (!on) return false;
    if (r->quit) {
      if (HasRunOut(quiet, r->last_heard) || HasRunOut(linger, r->quit_at)) return true;
      continue;
    }
    if (stall != kNoStallLimit &&
        (HasRunOut(stall, r->last_heard) || HasRunOut(r->progress_limit_ms, r->progressed))) {
      return EndSession(r, EndStalled(stall, r->last_heard, r->progress_limit_ms));
    }
  }
}

TransferResult ReceiveSession(PortHandle port, const StreamOffer& offer, uint8_t agreed,
                              const LineTimes& times, SeenOpening* opened) {
  SessionReceiver receiver = {};
  SessionReceiver* r = &receiver;
  r->port = port;
  r->times = times;
  r->agreed = agreed;
  r->progress_limit_ms =
      uint32_t(std::min<uint64_t>(uint64_t(times.stall_limit_ms) + times.frame_ms, UINT32_MAX));
  StartDecoder(&r->decoder, agreed & kCodecs);
  StartRecords(&r->reader, offer.size);
  r->item.number = r->items++;
  r->item.facts.size = offer.size;
  r->item.facts.mtime = offer.mtime;
  r->item.facts.mode = offer.mode;
  memcpy(r->item.facts.name, offer.name, sizeof offer.name);
  r->item.line = {r->item.facts.name, offer.size, times.tally};
  r->item.waits = (agreed & kCapabilityResume) != 0;
  r->reader.flags_agreed = r->item.waits ? kFileWaits : 0;
  if (!OpenItem(r)) {
    FreeDecoder(&r->decoder);
    return DeclineStreamed(port, agreed, times.stall_limit_ms, opened, r->item.received.refusal) ==
                   PortResult::kDone
               ? TransferResult::kNotStored
               : TransferResult::kPortLost;
  }
  r->item.open = true;
  r->accept_length = PutResumeOffer(r->accept, r->item.offer, true);
  r->last_heard = r->progressed = r->state_at = Clock::now();
  OfferPart(&r->item);
  bool whole =
      CheckWritten(r, WriteFrame(port, kFrameAccept, agreed, r->accept, r->accept_length)) &&
      ReceiveItems(r, opened);
  TransferResult result = r->failed ? TransferResult::kNotStored : TransferResult::kDone;
  if (!whole) {
    // The item in progress is given up as one file would be.
    if (r->item.open) {
      GiveUpFile(&r->item, true);
      // The sender's interruption is told with whether its part stays.
      bool kept = r->item.waits && r->item.written >= KEPT_PART_MIN;
      if (r->ending.reason == Reason::kPeerInterrupted) r->ending.error = kept ? 1 : 0;
      result = ReportEnding(&r->item.line, r->ending, false, r->item.facts.name);
    } else if (r->ending.reason == Reason::kCheckFailed) {
      result = TransferResult::kNotStored;
    } else if (r->ending.reason != Reason::kStartedAgain) {
      result = ReportEnding(nullptr, r->ending, false, nullptr);
    } else {
      result = TransferResult::kNotStored;
    }
  }
  FreeDecoder(&r->decoder);
  return result;
}
