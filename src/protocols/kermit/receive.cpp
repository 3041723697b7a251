// The receiving end of a Kermit transaction: it answers Send-Init, then
// takes each file's header, attributes, data and end in order, from a
// sliding window that holds what came ahead of a lost packet, until the end
// of the batch.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/progress.h"
#include "files/names.h"
#include "files/store.h"
#include "protocols/kermit/kermit.h"
#include "protocols/kermit/link.h"

using Clock = std::chrono::steady_clock;

// A receiver that hears no Send-Init within this long gives up; until then
// it asks for one every kInitNakMs, as a waiting Kermit receiver does.
constexpr uint32_t kFirstPacketMs = 60000;
constexpr uint32_t kInitNakMs = 5000;

namespace {

// The file being received.
struct InFile {
  bool open = false;     // its header came, its end not yet
  bool refused = false;  // it is not stored: its data is passed over, and answered X
  std::string name;      // as received
  std::string shown;     // as messages name it
  bool in_folder = false;
  StoreFolder folder;
  std::string leaf;
  ReceivedFile received = {nullptr, ""};
  KermitFileFacts facts;
  uint64_t written = 0;
  int after_refusal = 0;  // data packets that came since it was refused
  ProgressLine line = {"", 0};
};

struct KermitReceiver {
  KermitLink link;
  int expected = 0;  // the lowest sequence number not yet taken
  int reach = 0;     // from expected, the sequence numbers come or asked for again
  std::vector<KermitPacket> slots = std::vector<KermitPacket>(64);
  std::vector<bool> held = std::vector<bool>(64);
  std::vector<bool> answered = std::vector<bool>(64);  // a data packet answered ahead of its turn
  std::vector<KermitBytes> answers = std::vector<KermitBytes>(64);  // the answer sent to each
  InFile file;
  bool failed = false;    // a file was not stored
  bool ended = false;     // the transaction is over
  Ending ending;          // why, when not at the end of the batch
  std::string peer_said;  // the sender's Error packet, escaped
  bool said = false;      // why it ended was said already
  Clock::time_point moved = Clock::now();
  bool heard = false;  // something came since the window last moved
};

}  // namespace

static bool Answer(KermitReceiver* r, int seq, uint8_t type, const KermitBytes& data, int check) {
  KermitPacket packet;
  packet.seq = seq;
  packet.type = type;
  packet.data = data;
  KermitBytes wire = FormKermitWire(r->link, packet, check);
  if (type == 'Y') r->answers[size_t(seq)] = wire;
  if (PutKermitWire(&r->link, wire) == PortResult::kDone) return true;
  r->ended = true;
  r->ending = {Reason::kPortLost};
  return false;
}

static bool Acknowledge(KermitReceiver* r, int seq, const char* data) {
  KermitBytes field(data, data + strlen(data));
  return Answer(r, seq, 'Y', field, r->link.agreed.check);
}

static void AskAgain(KermitReceiver* r, int seq) {
  Answer(r, seq, 'N', {}, r->link.agreed.check);
}

// Ends the transaction: the other end broke the protocol, or this end gave up.
static void EndTransaction(KermitReceiver* r, Ending ending) {
  r->ended = true;
  r->ending = ending;
}

// ---- one file ----

static void DropFile(InFile* file) {
  if (file->received.file == nullptr) return;
  if (file->in_folder) {
    DiscardFileIn(file->folder, &file->received);
  } else {
    DiscardFile(&file->received);
  }
  file->received.file = nullptr;
}

static void CloseFile(InFile* file) {
  DropFile(file);
  if (file->in_folder) CloseItemFolder(&file->folder);
  file->open = false;
}

// The file is not stored, for the reason given: reported now, its data
// passed over from here on.
static void RefuseFile(KermitReceiver* r, const Ending& ending) {
  InFile& file = r->file;
  file.refused = true;
  r->failed = true;
  DropFile(&file);
  ReportEnding(&file.line, ending, false, file.shown.c_str());
}

// The file header: a name that passes the rules opens the temporary file
// it will become; another is refused (in the answer to the attributes, or
// to its data).
static void TakeName(KermitReceiver* r, const KermitPacket& packet) {
  KermitBytes decoded;
  bool readable =
      DecodeKermitData(r->link.agreed.in, packet.data.data(), packet.data.size(), &decoded);
  InFile& file = r->file;
  file = InFile();
  file.open = true;
  file.name.assign(decoded.begin(), decoded.end());
  file.shown = EscapeForConsole(file.name.c_str());
  file.line = {file.name.c_str(), 0};
  bool opened = false;
  if (!readable || file.name.empty() || file.name.find('\0') != std::string::npos) {
    ReportRefusedName(file.name.c_str());
  } else if (file.name.find('/') != std::string::npos) {
    // A path, as C-Kermit sends a folder's files: the rules of velcot's
    // own folders; a folder's own name is no file.
    file.in_folder = true;
    if (OpenItemFolder(file.name.c_str(), &file.folder, &file.leaf)) {
      if (file.leaf.empty()) ReportRefusedName(file.name.c_str());
      opened =
          !file.leaf.empty() && OpenFileToStoreIn(file.folder, file.leaf.c_str(), &file.received);
    }
  } else {
    opened = OpenFileToStore(file.name.c_str(), false, &file.received);
  }
  if (!opened) {
    file.refused = true;
    r->failed = true;
  }
}

static void TakeAttributes(KermitReceiver* r, const KermitPacket& packet) {
  InFile& file = r->file;
  ReadKermitAttributes(packet.data.data(), packet.data.size(), &file.facts);
  if (file.facts.sized) file.line.total = file.facts.size;
  if (file.facts.size_invalid && !file.refused) RefuseFile(r, {Reason::kNotAsAnnounced});
}

// A data packet's bytes go to the file, up to the size announced.
static void TakeData(KermitReceiver* r, const KermitPacket& packet) {
  InFile& file = r->file;
  if (file.refused) {
    // The sender was told to stop: a window's worth may still come.
    if (++file.after_refusal > 2 * r->link.agreed.window + 8) {
      EndTransaction(r, {Reason::kMoreAfterLast});
    }
    return;
  }
  KermitBytes data;
  if (!DecodeKermitData(r->link.agreed.in, packet.data.data(), packet.data.size(), &data)) {
    EndTransaction(r, {Reason::kBrokeProtocol});
    return;
  }
  // Sent as text a file's line ends change on the way, and so its size.
  bool exact = file.facts.sized && !file.facts.text;
  if (exact && data.size() > file.facts.size - file.written) {
    RefuseFile(r, {Reason::kNotAsAnnounced});
    return;
  }
  if (file.written == 0) DrawProgress(&file.line, 0, false);
  int failed = WriteFileBytes(file.received.file, data.data(), data.size());
  if (failed != 0) {
    RefuseFile(r, {Reason::kWriteFailed, failed});
    return;
  }
  file.written += data.size();
  if (!file.facts.sized) file.line.total = file.written;  // a size unknown grows
  PaceProgress(&file.line, file.written, false);
}

// Puts the file's data, time and mode on the disk and moves it into place.
static int StoreWholeFile(InFile* file) {
  FILE* f = file->received.file;
  int failed = 0;
  if (file->facts.timed) {
    struct stat info;
    uint32_t mode = file->facts.moded              ? file->facts.mode
                    : fstat(fileno(f), &info) == 0 ? uint32_t(info.st_mode & 0777)
                                                   : 0644;
    failed = ApplyFileFacts(f, file->facts.mtime, mode);
  }
  if (failed == 0) failed = SyncFile(f);
  if (failed != 0) return failed;
  failed = file->in_folder ? StoreFileIn(file->folder, &file->received, file->leaf.c_str())
                           : StoreFile(&file->received, file->name.c_str());
  file->received.file = nullptr;
  return failed;
}

// The file's end: stored when it came whole and as announced, else dropped.
static void EndFile(KermitReceiver* r, const KermitPacket& packet) {
  InFile& file = r->file;
  bool discard = !packet.data.empty() && packet.data[0] == 'D';
  if (file.refused) {
    // Reported when refused.
  } else if (discard) {
    RefuseFile(r, {Reason::kPeerCancelled});
  } else if (file.facts.sized && !file.facts.text && file.written != file.facts.size) {
    RefuseFile(r, {Reason::kNotAsAnnounced});
  } else {
    int failed = StoreWholeFile(&file);
    if (failed != 0) {
      RefuseFile(r, {Reason::kWriteFailed, failed});
    } else {
      PaceProgress(&file.line, file.written, true);
      ReportEnding(&file.line, {Reason::kDone}, false, file.shown.c_str());
    }
  }
  CloseFile(&file);
}

// ---- the window ----

// Takes one packet in its turn, and answers it.
static void TakePacket(KermitReceiver* r, int seq, const KermitPacket& packet) {
  InFile& file = r->file;
  uint8_t type = packet.type;
  bool in_file = type == 'A' || type == 'D' || type == 'Z';
  if ((in_file && !file.open) || (type == 'F' && file.open)) {
    EndTransaction(r, {Reason::kBrokeProtocol});
    return;
  }
  if (type == 'F') {
    TakeName(r, packet);
    Acknowledge(r, seq, "");
  } else if (type == 'A') {
    TakeAttributes(r, packet);
    // Refused in its attributes, a file is not sent.
    Acknowledge(r, seq, file.refused ? "N" : "");
  } else if (type == 'D') {
    TakeData(r, packet);
    if (!r->answered[size_t(seq)] && !r->ended) Acknowledge(r, seq, file.refused ? "X" : "");
  } else if (type == 'Z') {
    EndFile(r, packet);
    Acknowledge(r, seq, "");
  } else if (type == 'B') {
    if (file.open) {
      EndTransaction(r, {Reason::kBrokeProtocol});
      return;
    }
    Acknowledge(r, seq, "");
    r->ended = true;
  } else {
    // Server commands, text to show, a second Send-Init: velcot takes files.
    EndTransaction(r, {Reason::kBrokeProtocol});
  }
}

// A packet that came whole: taken in turn with those held ahead of it; one
// ahead of a lost packet held, and every one missing before it asked for
// again; one answered already answered again.
static void HearPacket(KermitReceiver* r, const KermitPacket& packet) {
  r->heard = true;
  if (packet.type == 'E') {
    r->peer_said = ReadKermitError(r->link, packet);
    EndTransaction(r, {Reason::kPeerCancelled});
    return;
  }
  int window = r->link.agreed.window;
  int ahead = CountKermitSeqs(r->expected, packet.seq);
  if (ahead >= window) {
    int behind = CountKermitSeqs(packet.seq, r->expected);
    if (behind >= 1 && behind <= window) {
      const KermitBytes& answer = r->answers[size_t(packet.seq)];
      if (!answer.empty() && PutKermitWire(&r->link, answer) != PortResult::kDone) {
        EndTransaction(r, {Reason::kPortLost});
      }
    }
    return;
  }
  size_t at = size_t(packet.seq);
  if (r->held[at]) {
    if (packet.type == 'D') Acknowledge(r, packet.seq, r->file.refused ? "X" : "");
    return;
  }
  r->held[at] = true;
  r->slots[at] = packet;
  for (int m = r->reach; m < ahead; m++) {
    int missing = (r->expected + m) & 63;
    if (!r->held[size_t(missing)]) AskAgain(r, missing);
  }
  r->reach = std::max(r->reach, ahead + 1);
  if (ahead > 0 && packet.type == 'D') {
    r->answered[at] = Acknowledge(r, packet.seq, r->file.refused ? "X" : "");
  }
  while (!r->ended && r->held[size_t(r->expected)]) {
    int seq = r->expected;
    r->held[size_t(seq)] = false;
    r->expected = NextKermitSeq(seq);
    r->reach = std::max(0, r->reach - 1);
    r->moved = Clock::now();
    r->heard = false;
    TakePacket(r, seq, r->slots[size_t(seq)]);
    r->answered[size_t(seq)] = false;
  }
}

// ---- the transaction ----

// Waits for Send-Init, asking for it now and then, and answers it with
// what this end takes: false when none came in time.
static bool AwaitSendInit(KermitReceiver* r) {
  auto start = Clock::now();
  uint32_t nak_at = 0;
  KermitPacket packet;
  for (;;) {
    uint32_t waited = MillisecondsSince(start);
    if (waited >= kFirstPacketMs) {
      fprintf(stderr, "No Kermit sender began a transfer within %lu s\n",
              static_cast<unsigned long>(kFirstPacketMs / 1000));
      EndTransaction(r, {Reason::kSilent, 0, kFirstPacketMs});
      r->said = true;
      return false;
    }
    if (waited >= nak_at) {
      AskAgain(r, 0);
      nak_at = waited + kInitNakMs;
    }
    KermitHeard h = HearKermitPacket(&r->link, nak_at - waited, &packet);
    if (h == KermitHeard::kLost) {
      EndTransaction(r, {Reason::kPortLost});
      return false;
    }
    if (h == KermitHeard::kDamaged) nak_at = waited;
    if (h != KermitHeard::kPacket) continue;
    if (packet.type == 'E') {
      HearPacket(r, packet);
      return false;
    }
    if (packet.type == 'S') break;
  }
  KermitInit theirs = ReadKermitInit(packet.data.data(), packet.data.size());
  // The sender proposes; velcot takes its check, repeat prefix and 8th-bit
  // prefix, and asks for the 8th bit prefixed on a 7-bit line.
  KermitInit ours = FormOwnKermitInit(r->link);
  ours.chkt = theirs.chkt != 0 ? theirs.chkt : 1;
  ours.rept = theirs.rept;
  bool named = theirs.qbin != 'Y' && theirs.qbin != 'N' && theirs.qbin != ' ';
  ours.qbin = r->link.seven_bit ? (named ? theirs.qbin : '&') : 'Y';
  TakeKermitAgreement(&r->link, ours, theirs, false, ListPacketControls());
  Answer(r, packet.seq, 'Y', FormKermitInit(ours), 1);
  r->expected = NextKermitSeq(packet.seq);
  if (r->link.seven_bit && !r->link.agreed.eighth_bit) {
    fprintf(stderr, "The line carries 7 bits and the sender does not prefix the 8th\n");
    EndTransaction(r, {Reason::kRefused});
    r->said = true;
    return false;
  }
  return !r->ended;
}

// Ends a transaction that did not reach the end of the batch: the file
// under way dropped and reported, and the sender told (an Error packet),
// unless it ended it.
static void GiveUp(KermitReceiver* r) {
  InFile& file = r->file;
  EndProgress(&file.line);
  if (!r->peer_said.empty()) fprintf(stderr, "The sender said: %s\n", r->peer_said.c_str());
  bool reported = (file.open && file.refused) || r->said;
  Ending ending = r->ending;
  if (!reported && ending.reason != Reason::kPortLost) {
    ReportEnding(file.open ? &file.line : nullptr, ending, false,
                 file.open ? file.shown.c_str() : nullptr);
  }
  CloseFile(&file);
  if (ending.reason == Reason::kPortLost) {
    if (GetInterruption() != 0) SayKermitLastWords(&r->link, r->expected, false);
  } else if (ending.reason != Reason::kPeerCancelled) {
    PutKermitWire(&r->link, FormKermitError(r->link, r->expected, "velcot gave up the transfer"));
  }
}

TransferResult ReceiveKermitFiles(PortHandle port, const KermitRun& run, const LineTimes& times,
                                  const uint8_t* heard, size_t heard_length) {
  if (run.data_bits < 7) {
    fprintf(stderr, "Kermit needs 7 or 8 data bits\n");
    return TransferResult::kNotStored;
  }
  KermitReceiver r;
  r.link = OpenKermitLink(port, times, run.data_bits == 7);
  if (heard != nullptr) r.link.held.assign(heard, heard + heard_length);
  if (AwaitSendInit(&r)) {
    int refusals = 0;
    while (!r.ended) {
      if (MillisecondsSince(r.moved) >= r.link.stall_ms) {
        EndTransaction(&r, {r.heard ? Reason::kNoProgress : Reason::kSilent, 0, r.link.stall_ms});
        break;
      }
      KermitPacket packet;
      KermitHeard h = HearKermitPacket(&r.link, r.link.reply_ms, &packet);
      if (h == KermitHeard::kLost) {
        EndTransaction(&r, {Reason::kPortLost});
      } else if (h == KermitHeard::kPacket) {
        refusals = 0;
        HearPacket(&r, packet);
      } else if (h == KermitHeard::kDamaged && ++refusals >= kMaxRefusals) {
        EndTransaction(&r, {Reason::kRefused});
      } else {
        // Damaged, or nothing in the sender's time: the oldest missing again.
        if (h == KermitHeard::kDamaged) r.heard = true;
        r.file.line.error = r.file.line.error || h == KermitHeard::kDamaged;
        AskAgain(&r, r.expected);
      }
    }
  }
  bool whole = r.ending.reason == Reason::kDone && !r.file.open;
  if (!whole) GiveUp(&r);
  // The last answer (to the end of the batch, or an Error packet) on its way
  // before the run goes on.
  if (GetInterruption() == 0) FlushPort(port);
  if (r.ending.reason == Reason::kPortLost) return TransferResult::kPortLost;
  return whole && !r.failed ? TransferResult::kDone : TransferResult::kNotStored;
}
