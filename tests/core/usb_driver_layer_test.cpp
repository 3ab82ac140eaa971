// The common part of the driver layer: completion routines run on the
// thread that started the transfer, during its alertable wait.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "ScriptedDriver.h"

namespace nimbrel::testing {
namespace {

using namespace usb;

struct Routines {
  static inline std::mutex mutex;
  static inline std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;  // error, bytes
  static inline std::vector<std::thread::id> threads;
  static inline std::atomic<int> inside{0};
  static inline std::atomic<int> overlaps{0};
  static inline std::atomic<bool> starting{false};
  static inline std::atomic<int> duringStart{0};
  static inline std::vector<std::int64_t> units;

  static void Reset() {
    std::lock_guard lock(mutex);
    seen.clear();
    threads.clear();
    units.clear();
    overlaps = 0;
    duringStart = 0;
  }
  static void Record(std::uint32_t error, std::uint32_t bytes, Overlapped*) {
    if (inside.fetch_add(1) != 0) ++overlaps;
    if (starting) ++duringStart;
    {
      std::lock_guard lock(mutex);
      seen.emplace_back(error, bytes);
      threads.push_back(std::this_thread::get_id());
    }
    inside.fetch_sub(1);
  }
  // Takes the unit and keeps it (the caller releases it).
  static void Take(std::uint32_t, std::uint32_t, Overlapped*) {
    std::lock_guard lock(mutex);
    units.push_back(TakeCompletionUnit());
    units.push_back(TakeCompletionUnit());
  }
};

struct Scanner {
  ScriptedDriver driver;
  Handle in = kInvalidHandle;
  Handle out = kInvalidHandle;

  explicit Scanner(platform::InFlight* inFlight = nullptr) : driver(inFlight) {
    const auto scanner = ScriptedDriver::Scanner();
    driver.Attach(scanner);
    out = driver.Open(scanner.path + PipeSuffix(0, 0));
    in = driver.Open(scanner.path + PipeSuffix(0, 1));
  }
};

TEST(UsbDriverLayer, CompletionsRunOnTheStartingThreadDuringItsWaitOneAtATime) {
  Routines::Reset();
  Scanner s;
  WakeEvent wake;
  std::uint8_t buffers[3][8] = {};
  Overlapped records[3];
  std::thread::id worker;
  std::mutex m;
  std::condition_variable cv;
  bool started = false;
  std::thread t([&] {
    worker = std::this_thread::get_id();
    Routines::starting = true;
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(s.driver.ReadFileEx(s.in, buffers[i], 8, &records[i], Routines::Record));
    // A write the driver completes before WriteFileEx returns.
    ASSERT_TRUE(s.driver.WriteFileEx(s.out, buffers[2], 8, &records[2], Routines::Record));
    Routines::starting = false;
    {
      std::lock_guard lock(m);
      started = true;
    }
    cv.notify_all();
    int ran = 0;
    while (ran < 3) {
      if (AlertableWait(wake) == WaitResult::IoCompletion) {
        std::lock_guard lock(Routines::mutex);
        ran = static_cast<int>(Routines::seen.size());
      }
    }
  });
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return started; });
  }
  // Completed from another thread, concurrently with the worker's wait.
  std::thread other([&] { s.driver.Complete(1, kErrorSuccess, 5); });
  s.driver.Complete(1, kErrorIoDevice, 0);
  other.join();
  t.join();
  ASSERT_EQ(Routines::seen.size(), 3u);
  EXPECT_EQ(Routines::seen[0], std::make_pair(kErrorSuccess, 8u));  // the write, queued first
  for (const auto& id : Routines::threads) EXPECT_EQ(id, worker);
  EXPECT_EQ(Routines::overlaps, 0);
  EXPECT_EQ(Routines::duringStart, 0);
}

TEST(UsbDriverLayer, WaitEndsOnTheEventWhenNoCompletionCame) {
  WakeEvent wake;
  wake.Set();
  EXPECT_EQ(AlertableWait(wake), WaitResult::Signaled);
  std::thread setter([&] { wake.Set(); });
  EXPECT_EQ(AlertableWait(wake), WaitResult::Signaled);
  setter.join();
}

TEST(UsbDriverLayer, CompletionUnitsAreHeldUntilTheRoutineHasRunOrHandedThemOn) {
  Routines::Reset();
  platform::InFlight inFlight;
  Scanner s(&inFlight);
  std::uint8_t buffer[8];
  Overlapped kept, taken;
  WakeEvent wake;
  ASSERT_TRUE(s.driver.ReadFileEx(s.in, buffer, 8, &kept, Routines::Record));
  EXPECT_EQ(inFlight.Count(), 0);  // waiting for the device is not in flight
  s.driver.Complete(1, kErrorSuccess, 8);
  EXPECT_EQ(inFlight.Count(), 1);
  AlertableWait(wake);
  EXPECT_EQ(inFlight.Count(), 0);

  ASSERT_TRUE(s.driver.ReadFileEx(s.in, buffer, 8, &taken, Routines::Take));
  s.driver.Complete(1, kErrorSuccess, 8);
  AlertableWait(wake);
  EXPECT_EQ(Routines::units, (std::vector<std::int64_t>{1, 0}));
  EXPECT_EQ(inFlight.Count(), 1);  // handed on, not released by the wait
  inFlight.Done(1);
  EXPECT_EQ(TakeCompletionUnit(), 0);  // outside a routine
}

TEST(UsbDriverLayer, ThreadThatEndsDropsItsQueuedCompletions) {
  Routines::Reset();
  platform::InFlight inFlight;
  Scanner s(&inFlight);
  std::uint8_t buffer[8];
  Overlapped first, second;
  std::mutex m;
  std::condition_variable cv;
  int step = 0;
  std::thread t([&] {
    ASSERT_TRUE(s.driver.ReadFileEx(s.in, buffer, 8, &first, Routines::Record));
    ASSERT_TRUE(s.driver.WriteFileEx(s.out, buffer, 8, &second, Routines::Record));
    std::unique_lock lock(m);
    step = 1;
    cv.notify_all();
    cv.wait(lock, [&] { return step == 2; });
  });
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return step == 1; });
  }
  EXPECT_EQ(inFlight.Count(), 1);  // the write, completed at its start
  s.driver.Complete(1, kErrorSuccess, 8);
  EXPECT_EQ(inFlight.Count(), 2);
  {
    std::lock_guard lock(m);
    step = 2;
  }
  cv.notify_all();
  t.join();
  EXPECT_EQ(inFlight.Count(), 0);
  EXPECT_TRUE(Routines::seen.empty());
  // Later completions for the ended thread go nowhere and count nothing.
  std::thread starter([&] { ASSERT_TRUE(s.driver.ReadFileEx(s.in, buffer, 8, &first, Routines::Record)); });
  starter.join();
  s.driver.Complete(1, kErrorSuccess, 8);
  EXPECT_EQ(inFlight.Count(), 0);
  EXPECT_TRUE(Routines::seen.empty());
}

}  // namespace
}  // namespace nimbrel::testing
