// repeat: the compressed stream C of a session on the line, cut into
// segments ('d' frames: a transmission number, the low 32 bits of the C
// offset, C bytes) and answered with the receiver's state ('k': the last
// transmission it saw, the C offset up to which it has everything, and up
// to 16 ranges it holds beyond). The receiver keeps what arrives after a
// gap; the sender sends again only what a later transmission showed
// missing. The segment size follows the damage the line does.
#ifndef VELCOT_REPEAT_H
#define VELCOT_REPEAT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

struct ByteRange {
  uint64_t start, end;
};

constexpr size_t kRangesMax = 16;          // in one state
constexpr uint32_t kSegmentOverhead = 16;  // frame header, C offset, CRC-32
constexpr uint32_t kSegmentMin = 64;
constexpr uint32_t kSegmentMax = 8192;
constexpr uint32_t kSegmentStart = 1024;
constexpr uint64_t kSegmentWindowMax = 256 * 1024;  // C bytes unacknowledged
constexpr size_t kUnresolvedMax = 127;              // transmissions not yet judged
constexpr size_t kJudgedMax = 128;                  // judged ones the damage rate is read from
// What the receiver keeps after a gap: the largest window, and a segment.
constexpr size_t kKeptBytesMax = kSegmentWindowMax + kSegmentMax;
constexpr size_t kKeptSegmentsMax = 128;

// The full offset nearest to near whose low 32 bits are low.
uint64_t ExpandOffset(uint64_t near, uint32_t low);

// ---- the receiver ----

// Memory: at most kKeptBytesMax bytes of kept segments, in at most
// kKeptSegmentsMax pieces.
struct SegmentKeeper {
  uint64_t acked = 0;                             // every C byte before it taken
  std::map<uint64_t, std::vector<uint8_t>> kept;  // beyond a gap, by start, disjoint
  size_t kept_bytes = 0;
};

// Takes a whole segment of C at offset: appends to *taken the bytes that
// now continue C (its own, and kept ones that follow on), keeps what lies
// beyond a gap within the bounds (dropping what lies furthest on), drops
// what it holds already.
void TakeSegment(SegmentKeeper* keeper, uint64_t offset, const uint8_t* bytes, size_t size,
                 std::vector<uint8_t>* taken);

// The ranges held beyond acked, merged, the first kRangesMax of them.
size_t ListHeld(const SegmentKeeper& keeper, ByteRange* ranges);

// ---- the sender ----

struct Transmission {
  uint64_t number;  // every segment sent counts, new or again
  ByteRange bytes;
  std::chrono::steady_clock::time_point sent_at;
};

struct SegmentSender {
  uint64_t acked = 0;     // every C byte before it is at the receiver
  uint64_t sent_end = 0;  // every C byte before it went out at least once
  uint64_t next_number = 0;
  uint64_t told = 0;  // 1 + the newest transmission the receiver reported
  std::deque<Transmission> unresolved;
  std::vector<ByteRange> missing;  // to send again, in order
  std::vector<ByteRange> held;     // beyond acked at the receiver, as last told
  uint64_t window = 2 * kSegmentStart;
  uint32_t segment = kSegmentStart;
  uint64_t good_run = 0;  // C bytes acknowledged since the last loss
  // The last kJudgedMax transmissions judged: their length on the line,
  // lost or not.
  uint32_t judged_length[kJudgedMax] = {};
  bool judged_lost[kJudgedMax] = {};
  uint64_t judged = 0;
  int sends_at_acked = 0;  // segments sent from acked since it last moved
};

// The next segment to send, given made bytes of C: lost bytes first, then
// new ones within the window; false for none.
bool PickSegment(const SegmentSender& sender, uint64_t made, ByteRange* range);

// Notes a segment sent; its transmission number.
uint64_t NoteSegmentSent(SegmentSender* sender, ByteRange range,
                         std::chrono::steady_clock::time_point now);

// What a state told.
struct StateNews {
  uint64_t gained;  // C bytes newly acknowledged
  int arrived;      // transmissions judged arrived
  int lost;         // and lost
  bool timed;       // round_trip_ms holds the time of the transmission it answers
  uint32_t round_trip_ms;
};

// Takes the receiver's state: the last transmission it saw (mod 256), the
// low 32 bits of its acknowledged point, and the ranges it holds beyond
// (low 32 bits each). quick_max bounds the segment size where a segment
// would take too long at the rate so far.
StateNews TakeState(SegmentSender* sender, uint8_t last_seen, uint32_t acked_low,
                    const uint32_t* range_lows, size_t range_count, uint32_t quick_max,
                    std::chrono::steady_clock::time_point now);

// No useful state for the retry time: the first unacknowledged bytes go
// again, and the window halves.
void NoteSegmentSilence(SegmentSender* sender);

// The segment size for a share lost among transmissions of an average
// length on the line: the one whose goodput s / (s + h) x P(whole) is
// highest; kSegmentMax when none was lost.
uint32_t ComputeBestSegment(double lost_share, double average_length);

#endif
