// Sending over the Ethernet link against the simulated scanner: 512-byte
// passes with their pauses, passes that fail, and whole uploads.

#include <algorithm>

#include "NetSupport.h"
#include "protocol/ControlFrame.h"

namespace nimbrel::testing {
namespace {

using sim::EventKind;

class EthernetSend : public EthernetFixture {
 protected:
  void OpenClean() {
    Open();
    Settle();
    scanner().ClearRecords();
    h.trace.Clear();
    if (auto* faulty = dynamic_cast<FaultyTcpClient*>(form->TCP.get())) faulty->ResetAttempts();
  }
  // Everything the scanner received as frames of no known kind, in order.
  Bytes Wire() {
    Bytes out;
    for (const sim::Event& e : EventsOf(EventKind::Unknown)) out.insert(out.end(), e.frame.begin(), e.frame.end());
    return out;
  }
  std::size_t ErrorLines(const std::string& text) {
    return static_cast<std::size_t>(std::count(h.Log().begin(), h.Log().end(), "error in TCPSendBuffer" + text));
  }
};

struct PassCase {
  int size;
  int passes;
};

void PrintTo(const PassCase& c, std::ostream* os) { *os << c.size << " bytes"; }

class EthernetSendPasses : public EthernetSend, public ::testing::WithParamInterface<PassCase> {};

TEST_P(EthernetSendPasses, WholePassesFiftyMillisecondsApart) {
  OpenClean();
  const auto [size, passes] = GetParam();
  const Bytes data = Pattern(static_cast<std::size_t>(size) + 1, 1);  // one byte more than is sent
  form->pendingSends = 2;
  const std::int64_t t0 = h.loop.NowMs();
  form->TCPSendBuffer(data.data(), size);
  EXPECT_EQ(h.loop.NowMs() - t0, 50 * passes);
  EXPECT_EQ(form->pendingSends.load(), 1);
  Settle();

  Bytes expected(static_cast<std::size_t>(passes) * 512, 0);  // the filler is zero
  std::copy(data.begin(), data.begin() + size, expected.begin());
  EXPECT_EQ(Wire(), expected);
  EXPECT_TRUE(h.trace.Contains("TCPsendBuffer[" + std::to_string(size) + "]"));
  EXPECT_EQ(h.trace.Count("work begin"), static_cast<std::size_t>(passes));
  EXPECT_EQ(h.trace.Count("work end"), static_cast<std::size_t>(passes));
}

INSTANTIATE_TEST_SUITE_P(Sizes, EthernetSendPasses,
                         ::testing::Values(PassCase{512, 1}, PassCase{513, 2}, PassCase{0, 0}, PassCase{1500, 3}),
                         [](const auto& p) { return "Size" + std::to_string(p.param.size); });

struct FaultCase {
  const char* name;
  int size;
  std::set<int> failWrites;
  bool failAll;
  int attempts;
  int errors;
  int passesDelivered;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class EthernetSendFaults : public EthernetSend, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(EthernetSendFaults, FailedPassIsSentAgainUntilTheLinkKeepsFailing) {
  FaultyTcpClient& client = InjectFaults();
  OpenClean();
  const FaultCase& c = GetParam();
  const Bytes data = Pattern(static_cast<std::size_t>(c.size), 3);
  client.failWrites = c.failWrites;
  client.failAll = c.failAll;
  const int before = client.Attempts();
  form->pendingSends = 1;
  const std::int64_t t0 = h.loop.NowMs();
  form->TCPSendBuffer(data.data(), c.size);
  Settle();

  EXPECT_EQ(client.Attempts() - before, c.attempts);
  EXPECT_EQ(h.loop.NowMs() - t0, 50 * c.attempts);
  EXPECT_EQ(ErrorLines("injected fault"), static_cast<std::size_t>(c.errors));
  EXPECT_EQ(form->pendingSends.load(), 0);
  // What went out is the data from its start, nothing skipped or doubled.
  const Bytes wire = Wire();
  ASSERT_EQ(wire.size(), static_cast<std::size_t>(c.passesDelivered) * 512);
  EXPECT_TRUE(std::equal(wire.begin(), wire.end(), data.begin()));
}

constexpr int kGiveUp = app::TfrmMain::kTcpSendRetries + 1;

INSTANTIATE_TEST_SUITE_P(
    Faults, EthernetSendFaults,
    ::testing::Values(FaultCase{"OneFailedPass", 1536, {1}, false, 4, 1, 3},
                      FaultCase{"FailuresUpToTheLimit", 1024, {0, 1, 2}, false, 5, 3, 2},
                      FaultCase{"LinkKeepsFailing", 1536, {}, true, kGiveUp, kGiveUp, 0},
                      FaultCase{"FailsAfterOnePass", 1536, {1, 2, 3, 4, 5, 6}, false, 1 + kGiveUp, kGiveUp, 1}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(EthernetSend, SendOverAnEndedLinkGivesUp) {
  OpenClean();
  ASSERT_TRUE(scanner().DropLink());
  Settle();
  const Bytes data = Pattern(2048);
  form->TCPSendBuffer(data.data(), static_cast<int>(data.size()));
  EXPECT_EQ(ErrorLines("Not connected"), static_cast<std::size_t>(kGiveUp));
}

struct UploadCase {
  const char* name;
  int corruptWrite;  // -1: none; 0 is the announcement, 1 the header, 2 on the payload
};

void PrintTo(const UploadCase& c, std::ostream* os) { *os << c.name; }

class EthernetUpload : public EthernetSend, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(EthernetUpload, MegabyteUploadArrivesChecked) {
  FaultyTcpClient& client = InjectFaults();
  client.corruptWrite = GetParam().corruptWrite;
  OpenClean();
  constexpr std::size_t kSize = 1 << 20;
  const Bytes payload = Pattern(kSize, 9);
  auto buffer = std::make_unique<std::uint8_t[]>(kSize);
  std::copy(payload.begin(), payload.end(), buffer.get());
  constexpr std::int32_t kCommand = 0x00100000;
  ASSERT_TRUE(form->SendUpload(kCommand, std::move(buffer), kSize));
  Settle();

  EXPECT_EQ(form->pendingSends.load(), 0);
  EXPECT_TRUE(h.Logged("upload..."));
  const auto uploads = scanner().Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const sim::Upload& u = uploads[0];
  ASSERT_TRUE(u.complete);
  EXPECT_EQ(u.command, kCommand);
  EXPECT_EQ(u.transferLength, static_cast<std::int32_t>(kSize + 512));
  EXPECT_TRUE(u.announcementOk && u.headerMagicOk && u.headerCommandOk && u.sizeOk && u.paddingZero);
  const auto got = u.Payload();
  ASSERT_EQ(got.size(), kSize);
  const auto firstDifference = std::mismatch(got.begin(), got.end(), payload.begin()).first - got.begin();
  if (GetParam().corruptWrite < 0) {
    EXPECT_TRUE(u.checksumOk);
    EXPECT_TRUE(u.Ok());
    EXPECT_EQ(static_cast<std::size_t>(firstDifference), kSize);
  } else {
    EXPECT_FALSE(u.checksumOk);
    EXPECT_EQ(firstDifference, (GetParam().corruptWrite - 2) * 512);
  }
}

INSTANTIATE_TEST_SUITE_P(Upload, EthernetUpload,
                         ::testing::Values(UploadCase{"Intact", -1}, UploadCase{"ByteFlippedOnTheWay", 100}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace nimbrel::testing
