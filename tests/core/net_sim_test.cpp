// The main window against the scanner simulator over the Ethernet link.

#include <gtest/gtest.h>

#include "Harness.h"
#include "NetFixture.h"
#include "RecordingTcp.h"
#include "nimbrel_sim/Net.h"

namespace nimbrel::testing {
namespace {

using Block = std::vector<std::uint8_t>;
constexpr std::int32_t kUploadCommand = 0x00100000;

// The simulator's side of the work-in-flight count is the window's loop's.
class LoopTracker final : public sim::WorkTracker {
 public:
  explicit LoopTracker(platform::InFlight& inFlight) : inFlight_(inFlight) {}
  void Add(std::int64_t n) override { inFlight_.Add(n); }
  void Done(std::int64_t n) override { inFlight_.Done(n); }

 private:
  platform::InFlight& inFlight_;
};

class EthernetSimTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(simulator.Start(0)); }

  app::TfrmMain& Connect() {
    app::TfrmMain& f = h.Start();
    f.rgConnection.SetItemIndex(1);
    f.editAddress.SetText(kLoopback);
    f.ethernetPort = simulator.Port();
    auto client = std::make_unique<RecordingTcp>(h.loop, platform::MakeTcpClient(&h.loop.inFlight()));
    tcp = client.get();
    f.TCP = std::move(client);
    f.ConnectClick(&f.Connect);
    h.loop.ProcessMessages();
    return f;
  }

  sim::Scanner& scanner() { return simulator.scanner(); }

  Harness h;
  LoopTracker tracker{h.loop.inFlight()};
  sim::Simulator simulator{&tracker};
  RecordingTcp* tcp = nullptr;
};

TEST_F(EthernetSimTest, TheGreetingArrivesThroughTheReceiverAndIsAnsweredWithASystemInfoRequest) {
  scanner().SetPartNumber("QV47-02HCAF-123456");  // a unit this updater supports
  scanner().SetFirmwareVersion(0x01000078);
  app::TfrmMain& f = Connect();
  EXPECT_TRUE(f.linkEstablished);
  EXPECT_EQ(scanner().Count(sim::EventKind::Wake), 1u);
  EXPECT_EQ(scanner().Count(sim::EventKind::SessionStart), 1u);
  EXPECT_EQ(scanner().Count(sim::EventKind::ConnectRequest), 1u);
  EXPECT_FALSE(f.awaitingGreeting);
  bool greeted = false;
  for (const auto& line : h.Log()) greeted = greeted || line.rfind("Greeting::", 0) == 0;
  EXPECT_TRUE(greeted);
  EXPECT_TRUE(f.unitSupported);
  EXPECT_EQ(scanner().Count(sim::EventKind::SystemInfoRequest), 1u);
  EXPECT_EQ(f.replyCount, 1);  // the scanner's reply came back the same way
  EXPECT_EQ(h.loop.inFlight().Count(), 0);
}

TEST_F(EthernetSimTest, AOneMegabyteUploadArrivesByteForByteWithItsChecksPassed) {
  app::TfrmMain& f = Connect();
  const Block payload = Pattern(1 << 20, 3);
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[payload.size()]);
  std::copy(payload.begin(), payload.end(), buffer.get());

  ASSERT_TRUE(f.SendUpload(kUploadCommand, std::move(buffer), static_cast<std::int64_t>(payload.size())));

  const auto uploads = scanner().UploadsFor(kUploadCommand);
  ASSERT_EQ(uploads.size(), 1u);
  const sim::Upload& u = uploads[0];
  EXPECT_TRUE(u.Ok());
  EXPECT_TRUE(u.checksumOk);
  EXPECT_EQ(u.transferLength, (1 << 20) + 512);
  EXPECT_EQ(u.headerSize, 1 << 20);
  const auto received = u.Payload();
  ASSERT_EQ(received.size(), payload.size());
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), received.begin()));
  EXPECT_EQ(f.pendingSends, 0);
}

TEST_F(EthernetSimTest, AChecksumCorruptedOnTheWayIsCaughtByTheScanner) {
  app::TfrmMain& f = Connect();
  // The upload header goes out as the first pass of its send.
  tcp->mutate = [](std::uint64_t, Block& bytes) {
    if (bytes.size() >= 16 && protocol::LoadU32(bytes.data()) == protocol::kMagicCDb) bytes[12] ^= 0x01;
  };
  const Block payload = Pattern(4096, 5);
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[payload.size()]);
  std::copy(payload.begin(), payload.end(), buffer.get());

  ASSERT_TRUE(f.SendUpload(kUploadCommand, std::move(buffer), static_cast<std::int64_t>(payload.size())));

  const auto uploads = scanner().UploadsFor(kUploadCommand);
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_TRUE(uploads[0].complete);
  EXPECT_FALSE(uploads[0].checksumOk);
  EXPECT_FALSE(uploads[0].Ok());
  EXPECT_TRUE(uploads[0].headerMagicOk);
  EXPECT_TRUE(uploads[0].sizeOk);
}

TEST_F(EthernetSimTest, AScannerThatRestartsAfterAnUploadDisconnectsTheLink) {
  scanner().Configure([](sim::Options& o) { o.dropAfterUpload = true; });
  app::TfrmMain& f = Connect();
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[1000]());
  ASSERT_TRUE(f.SendUpload(kUploadCommand, std::move(buffer), 1000));
  h.loop.ProcessMessages();
  EXPECT_TRUE(h.Logged("TCP Disconnected"));
  EXPECT_FALSE(f.TcpIsConnected());
  EXPECT_EQ(h.loop.inFlight().Count(), 0);
}

TEST_F(EthernetSimTest, ClosingEndsTheSessionWithSoSAndStopsTheReceiver) {
  app::TfrmMain& f = Connect();
  f.Close();
  EXPECT_EQ(scanner().Count(sim::EventKind::EthernetEndSession), 1u);
  EXPECT_EQ(f.tcpReceiver.load(), nullptr);
  EXPECT_TRUE(h.trace.Contains("delete pReceiver\n"));
  EXPECT_TRUE(h.Logged("TCP Disconnected"));
}

}  // namespace
}  // namespace nimbrel::testing
