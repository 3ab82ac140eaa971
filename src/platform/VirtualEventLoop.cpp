#include "platform/VirtualEventLoop.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>

#include "platform/DateTime.h"

namespace nimbrel::platform {

struct VirtualEventLoop::Invocation {
  std::function<void()> work;
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool ran = false;
};

class VirtualEventLoop::VirtualTimer final : public Timer {
 public:
  VirtualTimer(VirtualEventLoop& loop, std::function<void()> onTick)
      : loop_(loop), onTick_(std::move(onTick)) {
    loop_.timers_.push_back(this);
  }
  ~VirtualTimer() override {
    auto& t = loop_.timers_;
    t.erase(std::remove(t.begin(), t.end(), this), t.end());
  }
  void SetInterval(int ms) override {
    interval_ = ms;
    if (running_) Arm();
  }
  int Interval() const override { return interval_; }
  void Start() override {
    running_ = true;
    Arm();
  }
  void Stop() override { running_ = false; }
  bool Running() const override { return running_; }

  bool Armed() const { return running_ && interval_ > 0; }
  std::int64_t deadline() const { return deadline_; }
  std::uint64_t order() const { return order_; }
  void Fire() {
    Arm();
    loop_.Guard(onTick_);
  }

 private:
  void Arm() {
    deadline_ = loop_.now_ + interval_;
    order_ = loop_.nextOrder_++;
  }

  VirtualEventLoop& loop_;
  std::function<void()> onTick_;
  int interval_ = 1000;
  bool running_ = false;
  std::int64_t deadline_ = 0;
  std::uint64_t order_ = 0;
};

VirtualEventLoop::VirtualEventLoop(LocalDateTime start)
    : startEpochMs_(ToEpochMs(start)), uiThread_(std::this_thread::get_id()) {}

VirtualEventLoop::~VirtualEventLoop() { Shutdown(); }

std::unique_ptr<Timer> VirtualEventLoop::CreateTimer(std::function<void()> onTick) {
  return std::make_unique<VirtualTimer>(*this, std::move(onTick));
}

bool VirtualEventLoop::Post(std::function<void()> work, std::int64_t releaseInFlight) {
  bool queued = false;
  {
    std::lock_guard lock(mutex_);
    if (!shutdown_) {
      auto inv = std::make_shared<Invocation>();
      inv->work = std::move(work);
      queue_.push_back(std::move(inv));
      queued = true;
    }
  }
  if (releaseInFlight != 0) inFlight().Done(releaseInFlight);
  inFlight().Notify();
  return queued;
}

bool VirtualEventLoop::Invoke(std::function<void()> work, std::int64_t releaseInFlight) {
  if (std::this_thread::get_id() == uiThread_) {
    if (releaseInFlight != 0) inFlight().Done(releaseInFlight);
    Guard(work);
    return true;
  }
  auto inv = std::make_shared<Invocation>();
  inv->work = std::move(work);
  {
    std::lock_guard lock(mutex_);
    if (shutdown_) {
      inv.reset();
    } else {
      queue_.push_back(inv);
    }
  }
  if (releaseInFlight != 0) inFlight().Done(releaseInFlight);
  inFlight().Notify();
  if (!inv) return false;
  std::unique_lock lock(inv->mutex);
  inv->done.wait(lock, [&] { return inv->finished; });
  return inv->ran;
}

bool VirtualEventLoop::RunOnePending() {
  std::shared_ptr<Invocation> inv;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return false;
    inv = std::move(queue_.front());
    queue_.pop_front();
  }
  Guard(inv->work);
  {
    std::lock_guard lock(inv->mutex);
    inv->finished = true;
    inv->ran = true;
  }
  inv->done.notify_all();
  return true;
}

VirtualEventLoop::VirtualTimer* VirtualEventLoop::NextTimer() const {
  VirtualTimer* best = nullptr;
  for (VirtualTimer* t : timers_) {
    if (!t->Armed()) continue;
    if (!best || t->deadline() < best->deadline() ||
        (t->deadline() == best->deadline() && t->order() < best->order())) {
      best = t;
    }
  }
  return best;
}

void VirtualEventLoop::Settle() {
  // Work already queued needs no waiting: a peer may be blocked until it runs.
  const auto queued = [this] {
    std::lock_guard lock(mutex_);
    return !queue_.empty();
  };
  if (!inFlight().WaitIdleOr(queued, settleTimeout_)) {
    ++settleTimeouts_;
    std::fprintf(stderr, "virtual clock: %lld units of work still in flight after %lld ms; moving on\n",
                 static_cast<long long>(inFlight().Count()), static_cast<long long>(settleTimeout_.count()));
  }
}

void VirtualEventLoop::ProcessMessages() {
  for (;;) {
    Settle();
    if (RunOnePending()) continue;
    VirtualTimer* t = NextTimer();
    if (t && t->deadline() <= now_) {
      t->Fire();
      continue;
    }
    return;
  }
}

void VirtualEventLoop::Sleep(int ms) {
  Settle();
  if (ms > 0) now_ += ms;
}

std::int64_t VirtualEventLoop::NowMs() const { return now_; }

LocalDateTime VirtualEventLoop::LocalNow() const { return FromEpochMs(startEpochMs_ + now_); }

void VirtualEventLoop::Quit(int exitCode) {
  std::lock_guard lock(mutex_);
  quit_ = true;
  exitCode_ = exitCode;
}

bool VirtualEventLoop::QuitRequested() const {
  std::lock_guard lock(mutex_);
  return quit_;
}

int VirtualEventLoop::ExitCode() const {
  std::lock_guard lock(mutex_);
  return exitCode_;
}

void VirtualEventLoop::Shutdown() {
  std::deque<std::shared_ptr<Invocation>> dropped;
  {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
    dropped.swap(queue_);
  }
  for (auto& inv : dropped) {
    {
      std::lock_guard lock(inv->mutex);
      inv->finished = true;
    }
    inv->done.notify_all();
  }
}

void VirtualEventLoop::RunFor(std::int64_t ms) {
  const std::int64_t end = now_ + ms;
  for (;;) {
    ProcessMessages();
    if (QuitRequested()) return;
    VirtualTimer* t = NextTimer();
    if (!t || t->deadline() > end) {
      now_ = std::max<std::int64_t>(now_, end);
      ProcessMessages();
      return;
    }
    now_ = std::max<std::int64_t>(now_, t->deadline());
  }
}

bool VirtualEventLoop::RunUntil(const std::function<bool()>& pred, std::int64_t limitMs) {
  const std::int64_t end = now_ + limitMs;
  for (;;) {
    ProcessMessages();
    if (pred()) return true;
    if (QuitRequested()) return false;
    VirtualTimer* t = NextTimer();
    if (!t || t->deadline() > end) {
      now_ = std::max<std::int64_t>(now_, end);
      ProcessMessages();
      return pred();
    }
    now_ = std::max<std::int64_t>(now_, t->deadline());
  }
}

bool VirtualEventLoop::Run(std::int64_t limitMs) {
  const std::int64_t end = now_ + limitMs;
  for (;;) {
    ProcessMessages();
    if (QuitRequested()) return true;
    VirtualTimer* t = NextTimer();
    if (!t || t->deadline() > end) return false;
    now_ = std::max<std::int64_t>(now_, t->deadline());
  }
}

}  // namespace nimbrel::platform
