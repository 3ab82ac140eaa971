// Deactivation against the real engine and its threads: a read completion
// that waits on the bulk thread for the UI thread (EventLoop::Invoke) while
// the UI thread closes the link, from outside that work or from inside it,
// closes the window, or destroys the link. Repeated, since the threads
// interleave differently each time: no deadlock, no dispatch after the
// close, every worker joined, nothing left in flight.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "UsbEngineHarness.h"
#include "UsbHarness.h"

namespace nimbrel::testing {
namespace {

using namespace usb;

// A latch a worker thread opens and the test waits for (real time; the
// limit only turns a hang into a failure).
class Latch {
 public:
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  bool Wait() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// The link with a read handler shaped like the main window's: the block is
// dispatched on the UI thread while the bulk thread waits.
struct DispatchRig : UsbRig {
  std::uint8_t buffer[512] = {};
  std::atomic<int> dispatched{0};
  std::atomic<int> handlerReturns{0};
  std::atomic<int> disconnects{0};
  Latch entered;
  std::function<void()> inDispatch;

  DispatchRig() {
    driver.Attach(ScriptedDriver::Scanner());
    link->OnDisconnect = [this] { ++disconnects; };
    link->OnReadBufferEnd = [this](int, int, std::uint8_t*) {
      const std::uint64_t ticket = EventTicket();
      entered.Open();
      loop.Invoke(
          [this, ticket] {
            const EventWork work(*link, ticket);
            if (!work.Current()) return;
            ++dispatched;
            if (inDispatch) inDispatch();
            link->ReadBuffer(2, 512, buffer);
          },
          TakeCompletionUnit());
      ++handlerReturns;
    };
    link->SetActive(true);
    link->ReadBuffer(2, 512, buffer);
    loop.ProcessMessages();
  }
};

constexpr int kRounds = 60;

TEST(UsbDeactivation, CloseWhileACompletionWaitsForTheUiThread) {
  for (int round = 0; round < kRounds; ++round) {
    DispatchRig r;
    ASSERT_TRUE(r.link->Active());
    // The read is pending already; the scanner answers it at once, racing
    // with the close.
    std::thread scanner([&] { r.driver.Complete(1, kErrorSuccess, 512, Bytes8(512, 0x53)); });
    // Every other round the close comes before the block may even have
    // arrived; otherwise once the handler is on its way to the UI thread.
    if (round % 2 == 0) {
      ASSERT_TRUE(r.entered.Wait()) << round;
    }
    r.link->SetActive(false);
    r.loop.ProcessMessages();
    scanner.join();
    r.layer->JoinParked();
    EXPECT_EQ(r.dispatched, 0) << round;
    EXPECT_EQ(r.disconnects, 1) << round;
    EXPECT_EQ(r.driver.OpenHandles(), 0) << round;
    EXPECT_EQ(r.loop.inFlight().Count(), 0) << round;
    EXPECT_EQ(r.loop.SettleTimeouts(), 0) << round;
  }
}

TEST(UsbDeactivation, CloseFromInsideTheDispatch) {
  for (int round = 0; round < kRounds; ++round) {
    DispatchRig r;
    r.inDispatch = [&] { r.link->SetActive(false); };
    ASSERT_TRUE(r.driver.Complete(1, kErrorSuccess, 512, Bytes8(512, 0x53)));
    r.loop.ProcessMessages();
    EXPECT_FALSE(r.link->Active()) << round;
    r.layer->JoinParked();
    EXPECT_EQ(r.dispatched, 1) << round;
    EXPECT_EQ(r.handlerReturns, 1) << round;
    EXPECT_EQ(r.disconnects, 1) << round;
    EXPECT_TRUE(r.driver.Pending().empty()) << round;
    EXPECT_EQ(r.loop.inFlight().Count(), 0) << round;
    EXPECT_EQ(r.loop.SettleTimeouts(), 0) << round;
  }
}

TEST(UsbDeactivation, ReopenWhileACompletionWaitsDispatchesNothingStale) {
  for (int round = 0; round < kRounds; ++round) {
    DispatchRig r;
    ASSERT_TRUE(r.driver.Complete(1, kErrorSuccess, 512, Bytes8(512, 0x53)));
    ASSERT_TRUE(r.entered.Wait()) << round;
    r.link->SetActive(false);
    r.link->SetActive(true);
    r.link->ReadBuffer(2, 512, r.buffer);
    r.loop.ProcessMessages();
    r.layer->JoinParked();
    // The old block is not taken for one of the new opening, and exactly
    // one read waits on the new one.
    EXPECT_EQ(r.dispatched, 0) << round;
    std::size_t reads = 0;
    for (const auto& t : r.driver.Pending()) reads += t.in;
    EXPECT_EQ(reads, 1u) << round;
    EXPECT_EQ(r.loop.SettleTimeouts(), 0) << round;
  }
}

TEST(UsbDeactivation, DestroyingTheLinkWhileACompletionWaits) {
  for (int round = 0; round < kRounds; ++round) {
    DispatchRig r;
    ASSERT_TRUE(r.driver.Complete(1, kErrorSuccess, 512, Bytes8(512, 0x53)));
    ASSERT_TRUE(r.entered.Wait()) << round;
    r.link.reset();
    EXPECT_EQ(r.disconnects, 0) << round;
    EXPECT_EQ(r.driver.OpenHandles(), 0) << round;
    // The program shuts its loop down before anything else goes: the waiting
    // worker is let go and ends.
    r.loop.Shutdown();
    r.layer->JoinParked();
    EXPECT_EQ(r.dispatched, 0) << round;
    EXPECT_EQ(r.handlerReturns, 1) << round;
    EXPECT_EQ(r.loop.inFlight().Count(), 0) << round;
  }
}

TEST(UsbDeactivation, WindowCloseWhileTheScannerKeepsAnswering) {
  for (int round = 0; round < 20; ++round) {
    UsbEngineHarness h;
    auto& f = h.Start();
    f.ConnectClick(&f.Connect);
    h.loop.ProcessMessages();
    ASSERT_TRUE(h.driver.Complete(1, kErrorSuccess, 512, Bytes(MakeGreeting())));
    h.loop.ProcessMessages();
    ASSERT_TRUE(f.unitSupported) << round;
    protocol::Frame reply = MakeGreeting();
    protocol::FrameView(reply).setMagic(protocol::kMagicSYS);
    std::atomic<bool> stop{false};
    std::thread scanner([&] {
      while (!stop) {
        if (h.driver.WaitPending(1, std::chrono::milliseconds(20))) {
          h.driver.Complete(1, kErrorSuccess, 512, Bytes(reply));
        }
      }
    });
    for (int i = 0; i < round % 5; ++i) h.loop.ProcessMessages();
    const std::int32_t replies = f.replyCount;
    f.Close();
    h.loop.ProcessMessages();
    stop = true;
    scanner.join();
    h.layer->JoinParked();
    h.loop.ProcessMessages();
    EXPECT_EQ(f.replyCount, replies) << round;
    EXPECT_FALSE(f.usb->Active()) << round;
    EXPECT_EQ(h.driver.OpenHandles(), 0) << round;
    EXPECT_EQ(h.loop.inFlight().Count(), 0) << round;
  }
}

}  // namespace
}  // namespace nimbrel::testing
