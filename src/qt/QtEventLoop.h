#pragma once
// The event loop of the program: Qt's, on the real clock.

#include <QObject>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/EventLoop.h"

namespace nimbrel::qt {

class QtEventLoop final : public platform::EventLoop {
 public:
  QtEventLoop();
  ~QtEventLoop() override;

  std::unique_ptr<platform::Timer> CreateTimer(std::function<void()> onTick) override;
  bool Post(std::function<void()> work, std::int64_t releaseInFlight = 0) override;
  bool Invoke(std::function<void()> work, std::int64_t releaseInFlight = 0) override;
  void ProcessMessages() override;
  void Sleep(int ms) override;
  std::int64_t NowMs() const override;
  platform::LocalDateTime LocalNow() const override;
  void Quit(int exitCode) override;
  bool QuitRequested() const override;
  int ExitCode() const override;
  void Shutdown() override;

 private:
  struct Pending;

  QObject context_;
  std::thread::id uiThread_;
  std::chrono::steady_clock::time_point start_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Pending>> waiting_;  // invocations not yet finished
  bool shutdown_ = false;
  std::atomic<bool> quit_{false};
  std::atomic<int> exitCode_{0};
};

}  // namespace nimbrel::qt
