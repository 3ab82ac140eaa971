#pragma once
// The simulator's work-in-flight accounting, forwarded to an event loop's
// InFlight counter: with it the virtual clock waits for the simulator's
// threads, so tests against the simulator over loopback run in virtual time.

#include "nimbrel_sim/WorkTracker.h"
#include "platform/EventLoop.h"

namespace nimbrel::testing {

class SimTracker final : public sim::WorkTracker {
 public:
  explicit SimTracker(platform::InFlight& inFlight) : inFlight_(inFlight) {}
  void Add(std::int64_t n) override { inFlight_.Add(n); }
  void Done(std::int64_t n) override { inFlight_.Done(n); }

 private:
  platform::InFlight& inFlight_;
};

}  // namespace nimbrel::testing
