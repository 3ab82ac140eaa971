#include "platform/EventLoop.h"

#include <cstdio>

namespace nimbrel::platform {

void InFlight::Add(std::int64_t n) {
  std::lock_guard lock(mutex_);
  count_ += n;
}

void InFlight::Done(std::int64_t n) {
  std::lock_guard lock(mutex_);
  count_ -= n;
  if (count_ <= 0) idle_.notify_all();
}

std::int64_t InFlight::Count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

bool InFlight::WaitIdleOr(const std::function<bool()>& ready, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, timeout, [&] { return count_ <= 0 || ready(); });
}

void InFlight::Notify() const {
  std::lock_guard lock(mutex_);
  idle_.notify_all();
}

void EventLoop::Guard(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    HandleError(e);
  }
}

void EventLoop::HandleError(const std::exception& e) {
  if (errorHandler_) {
    errorHandler_(e);
  } else {
    std::fprintf(stderr, "unhandled error: %s\n", e.what());
  }
}

}  // namespace nimbrel::platform
