// The receive thread on its own: how it cuts the stream into frames and how
// it hands them to the UI thread.

#include <gtest/gtest.h>

#include <array>

#include "LoopbackPeer.h"
#include "NetFixture.h"
#include "RecordingTcp.h"
#include "net/TTCPReceiver.h"
#include "platform/VirtualEventLoop.h"

namespace nimbrel::testing {
namespace {

using Block = std::vector<std::uint8_t>;

class ReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client.Connect(kLoopback, peer.Port(), 500);
    net::ReceiverTarget target;
    target.frame = [this](const std::uint8_t* block, int length) {
      ++depth;
      maxDepth = std::max(maxDepth, depth);
      delivered.emplace_back(block, block + length);
      if (onFrame) onFrame();
      --depth;
    };
    target.peerClosed = [this] { delivered.push_back(Block{}); };
    receiver = std::make_unique<net::TTCPReceiver>(loop, trace, client, std::move(target),
                                                   [this](net::TTCPReceiver*) { ended = true; });
  }

  platform::VirtualEventLoop loop;
  platform::Trace trace;
  LoopbackPeer peer{&loop.inFlight()};
  RecordingTcp client{loop, platform::MakeTcpClient(&loop.inFlight())};
  std::vector<Block> delivered;  // an empty block stands for the end of the stream
  std::function<void()> onFrame;
  int depth = 0, maxDepth = 0;
  std::atomic<bool> ended{false};
  std::unique_ptr<net::TTCPReceiver> receiver;
};

Block Slice(const Block& b, std::size_t from, std::size_t n) { return Block(b.begin() + from, b.begin() + from + n); }

TEST_F(ReceiverTest, PartsOfAFrameAreDeliveredOnceAll512BytesHaveArrived) {
  const Block data = Pattern(512);
  peer.Send(Slice(data, 0, 300));
  loop.ProcessMessages();
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(client.InputBufferSize(), 300u);

  peer.Send(Slice(data, 300, 212));
  loop.ProcessMessages();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0], data);
  EXPECT_EQ(client.InputBufferSize(), 0u);
}

TEST_F(ReceiverTest, ThousandBytesGiveOneFrameAndLeave488Waiting) {
  const Block data = Pattern(1000);
  peer.Send(data);
  loop.ProcessMessages();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0], Slice(data, 0, 512));
  EXPECT_EQ(client.InputBufferSize(), 488u);

  // The rest of the second frame completes it.
  const Block more = Pattern(24, 9);
  peer.Send(more);
  loop.ProcessMessages();
  ASSERT_EQ(delivered.size(), 2u);
  Block second = Slice(data, 512, 488);
  second.insert(second.end(), more.begin(), more.end());
  EXPECT_EQ(delivered[1], second);
}

TEST_F(ReceiverTest, ThreeFramesArrivingTogetherAreDeliveredInOrderFromOnePoll) {
  const Block data = Pattern(3 * 512);
  peer.Send(data);
  loop.ProcessMessages();
  ASSERT_EQ(delivered.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(delivered[i], Slice(data, i * 512, 512)) << i;
  EXPECT_EQ(client.Polls(), std::vector<std::size_t>{3 * 512});
}

TEST_F(ReceiverTest, DeliveriesNeverNestEvenWhenADeliveryProcessesPendingEvents) {
  // The first delivery processes pending events (as sends over USB and the
  // upload framing do) while the second frame is already waiting.
  bool first = true;
  onFrame = [&] {
    if (!first) return;
    first = false;
    loop.ProcessMessages();
    EXPECT_EQ(delivered.size(), 1u);
  };
  peer.Send(Pattern(1024));
  loop.ProcessMessages();
  EXPECT_EQ(delivered.size(), 2u);
  EXPECT_EQ(maxDepth, 1);
}

TEST_F(ReceiverTest, AReplyToASendMadeDuringADeliveryArrivesAfterTheFramesBeforeIt) {
  // The peer answers every frame it gets with a frame of 0xEE bytes. The
  // first delivery sends a frame and pauses, as TCPSendBuffer does; the
  // thread keeps reading meanwhile, so the pause is not held up by the
  // answer and the answer comes after the frame that was already waiting.
  peer.reply = [](const std::uint8_t*) { return Block(512, 0xEE); };
  bool first = true;
  onFrame = [&] {
    if (!first) return;
    first = false;
    std::array<std::uint8_t, 512> request{};
    ASSERT_TRUE(client.Send(request.data(), request.size()).ok());
    loop.Sleep(50);
  };
  const Block data = Pattern(1024);
  peer.Send(data);
  loop.ProcessMessages();
  ASSERT_EQ(delivered.size(), 3u);
  EXPECT_EQ(delivered[1], Slice(data, 512, 512));
  EXPECT_EQ(delivered[2], Block(512, 0xEE));
  EXPECT_EQ(loop.NowMs(), 50);
}

TEST_F(ReceiverTest, TheEndOfTheStreamComesAfterTheFramesBeforeIt) {
  const Block data = Pattern(512);
  peer.Send(data);
  peer.Drop();
  loop.ProcessMessages();
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(delivered[0], data);
  EXPECT_TRUE(delivered[1].empty());
  EXPECT_FALSE(client.Connected());
}

TEST_F(ReceiverTest, AfterDetachNothingIsDeliveredAndTheStreamIsStillDrained) {
  receiver->Detach();
  peer.Send(Pattern(2 * 512));
  loop.ProcessMessages();
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(loop.inFlight().Count(), 0);
}

TEST_F(ReceiverTest, AfterTheLoopsShutdownNothingIsDelivered) {
  loop.Shutdown();
  peer.Send(Pattern(512));
  loop.ProcessMessages();
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(loop.inFlight().Count(), 0);
}

TEST_F(ReceiverTest, TerminateEndsTheThreadWithItsTraceLine) {
  receiver->Terminate();
  loop.ProcessMessages();  // the request counts as work until the thread has ended
  EXPECT_TRUE(receiver->Finished());
  EXPECT_TRUE(ended);
  EXPECT_EQ(trace.Count("delete TTCPReceiver\n"), 1u);
}

}  // namespace
}  // namespace nimbrel::testing
