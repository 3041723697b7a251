#include "base/outcome.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "base/wire.h"

namespace {

// Each reason's result and, where its message is "Gave up WHAT: PHRASE",
// the phrase when receiving and when sending; in the order of Reason.
struct ReasonRow {
  Reason reason;
  TransferResult result;
  const char* receiving;
  const char* sending;
};

}  // namespace

static constexpr ReasonRow kReasons[] = {
    {Reason::kDone, TransferResult::kDone, nullptr, nullptr},
    {Reason::kPortLost, TransferResult::kPortLost, nullptr, nullptr},
    {Reason::kDeclined, TransferResult::kDeclined, nullptr, nullptr},
    {Reason::kSilent, TransferResult::kStalled, nullptr, nullptr},
    {Reason::kNoProgress, TransferResult::kStalled, nullptr, nullptr},
    {Reason::kRefused, TransferResult::kRefused, "a block failed its check",
     "the receiver refused a block"},
    {Reason::kWentOn, TransferResult::kOutOfStep, "another block came where a refused one was due",
     nullptr},
    {Reason::kMoreAfterLast, TransferResult::kOutOfStep,
     "more came after its last block; the sender was out of step", nullptr},
    {Reason::kWithdrawn, TransferResult::kWithdrawn, nullptr, nullptr},
    {Reason::kCancelled, TransferResult::kNotStored, "the sender could not read it whole", nullptr},
    {Reason::kCheckFailed, TransferResult::kNotStored, "the whole-file check failed",
     "the copy received failed the whole-file check"},
    {Reason::kWriteFailed, TransferResult::kNotStored, nullptr, "the receiver could not store it"},
    {Reason::kStartedAgain, TransferResult::kNotStored, "the sender started again", nullptr},
    {Reason::kPeerCancelled, TransferResult::kNotStored, "the sender cancelled it",
     "the receiver cancelled it"},
    {Reason::kNotAsAnnounced, TransferResult::kNotStored,
     "its data did not come to the size announced", nullptr},
    {Reason::kBrokeProtocol, TransferResult::kOutOfStep, "the sender broke the protocol",
     "the receiver broke the protocol"},
    {Reason::kPeerInterrupted, TransferResult::kPeerInterrupted, "the sender was interrupted",
     "the receiver was interrupted"},
};

static constexpr bool IsInReasonOrder(size_t i = 0) {
  return i == std::size(kReasons) ? i == size_t(Reason::kPeerInterrupted) + 1
                                  : size_t(kReasons[i].reason) == i && IsInReasonOrder(i + 1);
}
static_assert(IsInReasonOrder(), "a row for every reason, in order");

Ending EndReading(PortResult got, uint32_t limit_ms) {
  if (got == PortResult::kTimedOut) return {Reason::kSilent, 0, limit_ms};
  return {Reason::kPortLost};
}

TransferResult ReportEnding(ProgressLine* line, const Ending& ending, bool sending,
                            const char* shown) {
  if (line != nullptr) EndProgress(line);
  // The name may come from the peer or the disk: a terminal must not act on it.
  std::string escaped = shown != nullptr ? EscapeForConsole(shown) : "";
  if (shown != nullptr) shown = escaped.c_str();
  const ReasonRow& row = kReasons[int(ending.reason)];
  const char* phrase = sending ? row.sending : row.receiving;
  std::string what = std::string(sending ? "sending " : "receiving ") +
                     (shown != nullptr ? shown : "an announced file");
  if (ending.reason == Reason::kDeclined && !ending.why.empty()) {
    printf("file %s declined by receiver: %s\n", shown,
           EscapeForConsole(ending.why.c_str()).c_str());
  } else if (ending.reason == Reason::kDeclined) {
    printf("file %s declined by receiver\n", shown);
  } else if (ending.reason == Reason::kSilent || ending.reason == Reason::kNoProgress) {
    fprintf(stderr, "Gave up %s: the %s %s for %lu s\n", what.c_str(),
            sending ? "receiver" : "sender",
            ending.reason == Reason::kSilent ? "was silent" : "made no progress",
            static_cast<unsigned long>((uint64_t(ending.limit_ms) + 999) / 1000));
  } else if (ending.reason == Reason::kRefused) {
    fprintf(stderr, "Gave up %s: %s %d times in a row\n", what.c_str(), phrase, kMaxRefusals);
  } else if (ending.reason == Reason::kPeerInterrupted && !sending && ending.error != 0) {
    fprintf(stderr,
            "Gave up %s: %s; the part received is kept, and goes on when it is sent again\n",
            what.c_str(), phrase);
  } else if (phrase != nullptr) {
    fprintf(stderr, "Gave up %s: %s\n", what.c_str(), phrase);
  } else if (ending.reason == Reason::kWriteFailed) {
    fprintf(stderr, "Couldn't write %s: %s\n", shown, strerror(ending.error));
  } else if (ending.reason == Reason::kWithdrawn || ending.reason == Reason::kCancelled) {
    if (ending.error != kEndedEarly) {
      fprintf(stderr, "Gave up sending %s: reading it failed: %s\n", shown, strerror(ending.error));
    } else {
      fprintf(stderr, "Gave up sending %s: it changed while being sent\n", shown);
    }
  }
  return row.result;
}
