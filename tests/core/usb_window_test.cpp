// The main window over the real USB component, the engine and the scripted
// driver, on the virtual clock.

#include <gtest/gtest.h>

#include "UsbEngineHarness.h"
#include "UsbHarness.h"

namespace nimbrel::testing {
namespace {

using namespace protocol;

Frame WrittenFrame(const ScriptedDriver::Write& w) {
  Frame f{};
  EXPECT_EQ(w.bytes.size(), 512u);
  std::copy_n(w.bytes.begin(), std::min<std::size_t>(w.bytes.size(), 512), f.begin());
  return f;
}

struct WindowRig : UsbEngineHarness {
  app::TfrmMain& ConnectAndGreet() {
    auto& f = Start();
    f.ConnectClick(&f.Connect);
    loop.ProcessMessages();
    EXPECT_TRUE(driver.Complete(1, usb::kErrorSuccess, 512, Bytes(MakeGreeting())));
    loop.ProcessMessages();
    return f;
  }
  std::size_t PendingReads() const {
    std::size_t n = 0;
    for (const auto& t : driver.Pending()) n += t.in;
    return n;
  }
};

TEST(UsbWindow, ConnectGreetingAndSystemInfoRequestTravelOnChannelsOneAndTwo) {
  WindowRig h;
  auto& f = h.Start();
  f.ConnectClick(&f.Connect);
  h.loop.ProcessMessages();
  EXPECT_TRUE(f.usb->Active());
  EXPECT_TRUE(h.Logged("USB Connected"));

  // The connect request went out on channel 1 (pipe 0x00) ...
  auto writes = h.driver.Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].pipe, 0u);
  Frame request{};
  FrameView(request).setMagic(kMagicSoF);
  EXPECT_EQ(writes[0].bytes, Bytes(request));
  // ... and a 512-byte read waits on channel 2 (pipe 0x01) in the frame buffer.
  auto pending = h.driver.Pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].pipe, 1u);
  EXPECT_TRUE(pending[0].in);
  EXPECT_EQ(pending[0].length, 512u);
  EXPECT_EQ(pending[0].buffer, f.frameBuffer.data());

  const Frame greeting = MakeGreeting();
  ASSERT_TRUE(h.driver.Complete(1, usb::kErrorSuccess, 512, Bytes(greeting)));
  h.loop.ProcessMessages();
  const std::vector<std::string> expected{"USB Connected", "Greeting::normal unit"};
  ASSERT_GE(h.Log().size(), 6u);
  EXPECT_EQ(std::vector<std::string>(h.Log().begin() + 2, h.Log().begin() + 4), expected);
  EXPECT_EQ(h.Log()[4].rfind("PN::", 0), 0u);
  EXPECT_EQ(h.Log()[5], "scanner version:1.0.0.120");
  EXPECT_TRUE(f.unitSupported);
  EXPECT_TRUE(f.btnAutoUpload.Enabled());

  // The System Info request followed on channel 1, and the next read waits.
  writes = h.driver.Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].pipe, 0u);
  const Frame sysInfo = WrittenFrame(writes[1]);
  EXPECT_EQ(FrameView(sysInfo).magic(), kMagicSoF);
  EXPECT_EQ(FrameView(sysInfo).command(), CommandSystemInfo);
  EXPECT_EQ(FrameView(sysInfo).value(), 512);
  EXPECT_EQ(h.PendingReads(), 1u);

  // The scanner's reply is counted by the dispatcher.
  f.replyCount = 0;
  Frame reply = MakeGreeting();
  FrameView(reply).setMagic(kMagicSYS);
  ASSERT_TRUE(h.driver.Complete(1, usb::kErrorSuccess, 512, Bytes(reply)));
  h.loop.ProcessMessages();
  EXPECT_EQ(f.replyCount, 1);
  EXPECT_EQ(f.systemInfoCopy, reply);
  EXPECT_EQ(h.PendingReads(), 1u);
  EXPECT_EQ(h.loop.SettleTimeouts(), 0);
}

TEST(UsbWindow, RegisterWrites) {
  WindowRig h;
  auto& f = h.ConnectAndGreet();
  const std::size_t before = h.driver.Writes().size();
  f.WriteRegister(265, 0);
  h.loop.ProcessMessages();
  const auto writes = h.driver.Writes();
  ASSERT_EQ(writes.size(), before + 1);
  EXPECT_EQ(writes.back().pipe, 0u);
  EXPECT_EQ(WrittenFrame(writes.back()), MakeRegisterFrame(265, 0));
  // The vendor requests of the link itself.
  f.usb->SetRegister(0x12, 0xA5A50001);
  h.loop.ProcessMessages();
  EXPECT_EQ(h.driver.Register(0x12), 0xA5A50001u);
  EXPECT_EQ(f.usb->GetRegister(0x12), 0xA5A50001u);
}

TEST(UsbWindow, RemovalWithAReadPendingDisconnectsAndDispatchesNothingMore) {
  WindowRig h;
  auto& f = h.ConnectAndGreet();
  ASSERT_EQ(h.PendingReads(), 1u);
  f.replyCount = 0;
  // The scanner goes, and its last frame is already on its way: the frame
  // is taken before the link closes (it is the answer the update waits for
  // before the scanner restarts), nothing after it.
  h.driver.Remove(h.scanner.path);
  Frame reply = MakeGreeting();
  FrameView(reply).setMagic(kMagicSYS);
  h.driver.Complete(1, usb::kErrorSuccess, 512, Bytes(reply));
  h.loop.ProcessMessages();
  h.layer->JoinParked();
  h.loop.ProcessMessages();
  EXPECT_FALSE(f.usb->Active());
  ASSERT_FALSE(h.Log().empty());
  EXPECT_EQ(h.Log().back(), "USB Disconnected");
  EXPECT_EQ(f.replyCount, 1);
  EXPECT_EQ(h.driver.OpenHandles(), 0);
  EXPECT_TRUE(h.driver.Pending().empty());
  EXPECT_EQ(h.loop.inFlight().Count(), 0);
  // Connect finds it again once it is back.
  h.driver.Attach(h.scanner);
  f.linkEstablished = false;
  f.ConnectClick(&f.Connect);
  EXPECT_TRUE(f.usb->Active());
}

TEST(UsbWindow, TwentyFirstBadFrameDeactivatesFromInsideTheDispatch) {
  WindowRig h;
  auto& f = h.ConnectAndGreet();
  const std::vector<std::uint8_t> bad(512, 0x00);
  for (int i = 0; i < 21; ++i) {
    ASSERT_TRUE(h.driver.Complete(1, usb::kErrorSuccess, 512, bad)) << i;
    h.loop.ProcessMessages();
  }
  EXPECT_FALSE(f.usb->Active());
  EXPECT_TRUE(h.Logged("unknown model"));
  EXPECT_TRUE(h.Logged("USB Disconnected"));
  EXPECT_EQ(h.PendingReads(), 0u);
  h.layer->JoinParked();
  EXPECT_EQ(h.loop.inFlight().Count(), 0);
  EXPECT_EQ(h.loop.SettleTimeouts(), 0);
}

TEST(UsbWindow, CloseSendsTheEndOfSessionAndDeactivates) {
  WindowRig h;
  auto& f = h.ConnectAndGreet();
  f.Close();
  const auto writes = h.driver.Writes();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(WrittenFrame(writes.back()), MakeEndSessionFrame());
  EXPECT_FALSE(f.usb->Active());
  EXPECT_EQ(h.driver.OpenHandles(), 0);
  EXPECT_FALSE(h.Logged("USB Disconnected"));  // its handler was unassigned first
}

TEST(UsbWindow, BlockWaitingForItsDispatchWhenTheWindowClosesIsNotDispatched) {
  WindowRig h;
  auto& f = h.ConnectAndGreet();
  f.replyCount = 0;
  Frame reply = MakeGreeting();
  FrameView(reply).setMagic(kMagicSYS);
  ASSERT_TRUE(h.driver.Complete(1, usb::kErrorSuccess, 512, Bytes(reply)));
  // Once the completion's unit is handed over, its dispatch waits for the UI thread.
  ASSERT_TRUE(h.loop.inFlight().WaitIdleOr([] { return false; }, std::chrono::seconds(20)));
  f.Close();
  h.loop.ProcessMessages();
  h.layer->JoinParked();
  EXPECT_EQ(f.replyCount, 0);
  EXPECT_EQ(h.loop.inFlight().Count(), 0);
}

TEST(UsbWindow, NoScanner) {
  {
    WindowRig h;
    h.driver.Remove(h.scanner.path);
    auto& f = h.Start();
    f.ConnectClick(&f.Connect);
    ASSERT_EQ(h.dialogs.Messages().size(), 1u);
    EXPECT_EQ(h.dialogs.Messages()[0].text, "can't connect Scanner");
    EXPECT_EQ(h.dialogs.Messages()[0].caption, "Check connection");
  }
  {
    WindowRig h;
    h.driver.enumerationFails = true;  // a machine without USB
    h.args.push_back("-S");
    h.args.push_back("-H");
    auto& f = h.Start();
    h.loop.RunFor(999);
    EXPECT_FALSE(f.Closed());
    h.loop.RunFor(1);
    EXPECT_TRUE(f.Closed());
    EXPECT_TRUE(h.dialogs.Messages().empty());
  }
}

}  // namespace
}  // namespace nimbrel::testing
