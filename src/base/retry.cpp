#include "base/retry.h"

#include <algorithm>

uint32_t ComputeFirstRetry(uint32_t stall_limit_ms) {
  return std::max<uint32_t>(2000, stall_limit_ms / 2);
}

uint32_t ComputeOfferRetry(uint32_t stall_limit_ms) {
  return std::max<uint32_t>(2000, stall_limit_ms / 8);
}

uint32_t ComputeTimedRetry(uint32_t sample_ms, uint32_t* srtt_ms) {
  *srtt_ms = *srtt_ms == 0 ? sample_ms : (7 * *srtt_ms + sample_ms) / 8;
  return std::max<uint32_t>(kRetryMinMs, 2 * *srtt_ms + 100);
}

uint32_t ComputeLongerRetry(uint32_t retry_ms, uint32_t stall_limit_ms) {
  return std::min<uint32_t>(std::max<uint32_t>(stall_limit_ms / 2, kRetryMinMs), 2 * retry_ms);
}
