#pragma once
// The user-interface event loop and its clock.
//
// Every wait of the updater (pauses, timers, processing pending events) goes
// through this interface, so that the same sequences run against the real
// clock in the program and against a virtual clock in tests.
//
// Threading contract:
//  - CreateTimer, ProcessMessages, Sleep, Run*, Quit and the timers' own
//    operations belong to the UI thread.
//  - Post and Invoke may be called from any thread.
//  - Work posted or invoked, timer ticks and guarded calls run on the UI
//    thread; an exception that escapes them goes to the unhandled-error
//    handler (the program's general error box).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace nimbrel::platform {

struct LocalDateTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Counts work that another thread (a socket, a worker, the simulator) has
// taken on and that will reach the UI loop later. A virtual clock only moves
// on while the count is zero; the real loop ignores it.
class InFlight final {
 public:
  void Add(std::int64_t n = 1);
  void Done(std::int64_t n = 1);
  std::int64_t Count() const;
  // Waits until the count is zero or `ready()` holds (checked whenever the
  // count changes or Notify is called); false on time-out.
  bool WaitIdleOr(const std::function<bool()>& ready, std::chrono::milliseconds timeout) const;
  // Wakes a waiter so that it looks at its `ready` condition again.
  void Notify() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable idle_;
  std::int64_t count_ = 0;
};

// A window timer: one handler, an interval, started and stopped on the UI thread.
// A tick runs its handler on the UI thread; a running timer ticks again one
// interval after the previous tick.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetInterval(int ms) = 0;
  virtual int Interval() const = 0;
  // Starts the timer, or restarts it from now when it runs already.
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual bool Running() const = 0;
};

using ErrorHandler = std::function<void(const std::exception&)>;

class EventLoop {
 public:
  virtual ~EventLoop() = default;

  virtual std::unique_ptr<Timer> CreateTimer(std::function<void()> onTick) = 0;

  // Queues work for the UI thread. `releaseInFlight` units of InFlight are
  // released in the same step as the work is queued, so that a clock that
  // waits for idle sees the work as pending instead of in flight. Returns
  // false (and drops the work) when the loop has been shut down.
  virtual bool Post(std::function<void()> work, std::int64_t releaseInFlight = 0) = 0;

  // Runs work on the UI thread and waits for it to finish. From the UI
  // thread itself the work runs at once. Returns false without running it
  // when the loop has been shut down (see Shutdown).
  virtual bool Invoke(std::function<void()> work, std::int64_t releaseInFlight = 0) = 0;

  // Runs the work that is pending now: posted work and due timer ticks.
  virtual void ProcessMessages() = 0;

  // Pauses the UI thread; nothing is processed meanwhile.
  virtual void Sleep(int ms) = 0;

  // Milliseconds on the loop's monotonic clock.
  virtual std::int64_t NowMs() const = 0;
  virtual LocalDateTime LocalNow() const = 0;

  // Requests that the program leave its main loop with this exit code.
  virtual void Quit(int exitCode) = 0;
  virtual bool QuitRequested() const = 0;
  virtual int ExitCode() const = 0;

  // Stops accepting work from other threads: pending and future Invoke calls
  // return false, posted work is dropped. Called when the window closes.
  virtual void Shutdown() = 0;

  // Runs fn on the calling (UI) thread; an exception goes to the error handler.
  void Guard(const std::function<void()>& fn);
  void SetErrorHandler(ErrorHandler handler) { errorHandler_ = std::move(handler); }

  InFlight& inFlight() { return inFlight_; }

 protected:
  void HandleError(const std::exception& e);

 private:
  ErrorHandler errorHandler_;
  InFlight inFlight_;
};

}  // namespace nimbrel::platform
