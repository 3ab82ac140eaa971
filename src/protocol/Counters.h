#pragma once
// Counters shared between the UI thread and the transports' threads.

#include <atomic>
#include <cstdint>

namespace nimbrel::protocol {

// Lowers the counter by one, never below zero, as one atomic step.
inline void CountDown(std::atomic<std::int32_t>& counter) {
  std::int32_t cur = counter.load();
  while (cur > 0 && !counter.compare_exchange_weak(cur, cur - 1)) {
  }
}

}  // namespace nimbrel::protocol
