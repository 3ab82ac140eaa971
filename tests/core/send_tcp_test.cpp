// The sending side over the Ethernet link: chunked sends in passes, uploads,
// the end of session, and what does not go over Ethernet.

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
  EXPECT_EQ(Received(), Block(data.begin(), data.begin() + total));

  // Passes 50 ms apart; the chunks begin after the pause.
  ASSERT_EQ(tcp->sends.size(), static_cast<std::size_t>(total / 512));
  EXPECT_EQ(tcp->sends[0].atMs, start);
  if (c.pauseMs) {
    EXPECT_EQ(tcp->sends[1].atMs, start + 50 + c.pauseMs);
  }
  EXPECT_EQ(h.loop.NowMs() - start, total / 512 * 50 + c.pauseMs);
  EXPECT_TRUE(f.keepAliveTimer->Enabled());
}

INSTANTIATE_TEST_SUITE_P(Sizes, SendChunkedTcp,
                         ::testing::Values(ChunkCase{512, {512}, 0}, ChunkCase{600, {512}, 0},
                                           ChunkCase{1024, {512, 512}, 200},
                                           ChunkCase{512512, {512, 512000}, 200},
                                           ChunkCase{1048576, {512, 512000, 512000, 24064}, 1000}));

TEST_F(NetTest, AnUploadOverTcpPutsAnnouncementHeaderAndPaddedPayloadOnTheStream) {
  app::TfrmMain& f = Connect();
  const Block payload = Pattern(1000);
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[1000]);
  std::copy(payload.begin(), payload.end(), buffer.get());

  ASSERT_TRUE(f.SendUpload(0x00100000, std::move(buffer), 1000));

  const Block received = Received();
  ASSERT_EQ(received.size(), 512u + 1536u);
  const std::uint8_t* stream = received.data();
  EXPECT_EQ(ConstControlFrame(stream).transferLength(), 1536);
  EXPECT_EQ(protocol::LoadU32(stream + 512), protocol::kMagicCDb);
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), stream + 1024));
  EXPECT_TRUE(std::all_of(stream + 1024 + 1000, stream + 512 + 1536, [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(f.pendingSends, 0);  // each of the three TCP sends lowered it
  EXPECT_EQ(h.Log().back(), "upload...");
}

TEST_F(NetTest, EndOfSessionOverEthernetSendsSoSAndWaits) {
  app::TfrmMain& f = Connect();
  const std::int64_t start = h.loop.NowMs();

  f.SendEndOfSession();

  EXPECT_EQ(h.loop.NowMs() - start, 50 + 100);  // the pass, then the last wait
  const protocol::Frame sos = protocol::MakeMagicOnlyFrame(protocol::kMagicSoS);
  EXPECT_EQ(Received(), Block(sos.begin(), sos.end()));
}

TEST_F(NetTest, KeepAlivesAndRegisterWritesDoNotGoOverEthernet) {
  app::TfrmMain& f = Connect();
  f.oldKeepAlive = true;
  h.loop.RunFor(3000);
  EXPECT_TRUE(h.trace.Contains("sendKeepAlive"));
  f.WriteRegister(265, 0);
  EXPECT_TRUE(h.trace.Contains("reg[0x109][0]\n"));
  h.loop.ProcessMessages();
  EXPECT_TRUE(Received().empty());
}

}  // namespace
}  // namespace nimbrel::testing
