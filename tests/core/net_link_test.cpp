// Opening and closing the Ethernet link: the wake datagram, the TCP connect
// (also refused), and the link's part of closing the window.

#include <algorithm>

#include "NetSupport.h"
#include "protocol/ControlFrame.h"

namespace nimbrel::testing {
namespace {

using sim::EventKind;

using EthernetLink = EthernetFixture;

std::size_t IndexOf(const std::vector<sim::Event>& events, EventKind kind) {
  return static_cast<std::size_t>(
      std::find_if(events.begin(), events.end(), [&](const sim::Event& e) { return e.kind == kind; }) -
      events.begin());
}

TEST_F(EthernetLink, WakeDatagramGoesOutBeforeTheSession) {
  const std::int64_t t0 = h.loop.NowMs();
  Open();
  // 150 ms after the datagram; inside the connect, "SwS", 150 ms, the request.
  EXPECT_EQ(h.loop.NowMs() - t0, 150 + 50 + 150 + 50);
  EXPECT_TRUE(form->linkEstablished);
  EXPECT_TRUE(form->TcpIsConnected());
  EXPECT_NE(form->tcpReceiver.load(), nullptr);

  const auto events = scanner().Events();
  const std::size_t wake = IndexOf(events, EventKind::Wake);
  ASSERT_LT(wake, events.size());
  EXPECT_LT(wake, IndexOf(events, EventKind::LinkUp));
  EXPECT_LT(IndexOf(events, EventKind::LinkUp), IndexOf(events, EventKind::SessionStart));
  ASSERT_LT(IndexOf(events, EventKind::SessionStart), events.size());
  EXPECT_LT(IndexOf(events, EventKind::SessionStart), IndexOf(events, EventKind::ConnectRequest));
  ASSERT_LT(IndexOf(events, EventKind::ConnectRequest), events.size());
  const sim::Event& w = events[wake];
  EXPECT_EQ(w.size, 512u);
  EXPECT_EQ(w.magic, protocol::kMagicRsS);
  EXPECT_EQ(w.param, -1);
  EXPECT_EQ(w.value, -1);
  EXPECT_TRUE(std::all_of(w.frame.begin() + 12, w.frame.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(scanner().Count(EventKind::Wake), 1u);
}

TEST(EthernetConnect, RefusedConnectLeavesTheLinkDown) {
  Harness h;
  DatagramSink peer(h.loop.inFlight());
  ASSERT_NE(peer.Port(), 0);
  auto& form = h.Start();
  form.editAddress.SetText("127.0.0.1");
  form.ethernetPort = peer.Port();

  EXPECT_FALSE(form.OpenEthernetLink());
  EXPECT_FALSE(form.linkEstablished);
  EXPECT_FALSE(form.TcpIsConnected());
  EXPECT_EQ(peer.Received(), 1);
  EXPECT_EQ(h.trace.Count("TCP connect 127.0.0.1:" + std::to_string(peer.Port()) + ": Connection refused\n"), 1u);
  EXPECT_TRUE(h.dialogs.Messages().empty());

  // The receiver keeps polling the unconnected client; a second attempt
  // replaces it rather than adding a second one.
  net::TTCPReceiver* first = form.tcpReceiver.load();
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(form.OpenEthernetLink());
  EXPECT_EQ(h.trace.Count("delete TTCPReceiver\n"), 1u);
  EXPECT_NE(form.tcpReceiver.load(), nullptr);
  EXPECT_EQ(peer.Received(), 2);

  // Sending over the link that never came up gives up.
  const Bytes data = Pattern(512);
  form.pendingSends = 1;
  form.TCPSendBuffer(data.data(), 512);
  EXPECT_EQ(form.pendingSends.load(), 0);
  EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), "error in TCPSendBufferNot connected"),
            app::TfrmMain::kTcpSendRetries + 1);
}

TEST_F(EthernetLink, CloseEndsTheSessionStopsTheReceiverAndDisconnects) {
  Open();
  Settle();
  const std::int64_t t0 = h.loop.NowMs();
  form->Close();
  const std::int64_t took = h.loop.NowMs() - t0;
  Settle();

  // "SoS" (one pass and the close's own pause), then at most 19 polls.
  EXPECT_LE(took, 50 + 100 + 19 * 100);
  EXPECT_EQ(form->tcpReceiver.load(), nullptr);
  EXPECT_FALSE(form->TcpIsConnected());
  const auto lines = h.trace.Lines();
  const auto receiverEnd = std::find(lines.begin(), lines.end(), "delete TTCPReceiver\n");
  const auto closeLine = std::find(lines.begin(), lines.end(), "delete pReceiver\n");
  ASSERT_NE(receiverEnd, lines.end());
  ASSERT_NE(closeLine, lines.end());
  EXPECT_LT(receiverEnd, closeLine);

  ASSERT_TRUE(scanner().WaitFor([&] { return scanner().Count(EventKind::LinkDown) == 1; }, kPeerWait));
  const auto events = scanner().Events();
  EXPECT_LT(IndexOf(events, EventKind::EthernetEndSession), IndexOf(events, EventKind::LinkDown));
}

TEST_F(EthernetLink, FrameArrivingDuringTheCloseNeverReachesTheWindow) {
  Open();
  Settle();
  // Its delivery is queued while the close pauses without processing.
  ASSERT_TRUE(scanner().SendRaw(Pattern(512)));
  const std::int64_t t0 = h.loop.NowMs();
  form->Close();
  // The receiver does not wait for its delivery: it ends at the request,
  // before the close needs any of its pauses.
  EXPECT_EQ(h.loop.NowMs() - t0, 50 + 100);
  const auto lines = h.trace.Lines();
  const auto ended = std::find(lines.begin(), lines.end(), "delete TTCPReceiver\n");
  const auto deleted = std::find(lines.begin(), lines.end(), "delete pReceiver\n");
  ASSERT_NE(deleted, lines.end());
  EXPECT_LT(ended, deleted);
  EXPECT_EQ(form->tcpReceiver.load(), nullptr);
  EXPECT_EQ(form->stagingBuffer, nullptr);

  Settle();  // the queued delivery runs, and is dropped
  EXPECT_TRUE(frames.empty());
}

}  // namespace
}  // namespace nimbrel::testing
