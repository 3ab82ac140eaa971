#include "qt/QtEventLoop.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <condition_variable>

#include "platform/DateTime.h"

namespace nimbrel::qt {

struct QtEventLoop::Pending {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool ran = false;
};

namespace {

class QtTimer final : public platform::Timer {
 public:
  QtTimer(QtEventLoop& loop, std::function<void()> onTick) : loop_(loop), onTick_(std::move(onTick)) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { loop_.Guard(onTick_); });
  }
  void SetInterval(int ms) override { timer_.setInterval(ms); }
  int Interval() const override { return timer_.interval(); }
  void Start() override {
    if (timer_.interval() > 0) timer_.start();
  }
  void Stop() override { timer_.stop(); }
  bool Running() const override { return timer_.isActive(); }

 private:
  QtEventLoop& loop_;
  std::function<void()> onTick_;
  QTimer timer_;
};

}  // namespace

QtEventLoop::QtEventLoop() : uiThread_(std::this_thread::get_id()), start_(std::chrono::steady_clock::now()) {}

QtEventLoop::~QtEventLoop() { Shutdown(); }

std::unique_ptr<platform::Timer> QtEventLoop::CreateTimer(std::function<void()> onTick) {
  return std::make_unique<QtTimer>(*this, std::move(onTick));
}

bool QtEventLoop::Post(std::function<void()> work, std::int64_t releaseInFlight) {
  bool accept;
  {
    std::lock_guard lock(mutex_);
    accept = !shutdown_;
  }
  if (accept) {
    QMetaObject::invokeMethod(
        &context_,
        [this, work = std::move(work)] {
          bool stopped;
          {
            std::lock_guard lock(mutex_);
            stopped = shutdown_;
          }
          if (!stopped) Guard(work);
        },
        Qt::QueuedConnection);
  }
  if (releaseInFlight != 0) inFlight().Done(releaseInFlight);
  return accept;
}

bool QtEventLoop::Invoke(std::function<void()> work, std::int64_t releaseInFlight) {
  if (std::this_thread::get_id() == uiThread_) {
    if (releaseInFlight != 0) inFlight().Done(releaseInFlight);
    Guard(work);
    return true;
  }
  auto pending = std::make_shared<Pending>();
  {
    std::lock_guard lock(mutex_);
    if (shutdown_) {
      pending.reset();
    } else {
      waiting_.push_back(pending);
    }
  }
  if (releaseInFlight != 0) inFlight().Done(releaseInFlight);
  if (!pending) return false;

  QMetaObject::invokeMethod(
      &context_,
      [this, pending, work = std::move(work)] {
        bool stopped;
        {
          std::lock_guard lock(mutex_);
          stopped = shutdown_;
        }
        if (!stopped) Guard(work);
        {
          std::lock_guard lock(pending->mutex);
          pending->finished = true;
          pending->ran = !stopped;
        }
        pending->done.notify_all();
      },
      Qt::QueuedConnection);

  std::unique_lock lock(pending->mutex);
  pending->done.wait(lock, [&] { return pending->finished; });
  const bool ran = pending->ran;
  lock.unlock();
  std::lock_guard listLock(mutex_);
  waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), pending), waiting_.end());
  return ran;
}

void QtEventLoop::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void QtEventLoop::Sleep(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::int64_t QtEventLoop::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
}

platform::LocalDateTime QtEventLoop::LocalNow() const { return platform::SystemLocalNow(); }

void QtEventLoop::Quit(int exitCode) {
  quit_ = true;
  exitCode_ = exitCode;
  // Queued: a request made during start-up takes effect once the loop runs.
  QMetaObject::invokeMethod(&context_, [exitCode] { QCoreApplication::exit(exitCode); }, Qt::QueuedConnection);
}

bool QtEventLoop::QuitRequested() const { return quit_; }

int QtEventLoop::ExitCode() const { return exitCode_; }

void QtEventLoop::Shutdown() {
  std::vector<std::shared_ptr<Pending>> waiting;
  {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
    waiting = waiting_;
  }
  for (auto& p : waiting) {
    {
      std::lock_guard lock(p->mutex);
      p->finished = true;
    }
    p->done.notify_all();
  }
}

}  // namespace nimbrel::qt
