#include "protocols/velcot/repeat.h"

#include <algorithm>
#include <cmath>
#include <iterator>

typedef std::chrono::steady_clock Clock;

uint64_t ExpandOffset(uint64_t near, uint32_t low) {
  const uint64_t kSpan = uint64_t(1) << 32;
  uint64_t candidate = (near & ~(kSpan - 1)) | low;
  if (candidate > near && candidate - near > kSpan / 2 && candidate >= kSpan)
    return candidate - kSpan;
  if (candidate < near && near - candidate > kSpan / 2) return candidate + kSpan;
  return candidate;
}

// ---- the receiver ----

// Keeps bytes at start, joined to a kept piece that ends where they begin.
static void KeepPiece(SegmentKeeper* k, uint64_t start, const uint8_t* bytes, size_t size) {
  auto next = k->kept.lower_bound(start);
  if (next != k->kept.begin()) {
    auto previous = std::prev(next);
    if (previous->first + previous->second.size() == start) {
      previous->second.insert(previous->second.end(), bytes, bytes + size);
      k->kept_bytes += size;
      return;
    }
  }
  k->kept.emplace(start, std::vector<uint8_t>(bytes, bytes + size));
  k->kept_bytes += size;
}

void TakeSegment(SegmentKeeper* k, uint64_t offset, const uint8_t* bytes, size_t size,
                 std::vector<uint8_t>* taken) {
  uint64_t end = offset + size;
  if (end <= k->acked) return;  // a copy
  if (offset <= k->acked) {
    taken->insert(taken->end(), bytes + (k->acked - offset), bytes + size);
    k->acked = end;
    while (!k->kept.empty() && k->kept.begin()->first <= k->acked) {
      auto first = k->kept.begin();
      uint64_t first_end = first->first + first->second.size();
      if (first_end > k->acked) {
        taken->insert(taken->end(), first->second.begin() + long(k->acked - first->first),
                      first->second.end());
        k->acked = first_end;
      }
      k->kept_bytes -= first->second.size();
      k->kept.erase(first);
    }
    return;
  }
  // Beyond a gap: the parts not held yet, between the pieces kept.
  uint64_t at = offset;
  auto next = k->kept.upper_bound(offset);
  if (next != k->kept.begin()) {
    auto previous = std::prev(next);
    at = std::max(at, previous->first + previous->second.size());
  }
  while (at < end) {
    uint64_t piece_end = next == k->kept.end() ? end : std::min(end, next->first);
    if (piece_end > at) KeepPiece(k, at, bytes + (at - offset), size_t(piece_end - at));
    if (next == k->kept.end()) break;
    at = std::max(at, next->first + next->second.size());
    next = k->kept.upper_bound(next->first);
  }
  while (k->kept_bytes > kKeptBytesMax || k->kept.size() > kKeptSegmentsMax) {
    auto last = std::prev(k->kept.end());
    k->kept_bytes -= last->second.size();
    k->kept.erase(last);
  }
}

size_t ListHeld(const SegmentKeeper& k, ByteRange* ranges) {
  size_t count = 0;
  for (const auto& piece : k.kept) {
    uint64_t end = piece.first + piece.second.size();
    if (count > 0 && ranges[count - 1].end == piece.first) {
      ranges[count - 1].end = end;
    } else if (count < kRangesMax) {
      ranges[count++] = {piece.first, end};
    } else {
      break;
    }
  }
  return count;
}

// ---- the sender ----

// Takes away from ranges (in order, disjoint) the bytes of cut.
static void Subtract(std::vector<ByteRange>* ranges, ByteRange cut) {
  std::vector<ByteRange> left;
  for (const ByteRange& r : *ranges) {
    if (r.end <= cut.start || r.start >= cut.end) {
      left.push_back(r);
      continue;
    }
    if (r.start < cut.start) left.push_back({r.start, cut.start});
    if (r.end > cut.end) left.push_back({cut.end, r.end});
  }
  ranges->swap(left);
}

// Adds a range to ranges (in order, disjoint), merging.
static void Add(std::vector<ByteRange>* ranges, ByteRange add) {
  if (add.start >= add.end) return;
  ranges->push_back(add);
  std::sort(ranges->begin(), ranges->end(),
            [](const ByteRange& a, const ByteRange& b) { return a.start < b.start; });
  std::vector<ByteRange> merged;
  for (const ByteRange& r : *ranges) {
    if (!merged.empty() && r.start <= merged.back().end) {
      merged.back().end = std::max(merged.back().end, r.end);
    } else {
      merged.push_back(r);
    }
  }
  ranges->swap(merged);
}

// The parts of bytes not below acked nor in held.
static std::vector<ByteRange> FindUncovered(ByteRange bytes, uint64_t acked,
                                            const std::vector<ByteRange>& held) {
  std::vector<ByteRange> parts = {{std::max(bytes.start, acked), bytes.end}};
  if (parts[0].start >= parts[0].end) return {};
  for (const ByteRange& h : held)
    Subtract(&parts, h);
  return parts;
}

bool PickSegment(const SegmentSender& s, uint64_t made, ByteRange* range) {
  bool room = s.unresolved.size() < kUnresolvedMax;
  for (const ByteRange& m : s.missing) {
    uint64_t start = std::max(m.start, s.acked);
    if (start >= m.end) continue;
    // The first bytes unacknowledged go after a silence whatever is in flight.
    if (!room && start != s.acked) return false;
    *range = {start, std::min(m.end, start + s.segment)};
    return true;
  }
  if (!room || s.sent_end >= made || s.sent_end - s.acked >= s.window) return false;
  *range = {s.sent_end, std::min(made, s.sent_end + s.segment)};
  return true;
}

uint64_t NoteSegmentSent(SegmentSender* s, ByteRange range, Clock::time_point now) {
  if (range.start == s->acked) s->sends_at_acked++;
  Subtract(&s->missing, range);
  s->sent_end = std::max(s->sent_end, range.end);
  s->unresolved.push_back({s->next_number, range, now});
  return s->next_number++;
}

uint32_t ComputeBestSegment(double lost_share, double average_length) {
  if (lost_share <= 0 || average_length <= 0) return kSegmentMax;
  double lambda = -std::log(1 - std::min(lost_share, 0.9)) / average_length;
  double h = kSegmentOverhead;
  double best = (std::sqrt(h * h + 4 * h / lambda) - h) / 2;
  return uint32_t(std::max<double>(kSegmentMin, std::min<double>(kSegmentMax, best)));
}

static void Judge(SegmentSender* s, const Transmission& t, bool lost) {
  size_t at = size_t(s->judged % kJudgedMax);
  s->judged_length[at] = uint32_t(t.bytes.end - t.bytes.start) + kSegmentOverhead;
  s->judged_lost[at] = lost;
  s->judged++;
}

// The best segment for the damage rate the newest count transmissions
// judged show. One loss alone is no rate: only the losses beyond the first
// count, so an isolated loss costs at most the early halving below.
static uint32_t FindBestSegment(const SegmentSender& s, size_t count) {
  double length = 0;
  size_t lost = 0;
  for (size_t back = 1; back <= count; back++) {
    size_t at = size_t((s.judged - back) % kJudgedMax);
    length += s.judged_length[at];
    lost += s.judged_lost[at] ? 1 : 0;
  }
  double rate_share = double(lost > 0 ? lost - 1 : 0) / double(count);
  return ComputeBestSegment(rate_share, length / double(count));
}

// Shrinks the segment to what the damage rate allows, at once; grows it by
// doubling after eight segments' worth acknowledged without a loss, within
// that and quick_max. Until 16 transmissions are judged, a loss halves it.
// The rate is the higher of the last 16 transmissions' (a line that turns
// bad shows there at once) and the last kJudgedMax's (a sparse rate needs
// that many to show).
static void AdaptSegment(SegmentSender* s, bool lost, uint32_t quick_max) {
  if (lost) {
    s->good_run = 0;
    if (s->judged <= 16) s->segment = std::max(kSegmentMin, s->segment / 2);
  }
  uint32_t best = kSegmentMax;
  if (s->judged > 16) {
    size_t all = size_t(std::min<uint64_t>(s->judged, kJudgedMax));
    best = std::min(FindBestSegment(*s, 16), FindBestSegment(*s, all));
    s->segment = std::min(s->segment, best);
  }
  uint32_t grown = std::min({kSegmentMax, 2 * s->segment, best, quick_max});
  if (s->good_run >= 8ull * s->segment && grown > s->segment) {
    s->segment = grown;
    s->good_run = 0;
  }
}

// Every byte before sent_end is acknowledged, held, to be sent again or in
// flight; bytes the receiver said it held and holds no more (it drops what
// lies furthest on when its memory is full) go again.
static void RecoverDropped(SegmentSender* s) {
  uint64_t limit = s->held.size() == kRangesMax ? s->held.back().end : s->sent_end;
  std::vector<ByteRange> gone = {{s->acked, limit}};
  if (s->acked >= limit) return;
  for (const std::vector<ByteRange>* ranges : {&s->held, &s->missing}) {
    for (const ByteRange& r : *ranges)
      Subtract(&gone, r);
  }
  for (const Transmission& t : s->unresolved)
    Subtract(&gone, t.bytes);
  for (const ByteRange& r : gone)
    Add(&s->missing, r);
}

StateNews TakeState(SegmentSender* s, uint8_t last_seen, uint32_t acked_low,
                    const uint32_t* range_lows, size_t range_count, uint32_t quick_max,
                    Clock::time_point now) {
  StateNews news = {};
  uint64_t acked = ExpandOffset(s->acked, acked_low);
  if (acked > s->acked && acked <= s->sent_end) {
    news.gained = acked - s->acked;
    s->acked = acked;
    s->sends_at_acked = 0;
    s->window = std::min(kSegmentWindowMax, s->window + news.gained);
    s->good_run += news.gained;
  }
  // The transmission it answers: the newest sent with that number. An
  // answer older than one already taken tells nothing new.
  bool fresh = false;
  uint64_t answered = 0;
  if (s->next_number > 0) {
    uint64_t newest = s->next_number - 1;
    uint64_t back = uint8_t(uint8_t(newest) - last_seen);
    fresh = back <= newest && newest - back + 1 >= s->told;
    answered = newest - back;
  }
  if (fresh) {
    s->told = answered + 1;
    s->held.clear();
    for (size_t i = 0; i < range_count; i++) {
      ByteRange r = {ExpandOffset(s->acked, range_lows[2 * i]),
                     ExpandOffset(s->acked, range_lows[2 * i + 1])};
      r.start = std::max(r.start, s->acked);
      r.end = std::min(r.end, s->sent_end);
      if (r.start < r.end && (s->held.empty() || r.start >= s->held.back().end)) {
        s->held.push_back(r);
      }
    }
  }
  for (auto it = s->unresolved.begin(); it != s->unresolved.end();) {
    const Transmission& t = *it;
    std::vector<ByteRange> uncovered = FindUncovered(t.bytes, s->acked, s->held);
    bool judged = uncovered.empty() || (fresh && t.number <= answered);
    // With all ranges listed, bytes above the last are not told of.
    bool untold = s->held.size() == kRangesMax && t.bytes.start >= s->held.back().end;
    if (!judged || (!uncovered.empty() && untold)) {
      ++it;
      continue;
    }
    if (uncovered.empty()) {
      news.arrived++;
      if (fresh && t.number == answered) {
        news.timed = true;
        news.round_trip_ms = uint32_t(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - t.sent_at).count());
      }
    } else {
      news.lost++;
      for (const ByteRange& r : uncovered)
        Add(&s->missing, r);
    }
    Judge(s, t, !uncovered.empty());
    it = s->unresolved.erase(it);
  }
  Subtract(&s->missing, {0, s->acked});
  for (const ByteRange& h : s->held)
    Subtract(&s->missing, h);
  if (fresh) RecoverDropped(s);
  AdaptSegment(s, news.lost > 0, quick_max);
  return news;
}

void NoteSegmentSilence(SegmentSender* s) {
  if (s->acked < s->sent_end) {
    Add(&s->missing, {s->acked, std::min(s->sent_end, s->acked + s->segment)});
  }
  s->window = std::max<uint64_t>(2 * s->segment, s->window / 2);
}
