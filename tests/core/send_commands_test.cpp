// The USB send bracket, keep-alives, the end of session and the register write.

#include <gtest/gtest.h>

#include "NetFixture.h"

namespace nimbrel::testing {
namespace {

using protocol::ConstControlFrame;

class UsbCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    h.UseFakeUsb();
    h.Start();
  }
  app::TfrmMain& f() { return *h.form; }
  void Plug() { f().usb->SetActive(true); }
  // What every completed USB read does to the send bracket.
  void DeliverBlock() {
    if (f().sendMarker > 0) --f().sendMarker;
  }
  std::vector<std::int64_t> KeepAliveTimes() const {
    std::vector<std::int64_t> times;
    for (const auto& s : h.fakeUsb->sends) {
      if (ConstControlFrame(s.bytes.data()).command() == protocol::CommandKeepAlive) times.push_back(s.atMs);
    }
    return times;
  }
  Harness h;
};

TEST_F(UsbCommands, UsbSendHoldsTheMarkerAt3WhileHandingOverAndLeavesIt2) {
  Plug();
  int during = -1;
  h.fakeUsb->onSend = [&](const FakeUsb::Send&) { during = f().sendMarker; };
  std::uint8_t frame[512] = {};
  f().UsbSend(frame, 512);
  EXPECT_EQ(during, 3);
  EXPECT_EQ(f().sendMarker, 2);
  ASSERT_EQ(h.fakeUsb->sends.size(), 1u);
  EXPECT_EQ(h.fakeUsb->sends[0].channel, 1);
}

TEST_F(UsbCommands, UsbSendEndNeverTakesPendingSendsBelowZero) {
  Plug();
  f().pendingSends = 1;
  std::uint8_t frame[512] = {};
  f().UsbSend(frame, 512);
  f().UsbSend(frame, 512);
  EXPECT_EQ(h.fakeUsb->CompleteAllSends(), 2);
  EXPECT_EQ(f().pendingSends, 0);
}

TEST_F(UsbCommands, WithoutOldKeepAliveOneTickTracesAndLeavesTheTimerStoppedUntilTheNextSend) {
  Plug();
  f().linkEstablished = true;
  f().oldKeepAlive = false;

  h.loop.RunFor(5000);
  EXPECT_EQ(h.trace.Count("not OldKeepAlive"), 1u);
  EXPECT_FALSE(f().keepAliveTimer->Enabled());
  EXPECT_TRUE(h.fakeUsb->sends.empty());

  std::uint8_t frame[512] = {};
  f().SendChunked(frame, 512);
  EXPECT_TRUE(f().keepAliveTimer->Enabled());
  DeliverBlock();
  DeliverBlock();
  h.loop.RunFor(5000);
  EXPECT_EQ(h.trace.Count("not OldKeepAlive"), 2u);
  EXPECT_EQ(h.fakeUsb->sends.size(), 1u);  // only the frame sent by hand
}

TEST_F(UsbCommands, WithOldKeepAliveAScannerThatDeliversTwoBlocksASecondGetsOneAfterEveryTick) {
  Plug();
  f().linkEstablished = true;
  f().oldKeepAlive = true;
  auto scanner = h.loop.CreateTimer([this] { DeliverBlock(); });
  scanner->SetInterval(500);
  scanner->Start();

  h.loop.RunFor(10000);

  // One per tick: the timer restarts after the 100 ms that the send takes.
  const auto times = KeepAliveTimes();
  ASSERT_EQ(times.size(), 9u);
  for (std::size_t i = 0; i < times.size(); ++i) EXPECT_EQ(times[i], 1000 + 1100 * static_cast<std::int64_t>(i));
  EXPECT_EQ(h.trace.Count("sendKeepAlive"), 9u);
  const protocol::Frame expected = protocol::MakeKeepAliveFrame();
  EXPECT_EQ(h.fakeUsb->sends[0].bytes, std::vector<std::uint8_t>(expected.begin(), expected.end()));
}

TEST_F(UsbCommands, WithOldKeepAliveASilentScannerGetsOnlyOne) {
  Plug();
  f().linkEstablished = true;
  f().oldKeepAlive = true;
  h.loop.RunFor(10000);
  EXPECT_EQ(KeepAliveTimes(), std::vector<std::int64_t>{1000});
  EXPECT_TRUE(f().keepAliveTimer->Enabled());
}

TEST_F(UsbCommands, BeforeTheFirstConnectTheTickDoesNothing) {
  Plug();
  f().oldKeepAlive = true;
  h.loop.RunFor(5000);
  EXPECT_TRUE(h.fakeUsb->sends.empty());
  EXPECT_FALSE(h.trace.Contains("not OldKeepAlive"));
  EXPECT_TRUE(f().keepAliveTimer->Enabled());
}

TEST_F(UsbCommands, EndOfSessionOverUsbWaitsSendsMinusOneAndWaitsAgain) {
  Plug();
  f().SendEndOfSession();
  ASSERT_EQ(h.fakeUsb->sends.size(), 1u);
  const auto& s = h.fakeUsb->sends[0];
  EXPECT_EQ(s.atMs, 100);
  const protocol::Frame expected = protocol::MakeEndSessionFrame();
  EXPECT_EQ(s.bytes, std::vector<std::uint8_t>(expected.begin(), expected.end()));
  EXPECT_EQ(ConstControlFrame(s.bytes.data()).command(), -1);
  EXPECT_EQ(h.loop.NowMs(), 100 + 100 + 100);  // wait, the send's own pause, wait
}

TEST_F(UsbCommands, EndOfSessionWithNoLinkOnlyWaits) {
  f().SendEndOfSession();
  EXPECT_TRUE(h.fakeUsb->sends.empty());
  EXPECT_EQ(h.loop.NowMs(), 100);
}

TEST_F(UsbCommands, WriteRegisterTracesAndSendsTheRegisterFrame) {
  Plug();
  f().WriteRegister(265, 0);
  EXPECT_TRUE(h.trace.Contains("reg[0x109][0]\n"));
  ASSERT_EQ(h.fakeUsb->sends.size(), 1u);
  const auto& s = h.fakeUsb->sends[0];
  EXPECT_EQ(s.atMs, 150);
  const ConstControlFrame frame(s.bytes.data());
  EXPECT_EQ(frame.magic(), protocol::kMagicSeT);
  EXPECT_EQ(frame.param(), 265);
  EXPECT_EQ(frame.value(), 0);
  const protocol::Frame expected = protocol::MakeRegisterFrame(265, 0);
  EXPECT_EQ(s.bytes, std::vector<std::uint8_t>(expected.begin(), expected.end()));
}

TEST_F(NetTest, EndOfSessionOverEthernetSendsSoSAndWaits) {
  app::TfrmMain& f = Connect();
  const std::size_t before = peer.Received().size();
  const std::int64_t start = h.loop.NowMs();

  f.SendEndOfSession();

  EXPECT_EQ(h.loop.NowMs() - start, 50 + 100);
  const auto received = peer.Received();
  ASSERT_EQ(received.size() - before, 512u);
  const protocol::Frame sos = protocol::MakeMagicOnlyFrame(protocol::kMagicSoS);
  EXPECT_TRUE(std::equal(sos.begin(), sos.end(), received.begin() + static_cast<std::ptrdiff_t>(before)));
}

TEST_F(NetTest, KeepAlivesAndRegisterWritesDoNotGoOverEthernet) {
  app::TfrmMain& f = Connect();
  f.oldKeepAlive = true;
  const std::size_t before = peer.Received().size();
  h.loop.RunFor(3000);
  EXPECT_TRUE(h.trace.Contains("sendKeepAlive"));
  f.WriteRegister(265, 0);
  EXPECT_TRUE(h.trace.Contains("reg[0x109][0]\n"));
  EXPECT_EQ(peer.Received().size(), before);
}

}  // namespace
}  // namespace nimbrel::testing
