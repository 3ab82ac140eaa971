// Chunked sends and the framing of uploads, over USB and over TCP.

#include <gtest/gtest.h>

#include <numeric>

#include "NetFixture.h"

namespace nimbrel::testing {
namespace {

using protocol::ConstControlFrame;
using Block = std::vector<std::uint8_t>;

struct ChunkCase {
  int size;
  std::vector<int> sends;  // sizes handed to the link, in order
  int pauseMs;             // after the first block; 0: none
};

std::ostream& operator<<(std::ostream& os, const ChunkCase& c) { return os << c.size; }

const ChunkCase kChunkCases[] = {
    {512, {512}, 0},
    {600, {512}, 0},
    {1024, {512, 512}, 200},
    {512512, {512, 512000}, 200},
    {1048576, {512, 512000, 512000, 24064}, 1000},
};

class SendChunkedUsb : public ::testing::TestWithParam<ChunkCase> {
 protected:
  void SetUp() override {
    h.UseFakeUsb();
    h.Start();
    h.form->usb->SetActive(true);
  }
  Harness h;
};

TEST_P(SendChunkedUsb, SendsTheFirstBlockPausesThenTheChunks) {
  const ChunkCase c = GetParam();
  app::TfrmMain& f = *h.form;
  Block data = Pattern(static_cast<std::size_t>(c.size));
  f.keepAliveTimer->SetEnabled(false);

  f.SendChunked(data.data(), c.size);

  // Each USB send pauses 100 ms itself.
  const auto& sends = h.fakeUsb->sends;
  ASSERT_EQ(sends.size(), c.sends.size());
  std::size_t offset = 0;
  std::int64_t at = 0;
  for (std::size_t i = 0; i < sends.size(); ++i) {
    EXPECT_EQ(sends[i].channel, 1);
    EXPECT_EQ(sends[i].size, c.sends[i]) << i;
    EXPECT_EQ(sends[i].atMs, at) << i;
    EXPECT_EQ(sends[i].bytes, Block(data.begin() + static_cast<std::ptrdiff_t>(offset),
                                    data.begin() + static_cast<std::ptrdiff_t>(offset + sends[i].bytes.size())));
    offset += static_cast<std::size_t>(c.sends[i]);
    at += 100 + (i == 0 ? c.pauseMs : 0);
  }
  EXPECT_EQ(h.loop.NowMs(), at);
  EXPECT_TRUE(f.keepAliveTimer->Enabled());  // restarted, also when it was stopped before
}

INSTANTIATE_TEST_SUITE_P(Sizes, SendChunkedUsb, ::testing::ValuesIn(kChunkCases));

class SendChunkedTcp : public NetTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(SendChunkedTcp, SendsTheFirstBlockPausesThenTheChunksInPasses) {
  const ChunkCase c = GetParam();
  app::TfrmMain& f = Connect();
  Block data = Pattern(static_cast<std::size_t>(c.size));
  h.trace.Clear();
  const std::int64_t start = h.loop.NowMs();

  f.SendChunked(data.data(), c.size);

  std::vector<std::string> sizes;
  for (const auto& line : h.trace.Lines()) {
    if (line.rfind("TCPsendBuffer[", 0) == 0) sizes.push_back(line);
  }
  std::vector<std::string> expected;
  for (int s : c.sends) expected.push_back("TCPsendBuffer[" + std::to_string(s) + "]");
  EXPECT_EQ(sizes, expected);

  // Every size here is whole passes: what arrives is the data sent, in order.
  const int total = std::accumulate(c.sends.begin(), c.sends.end(), 0);
  EXPECT_EQ(peer.Received(), Block(data.begin(), data.begin() + total));

  // Passes 50 ms apart; the chunks begin after the pause.
  ASSERT_EQ(tcp->sends.size(), static_cast<std::size_t>(total / 512));
  EXPECT_EQ(tcp->sends[0].atMs, start);
  if (c.pauseMs) {
    EXPECT_EQ(tcp->sends[1].atMs, start + 50 + c.pauseMs);
  }
  EXPECT_EQ(h.loop.NowMs() - start, total / 512 * 50 + c.pauseMs);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SendChunkedTcp, ::testing::ValuesIn(kChunkCases));

TEST(SendChunked, WithNeitherLinkUpNothingIsSent) {
  Harness h;
  h.UseFakeUsb();
  app::TfrmMain& f = h.Start();
  Block data = Pattern(1024);
  f.SendChunked(data.data(), 1024);
  EXPECT_TRUE(h.fakeUsb->sends.empty());
  EXPECT_EQ(h.loop.NowMs(), 200);  // the pause still passes
}

// ---- Uploads ----

constexpr std::int32_t kCommand = 0x00100000;

class SendUploadUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    h.UseFakeUsb();
    h.Start();
    h.form->usb->SetActive(true);
  }
  app::TfrmMain& f() { return *h.form; }
  Harness h;
};

TEST_F(SendUploadUsb, AnEmptyPayloadIsAnnouncedWith512AndSendsOnlyTheHeader) {
  f().SendUpload(kCommand, nullptr, 0);

  EXPECT_EQ(f().pendingSends, 2);
  const auto& sends = h.fakeUsb->sends;
  ASSERT_EQ(sends.size(), 2u);
  const ConstControlFrame announcement(sends[0].bytes.data());
  EXPECT_EQ(announcement.magic(), protocol::kMagicSoF);
  EXPECT_EQ(announcement.command(), kCommand);
  EXPECT_EQ(announcement.transferLength(), 512);
  EXPECT_EQ(announcement.value(), 0);

  Block header = sends[1].bytes;
  const protocol::UploadHeader uh(header.data());
  EXPECT_EQ(uh.magic(), protocol::kMagicCDb);
  EXPECT_EQ(uh.command(), kCommand);
  EXPECT_EQ(uh.size(), 0);
  EXPECT_EQ(uh.checksum(), protocol::kMagicCDb + static_cast<std::uint32_t>(kCommand));
  EXPECT_DOUBLE_EQ(uh.timestamp(), 43399.5);  // 2018-10-26 12:00, the harness's start
  EXPECT_TRUE(h.Logged("upload..."));
}

TEST_F(SendUploadUsb, AThousandBytePayloadCountsTwoSendsWhileThreeAreMade) {
  const Block payload = Pattern(1000);
  f().payloadBuffer.reset(new std::uint8_t[1000]);
  std::copy(payload.begin(), payload.end(), f().payloadBuffer.get());

  f().SendUpload(kCommand, f().payloadBuffer.get(), 1000);

  EXPECT_EQ(f().payloadBuffer, nullptr);
  EXPECT_EQ(f().pendingSends, 2);
  const auto& sends = h.fakeUsb->sends;
  ASSERT_EQ(sends.size(), 3u);
  EXPECT_EQ(ConstControlFrame(sends[0].bytes.data()).transferLength(), 1536);
  EXPECT_EQ(sends[1].size, 512);
  EXPECT_EQ(sends[2].size, 1024);
  Block padded = payload;
  padded.resize(1024, 0);
  EXPECT_EQ(sends[2].bytes, padded);

  // Announcement, header, then a pause of 200 ms before the chunk.
  EXPECT_EQ(sends[1].atMs, 100);
  EXPECT_EQ(sends[2].atMs, 400);

  h.fakeUsb->CompleteSend();
  EXPECT_EQ(f().pendingSends, 1);
  h.fakeUsb->CompleteSend();
  EXPECT_EQ(f().pendingSends, 0);
  h.fakeUsb->CompleteSend();
  EXPECT_EQ(f().pendingSends, 0);
}

TEST_F(SendUploadUsb, A512000BytePayloadCountsThreeAndMakesThree) {
  const Block payload = Pattern(512000);
  f().SendUpload(kCommand, payload.data(), 512000);
  EXPECT_EQ(f().pendingSends, 3);
  const auto& sends = h.fakeUsb->sends;
  ASSERT_EQ(sends.size(), 3u);
  EXPECT_EQ(ConstControlFrame(sends[0].bytes.data()).transferLength(), 512512);
  EXPECT_EQ(sends[2].bytes, payload);
}

TEST_F(SendUploadUsb, TheAnnouncementEndsAReceiveTransferInProgress) {
  f().bulkTotal = 4096;
  f().bulkReceived = 1024;
  f().receivePosition = f().bulkBuffer.get() + 1024;
  f().SendUpload(kCommand, nullptr, 0);
  EXPECT_EQ(f().bulkTotal, 0);
  EXPECT_EQ(f().bulkReceived, 0);
  EXPECT_EQ(f().bulkCommand, kCommand);
  EXPECT_EQ(f().receivePosition, f().frameBuffer.data());
}

TEST(SendUpload, WithNeitherLinkUpStagesAndLogsButSendsNothing) {
  Harness h;
  h.UseFakeUsb();
  app::TfrmMain& f = h.Start();
  const Block payload = Pattern(1000);
  f.SendUpload(kCommand, payload.data(), 1000);
  EXPECT_TRUE(h.fakeUsb->sends.empty());
  EXPECT_TRUE(h.Logged("upload..."));
  EXPECT_EQ(f.pendingSends, 2);
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), f.stagingBuffer.get() + 512));
}

TEST(SendUpload, APayloadThatDoesNotFitTheStagingBufferIsRefused) {
  Harness h;
  app::TfrmMain& f = h.Start();
  constexpr std::int64_t kMax = static_cast<std::int64_t>(app::kLargeBufferSize) - 512;
  std::vector<std::uint8_t> payload(static_cast<std::size_t>(kMax) + 1, 0x5A);
  f.payloadBuffer.reset(new std::uint8_t[1]);
  f.pendingSends = 7;

  f.SendUpload(kCommand, payload.data(), kMax + 1);

  EXPECT_FALSE(h.Logged("upload..."));
  EXPECT_EQ(h.Log().back(), "upload refused: a payload of 52428289 bytes does not fit the staging buffer of "
                            "52428288 bytes");
  EXPECT_EQ(f.pendingSends, 0);  // nobody waits for sends that never come
  EXPECT_EQ(f.payloadBuffer, nullptr);

  // The largest payload that fits fills the buffer exactly.
  f.SendUpload(kCommand, payload.data(), kMax);
  EXPECT_TRUE(h.Logged("upload..."));
  EXPECT_EQ(ConstControlFrame(f.announceFrame.data()).transferLength(),
            static_cast<std::int32_t>(app::kLargeBufferSize));
}

TEST_F(NetTest, AnUploadOverTcpPutsAnnouncementHeaderAndPaddedPayloadOnTheStream) {
  app::TfrmMain& f = Connect();
  const Block payload = Pattern(1000);
  const std::size_t before = peer.Received().size();

  f.SendUpload(kCommand, payload.data(), 1000);

  const Block received = peer.Received();
  ASSERT_EQ(received.size() - before, 512u + 1536u);
  const std::uint8_t* stream = received.data() + before;
  EXPECT_EQ(ConstControlFrame(stream).transferLength(), 1536);
  EXPECT_EQ(protocol::LoadU32(stream + 512), protocol::kMagicCDb);
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), stream + 1024));
  EXPECT_TRUE(std::all_of(stream + 1024 + 1000, stream + 512 + 1536, [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(f.pendingSends, 0);  // each of the three TCP sends lowered it
}

}  // namespace
}  // namespace nimbrel::testing
