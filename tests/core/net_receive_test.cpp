// The receive thread of the Ethernet link against the simulated scanner:
// cutting the stream into frames, delivery on the UI thread, the end of the
// link, and the receiver's own end.

#include <algorithm>

#include "NetSupport.h"

namespace nimbrel::testing {
namespace {

struct CutCase {
  const char* name;
  std::vector<std::size_t> pieces;     // sent one after the other, each settled
  std::vector<std::size_t> framesAfter;  // frames delivered after each piece
  std::vector<std::size_t> waiting;    // bytes left in the input buffer after each piece
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class EthernetReceiveCut : public EthernetFixture, public ::testing::WithParamInterface<CutCase> {};
using EthernetReceive = EthernetFixture;

TEST_P(EthernetReceiveCut, DeliversWholeFramesInArrivalOrder) {
  Open();
  const CutCase& c = GetParam();
  std::size_t total = 0;
  for (std::size_t n : c.pieces) total += n;
  const Bytes stream = Pattern(total);

  std::size_t at = 0;
  for (std::size_t i = 0; i < c.pieces.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(scanner().SendRaw(Bytes(stream.begin() + at, stream.begin() + at + c.pieces[i])));
    at += c.pieces[i];
    // One turn of the UI loop: in-flight accounting holds it until the
    // receiver has queued every frame the bytes complete.
    h.loop.ProcessMessages();
    EXPECT_EQ(h.loop.inFlight().Count(), 0);
    ASSERT_EQ(frames.size(), c.framesAfter[i]);
    EXPECT_EQ(form->TCP->InputBufferSize(), c.waiting[i]);
  }
  for (std::size_t k = 0; k < frames.size(); ++k) {
    ASSERT_EQ(frames[k].size(), 512u);
    EXPECT_TRUE(std::equal(frames[k].begin(), frames[k].end(), stream.begin() + k * 512)) << "frame " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stream, EthernetReceiveCut,
    ::testing::Values(CutCase{"HalvesMakeOneFrame", {300, 212}, {0, 1}, {300, 0}},
                      CutCase{"ThousandBytesLeave488", {1000}, {1}, {488}},
                      CutCase{"ThreeFramesAtOnce", {1536}, {3}, {0}},
                      CutCase{"RestCompletesLater", {1000, 24, 600}, {1, 2, 3}, {488, 0, 88}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(EthernetReceive, EndOfStreamDeliversCompleteFramesAndDisconnects) {
  Open();
  const Bytes stream = Pattern(600);
  ASSERT_TRUE(scanner().SendRaw(stream));
  ASSERT_TRUE(scanner().DropLink());
  Settle();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(std::equal(frames[0].begin(), frames[0].end(), stream.begin()));
  EXPECT_FALSE(form->TcpIsConnected());
  EXPECT_EQ(form->TCP->InputBufferSize(), 0u);
  // The receiver goes on polling the unconnected client until told to stop.
  EXPECT_NE(form->tcpReceiver.load(), nullptr);
}

TEST_F(EthernetReceive, TerminateRequestEndsTheReceiver) {
  Open();
  net::TTCPReceiver* receiver = form->tcpReceiver.load();
  ASSERT_NE(receiver, nullptr);
  receiver->Terminate();
  Settle();
  EXPECT_EQ(form->tcpReceiver.load(), nullptr);
  EXPECT_EQ(h.trace.Count("delete TTCPReceiver\n"), 1u);
  // Ending the receiver leaves the link itself to the close.
  EXPECT_TRUE(form->TcpIsConnected());
}

TEST_F(EthernetReceive, NothingIsDeliveredAfterTheLoopShutDown) {
  Open();
  h.loop.Shutdown();
  ASSERT_TRUE(scanner().SendRaw(Pattern(1024)));
  // Its first delivery refused, the receiver ends by itself.
  const auto deadline = std::chrono::steady_clock::now() + kPeerWait;
  while (form->tcpReceiver.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(form->tcpReceiver.load(), nullptr);
  h.loop.ProcessMessages();
  EXPECT_TRUE(frames.empty());
  EXPECT_TRUE(h.trace.Contains("delete TTCPReceiver\n"));
}

}  // namespace
}  // namespace nimbrel::testing
