// How frames of the Ethernet link reach the UI thread: through the window's
// own dispatcher (the greeting, the System Info request it causes, the
// scanner's reply), and one delivery at a time.

#include <algorithm>

#include "NetSupport.h"

namespace nimbrel::testing {
namespace {

class EthernetDispatch : public EthernetFixture {
 protected:
  void SetUp() override {
    EthernetFixture::SetUp();
    form->tcpFrameSink = nullptr;  // the real dispatcher
    scanner().Configure([](sim::Options& o) { o.silent = false; });  // a scanner that answers
    // A stall would show as a wait that gave up; keep it short.
    h.loop.SetSettleTimeout(std::chrono::milliseconds(500));
    scanner().SetPartNumber("QV47-02HCAF-123456");  // a unit this updater supports
    scanner().SetFirmwareVersion(0x01000078);
  }
};

TEST_F(EthernetDispatch, TheGreetingIsAnsweredAndTheReplyArrivesWhileTheRequestIsStillBeingSent) {
  // The request goes out from inside the greeting's dispatch, and the reply
  // comes while that send pauses after its pass: the receive thread must
  // take it without waiting for the dispatch to end.
  form->rgConnection.SetItemIndex(1);
  form->ConnectClick(&form->Connect);
  Settle();
  EXPECT_TRUE(form->linkEstablished);
  EXPECT_TRUE(form->unitSupported);
  EXPECT_EQ(scanner().Count(sim::EventKind::SystemInfoRequest), 1u);
  EXPECT_EQ(form->replyCount, 1);
  EXPECT_EQ(h.loop.SettleTimeouts(), 0);
}

using EthernetDelivery = EthernetFixture;

TEST_F(EthernetDelivery, DeliveriesNeverNestEvenWhenOneProcessesPendingEvents) {
  // The first delivery processes pending events, as the upload framing
  // does, while the second frame is already waiting.
  int depth = 0, maxDepth = 0;
  std::size_t deliveredInside = 0;
  form->tcpFrameSink = [&](const std::uint8_t* f, int n) {
    ++depth;
    maxDepth = std::max(maxDepth, depth);
    frames.emplace_back(f, f + n);
    if (frames.size() == 1) {
      h.loop.ProcessMessages();
      deliveredInside = frames.size();
    }
    --depth;
  };
  Open();
  const Bytes stream = Pattern(1024);
  ASSERT_TRUE(scanner().SendRaw(stream));
  Settle();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(deliveredInside, 1u);
  EXPECT_EQ(maxDepth, 1);
  EXPECT_TRUE(std::equal(frames[1].begin(), frames[1].end(), stream.begin() + 512));
}

}  // namespace
}  // namespace nimbrel::testing
