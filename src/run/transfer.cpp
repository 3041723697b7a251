#include "run/transfer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/progress.h"
#include "files/names.h"
#include "files/store.h"
#include "protocols/classic/classic.h"
#include "protocols/kermit/kermit.h"
#include "protocols/velcot/frame.h"
#include "protocols/velcot/legacy/stream.h"
#include "protocols/velcot/session.h"
#include "protocols/xymodem/xymodem.h"
#include "protocols/zmodem/zmodem.h"
#include "run/folders.h"

// An exchange between velcots cut short by this end's interruption: the
// other end is told, and gives the file up at once rather than after its
// stall limit. (A classic peer is told nothing: it knows no such words.)
static TransferResult TellInterruption(PortHandle port, TransferResult result) {
  if (result == TransferResult::kPortLost && GetInterruption() != 0) SayInterrupted(port);
  return result;
}

// ---- sender ----

// The capabilities a receiver answered, for the rest of the run: one that
// shares none is offered none again.
static void NoteShared(SendRun* run, uint8_t shared) {
  run->learned = true;
  run->shared = shared;
  if (shared == 0) run->plain_receiver = true;
}

namespace {

// A file to send and the names it can be offered under.
struct Outgoing {
  const char* path;
  std::shared_ptr<const SendItem> item;  // of a folder given
  FILE* file;                            // none for a folder item
  uint64_t size;
  bool named;                  // a classic receiver would store the name field
  char field[kNameFieldSize];  // the classic name field
  bool streamable;             // the streaming exchange is offered
  char stream_name[kStreamNameMax + 1];
  bool again;  // its last try
};

}  // namespace

// Forms the name field a file is announced under. False, after reporting
// it if asked to, when a receiver would refuse that name: declining, it
// would leave receive mode and the files after this one could not be sent.
static bool FormNameField(const char* path, char* field, bool report) {
  TruncFilename8Dot3(FindBaseName(path), field, kNameFieldSize);
  std::string name(field, std::find(field, field + kNameFieldSize, '\0'));
  if (IsPlainFileName(name.c_str())) return true;
  if (report) {
    ReportRefusedToSend(path, name.c_str());
  }
  return false;
}

// Sizes beyond the classic size field.
static void ReportTooLarge(const char* path) {
  fprintf(stderr, "Couldn't send %s: larger than 4294967295 bytes\n",
          EscapeForConsole(path).c_str());
}

namespace {

// What a receiver of another protocol writes while it waits, heard by a
// sender waiting for READY: told apart, it is said once with how to send
// to it. Only read, never answered: every receiver sees today's bytes.
// A ZMODEM receiver's ZRINIT is the one answered: its files go by ZMODEM.
struct OtherReceiver {
  uint8_t heard[64];
  size_t length = 0;
  size_t since_start = 0;  // where what came after the last START begins
  bool said = false;
};

}  // namespace

// What a byte heard completed.
enum class OtherHeard {
  kNothing,
  kOthers,  // a Kermit NAK, or a byte inside a ZMODEM header: no READY
  kZmodem,  // a ZMODEM receiver's ZRINIT
};

static OtherHeard NoteOtherReceiver(OtherReceiver* other, uint8_t byte) {
  if (other->length == sizeof other->heard) {
    // The later half stays: a header may have begun in it.
    const size_t kept = sizeof other->heard / 2;
    memmove(other->heard, other->heard + kept, kept);
    other->length = kept;
    other->since_start = other->since_start > kept ? other->since_start - kept : 0;
  }
  other->heard[other->length++] = byte;
  if (IsZmodemReceiverInit(other->heard, other->length)) return OtherHeard::kZmodem;
  bool kermit = IsKermitReceiverNak(other->heard, other->length);
  OtherHeard heard = kermit || EndsInsideZmodemHeader(other->heard, other->length)
                         ? OtherHeard::kOthers
                         : OtherHeard::kNothing;
  if (other->said) return heard;
  const char* how = nullptr;
  // X/YMODEM's ask comes once between two STARTs; a Kermit NAK in a burst.
  switch (
      FindXyReceiverAsk(other->heard + other->since_start, other->length - other->since_start)) {
    case 'C':
      how =
          "an XMODEM or YMODEM receiver (it asks with C): send with --protocol ymodem, or "
          "xmodem or xmodem-1k for one file";
      break;
    case 'G':
      how = "a YMODEM-g receiver (it asks with G): send with --protocol ymodem-g";
      break;
    case 0x15:
      how = "an XMODEM receiver (it asks with NAK): send with --protocol xmodem";
      break;
    default:
      if (kermit)
        how = "a Kermit receiver (it asks with a NAK packet): send with --protocol kermit";
  }
  if (how == nullptr) return heard;
  fprintf(stderr, "The other end is %s\n", how);
  other->said = true;
  return heard;
}

// The receiver's answer to a sender's opening.
enum class Answer { kReady, kReadyStream, kNone, kLost, kEchoed, kZmodem };

// Openings whose preamble came back before the sender stops: a far end
// that echoes (a shell at its prompt, a terminal in cooked mode) would
// otherwise have every opening typed into it. After --start, the shell
// echoes openings until the receiver it started takes the line.
constexpr uint32_t kEchoedOpenings = 2;
constexpr uint32_t kEchoedOpeningsStarted = 6;

namespace {

// What came back of the openings: "VCT" of the preamble, which no receiver
// sends, counted once per opening.
struct EchoWatch {
  uint8_t recent[3];
  uint32_t echoed;      // openings whose preamble came back
  uint32_t counted_at;  // the last opening counted
};

}  // namespace

// Notes a byte that came back after opening number starts: true when it
// completed an echo of the preamble's letters.
static bool NoteEcho(EchoWatch* watch, uint8_t byte, uint32_t starts) {
  memmove(watch->recent, watch->recent + 1, 2);
  watch->recent[2] = byte;
  if (memcmp(watch->recent, kPreamble + 1, 3) != 0) return false;
  if (watch->counted_at != starts) watch->echoed++;
  watch->counted_at = starts;
  return true;
}

// Writes START (after the preamble, when the streaming exchange is offered)
// until READY comes back, or kNone once give_up_ms (0: never) have passed
// without one. Other bytes that come back (line noise, a device's banner,
// the rest of a dead exchange) are not its answer. START goes out once a
// second while nothing at all has come back, ten times; then, or once
// anything else has come back, only after the stall limit and a quarter,
// by when a receiver that read a START as data has given that up
// (doc/design.md).
// A ZMODEM receiver's ZRINIT is kZmodem, its bytes left in *receiver_heard.
static Answer OpenExchange(PortHandle port, const RunSettings& settings, bool offer_stream,
                           uint32_t give_up_ms, OtherReceiver* receiver_heard) {
  const LineTimes& times = settings.times;
  uint32_t limit_ms = times.stall_limit_ms;
  uint32_t echo_limit = settings.start_typed ? kEchoedOpeningsStarted : kEchoedOpenings;
  EchoWatch echo = {};
  uint32_t slow_ms = ScaleStallLimit(limit_ms, 5);
  // What came before the first START (line noise from a peer that powered
  // up, the rest of an earlier exchange) cannot be an answer to it: the
  // line is let fall quiet for 64 characters, as the tail of a frame to a
  // sender stopped mid-exchange may still be on its way (an ACCEPT's CRC
  // may hold READY's byte). A line that never falls quiet (a console's
  // chatter) holds START back no longer than such a frame takes, and a
  // second: what comes back then is stray, as any other.
  uint32_t tail_ms = uint32_t(uint64_t(times.frame_ms) * 64 / kLongestFrame);
  if (WaitForQuietLine(port, tail_ms, times.frame_ms + kQuickStartMs) == PortResult::kLost) {
    return Answer::kLost;
  }
  auto opened = std::chrono::steady_clock::now();
  bool stray = false;
  for (uint32_t starts = 1;; starts++) {
    if (give_up_ms != 0 && MillisecondsSince(opened) >= give_up_ms) return Answer::kNone;
    if (starts == kQuickStarts + 1 && !stray) {  // said once: silence met the quick STARTs
      fprintf(stderr,
              "No receiver has answered for %lu s; still waiting. Usual causes: velcot is not "
              "receiving at the other end, it uses another speed or mode, or this is the wrong "
              "port.\n",
              static_cast<unsigned long>(kQuickStarts * kQuickStartMs / 1000));
    }
    if (offer_stream && WriteBytes(port, kPreamble, kPreambleSize) != PortResult::kDone) {
      return Answer::kLost;
    }
    if (WriteByte(port, kStart) != PortResult::kDone) return Answer::kLost;
    receiver_heard->since_start = receiver_heard->length;
    auto sent = std::chrono::steady_clock::now();
    bool other = false;  // bytes came back, and none of them an echo
    for (;;) {
      bool odd = other && echo.counted_at != starts;  // stray, unless its echo follows
      bool quick = !stray && !odd && starts <= kQuickStarts;
      // With no limit of any kind, the slow START never comes.
      bool for_ever = !quick && limit_ms == kNoStallLimit && give_up_ms == 0;
      uint32_t wait_ms = quick ? kQuickStartMs : slow_ms;
      uint32_t waited = MillisecondsSince(sent);
      if (give_up_ms != 0) {
        uint32_t elapsed = MillisecondsSince(opened);
        wait_ms = std::min(wait_ms, waited + (elapsed < give_up_ms ? give_up_ms - elapsed : 0));
      }
      PortResult waiting = for_ever           ? PortResult::kDone
                           : waited < wait_ms ? WaitForByte(port, wait_ms - waited)
                                              : PortResult::kTimedOut;
      if (waiting == PortResult::kTimedOut) {
        stray = stray || odd;
        break;
      }
      uint8_t byte;
      if (waiting == PortResult::kLost || ReadByte(port, &byte) != PortResult::kDone) {
        return Answer::kLost;
      }
      // READY is also the check that ends a Kermit receiver's NAK for
      // packet 0: with that packet before it, it is no answer. A shell shows
      // START echoed as "\231": its '3' is no READY either.
      // So is a '3' of a ZMODEM receiver's hex header.
      OtherHeard heard = NoteOtherReceiver(receiver_heard, byte);
      if (heard == OtherHeard::kZmodem) return Answer::kZmodem;
      if (byte == kReady && heard == OtherHeard::kNothing && echo.counted_at != starts) {
        return Answer::kReady;
      }
      if (offer_stream && byte == kReadyStream) return Answer::kReadyStream;
      // An echo keeps the quick pace, so that it is told within seconds.
      bool echoed = offer_stream && NoteEcho(&echo, byte, starts);
      if (echoed && echo.echoed >= echo_limit) {
        fprintf(stderr, "%s\n", kEchoMessage);
        return Answer::kEchoed;
      }
      other = other || !echoed;
    }
  }
}

// A classic receiver answered a file it cannot be announced to: nothing
// more goes out, and the next START waits until that receiver has given up
// reading the name; on a line that never falls quiet, as long as the next
// opening after a lost exchange would.
static TransferResult WithholdAnnouncement(PortHandle port, const Outgoing& out,
                                           uint32_t limit_ms) {
  char field[kNameFieldSize];
  if (!out.named) FormNameField(out.path, field, true);
  if (out.named) ReportTooLarge(out.path);
  PortResult quiet =
      WaitForQuietLine(port, ScaleStallLimit(limit_ms, 5), ScaleStallLimit(limit_ms, 10));
  return quiet != PortResult::kLost ? TransferResult::kSkipped : TransferResult::kPortLost;
}

// The run's files as a session takes them.
static bool TakeNextForSession(void* context, bool paths, PendingFile* next, char* name) {
  SendRun* run = static_cast<SendRun*>(context);
  return TakeNextPending(&run->pending, paths, &run->failed, next, name);
}

static void PutBackForSession(void* context, const PendingFile* files, size_t count) {
  SendRun* run = static_cast<SendRun*>(context);
  run->pending.insert(run->pending.begin(), files, files + count);
}

// The streaming exchange, after READY_STREAM. A failure the receiver
// answered is said before the goodbye, success once it is out. A receiver
// that shares no capabilities is offered none again in this run: its
// answer then comes with the data, as today.
static TransferResult SendStreamedFile(PortHandle port, const Outgoing& out,
                                       const RunSettings& settings, SendRun* run, bool field_sent) {
  if (!field_sent && WriteBytes(port, kStreamField, kNameFieldSize) != PortResult::kDone) {
    return TransferResult::kPortLost;
  }
  ProgressLine line = {out.path, out.size, settings.times.tally};
  StreamGoodbye goodbye;
  StreamAgreement agreement = {};
  agreement.offered = run->plain_receiver ? 0 : ListCapabilities(settings.compression);
  ItemFacts facts = {};
  if (out.file == nullptr) facts = {out.item->mtime, out.item->mode};
  Ending ending = SendStreamed(port, out.file, out.stream_name, out.size, settings.times, &line,
                               &agreement, &goodbye, out.file == nullptr ? &facts : nullptr);
  if (agreement.offered != 0 && agreement.answered) NoteShared(run, agreement.agreed);
  if (ending.reason == Reason::kDone && (agreement.agreed & kCapabilitySession)) {
    SessionStart start = {out.path,  out.item,         out.file,       out.size,
                          out.again, agreement.agreed, agreement.offer};
    SessionFiles files = {TakeNextForSession, PutBackForSession, run};
    return SendSession(port, start, files, settings.times, &run->failed);
  }
  bool stored = ending.reason == Reason::kDone;
  TransferResult result =
      stored ? TransferResult::kDone : ReportEnding(&line, ending, true, out.path);
  bool lost = goodbye.due && SayGoodbye(port, goodbye) != PortResult::kDone;
  if (!stored && !lost) return result;
  if (!stored) return ReportEnding(&line, {Reason::kPortLost}, true, out.path);
  // STORED came: a port lost after it changes nothing about the file, and
  // the next opening, if any, finds it lost.
  DrawProgress(&line, out.size, false);
  return ReportEnding(&line, ending, true, out.path);
}

// Hands the file to the exchange the receiver answered; field_sent when
// the stream field went already.
static TransferResult SendInOpening(PortHandle port, const Outgoing& out, Answer answer,
                                    bool field_sent, const RunSettings& settings, SendRun* run) {
  uint32_t limit_ms = settings.times.stall_limit_ms;
  if (answer == Answer::kReadyStream) {
    return TellInterruption(port, SendStreamedFile(port, out, settings, run, field_sent));
  }
  if (!out.named || out.size > UINT32_MAX) return WithholdAnnouncement(port, out, limit_ms);
  if (WriteBytes(port, reinterpret_cast<const uint8_t*>(out.field), kNameFieldSize) !=
      PortResult::kDone) {
    return TransferResult::kPortLost;
  }
  ProgressLine line = {out.path, out.size, settings.times.tally};
  Ending ending = SendClassic(port, out.file, uint32_t(out.size), settings.times, &line);
  return ReportEnding(&line, ending, true, out.path);
}

// A ZMODEM receiver answered: first (if any) and every file given after it
// go in one ZMODEM batch, as --protocol zmodem would send them; a folder
// given is not a regular file, as for any receiver without paths.
static TransferResult SendByZmodem(PortHandle port, const char* first, const OtherReceiver& heard,
                                   const RunSettings& settings, SendRun* run) {
  printf("A ZMODEM receiver answered: sending by ZMODEM\n");
  fflush(stdout);
  std::vector<const char*> paths;
  if (first != nullptr) paths.push_back(first);
  while (!run->pending.empty()) {
    if (IsFolderArgument(run->pending.front())) {
      TakeFolderArgument(&run->pending, false, &run->failed);
      continue;
    }
    paths.push_back(run->pending.front().path);
    run->pending.pop_front();
  }
  ZRun z = {paths.data(), int(paths.size()), settings.escape_all};
  TransferResult result = SendZmodemFiles(port, z, settings.times, heard.heard, heard.length);
  if (result != TransferResult::kDone) run->failed = true;
  return result;
}

// Opens the exchange and hands the file to the one the receiver answers.
static TransferResult OfferFile(PortHandle port, const Outgoing& out, const RunSettings& settings,
                                uint32_t give_up_ms, SendRun* run) {
  if (out.size > UINT32_MAX && !out.streamable) {
    ReportTooLarge(out.path);
    return TransferResult::kSkipped;
  }
  OtherReceiver heard;
  Answer answer = OpenExchange(port, settings, out.streamable, give_up_ms, &heard);
  if (answer == Answer::kLost) return TransferResult::kPortLost;
  if (answer == Answer::kNone || answer == Answer::kEchoed) return TransferResult::kUnanswered;
  if (answer == Answer::kZmodem) return SendByZmodem(port, out.path, heard, settings, run);
  return SendInOpening(port, out, answer, false, settings, run);
}

// Opens the file at the front of pending, taking it off: false (reported)
// when it cannot be sent.
static bool OpenOutgoing(SendRun* run, const RunSettings& settings, Outgoing* out) {
  PendingFile first = run->pending.front();
  run->pending.pop_front();
  // Which exchange the receiver speaks shows only in its READY: the
  // streaming one is offered when the file can go that way.
  bool paths = run->shared & kCapabilityPaths;
  out->path = first.path;
  out->item = first.item;
  out->again = first.again;
  out->streamable = !settings.classic_only && FormPendingName(first, paths, out->stream_name);
  out->named = first.item == nullptr && FormNameField(out->path, out->field, !out->streamable);
  out->size = 0;
  out->file = nullptr;
  if (first.item != nullptr && first.item->folder) return out->streamable;
  if (out->named || out->streamable) out->file = OpenFileToSend(out->path, &out->size);
  if (out->file == nullptr) run->failed = true;
  return out->file != nullptr;
}

// A folder given first in an opening, where the run has yet to learn what
// the receiver takes: a velcot is asked with HELLO. Its items go where it
// takes paths; otherwise the folder is not a regular file, as ever, and
// the opening goes on with the next file given, for which that receiver
// waits.
static TransferResult OfferFolder(PortHandle port, const RunSettings& settings, uint32_t give_up_ms,
                                  SendRun* run) {
  OtherReceiver heard;
  Answer answer = OpenExchange(port, settings, true, give_up_ms, &heard);
  if (answer == Answer::kLost) return TransferResult::kPortLost;
  if (answer == Answer::kNone || answer == Answer::kEchoed) return TransferResult::kUnanswered;
  if (answer == Answer::kZmodem) return SendByZmodem(port, nullptr, heard, settings, run);
  bool stream = answer == Answer::kReadyStream;
  if (stream && WriteBytes(port, kStreamField, kNameFieldSize) != PortResult::kDone) {
    return TransferResult::kPortLost;
  }
  uint8_t shared = 0;
  if (stream && SayHello(port, ListCapabilities(settings.compression),
                         settings.times.stall_limit_ms, &shared) == PortResult::kLost) {
    return TransferResult::kPortLost;
  }
  // A classic receiver takes no paths, which is all the run needs to know.
  if (stream) NoteShared(run, shared);
  run->learned = true;
  while (!run->pending.empty() && IsFolderArgument(run->pending.front()))
    TakeFolderArgument(&run->pending, shared & kCapabilityPaths, &run->failed);
  Outgoing out;
  bool opened = false;
  while (!opened && !run->pending.empty())
    opened = OpenOutgoing(run, settings, &out);
  // Nothing more to offer: the receiver gives the opening up.
  if (!opened) return TransferResult::kSkipped;
  if (stream && !out.streamable) {
    if (out.file != nullptr) fclose(out.file);
    run->pending.push_front({out.path, out.again, out.item});
    return TransferResult::kSkipped;
  }
  TransferResult result = SendInOpening(port, out, answer, stream, settings, run);
  if (out.file != nullptr) fclose(out.file);
  if (result != TransferResult::kDone) run->failed = true;
  return result;
}

TransferResult SendFiles(PortHandle port, SendRun* run, const RunSettings& settings,
                         uint32_t give_up_ms) {
  if (IsFolderArgument(run->pending.front())) {
    if (!settings.classic_only && !run->plain_receiver && !run->learned) {
      return OfferFolder(port, settings, give_up_ms, run);
    }
    TakeFolderArgument(&run->pending, run->shared & kCapabilityPaths, &run->failed);
    if (run->pending.empty() || IsFolderArgument(run->pending.front()) ||
        run->pending.front().item == nullptr) {
      return TransferResult::kSkipped;
    }
  }
  PendingFile first = run->pending.front();
  Outgoing out;
  if (!OpenOutgoing(run, settings, &out)) return TransferResult::kSkipped;
  TransferResult result = OfferFile(port, out, settings, give_up_ms, run);
  if (out.file != nullptr) fclose(out.file);
  if (result == TransferResult::kUnanswered) run->pending.push_front(first);
  if (result != TransferResult::kDone) run->failed = true;
  return result;
}

TransferResult SendFile(PortHandle port, const char* path, const RunSettings& settings,
                        uint32_t give_up_ms) {
  SendRun run;
  run.pending.push_back({path, false, nullptr});
  TransferResult result = SendFiles(port, &run, settings, give_up_ms);
  return result == TransferResult::kDone && run.failed ? TransferResult::kNotStored : result;
}

// ---- receiver ----

// Moves a file that came whole into place, or drops it; the ending then
// says whether it was stored.
static Ending KeepOrDrop(ReceivedFile* received, const char* name, Ending ending) {
  if (!ending.whole) DiscardFile(received);
  int failed = ending.whole ? StoreFile(received, name) : 0;
  return failed == 0 ? ending : Ending{Reason::kWriteFailed, failed};
}

// The classic exchange, after the name field.
static TransferResult ReceiveClassicFile(PortHandle port, const char* name, const LineTimes& times,
                                         SeenOpening* opened) {
  uint32_t size = 0;
  PortResult got = ReadNumber(port, 4, times.stall_limit_ms, &size);
  if (got != PortResult::kDone) {
    return ReportEnding(nullptr, EndReading(got, times.stall_limit_ms), false, nullptr);
  }
  // Declining, a classic receiver leaves receive mode; not where it keeps
  // a file of that name as asked, the sender going on with its next file.
  ReceivedFile received;
  received.existing = times.existing;
  if (!OpenFileToStore(name, false, &received)) {
    if (WriteByte(port, kDecline) != PortResult::kDone) return TransferResult::kPortLost;
    return received.kept_existing ? TransferResult::kNotStored : TransferResult::kDeclined;
  }
  ProgressLine line = {name, size, times.tally};
  Ending ending = ReceiveClassic(port, received.file, size, times, &line, opened);
  ending = KeepOrDrop(&received, name, ending);
  TransferResult result = ReportEnding(&line, ending, false, name);
  ReportPlacedName(received, name);
  return result;
}

// The streaming exchange, after the stream field. A file refused is not
// the end of the run: the sender goes on with its next one.
static TransferResult ReceiveStreamedFile(PortHandle port, const RunSettings& settings,
                                          SeenOpening* opened) {
  const LineTimes& times = settings.times;
  StreamOffer offer;
  uint8_t own = ListCapabilities(settings.compression);
  Ending read = ReadStreamOffer(port, times.stall_limit_ms, &offer, opened, own);
  if (read.reason != Reason::kDone) return ReportEnding(nullptr, read, false, nullptr);
  uint8_t agreed = AgreeCapabilities(offer.capabilities, own);
  // The session opens its first item as any other: in its folder with
  // paths, in its kept part with resume.
  if (agreed & kCapabilitySession) return ReceiveSession(port, offer, agreed, times, opened);
  ReceivedFile received;
  received.existing = times.existing;
  if (!OpenFileToStore(offer.name, true, &received)) {
    return DeclineStreamed(port, agreed, times.stall_limit_ms, opened, received.refusal) ==
                   PortResult::kDone
               ? TransferResult::kNotStored
               : TransferResult::kPortLost;
  }
  ProgressLine line = {offer.name, offer.size, times.tally};
  uint32_t crc = 0;
  Ending ending = ReceiveStreamed(port, received.file, offer.size, times, &line, &crc, opened);
  // In place, data and name on the disk, before the sender hears so.
  int failed = ending.whole ? ApplyFileFacts(received.file, offer.mtime, offer.mode) : 0;
  if (failed == 0 && ending.whole) failed = SyncFile(received.file);
  if (failed != 0) ending = {Reason::kWriteFailed, failed};
  ending = KeepOrDrop(&received, offer.name, ending);
  if (ending.reason == Reason::kDone) PaceProgress(&line, offer.size, true);
  TransferResult result = ReportEnding(&line, ending, false, offer.name);
  ReportPlacedName(received, offer.name);
  // An interrupted sender waits for no answer.
  if (ending.reason != Reason::kPeerInterrupted) {
    AnswerStreamed(port, ending, offer.size, crc, times.stall_limit_ms, opened);
  }
  return result;
}

// A Kermit sender's Send-Init, or a ZMODEM sender's "rz\r" and ZRQINIT.
static bool IsOtherSenderOpening(const uint8_t* bytes, size_t length) {
  return IsKermitSendInit(bytes, length) || IsZmodemSenderOpening(bytes, length);
}

PortResult AwaitSender(PortHandle port, const RunSettings& settings, uint32_t wait_ms,
                       SeenOpening* opened, OtherOpening* other) {
  if (other != nullptr) other->recognize = IsOtherSenderOpening;
  return WaitForOpening(port, settings.times.opening_quiet_ms, wait_ms, opened, other);
}

// A Kermit sender opened: its transaction goes to a Kermit receiver, with
// the Send-Init heard, and its files are taken as --protocol kermit would.
static TransferResult ReceiveByKermit(PortHandle port, const RunSettings& settings,
                                      const OtherOpening* other) {
  printf("A Kermit sender opened a transfer: receiving by Kermit\n");
  fflush(stdout);
  KermitRun run = {nullptr, 0, 8};
  return ReceiveKermitFiles(port, run, settings.times, other != nullptr ? other->heard : nullptr,
                            other != nullptr ? other->length : 0);
}

// A ZMODEM sender opened: its batch goes to a ZMODEM receiver, which
// answers the ZRQINIT heard, as --protocol zmodem would take it.
static TransferResult ReceiveByZmodem(PortHandle port, const RunSettings& settings) {
  printf("A ZMODEM sender opened a transfer: receiving by ZMODEM\n");
  fflush(stdout);
  ZRun run = {nullptr, 0, settings.escape_all};
  return ReceiveZmodemFiles(port, run, settings.times, true);
}

TransferResult RecvFile(PortHandle port, const RunSettings& settings, SeenOpening* opened,
                        OtherOpening* other) {
  // The opening: waited for unless it was seen already, and answered.
  SeenOpening seen = *opened;
  *opened = SeenOpening::kNone;
  PortResult got = seen == SeenOpening::kNone ? AwaitSender(port, settings, kForEver, &seen, other)
                                              : PortResult::kDone;
  if (got == PortResult::kDone && seen == SeenOpening::kOther) {
    if (IsZmodemSenderOpening(other->heard, other->length)) return ReceiveByZmodem(port, settings);
    return ReceiveByKermit(port, settings, other);
  }
  bool streamed = seen == SeenOpening::kStream && !settings.classic_only;
  if (got == PortResult::kDone) got = WriteByte(port, streamed ? kReadyStream : kReady);
  // A sender puts its field on the line right after READY; silence means
  // the START came from noise or from a sender that has gone.
  uint8_t field[kNameFieldSize + 1] = {};
  if (got == PortResult::kDone) got = ReadNameField(port, field, settings.times.stall_limit_ms);
  if (got != PortResult::kDone) {
    return ReportEnding(nullptr, EndReading(got, settings.times.stall_limit_ms), false, nullptr);
  }
  // A name field after READY_STREAM: the preamble was noise. The stream
  // field after READY: a velcot sender that heard READY damaged into
  // READY_STREAM.
  if (!(streamed ? IsDamagedStreamField(field) : IsStreamField(field))) {
    return ReceiveClassicFile(port, reinterpret_cast<const char*>(field), settings.times, opened);
  }
  if (!settings.classic_only)
    return TellInterruption(port, ReceiveStreamedFile(port, settings, opened));
  // Not a file that cannot be created: receive mode goes on once the rest of
  // the offer has passed.
  fprintf(stderr, "Refusing a file offered in the streaming exchange: %s is set\n",
          kClassicVariable);
  return WriteByte(port, kDecline) == PortResult::kDone ? TransferResult::kNotStored
                                                        : TransferResult::kPortLost;
}
