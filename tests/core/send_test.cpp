#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <numeric>
#include <optional>

#include "UsbHarness.h"

namespace nimbrel::testing {
namespace {

using namespace protocol;

// A window whose USB link is up, without a greeting.
struct SendFixture : ::testing::Test {
  UsbHarness h;
  app::TfrmMain* f = nullptr;
  void SetUp() override {
    f = &h.Start();
    f->ConnectClick(&f->Connect);
    h.loop.ProcessMessages();
    h.usbLink->sends.clear();
  }
  std::vector<std::size_t> SentSizes() const {
    std::vector<std::size_t> sizes;
    for (const auto& s : h.usbLink->sends) sizes.push_back(s.bytes.size());
    return sizes;
  }
  std::vector<std::int64_t> Gaps() const {
    std::vector<std::int64_t> gaps;
    for (std::size_t i = 1; i < h.usbLink->sends.size(); ++i)
      gaps.push_back(h.usbLink->sends[i].at - h.usbLink->sends[i - 1].at);
    return gaps;
  }
};

TEST_F(SendFixture, ChunkedSendsCutFirstBlockPauseAndChunks) {
  struct Case {
    int size;
    std::vector<std::size_t> sends;
    std::vector<std::int64_t> gaps;  // each USB send pauses 100 ms itself
  };
  const Case cases[] = {
      {512, {512}, {}},
      {600, {512}, {}},  // bytes 512..599 are not sent
      {1024, {512, 512}, {300}},
      {512512, {512, 512000}, {300}},
      {1048576, {512, 512000, 512000, 24064}, {1100, 100, 100}},
  };
  std::vector<std::uint8_t> data(1048576);
  std::iota(data.begin(), data.end(), 0);
  for (const Case& c : cases) {
    h.usbLink->sends.clear();
    f->SendChunked(data.data(), c.size);
    EXPECT_EQ(SentSizes(), c.sends) << c.size;
    EXPECT_EQ(Gaps(), c.gaps) << c.size;
    std::size_t offset = 0;
    for (const auto& s : h.usbLink->sends) {
      ASSERT_TRUE(std::equal(s.bytes.begin(), s.bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(offset)));
      offset += s.bytes.size();
    }
    EXPECT_TRUE(f->keepAliveTimer->Enabled());
  }
}

TEST_F(SendFixture, UploadCountsAndSends) {
  struct Case {
    std::int64_t size;
    std::int32_t pendingAtStart;
    std::vector<std::size_t> sends;
  };
  const Case cases[] = {
      {0, 2, {512, 512}},
      {1000, 2, {512, 512, 1024}},
      {512000, 3, {512, 512, 512000}},
  };
  for (const Case& c : cases) {
    h.usbLink->sends.clear();
    h.usbLink->completeSends = false;  // keep the start value visible
    std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[c.size > 0 ? c.size : 1]);
    for (std::int64_t i = 0; i < c.size; ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    const double stagedAt = MakeTimestamp(h.loop.LocalNow());
    ASSERT_TRUE(f->SendUpload(0x00100000, std::move(payload), c.size));
    EXPECT_EQ(f->pendingSends, c.pendingAtStart) << c.size;
    EXPECT_EQ(SentSizes(), c.sends) << c.size;
    EXPECT_EQ(f->payloadBuffer, nullptr);
    EXPECT_EQ(h.Log().back(), "upload...");

    const auto& announce = h.usbLink->sends[0].bytes;
    Frame a;
    std::copy(announce.begin(), announce.end(), a.begin());
    EXPECT_EQ(FrameView(a).magic(), kMagicSoF);
    EXPECT_EQ(FrameView(a).command(), 0x00100000);
    EXPECT_EQ(FrameView(a).value(), 0);
    EXPECT_EQ(FrameView(a).param(), 0);
    EXPECT_EQ(FrameView(a).transferLength(), PaddedLength(c.size));
    std::vector<std::uint8_t> staged = h.usbLink->sends[1].bytes;
    for (std::size_t i = 2; i < h.usbLink->sends.size(); ++i)
      staged.insert(staged.end(), h.usbLink->sends[i].bytes.begin(), h.usbLink->sends[i].bytes.end());
    ASSERT_EQ(static_cast<std::int64_t>(staged.size()), PaddedLength(c.size));
    UploadHeader header(staged.data());
    EXPECT_EQ(header.magic(), kMagicCDb);
    EXPECT_EQ(header.command(), 0x00100000);
    EXPECT_EQ(header.size(), c.size);
    EXPECT_DOUBLE_EQ(header.timestamp(), stagedAt);  // made when staged
    const std::uint32_t sent = header.checksum();
    EXPECT_EQ(UploadChecksum(PaddedLength(c.size), staged.data()), sent);
    for (std::int64_t i = 0; i < c.size; ++i) ASSERT_EQ(staged[512 + i], static_cast<std::uint8_t>(i * 7));
    for (std::size_t i = 512 + c.size; i < staged.size(); ++i) ASSERT_EQ(staged[i], 0) << "padding";
  }
}

TEST_F(SendFixture, CompletionsCountDownToZeroNeverBelow) {
  std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[1000]());
  f->SendUpload(0x00200000, std::move(payload), 1000);
  h.loop.ProcessMessages();  // the three completions arrive
  EXPECT_EQ(f->pendingSends, 0);
  f->UsbSendEnd(1, 512, nullptr);
  EXPECT_EQ(f->pendingSends, 0);
}

TEST_F(SendFixture, PayloadThatDoesNotFitIsRefused) {
  const std::int64_t tooBig = static_cast<std::int64_t>(app::kLargeBufferSize) - 511;
  std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[1]);
  EXPECT_FALSE(f->SendUpload(0x01000000, std::move(payload), tooBig));
  EXPECT_TRUE(h.usbLink->sends.empty());
  EXPECT_EQ(h.Log().back(), "upload refused: 52428289 bytes do not fit the staging buffer");
  EXPECT_EQ(f->payloadBuffer, nullptr);
}

TEST(Send, NeitherLinkUpStagesAndLogsButSendsNothing) {
  UsbHarness h;
  auto& f = h.Start();
  std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[1000]());
  EXPECT_TRUE(f.SendUpload(0x00200000, std::move(payload), 1000));
  EXPECT_EQ(h.Log().back(), "upload...");
  EXPECT_TRUE(h.usbLink->sends.empty());
  EXPECT_EQ(f.pendingSends, 2);
  EXPECT_EQ(UploadHeader(f.stagingBuffer.get()).magic(), kMagicCDb);
}

TEST_F(SendFixture, UsbSendBracketsTheSendMarker) {
  int markerDuringSend = -1;
  h.usbLink->OnSendBufferEnd = nullptr;
  f->sendMarker = 0;
  // Look at the marker from inside the hand-over.
  h.loop.Post([&] { markerDuringSend = f->sendMarker; });
  Frame frame = MakeKeepAliveFrame();
  f->UsbSend(frame.data(), 512);
  EXPECT_EQ(markerDuringSend, 3);
  EXPECT_EQ(f->sendMarker, 2);
  // Each block from the scanner counts it down, not below 0.
  for (int i = 0; i < 3; ++i) h.usbLink->CompleteRead(Bytes(MakeGreeting()));
  EXPECT_EQ(f->sendMarker, 0);
}

// A TCP link that is up and takes every pass; each pass is seen as it goes.
class PassRecorder final : public platform::TcpClient {
 public:
  std::function<void()> onPass;
  int passes = 0;

  bool Connect(const std::string&, std::uint16_t, int, std::string*) override { return true; }
  platform::TcpPoll Poll() override { return {true, 0, false, false}; }
  bool IsConnected() const override { return true; }
  std::size_t InputBufferSize() const override { return 0; }
  bool ReadBytes(std::uint8_t*, std::size_t n) override { return n == 0; }
  bool Write(const std::uint8_t*, std::size_t, std::string*) override {
    ++passes;
    if (onPass) onPass();
    return true;
  }
  void Disconnect() override {}
};

// The window with its Ethernet link up on a PassRecorder (and no scanner on USB).
struct TcpSendFixture : ::testing::Test {
  Harness h;
  app::TfrmMain* f = nullptr;
  PassRecorder* tcp = nullptr;
  void SetUp() override {
    f = &h.Start();
    auto recorder = std::make_unique<PassRecorder>();
    tcp = recorder.get();
    f->TCP = std::move(recorder);
  }
};

TEST_F(TcpSendFixture, TheUiHasItsTurnBetweenAnUploadsAnnouncementAndItsHeader) {
  // Due while the announcement's pass pauses: it runs before the header goes.
  std::optional<int> passesAtTurn;
  auto due = h.loop.CreateTimer([&] {
    if (!passesAtTurn) passesAtTurn = tcp->passes;
  });
  due->SetInterval(10);
  due->Start();
  std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[100]());
  ASSERT_TRUE(f->SendUpload(0x00300000, std::move(payload), 100));
  h.loop.ProcessMessages();
  ASSERT_EQ(tcp->passes, 3);  // announcement, header, the padded payload
  ASSERT_TRUE(passesAtTurn.has_value());
  EXPECT_EQ(*passesAtTurn, 1);
}

TEST_F(TcpSendFixture, TheKeepAliveTimerStandsStillWhileAChunkedSendRuns) {
  std::vector<bool> runningAtPass;
  tcp->onPass = [&] { runningAtPass.push_back(f->keepAliveTimer->Enabled()); };
  Frame request = MakeSysInfoRequestFrame();
  f->SendChunked(request.data(), 512);
  std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[600000]());
  ASSERT_TRUE(f->SendUpload(0x01000000, std::move(payload), 600000));
  ASSERT_GE(runningAtPass.size(), 4u);
  for (std::size_t i = 0; i < runningAtPass.size(); ++i) EXPECT_FALSE(runningAtPass[i]) << "pass " << i;
  EXPECT_TRUE(f->keepAliveTimer->Enabled());
}

TEST(KeepAlive, NothingBeforeTheFirstConnect) {
  UsbHarness h;
  auto& f = h.Start();
  f.oldKeepAlive = true;
  h.loop.RunFor(5000);
  EXPECT_TRUE(f.keepAliveTimer->Enabled());
  EXPECT_FALSE(h.trace.Contains("not OldKeepAlive"));
  EXPECT_FALSE(h.trace.Contains("sendKeepAlive"));
}

TEST(KeepAlive, NewFirmwareGetsOneNoticeAndTheTimerStaysStoppedUntilTheNextSend) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet();  // 1.0.0.120: no keep-alives
  // Two blocks from the scanner open the gate.
  h.usbLink->CompleteRead(Bytes(MakeGreeting()));
  h.usbLink->CompleteRead(Bytes(MakeGreeting()));
  ASSERT_EQ(f.sendMarker, 0);
  h.loop.RunFor(5000);
  EXPECT_EQ(h.trace.Count("not OldKeepAlive"), 1u);
  EXPECT_FALSE(f.keepAliveTimer->Enabled());
  Frame frame = MakeSysInfoRequestFrame();
  f.SendChunked(frame.data(), 512);
  EXPECT_TRUE(f.keepAliveTimer->Enabled());
}

// A scanner with old firmware that sends a block every 500 ms.
TEST(KeepAlive, OldFirmwareGetsOneEverySecondWhileTheScannerTalks) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet(MakeGreeting({.firmwareVersion = 0x01000070}));
  ASSERT_TRUE(f.oldKeepAlive);
  const std::size_t before = h.usbLink->sends.size();
  auto talker = h.loop.CreateTimer([&] { h.usbLink->CompleteRead(Bytes(MakeGreeting())); });
  talker->SetInterval(500);
  talker->Start();
  h.loop.RunFor(10000);
  std::vector<std::int64_t> keepAlives;
  for (std::size_t i = before; i < h.usbLink->sends.size(); ++i) {
    Frame fr;
    std::copy(h.usbLink->sends[i].bytes.begin(), h.usbLink->sends[i].bytes.end(), fr.begin());
    if (fr == MakeKeepAliveFrame()) keepAlives.push_back(h.usbLink->sends[i].at);
  }
  ASSERT_GE(keepAlives.size(), 8u);
  for (std::size_t i = 1; i < keepAlives.size(); ++i) EXPECT_LE(keepAlives[i] - keepAlives[i - 1], 1200) << i;
  EXPECT_EQ(h.trace.Count("sendKeepAlive"), keepAlives.size());

  // The scanner falls silent: at most one more.
  talker->Stop();
  const std::size_t atSilence = h.trace.Count("sendKeepAlive");
  h.loop.RunFor(10000);
  EXPECT_LE(h.trace.Count("sendKeepAlive"), atSilence + 1);
}

TEST(EndOfSession, OverUsbWaitsSendsAndWaits) {
  UsbHarness h;
  auto& f = h.Start();
  f.ConnectClick(&f.Connect);
  h.usbLink->sends.clear();
  const std::int64_t t0 = h.loop.NowMs();
  f.SendEndOfSession();
  ASSERT_EQ(h.usbLink->sends.size(), 1u);
  EXPECT_EQ(h.usbLink->sends[0].at - t0, 100);
  EXPECT_EQ(h.usbLink->sends[0].bytes, Bytes(MakeEndSessionFrame()));
  EXPECT_EQ(h.loop.NowMs() - t0, 300);  // 100, the send's own 100, 100
}

TEST(EndOfSession, WithNoLinkOnlyTheLastWait) {
  UsbHarness h;
  auto& f = h.Start();
  const std::int64_t t0 = h.loop.NowMs();
  f.SendEndOfSession();
  EXPECT_TRUE(h.usbLink->sends.empty());
  EXPECT_EQ(h.loop.NowMs() - t0, 100);
}

TEST(WriteRegister, TracesAndSendsASetFrame) {
  UsbHarness h;
  auto& f = h.Start();
  f.ConnectClick(&f.Connect);
  h.usbLink->sends.clear();
  const std::int64_t t0 = h.loop.NowMs();
  f.WriteRegister(265, 0);
  EXPECT_TRUE(h.trace.Contains("reg[0x109][0]\n"));
  ASSERT_EQ(h.usbLink->sends.size(), 1u);
  EXPECT_EQ(h.usbLink->sends[0].at - t0, 150);
  EXPECT_EQ(h.usbLink->sends[0].bytes, Bytes(MakeRegisterFrame(265, 0)));
  Frame fr;
  std::copy(h.usbLink->sends[0].bytes.begin(), h.usbLink->sends[0].bytes.end(), fr.begin());
  EXPECT_EQ(FrameView(fr).magic(), kMagicSeT);
  EXPECT_EQ(FrameView(fr).param(), 265);
}

}  // namespace
}  // namespace nimbrel::testing
