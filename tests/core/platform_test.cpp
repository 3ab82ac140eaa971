#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "Harness.h"
#include "platform/DateTime.h"
#include "platform/NamedLock.h"
#include "platform/Resources.h"
#include "platform/Text.h"
#include "platform/VirtualEventLoop.h"
#include "ui/Controls.h"

namespace nimbrel {
namespace {

using platform::VirtualEventLoop;

TEST(VirtualEventLoop, TimersTickOnVirtualTimeInDeadlineOrder) {
  VirtualEventLoop loop;
  std::vector<std::pair<char, std::int64_t>> ticks;
  auto a = loop.CreateTimer([&] { ticks.emplace_back('a', loop.NowMs()); });
  auto b = loop.CreateTimer([&] { ticks.emplace_back('b', loop.NowMs()); });
  a->SetInterval(1000);
  b->SetInterval(1500);
  a->Start();
  b->Start();
  loop.RunFor(3000);
  EXPECT_EQ(ticks, (std::vector<std::pair<char, std::int64_t>>{{'a', 1000}, {'b', 1500}, {'a', 2000}, {'b', 3000},
                                                               {'a', 3000}}));
  EXPECT_EQ(loop.NowMs(), 3000);
}

TEST(VirtualEventLoop, StoppedAndRestartedTimers) {
  VirtualEventLoop loop;
  int n = 0;
  auto t = loop.CreateTimer([&] { ++n; });
  t->SetInterval(500);
  t->Start();
  loop.RunFor(400);
  t->Start();  // restarts from now: next tick at 900
  loop.RunFor(400);
  EXPECT_EQ(n, 0);
  loop.RunFor(100);
  EXPECT_EQ(n, 1);
  t->Stop();
  loop.RunFor(5000);
  EXPECT_EQ(n, 1);
  EXPECT_FALSE(t->Running());
}

TEST(VirtualEventLoop, SleepMovesTimeWithoutRunningWork) {
  VirtualEventLoop loop;
  int ticks = 0, posted = 0;
  auto t = loop.CreateTimer([&] { ++ticks; });
  t->SetInterval(100);
  t->Start();
  loop.Post([&] { ++posted; });
  loop.Sleep(1500);
  EXPECT_EQ(loop.NowMs(), 1500);
  EXPECT_EQ(ticks, 0);
  EXPECT_EQ(posted, 0);
  loop.ProcessMessages();  // a late timer ticks once, the posted work runs
  EXPECT_EQ(posted, 1);
  EXPECT_EQ(ticks, 1);
}

TEST(VirtualEventLoop, InvokeFromAnotherThreadRunsOnTheUiThreadInOrder) {
  VirtualEventLoop loop;
  const auto ui = std::this_thread::get_id();
  std::vector<int> order;
  std::atomic<bool> offThread{false};
  loop.inFlight().Add(3);
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(loop.Invoke(
          [&, i] {
            if (std::this_thread::get_id() != ui) offThread = true;
            order.push_back(i);
          },
          1));
    }
  });
  loop.RunUntil([&] { return order.size() == 3; });
  worker.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(offThread);
  EXPECT_EQ(loop.NowMs(), 0);
  EXPECT_EQ(loop.inFlight().Count(), 0);
}

TEST(VirtualEventLoop, ClockWaitsForWorkInFlight) {
  VirtualEventLoop loop;
  bool delivered = false;
  std::int64_t deliveredAt = -1;
  auto t = loop.CreateTimer([] {});
  t->SetInterval(1000);
  t->Start();
  loop.inFlight().Add(1);
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop.Post(
        [&] {
          delivered = true;
          deliveredAt = loop.NowMs();
        },
        1);
  });
  loop.RunFor(2000);
  peer.join();
  EXPECT_TRUE(delivered);
  EXPECT_EQ(deliveredAt, 0);  // the clock did not move while the peer worked
}

TEST(VirtualEventLoop, ShutdownReleasesAWaitingInvokeAndRefusesNewOnes) {
  VirtualEventLoop loop;
  std::atomic<int> result{-1};
  bool ran = false;
  std::thread worker([&] { result = loop.Invoke([&] { ran = true; }) ? 1 : 0; });
  // The window closes while the invocation is still queued.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  loop.Shutdown();
  worker.join();
  EXPECT_EQ(result, 0);
  std::thread late([&] { result = loop.Invoke([&] { ran = true; }) ? 1 : 0; });
  late.join();
  EXPECT_EQ(result, 0);
  loop.ProcessMessages();
  EXPECT_FALSE(ran);
}

TEST(VirtualEventLoop, GuardedErrorsReachTheHandler) {
  VirtualEventLoop loop;
  std::string seen;
  loop.SetErrorHandler([&](const std::exception& e) { seen = e.what(); });
  loop.Post([] { throw std::runtime_error("Resource X not found"); });
  loop.ProcessMessages();
  EXPECT_EQ(seen, "Resource X not found");
}

TEST(VirtualEventLoop, LocalTimeFollowsTheVirtualClock) {
  VirtualEventLoop loop({2018, 12, 31, 23, 59, 59, 500});
  loop.Sleep(750);
  const auto t = loop.LocalNow();
  EXPECT_EQ(std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond),
            std::make_tuple(2019, 1, 1, 0, 0, 0, 250));
}

TEST(DateTime, CivilDaysRoundTrip) {
  for (std::int64_t d : {-800000LL, -25569LL, 0LL, 17830LL, 2932896LL}) {
    int y, m, day;
    platform::CivilFromDays(d, y, m, day);
    EXPECT_EQ(platform::DaysFromCivil(y, m, day), d);
  }
  EXPECT_EQ(platform::DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(platform::DaysFromCivil(2018, 10, 26) - platform::DaysFromCivil(1899, 12, 30), 43399);
}

TEST(RadioGroup, IndexClampsAndHandlerRunsOnRealChangesOnly) {
  ui::TRadioGroup g("g", {}, "G", {"a", "b", "c"}, -1);
  std::vector<int> seen;
  g.OnClick = [&] { seen.push_back(g.ItemIndex()); };
  g.SetItemIndex(7);   // beyond the last: the last
  g.SetItemIndex(2);   // no change
  g.SetItemIndex(-5);  // below -1: none
  g.SetItemIndex(-1);  // no change
  g.SetItemIndex(0);
  EXPECT_EQ(seen, (std::vector<int>{2, -1, 0}));
}

TEST(Controls, ButtonsClickOnlyWhenEnabledAndTimersFollowEnabled) {
  VirtualEventLoop loop;
  ui::TButton b("b", {});
  int clicks = 0;
  b.OnClick = [&] { ++clicks; };
  b.SetEnabled(false);
  b.Click();
  b.SetEnabled(true);
  b.Click();
  EXPECT_EQ(clicks, 1);

  ui::TTimer t(loop, 1000);
  int ticks = 0;
  t.OnTimer = [&] { ++ticks; };
  t.SetEnabled(true);
  loop.RunFor(500);
  t.SetEnabled(true);  // already running: not restarted
  loop.RunFor(500);
  EXPECT_EQ(ticks, 1);
}

TEST(NamedLock, SecondOwnerSeesAlreadyExistedUntilTheFirstLetsGo) {
  platform::LockSpace space(testing::UniqueLockPrefix());
  auto first = space.Create("Unique Name of Tavix Brixel Dental Mutex");
  ASSERT_TRUE(first.lock);
  EXPECT_FALSE(first.alreadyExisted);
  auto second = space.Create("Unique Name of Tavix Brixel Dental Mutex");
  EXPECT_TRUE(second.alreadyExisted);
  EXPECT_FALSE(second.lock);
  EXPECT_FALSE(space.Create("Unique Name of Tavix Brixel Flash Mutex").alreadyExisted);
  first.lock.reset();
  EXPECT_FALSE(space.Create("Unique Name of Tavix Brixel Dental Mutex").alreadyExisted);
}

TEST(NamedLock, HeldAcrossProcessesAndFreedWhenTheOwnerDies) {
  const std::string prefix = testing::UniqueLockPrefix();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::LockSpace space(prefix);
    auto held = space.Create("L");
    const char c = held.lock ? '1' : '0';
    (void)!write(ready[1], &c, 1);
    pause();  // killed below: no orderly release
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, '1');
  platform::LockSpace space(prefix);
  EXPECT_TRUE(space.Create("L").alreadyExisted);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(space.Create("L").alreadyExisted);
  close(ready[0]);
  close(ready[1]);
}

TEST(Resources, StringTableAndVersionNumbers) {
  EXPECT_EQ(platform::LoadStringResource(32767), "_20181026");
  const int expected[] = {1, 0, 0, 1, 5, 2, 1, 1};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(platform::ResourceNumber(32768 + i), expected[i]) << i;
  EXPECT_EQ(platform::ResourceNumber(32776), 0);  // empty text
  EXPECT_EQ(platform::ResourceNumber(1), 0);      // no such resource
  char small[4];
  EXPECT_EQ(platform::LoadStringResource(32767, small, sizeof small), 3u);
  EXPECT_STREQ(small, "_20");
}

TEST(Text, Cp949ToUtf8) {
  EXPECT_EQ(platform::Cp949ToUtf8("AG(f-\xA5\xE8)"), "AG(f-\xCE\xB8)");
  EXPECT_EQ(platform::Cp949ToUtf8("plain"), "plain");
  EXPECT_EQ(platform::Cp949ToUtf8("\xA5"), "\xEF\xBF\xBD");  // cut-off pair
  EXPECT_EQ(platform::UpperAscii("-sh\xA5\xE8"), "-SH\xA5\xE8");
}

}  // namespace
}  // namespace nimbrel
