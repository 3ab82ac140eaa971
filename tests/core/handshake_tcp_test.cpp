// The handshake over the Ethernet link against the simulated scanner: the
// Connect action, the greeting and the System Info request as the scanner
// sees them.

#include <gtest/gtest.h>

#include <algorithm>

#include "Harness.h"
#include "NetSupport.h"
#include "SimTracker.h"
#include "nimbrel_sim/Net.h"
#include "protocol/ControlFrame.h"

namespace nimbrel::testing {
namespace {

using sim::EventKind;

class EthernetHandshake : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start(0));
    sim.scanner().SetPartNumber("QV47-02HCAF-123456");
    sim.scanner().SetFirmwareVersion(0x01000078);
  }
  app::TfrmMain& StartEthernet() {
    h.ethernet = app::EthernetTarget{"127.0.0.1", sim.Port()};
    auto& f = h.Start();
    h.loop.ProcessMessages();  // the Connect the option presses once the window is up
    h.loop.RunFor(1000);
    return f;
  }
  std::vector<EventKind> Kinds() {
    std::vector<EventKind> kinds;
    for (const auto& e : sim.scanner().Events()) kinds.push_back(e.kind);
    return kinds;
  }

  Harness h;
  SimTracker tracker{h.loop.inFlight()};
  sim::Simulator sim{&tracker};
};

TEST_F(EthernetHandshake, WireOrderOfAConnectAndTheGreeting) {
  auto& f = StartEthernet();
  ASSERT_TRUE(f.linkEstablished);
  const auto kinds = Kinds();
  const std::vector<EventKind> expected{EventKind::Wake, EventKind::LinkUp, EventKind::SessionStart,
                                        EventKind::ConnectRequest, EventKind::SystemInfoRequest};
  ASSERT_GE(kinds.size(), expected.size());
  EXPECT_EQ(std::vector<EventKind>(kinds.begin(), kinds.begin() + 5), expected);
  const auto wake = sim.scanner().Events()[0];
  EXPECT_EQ(wake.magic, protocol::kMagicRsS);
  EXPECT_EQ(wake.param, -1);
  EXPECT_EQ(wake.value, -1);
  EXPECT_TRUE(std::all_of(wake.frame.begin() + 12, wake.frame.end(), [](std::uint8_t b) { return b == 0; }));

  // The log: link, identity, model and tsCode, in order.
  const auto& log = h.Log();
  auto at = std::find(log.begin(), log.end(), "TCP Connected");
  ASSERT_NE(at, log.end());
  ASSERT_GE(log.end() - at, 6);
  EXPECT_EQ(at[1], "Greeting::normal unit");
  EXPECT_EQ(at[2].rfind("PN::", 0), 0u);
  EXPECT_EQ(at[3], "scanner version:1.0.0.120");
  EXPECT_EQ(at[4], "ws ROHS model(QV47-XXXXAF or QV47-XXXX05)");
  EXPECT_EQ(at[5], "No tsCode: 0x00001");
  EXPECT_TRUE(f.btnAutoUpload.Enabled());
  EXPECT_TRUE(f.unitSupported);

  // One System Info request, carrying the greeting's bytes.
  const auto requests = sim.scanner().SystemInfoRequests();
  ASSERT_EQ(requests.size(), 1u);
  const auto greeting = sim.scanner().LastGreeting();
  ASSERT_TRUE(greeting);
  for (std::size_t i = 0; i < 512; ++i) {
    if (i / 4 == 0 || i / 4 == 2 || i / 4 == 126 || i / 4 == 127) continue;
    ASSERT_EQ(requests[0][i], (*greeting)[i]) << i;
  }
  // The scanner's reply became the System Info copy.
  EXPECT_EQ(f.replyCount, 1);
  EXPECT_EQ(protocol::LoadU32(f.systemInfoCopy.data()), protocol::kMagicSoF);

  // A second Connect does nothing: no datagram, no second connection.
  f.ConnectClick(&f.Connect);
  h.loop.RunFor(1000);
  EXPECT_EQ(sim.scanner().Count(EventKind::Wake), 1u);
  EXPECT_EQ(sim.scanner().LinkCount(), 1u);
}

TEST_F(EthernetHandshake, EndOfSessionOverEthernetIsOneSosFrameAndTheLastWait) {
  auto& f = StartEthernet();
  ASSERT_TRUE(f.TcpIsConnected());
  sim.scanner().ClearRecords();
  const std::int64_t t0 = h.loop.NowMs();
  f.SendEndOfSession();
  h.loop.ProcessMessages();
  EXPECT_EQ(h.loop.NowMs() - t0, 50 + 100);  // one pass, then the last wait
  const auto events = sim.scanner().Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EventKind::EthernetEndSession);
  EXPECT_EQ(events[0].magic, protocol::kMagicSoS);
  EXPECT_TRUE(std::all_of(events[0].frame.begin() + 4, events[0].frame.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(EthernetHandshake, UnsupportedUnitGetsNoRequest) {
  sim.scanner().SetPartNumber("QV47-05HCAF-123456");
  auto& f = StartEthernet();
  EXPECT_FALSE(f.unitSupported);
  EXPECT_TRUE(h.Logged("Updater is not supposed to support this unit"));
  EXPECT_TRUE(sim.scanner().SystemInfoRequests().empty());
  // The Ethernet link stays open.
  EXPECT_TRUE(f.TcpIsConnected());
}

TEST_F(EthernetHandshake, MalformedPartNumberStillGetsTheRequest) {
  sim.scanner().SetPartNumber(std::string_view("QV47-02\0\0\0\0\0\0\0\0\0\0\0\0\0", 20));
  auto& f = StartEthernet();
  EXPECT_TRUE(h.Logged("unknown model"));
  EXPECT_TRUE(h.Logged("please restart device and program"));
  EXPECT_FALSE(f.btnAutoUpload.Enabled());
  EXPECT_EQ(sim.scanner().SystemInfoRequests().size(), 1u);
}

TEST_F(EthernetHandshake, AnnouncedSystemInfoReplyBecomesTheCopy) {
  sim.scanner().Configure([](sim::Options& o) { o.systemInfoAsTransfer = true; });
  auto& f = StartEthernet();
  EXPECT_TRUE(h.Logged("recv start[00300000][512]"));
  EXPECT_TRUE(h.Logged("something get"));
  EXPECT_EQ(f.replyCount, 1);
  const auto record = sim.scanner().SystemInfo();
  EXPECT_TRUE(std::equal(record.begin(), record.begin() + 504, f.systemInfoCopy.begin()));
}

TEST_F(EthernetHandshake, PeerDropResetsTheSessionButNotSilentState) {
  h.args.push_back("-S");
  h.ethernet = app::EthernetTarget{"127.0.0.1", sim.Port()};
  auto& f = h.Start();
  h.loop.RunFor(1000);  // the silent connect takes the Ethernet link
  ASSERT_TRUE(f.linkEstablished);
  ASSERT_EQ(f.silentState, 2);
  h.loop.RunFor(1000);  // the silent update is due; the peer drops before its tick
  sim.scanner().DropLink();
  h.loop.RunFor(100);
  EXPECT_TRUE(h.Logged("TCP Disconnected"));
  EXPECT_FALSE(f.sessionOpen);
  EXPECT_FALSE(f.btnBackup.Enabled());
  EXPECT_EQ(f.silentState, 2);
  EXPECT_FALSE(f.Closed());
}

TEST(EthernetConnectFails, RefusedConnectIsHandledLikeNoScanner) {
  for (const bool silent : {false, true}) {
    Harness h;
    // Takes the wake datagram; its TCP port does not listen.
    DatagramSink peer(h.loop.inFlight());
    ASSERT_NE(peer.Port(), 0);
    if (silent) h.args.push_back("-S");
    h.ethernet = app::EthernetTarget{"127.0.0.1", peer.Port()};
    auto& f = h.Start();
    h.loop.RunFor(2000);
    EXPECT_FALSE(f.linkEstablished);
    EXPECT_EQ(peer.Received(), 1);
    if (silent) {
      EXPECT_TRUE(f.Closed());
      EXPECT_TRUE(h.dialogs.Messages().empty());
    } else {
      ASSERT_EQ(h.dialogs.Messages().size(), 1u);
      EXPECT_EQ(h.dialogs.Messages()[0].text, "can't connect Scanner");
      EXPECT_EQ(h.dialogs.Messages()[0].caption, "Check connection");
      EXPECT_FALSE(f.Closed());
    }
  }
}

}  // namespace
}  // namespace nimbrel::testing
