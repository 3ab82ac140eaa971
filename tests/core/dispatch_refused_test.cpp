// An announced transfer longer than the receive buffer is refused and its
// bytes are dropped. Whatever resets the receive state afterwards (a connect
// request after the scanner restarted, an upload's announcement) ends the
// dropping too, so the frames that follow are the conversation as usual.
// (The same over Ethernet: net_dispatch_test.cpp.)

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "UsbHarness.h"
#include "protocol/Bytes.h"

namespace nimbrel::testing {
namespace {

using namespace protocol;

// A bare announcement: the magic, the command and the length, nothing else,
// so that a frame mistaken for it carries no identity.
Frame Announcement(std::int32_t command, std::int32_t length) {
  Frame f{};
  FrameView(f).setMagic(kMagicSoF);
  FrameView(f).setCommand(command);
  FrameView(f).setTransferLength(length);
  return f;
}

constexpr std::int32_t kTooLong = static_cast<std::int32_t>(app::kLargeBufferSize) + 512;
constexpr const char* kRefusedLine = "recv refused[30000000][52429312]: longer than the receive buffer";

// A System Info record with an identity of its own, as a plain frame.
Frame Record(const char* pn) { return MakeGreeting({.pn = pn}); }

TEST(RefusedTransferOverUsb, ConnectRequestAfterARestartEndsTheDropping) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet();
  ASSERT_TRUE(h.usbLink->CompleteRead(Bytes(Announcement(CommandImage, kTooLong))));
  ASSERT_TRUE(h.Logged(kRefusedLine));
  ASSERT_TRUE(h.usbLink->CompleteRead(std::vector<std::uint8_t>(512, 0x11)));

  // The scanner restarts in the middle of the refused transfer.
  h.usbLink->Remove();
  h.usbLink->SetActive(true);
  ASSERT_TRUE(h.usbLink->CompleteRead(Bytes(MakeGreeting())));
  EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), "Greeting::normal unit"), 2);

  // The answer to the greeting's System Info request comes as a transfer.
  f.replyCount = 0;
  f.replyDue = false;
  ASSERT_TRUE(h.usbLink->CompleteRead(Bytes(Announcement(CommandSystemInfo, 512))));
  EXPECT_TRUE(h.Logged("recv start[00300000][512]"));
  const Frame record = Record("QV47-02HCAF-654321");
  ASSERT_TRUE(h.usbLink->CompleteRead(Bytes(record)));
  EXPECT_TRUE(h.Logged("something get"));
  EXPECT_EQ(f.replyCount, 1);
  EXPECT_TRUE(f.replyDue);
  EXPECT_EQ(f.systemInfoCopy, record);
  EXPECT_EQ(h.usbLink->reads.back().buffer, f.frameBuffer.data());
}

TEST(RefusedTransferOverUsb, UploadAnnouncementEndsTheDropping) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet();
  ASSERT_TRUE(h.usbLink->CompleteRead(Bytes(Announcement(CommandImage, kTooLong))));
  ASSERT_TRUE(h.Logged(kRefusedLine));

  std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[100]());
  ASSERT_TRUE(f.SendUpload(CommandSystemInfo, std::move(payload), 100));
  h.loop.ProcessMessages();

  // The scanner's plain reply lands where the read armed during the refused
  // transfer points, and is the reply all the same.
  f.replyCount = 0;
  f.replyDue = false;
  const Frame reply = Record("QV47-02HCAF-777777");
  ASSERT_TRUE(h.usbLink->CompleteRead(Bytes(reply)));
  EXPECT_EQ(std::count_if(h.Log().begin(), h.Log().end(),
                          [](const std::string& l) { return l.rfind("recv refused", 0) == 0; }),
            1);
  EXPECT_EQ(f.replyCount, 1);
  EXPECT_TRUE(f.replyDue);
  EXPECT_EQ(f.systemInfoCopy, reply);
  EXPECT_EQ(h.usbLink->reads.back().buffer, f.frameBuffer.data());
}

TEST(RefusedTransfer, MoreThanTwoGibibytesAreCountedToTheirEnd) {
  // The largest length a frame can announce, dropped in large blocks: the
  // count passes 2^31 - 1 on the last one, and the transfer is over then.
  UsbHarness h;
  auto& f = h.Start();
  f.DispatchFrame(Bytes(MakeGreeting()).data(), 512);
  const Frame announce = Announcement(CommandImage, INT_MAX);
  f.DispatchFrame(announce.data(), 512);
  ASSERT_TRUE(h.Logged("recv refused[30000000][2147483647]: longer than the receive buffer"));
  constexpr int kBlock = 512000;
  const std::vector<std::uint8_t> block(kBlock, 0x22);
  const int blocks = INT_MAX / kBlock + 1;
  for (int i = 0; i < blocks; ++i) f.DispatchFrame(block.data(), kBlock);
  EXPECT_EQ(f.bulkTotal, 0);

  f.replyCount = 0;
  const Frame reply = Record("QV47-02HCAF-888888");
  f.DispatchFrame(reply.data(), 512);
  EXPECT_EQ(f.replyCount, 1);
  EXPECT_EQ(f.systemInfoCopy, reply);
}

}  // namespace
}  // namespace nimbrel::testing
