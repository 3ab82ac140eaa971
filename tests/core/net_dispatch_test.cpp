// How frames of the Ethernet link reach the UI thread: through the window's
// own dispatcher (the greeting, the System Info request it causes, the
// scanner's reply), and one delivery at a time; and what follows a transfer
// the dispatcher refused.

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

// A bare announcement: the magic, the command and the length, nothing else,
// so that a frame mistaken for it carries no identity.
protocol::Frame Announcement(std::int32_t command, std::int32_t length) {
  protocol::Frame f{};
  protocol::FrameView(f).setMagic(protocol::kMagicSoF);
  protocol::FrameView(f).setCommand(command);
  protocol::FrameView(f).setTransferLength(length);
  return f;
}

// Over Ethernet every frame is copied from the receive thread's buffer into
// the receive position, so a frame that is not copied leaves the last one
// in the frame buffer to be dispatched again.
class RefusedTransferOverEthernet : public EthernetFixture {
 protected:
  void SetUp() override {
    EthernetFixture::SetUp();
    form->tcpFrameSink = nullptr;  // the real dispatcher
    scanner().Configure([](sim::Options& o) { o.silent = false; });
    scanner().SetPartNumber("QV47-02HCAF-123456");
    scanner().SetFirmwareVersion(0x01000078);
    form->rgConnection.SetItemIndex(1);
    form->ConnectClick(&form->Connect);
    Settle();
    ASSERT_TRUE(form->unitSupported);
    ASSERT_EQ(form->replyCount, 1);

    // An image transfer one block longer than the receive buffer, and the
    // first two blocks of its data.
    const protocol::Frame announce =
        Announcement(protocol::CommandImage, static_cast<std::int32_t>(app::kLargeBufferSize) + 512);
    Bytes refused(announce.begin(), announce.end());
    refused.resize(refused.size() + 1024, 0x11);
    ASSERT_TRUE(scanner().SendRaw(refused));
    Settle();
    ASSERT_TRUE(h.Logged("recv refused[30000000][52429312]: longer than the receive buffer"));
  }
};

TEST_F(RefusedTransferOverEthernet, ConnectRequestAfterARestartEndsTheDropping) {
  scanner().Configure([](sim::Options& o) { o.systemInfoAsTransfer = true; });
  ASSERT_TRUE(scanner().DropLink());
  Settle();
  ASSERT_TRUE(h.Logged("TCP Disconnected"));

  form->replyCount = 0;
  ASSERT_TRUE(form->OpenEthernetLink());
  Settle();
  EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), "Greeting::normal unit"), 2);
  EXPECT_TRUE(form->unitSupported);
  EXPECT_EQ(scanner().SystemInfoRequests().size(), 2u);
  EXPECT_TRUE(h.Logged("something get"));
  EXPECT_EQ(form->replyCount, 1);
  const protocol::Frame record = scanner().SystemInfo();
  EXPECT_TRUE(std::equal(record.begin() + 4, record.begin() + 504, form->systemInfoCopy.begin() + 4));
}

TEST_F(RefusedTransferOverEthernet, UploadAnnouncementEndsTheDropping) {
  std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[100]());
  ASSERT_TRUE(form->SendUpload(protocol::CommandSystemInfo, std::move(payload), 100));
  Settle();
  ASSERT_EQ(scanner().Uploads().size(), 1u);

  form->replyCount = 0;
  protocol::Frame reply = scanner().SystemInfo();
  reply[200] ^= 0x5A;  // not the record the greeting carried
  protocol::FrameView(reply).setMagic(protocol::kMagicSoF);
  protocol::FrameView(reply).setCommand(0);
  protocol::FrameView(reply).setTransferLength(0);
  ASSERT_TRUE(scanner().SendRaw(Bytes(reply.begin(), reply.end())));
  Settle();
  EXPECT_EQ(std::count_if(h.Log().begin(), h.Log().end(),
                          [](const std::string& l) { return l.rfind("recv refused", 0) == 0; }),
            1);
  EXPECT_EQ(form->replyCount, 1);
  EXPECT_EQ(form->systemInfoCopy, reply);
}

}  // namespace
}  // namespace nimbrel::testing
