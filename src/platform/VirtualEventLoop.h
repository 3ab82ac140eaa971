#pragma once
// An event loop on a virtual clock, for tests.
//
// Time stands still while work is runnable and moves on to the next timer
// deadline (or by the length of a Sleep) only when nothing is runnable and no
// work is in flight from another thread (see InFlight). Sequences of seconds
// of pauses and timers so run in milliseconds and always in the same order.
//
// The thread that constructs the loop is its UI thread.

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/EventLoop.h"

namespace nimbrel::platform {

class VirtualEventLoop final : public EventLoop {
 public:
  explicit VirtualEventLoop(LocalDateTime start = {2018, 10, 26, 12, 0, 0, 0});
  ~VirtualEventLoop() override;

  std::unique_ptr<Timer> CreateTimer(std::function<void()> onTick) override;
  bool Post(std::function<void()> work, std::int64_t releaseInFlight = 0) override;
  bool Invoke(std::function<void()> work, std::int64_t releaseInFlight = 0) override;
  void ProcessMessages() override;
  void Sleep(int ms) override;
  std::int64_t NowMs() const override;
  LocalDateTime LocalNow() const override;
  void Quit(int exitCode) override;
  bool QuitRequested() const override;
  int ExitCode() const override;
  void Shutdown() override;

  // Runs the loop for `ms` of virtual time (or until Quit).
  void RunFor(std::int64_t ms);
  // Runs until pred() holds, Quit, or `limitMs` of virtual time have passed;
  // returns pred().
  bool RunUntil(const std::function<bool()>& pred, std::int64_t limitMs = 600000);
  // Runs until Quit, or until nothing is left to do (no timer running, no work
  // pending or in flight); returns whether Quit was requested.
  bool Run(std::int64_t limitMs = 3600000);

  // How long the UI thread waits in real time for in-flight work to settle
  // before it gives up and lets the clock move on (a stuck peer).
  void SetSettleTimeout(std::chrono::milliseconds t) { settleTimeout_ = t; }
  // How often the loop gave up waiting and moved on with work still in
  // flight: a peer that waits for the UI thread while the UI thread waits
  // for it shows here.
  int SettleTimeouts() const { return settleTimeouts_; }

 private:
  class VirtualTimer;
  struct Invocation;

  void Settle();
  bool RunOnePending();
  VirtualTimer* NextTimer() const;  // running timer with the earliest deadline

  // Moved on the UI thread only; NowMs may be read from any thread (a
  // simulated device that measures its own pauses on this clock).
  std::atomic<std::int64_t> now_{0};
  std::int64_t startEpochMs_;
  std::thread::id uiThread_;
  std::chrono::milliseconds settleTimeout_{10000};
  int settleTimeouts_ = 0;

  mutable std::mutex mutex_;
  std::deque<std::shared_ptr<Invocation>> queue_;
  bool shutdown_ = false;
  bool quit_ = false;
  int exitCode_ = 0;

  std::vector<VirtualTimer*> timers_;
  std::uint64_t nextOrder_ = 0;
};

}  // namespace nimbrel::platform
