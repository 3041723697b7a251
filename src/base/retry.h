// retry: how long a sender waits for an answer before it sends again, one
// policy for every exchange that times its answers: long at first, then
// twice the smoothed round trip, doubled at each silence up to half the
// stall limit.
#ifndef VELCOT_RETRY_H
#define VELCOT_RETRY_H

#include <cstdint>

// The answer is awaited this long at least.
constexpr uint32_t kRetryMinMs = 200;

// Until an answer has been timed: half the stall limit, which is at least
// two rounds of 1028 bytes at the line's speed, so the first window (two
// frames of 1024) is answered in time however slow the line.
uint32_t ComputeFirstRetry(uint32_t stall_limit_ms);

// An offer alone, with no data after it, is answered within an eighth of
// the stall limit (half a round of 1028 bytes) however slow the line, so a
// lost one goes again sooner.
uint32_t ComputeOfferRetry(uint32_t stall_limit_ms);

// The retry time once an answer took sample_ms, which goes into the
// smoothed round trip *srtt_ms (0: none yet).
uint32_t ComputeTimedRetry(uint32_t sample_ms, uint32_t* srtt_ms);

// The retry time after a silence: doubled, up to half the stall limit.
uint32_t ComputeLongerRetry(uint32_t retry_ms, uint32_t stall_limit_ms);

#endif
