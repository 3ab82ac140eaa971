// The main window's Ethernet link: opening it, sending in 512-byte passes,
// the peer going away, the terminate request and the close.

#include <gtest/gtest.h>

#include <algorithm>

#include "NetFixture.h"
#include "net/TTCPReceiver.h"

namespace nimbrel::testing {
namespace {

using protocol::ConstControlFrame;
using Block = std::vector<std::uint8_t>;

TEST_F(NetTest, ConnectSendsTheWakeDatagramThenConnectsAfter150MsAndStartsTheHandshake) {
  app::TfrmMain& f = StartWindow();
  ASSERT_EQ(f.editAddress.Text(), kLoopback);
  f.ConnectClick(&f.Connect);

  const auto datagrams = peer.Datagrams();
  ASSERT_EQ(datagrams.size(), 1u);
  ASSERT_EQ(datagrams[0].size(), 512u);
  const protocol::Frame expected = protocol::MakeWakeFrame();
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), datagrams[0].begin()));
  EXPECT_EQ(ConstControlFrame(datagrams[0].data()).magic(), protocol::kMagicRsS);
  EXPECT_EQ(ConstControlFrame(datagrams[0].data()).param(), -1);
  EXPECT_EQ(ConstControlFrame(datagrams[0].data()).value(), -1);

  EXPECT_TRUE(f.linkEstablished);
  EXPECT_TRUE(f.TcpIsConnected());
  EXPECT_NE(f.tcpReceiver.load(), nullptr);
  EXPECT_TRUE(h.Logged("TCP Connected"));

  // Connected 150 ms after the datagram; "SwS" at once, the connect
  // request after its pass and 150 ms more.
  ASSERT_EQ(tcp->sends.size(), 2u);
  EXPECT_EQ(tcp->sends[0].atMs, 150);
  EXPECT_EQ(tcp->sends[1].atMs, 150 + 50 + 150);
  h.loop.ProcessMessages();
  const Block received = peer.Received();
  ASSERT_EQ(received.size(), 1024u);
  EXPECT_EQ(ConstControlFrame(received.data()).magic(), protocol::kMagicSwS);
  EXPECT_EQ(ConstControlFrame(received.data() + 512).magic(), protocol::kMagicSoF);
  EXPECT_EQ(peer.Connections(), 1);
}

TEST_F(NetTest, ARefusedConnectLeavesTheReceiverPollingForTheNextTry) {
  app::TfrmMain& f = StartWindow();
  LoopbackPeer deaf(&h.loop.inFlight());  // hears the datagram, refuses the connect
  deaf.StopListening();
  f.ethernetPort = deaf.Port();
  f.ConnectClick(&f.Connect);
  EXPECT_EQ(deaf.Datagrams().size(), 1u);
  EXPECT_FALSE(f.linkEstablished);
  EXPECT_FALSE(h.Logged("TCP Connected"));
  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].text, "can't connect Scanner");
  net::TTCPReceiver* first = f.tcpReceiver.load();
  ASSERT_NE(first, nullptr);

  // The next try serves with the same receiver: one thread per client.
  f.ethernetPort = peer.Port();
  f.ConnectClick(&f.Connect);
  EXPECT_TRUE(f.linkEstablished);
  EXPECT_EQ(f.tcpReceiver.load(), first);
}

TEST_F(NetTest, ConnectDoesNothingOnceALinkIsEstablished) {
  app::TfrmMain& f = Connect();
  net::TTCPReceiver* receiver = f.tcpReceiver.load();
  f.ConnectClick(&f.Connect);
  h.loop.ProcessMessages();
  EXPECT_EQ(peer.Datagrams().size(), 1u);
  EXPECT_EQ(f.tcpReceiver.load(), receiver);
  EXPECT_TRUE(Received().empty());
}

struct PassCase {
  int size;
  std::size_t passes;
};

class TCPSendBufferPasses : public NetTest, public ::testing::WithParamInterface<PassCase> {};

TEST_P(TCPSendBufferPasses, SendsWholePassesFilledUpWithZerosAndLowersPendingSends) {
  const PassCase c = GetParam();
  app::TfrmMain& f = Connect();
  f.pendingSends = 5;
  const Block data = Pattern(static_cast<std::size_t>(c.size));
  const std::int64_t start = h.loop.NowMs();

  f.TCPSendBuffer(data.data(), c.size);

  EXPECT_EQ(h.loop.NowMs() - start, static_cast<std::int64_t>(c.passes) * 50);
  EXPECT_EQ(f.pendingSends, 4);
  EXPECT_TRUE(h.trace.Contains("TCPsendBuffer[" + std::to_string(c.size) + "]"));
  ASSERT_EQ(tcp->sends.size(), c.passes);
  for (const auto& s : tcp->sends) EXPECT_EQ(s.bytes.size(), 512u);
  Block wire = data;
  wire.resize(c.passes * 512, 0);
  h.loop.ProcessMessages();
  EXPECT_EQ(Received(), wire);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TCPSendBufferPasses,
                         ::testing::Values(PassCase{512, 1}, PassCase{513, 2}, PassCase{0, 0}, PassCase{2048, 4}));

TEST_F(NetTest, AFailedPassIsSentAgainSoThatNoDataIsLost) {
  app::TfrmMain& f = Connect();
  tcp->failSends = {1};
  const Block data = Pattern(2048);
  const std::int64_t start = h.loop.NowMs();

  f.TCPSendBuffer(data.data(), 2048);

  EXPECT_EQ(Received(), data);
  ASSERT_EQ(tcp->sends.size(), 5u);
  EXPECT_EQ(tcp->sends[1].bytes, tcp->sends[2].bytes);
  EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), "error in TCPSendBufferConnection reset by peer"), 1);
  EXPECT_EQ(h.loop.NowMs() - start, 5 * 50);
}

TEST_F(NetTest, ALinkThatKeepsFailingEndsTheSendWithALogLine) {
  app::TfrmMain& f = Connect();
  f.pendingSends = 1;
  tcp->failFrom = 1;
  const Block data = Pattern(2048);

  f.TCPSendBuffer(data.data(), 2048);

  EXPECT_EQ(Received(), Block(data.begin(), data.begin() + 512));
  EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), "error in TCPSendBufferConnection reset by peer"), 5);
  EXPECT_EQ(h.Log().back(), "TCPSendBuffer stopped: 1536 of 2048 bytes not sent");
  EXPECT_EQ(f.pendingSends, 0);
}

TEST_F(NetTest, APeerThatGoesAwayDisconnectsTheLinkOnTheUiThread) {
  app::TfrmMain& f = Connect();
  peer.Drop();
  h.loop.ProcessMessages();
  EXPECT_TRUE(h.Logged("TCP Disconnected"));
  EXPECT_FALSE(f.TcpIsConnected());
  EXPECT_TRUE(f.linkEstablished);

  // Nothing goes out any more, and nothing is reported.
  const std::size_t before = tcp->sends.size();
  std::uint8_t frame[512] = {};
  f.TransportSend(frame, 512);
  EXPECT_EQ(tcp->sends.size(), before);
}

TEST_F(NetTest, TheTerminateRequestEndsTheReceiverWhichClearsTcpReceiver) {
  app::TfrmMain& f = Connect();
  net::TTCPReceiver* receiver = f.tcpReceiver.load();
  ASSERT_NE(receiver, nullptr);
  receiver->Terminate();
  h.loop.ProcessMessages();
  EXPECT_EQ(f.tcpReceiver.load(), nullptr);
  EXPECT_EQ(h.trace.Count("delete TTCPReceiver\n"), 1u);
}

TEST_F(NetTest, ClosingDuringAnEthernetConnectionEndsTheSessionStopsTheReceiverAndDisconnects) {
  app::TfrmMain& f = Connect();
  const std::int64_t start = h.loop.NowMs();

  f.Close();

  // "SoS", its pass and the last wait of the end of session; the receiver
  // ends before the first of the 100 ms pauses is needed.
  EXPECT_EQ(h.loop.NowMs() - start, 50 + 100);
  const protocol::Frame sos = protocol::MakeMagicOnlyFrame(protocol::kMagicSoS);
  EXPECT_EQ(Received(), Block(sos.begin(), sos.end()));

  const auto lines = h.trace.Lines();
  const auto ended = std::find(lines.begin(), lines.end(), "delete TTCPReceiver\n");
  const auto deleted = std::find(lines.begin(), lines.end(), "delete pReceiver\n");
  ASSERT_NE(ended, lines.end());
  ASSERT_NE(deleted, lines.end());
  EXPECT_LT(ended, deleted);
  EXPECT_EQ(f.tcpReceiver.load(), nullptr);
  EXPECT_TRUE(h.Logged("TCP Disconnected"));
  EXPECT_FALSE(f.TCP->Connected());
  EXPECT_EQ(f.stagingBuffer, nullptr);
  EXPECT_EQ(f.bulkBuffer, nullptr);
  EXPECT_TRUE(Eventually([&] { return peer.SawEnd(); }));
}

TEST_F(NetTest, ALinkThePeerHasClosedIsNotWaitedForAtTheClose) {
  app::TfrmMain& f = Connect();
  peer.Drop();
  h.loop.ProcessMessages();
  const std::int64_t start = h.loop.NowMs();

  f.Close();

  EXPECT_EQ(h.loop.NowMs() - start, 100);  // only the last wait of the end of session
  EXPECT_FALSE(h.trace.Contains("delete pReceiver\n"));
  EXPECT_EQ(f.stagingBuffer, nullptr);
  EXPECT_EQ(h.loop.inFlight().Count(), 0);
}

}  // namespace
}  // namespace nimbrel::testing
