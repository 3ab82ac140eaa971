// The scanner simulator, driven over loopback by a minimal client that plays
// the updater's part of the wire protocol, including its share of the
// work-in-flight accounting.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "nimbrel_sim/Net.h"

namespace nimbrel::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr auto kWait = std::chrono::seconds(10);  // a stuck peer, not a timing

void Put(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}
std::uint32_t Get(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }
std::uint32_t Get(const Bytes& b, std::size_t at) { return Get(b.data() + at); }

Bytes MakeFrame(std::uint32_t magic, std::int32_t param, std::int32_t value, std::int32_t command,
                std::int32_t length) {
  Bytes f(512, 0);
  Put(f, 0, magic);
  Put(f, 4, std::uint32_t(param));
  Put(f, 8, std::uint32_t(value));
  Put(f, 504, std::uint32_t(command));
  Put(f, 508, std::uint32_t(length));
  return f;
}

constexpr std::uint32_t kSoF = 0x00466F53;

class CountingTracker final : public WorkTracker {
 public:
  void Add(std::int64_t n) override { count_ += n; }
  void Done(std::int64_t n) override {
    if ((count_ -= n) < 0) wentNegative_ = true;
  }
  std::int64_t Count() const { return count_; }
  bool WentNegative() const { return wentNegative_; }

 private:
  std::atomic<std::int64_t> count_{0};
  std::atomic<bool> wentNegative_{false};
};

// The updater's side of one TCP connection.
class Client {
 public:
  Client(std::uint16_t port, CountingTracker& tracker) : tracker_(tracker) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 64 * 1024;  // so that a few megabytes fill what the kernel buffers
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~Client() { ::close(fd_); }
  bool connected() const { return connected_; }

  void Send(const Bytes& b) {
    tracker_.Add(std::int64_t(b.size()));
    for (std::size_t off = 0; off < b.size();) {
      const ssize_t n = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
      ASSERT_GT(n, 0) << std::strerror(errno);
      off += std::size_t(n);
    }
  }

  // Reads exactly n bytes; empty when the stream ended or nothing came.
  Bytes Read(std::size_t n) {
    Bytes b(n);
    for (std::size_t off = 0; off < n;) {
      const ssize_t got = Recv(b.data() + off, n - off);
      if (got <= 0) return {};
      off += std::size_t(got);
      tracker_.Done(got);
    }
    return b;
  }
  Bytes ReadFrame() { return Read(512); }

  // True when the scanner ended the stream; settles the drop's unit.
  bool ReadEnd() {
    std::uint8_t c;
    if (Recv(&c, 1) != 0) return false;
    tracker_.Done(1);
    return true;
  }

 private:
  ssize_t Recv(std::uint8_t* p, std::size_t n) {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, int(std::chrono::milliseconds(kWait).count())) != 1) return -1;
    return ::recv(fd_, p, n, 0);
  }

  CountingTracker& tracker_;
  int fd_;
  bool connected_ = false;
};

// An upload as the updater stages it: header, payload, zero padding.
struct StagedUpload {
  Bytes announcement;
  Bytes data;
};

StagedUpload Stage(std::int32_t command, const Bytes& payload) {
  const std::size_t padded = (payload.size() + 511) / 512 * 512 + 512;
  StagedUpload u{MakeFrame(kSoF, 0, 0, command, std::int32_t(padded)), Bytes(padded, 0)};
  Put(u.data, 0, 0x00624443);  // "CDb"
  Put(u.data, 4, std::uint32_t(command));
  Put(u.data, 8, std::uint32_t(payload.size()));
  const double stamp = 43399.5;  // 2018-10-26 12:00
  std::memcpy(u.data.data() + 16, &stamp, 8);
  std::copy(payload.begin(), payload.end(), u.data.begin() + 512);
  return u;
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim_.Start(0)); }
  void TearDown() override {
    // Every exchange must settle completely, without a Done before its Add.
    EXPECT_TRUE(scanner().WaitFor([&] { return tracker_.Count() == 0; }, kWait)) << tracker_.Count();
    EXPECT_FALSE(tracker_.WentNegative());
  }

  Scanner& scanner() { return sim_.scanner(); }
  bool WaitEvents(EventKind kind, std::size_t n) {
    return scanner().WaitFor([&] { return scanner().Count(kind) >= n; }, kWait);
  }

  // Connects and reads the greeting.
  Bytes Handshake(Client& c) {
    c.Send(MakeFrame(0x00537753, 0, 0, 0, 0));  // "SwS"
    c.Send(MakeFrame(kSoF, 0, 0, 0, 0));
    return c.ReadFrame();
  }

  CountingTracker tracker_;
  Simulator sim_{&tracker_};
};

TEST_F(SimTest, DefaultRecordCarriesTheTabledIdentity) {
  const Frame r = DefaultSystemInfo();
  EXPECT_EQ(Get(r.data()), kSoF);
  EXPECT_EQ(Get(r.data() + 4), 0x00300000u);
  EXPECT_EQ(Get(r.data() + 8), 332u);
  EXPECT_STREQ(reinterpret_cast<const char*>(r.data() + 20), "Tavix");
  EXPECT_STREQ(reinterpret_cast<const char*>(r.data() + 100), "QV47-00CH00-100200");
  EXPECT_EQ(Get(r.data() + 128), 0x01000017u);  // 1.0.0.23
  EXPECT_STREQ(reinterpret_cast<const char*>(r.data() + 132), "normal unit");
  EXPECT_EQ(Get(r.data() + 152), 1u);
  EXPECT_EQ(Get(r.data() + 220), 46000000u);
  EXPECT_EQ(Get(r.data() + 328), 1376u);
  EXPECT_TRUE(std::all_of(r.begin() + 332, r.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(SimTest, AnswersEveryConnectRequestWithTheGreeting) {
  scanner().SetPartNumber("QV47-01CH00-100200");
  scanner().SetFirmwareVersion(0x01000078);
  scanner().SetUnitMode("_exdemo_");
  scanner().SetTsCode(std::int32_t(0x80012345u));
  scanner().SetProductionDay(4321);
  Client c(sim_.Port(), tracker_);
  ASSERT_TRUE(c.connected());

  // The second connect request carries what the updater's frame buffer held.
  Bytes second = MakeFrame(kSoF, 7, 0, 0x00300000, 0);
  second[200] = 0xAB;
  for (const Bytes& request : {MakeFrame(kSoF, 0, 0, 0, 0), second}) {
    c.Send(request);
    const Bytes g = c.ReadFrame();
    ASSERT_EQ(g.size(), 512u);
    EXPECT_EQ(Get(g, 0), kSoF);
    EXPECT_EQ(Get(g, 504), 0u);
    EXPECT_EQ(Get(g, 508), 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&g[100]), "QV47-01CH00-100200");
    EXPECT_EQ(Get(g, 128), 0x01000078u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&g[132]), "_exdemo_");
    EXPECT_EQ(Get(g, 152), 0x80012345u);
    EXPECT_EQ(Get(g, 156), 4321u);
    const Frame record = scanner().SystemInfo();
    EXPECT_TRUE(std::equal(g.begin() + 4, g.begin() + 504, record.begin() + 4));
  }
  ASSERT_TRUE(WaitEvents(EventKind::ConnectRequest, 2));
  const auto events = scanner().Events();
  EXPECT_EQ(events.back().command, 0x00300000);
  EXPECT_EQ(events.back().param, 7);
}

TEST_F(SimTest, RepliesToSystemInfoRequestsPlainOrAsTransfer) {
  for (const bool asTransfer : {false, true}) {
    SCOPED_TRACE(asTransfer);
    scanner().Configure([&](Options& o) { o.systemInfoAsTransfer = asTransfer; });
    Client c(sim_.Port(), tracker_);
    Bytes request = Handshake(c);  // the request is built over the greeting
    ASSERT_EQ(request.size(), 512u);
    Put(request, 8, 512);
    Put(request, 504, 0x00300000);
    c.Send(request);

    if (asTransfer) {
      const Bytes a = c.ReadFrame();
      EXPECT_EQ(Get(a, 0), kSoF);
      EXPECT_EQ(Get(a, 504), 0x00300000u);
      EXPECT_EQ(Get(a, 508), 512u);
    }
    const Bytes reply = c.ReadFrame();
    ASSERT_EQ(reply.size(), 512u);
    EXPECT_EQ(Get(reply, 0), kSoF);
    EXPECT_LE(std::int32_t(Get(reply, 508)), 0);
    const Frame record = scanner().SystemInfo();
    EXPECT_TRUE(std::equal(reply.begin() + 4, reply.begin() + 504, record.begin() + 4));

    ASSERT_TRUE(WaitEvents(EventKind::SystemInfoRequest, asTransfer ? 2 : 1));
    const Frame recorded = scanner().SystemInfoRequests().back();
    EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), request.begin()));
  }
}

struct UploadCase {
  const char* name;
  void (*spoil)(StagedUpload&);
  bool headerMagicOk, checksumOk, paddingZero;
};

class SimUploadTest : public SimTest, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(SimUploadTest, ChecksEveryUpload) {
  // Payload 01 00 00 00 with code 0x00100000 sums to 0x00724448.
  StagedUpload u = Stage(0x00100000, {1, 0, 0, 0});
  Put(u.data, 12, 0x00724448);
  GetParam().spoil(u);
  Client c(sim_.Port(), tracker_);
  ASSERT_EQ(Handshake(c).size(), 512u);
  c.Send(u.announcement);
  c.Send(u.data);
  ASSERT_TRUE(WaitEvents(EventKind::UploadEnd, 1));

  const auto uploads = scanner().UploadsFor(0x00100000);
  ASSERT_EQ(uploads.size(), 1u);
  const Upload& got = uploads[0];
  EXPECT_TRUE(got.complete);
  EXPECT_EQ(got.transferLength, 1024);
  EXPECT_TRUE(got.announcementOk);
  EXPECT_TRUE(got.headerCommandOk);
  EXPECT_TRUE(got.sizeOk);
  EXPECT_EQ(got.headerMagicOk, GetParam().headerMagicOk);
  EXPECT_EQ(got.checksumOk, GetParam().checksumOk);
  EXPECT_EQ(got.paddingZero, GetParam().paddingZero);
  EXPECT_EQ(got.Ok(), got.headerMagicOk && got.checksumOk && got.paddingZero);
  EXPECT_DOUBLE_EQ(got.timestamp, 43399.5);
  EXPECT_EQ(Bytes(got.Payload().begin(), got.Payload().end()), (Bytes{1, 0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimUploadTest,
    ::testing::Values(
        UploadCase{"Correct", [](StagedUpload&) {}, true, true, true},
        UploadCase{"CorruptedChecksum", [](StagedUpload& u) { Put(u.data, 12, 0x00724449); }, true, false, true},
        // The header magic is part of the sum: a wrong magic with a sum to match is still caught.
        UploadCase{"BadHeaderMagic",
                   [](StagedUpload& u) {
                     Put(u.data, 0, 0x00634443);
                     Put(u.data, 12, 0x00734448);
                   },
                   false, true, true},
        // Padding is summed like the payload.
        UploadCase{"NonZeroPadding",
                   [](StagedUpload& u) {
                     u.data[517] = 1;
                     Put(u.data, 12, 0x00724448 + 0x100);
                   },
                   true, true, false}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_F(SimTest, KeepsALargeUploadWhole) {
  Bytes payload(45'000'000, 0x01);
  StagedUpload u = Stage(0x00200000, payload);
  ASSERT_EQ(u.data.size(), 45'000'192u + 512u);
  // 11,250,000 words of 0x01010101 and zero padding.
  Put(u.data, 12, 0x00624443u + 0x00200000u + 45'000'000u + 11'250'000u * 0x01010101u);
  Client c(sim_.Port(), tracker_);
  ASSERT_EQ(Handshake(c).size(), 512u);
  c.Send(u.announcement);
  // As the updater cuts it: the header, then 512,000-byte chunks.
  c.Send(Bytes(u.data.begin(), u.data.begin() + 512));
  for (std::size_t off = 512; off < u.data.size(); off += 512'000)
    c.Send(Bytes(u.data.begin() + std::ptrdiff_t(off),
                 u.data.begin() + std::ptrdiff_t(std::min(u.data.size(), off + 512'000))));
  ASSERT_TRUE(WaitEvents(EventKind::UploadEnd, 1));
  const Upload got = scanner().Uploads().at(0);
  EXPECT_TRUE(got.Ok());
  EXPECT_EQ(got.Payload().size(), payload.size());
  EXPECT_TRUE(std::equal(got.Payload().begin(), got.Payload().end(), payload.begin()));
}

TEST_F(SimTest, BadMagicFramesComeBeforeOrInsteadOfTheGreeting) {
  for (const bool instead : {false, true}) {
    SCOPED_TRACE(instead);
    scanner().Configure([&](Options& o) {
      o.badMagicFrames = 2;
      o.badMagicInsteadOfGreeting = instead;
    });
    Client c(sim_.Port(), tracker_);
    c.Send(MakeFrame(kSoF, 0, 0, 0, 0));
    for (int i = 0; i < 2; ++i) {
      const Bytes bad = c.ReadFrame();
      ASSERT_EQ(bad.size(), 512u);
      EXPECT_EQ(Get(bad, 0), 0x01466F53u);  // "SoF" with a non-zero fourth byte
    }
    // The next frame is the greeting, or without it the reply to a request sent now.
    c.Send(MakeFrame(kSoF, 0, 512, 0x00300000, 0));
    const Bytes next = c.ReadFrame();
    EXPECT_EQ(Get(next, 0), kSoF);
    EXPECT_EQ(Get(next, 504), instead ? 0x00300000u : 0u);
    if (!instead) {
      EXPECT_EQ(Get(c.ReadFrame(), 504), 0x00300000u);
    }
  }
}

TEST_F(SimTest, FirstBlockCanAnnounceATransfer) {
  scanner().Configure([](Options& o) { o.announceBeforeGreeting = true; });
  Client c(sim_.Port(), tracker_);
  c.Send(MakeFrame(kSoF, 0, 0, 0, 0));
  const Bytes first = c.ReadFrame();
  EXPECT_EQ(Get(first, 0), kSoF);
  EXPECT_EQ(Get(first, 504), 0x00300000u);
  EXPECT_EQ(Get(first, 508), 512u);
  const Bytes data = c.ReadFrame();
  ASSERT_EQ(data.size(), 512u);
  EXPECT_STREQ(reinterpret_cast<const char*>(&data[100]), "QV47-00CH00-100200");
}

TEST_F(SimTest, TestCanSendRawBytesAndAnImageTransfer) {
  Client c(sim_.Port(), tracker_);
  ASSERT_EQ(Handshake(c).size(), 512u);
  ASSERT_TRUE(scanner().SendRaw({'x', 'y', 'z'}));
  // Larger than the socket takes at once: the rest follows as the client reads.
  constexpr std::size_t kImage = 16'000'001;
  ASSERT_TRUE(scanner().SendImageTransfer(kImage));
  EXPECT_EQ(c.Read(3), (Bytes{'x', 'y', 'z'}));
  const Bytes a = c.ReadFrame();
  EXPECT_EQ(Get(a, 504), 0x30000000u);
  EXPECT_EQ(Get(a, 508), kImage);
  const Bytes image = c.Read(kImage);
  ASSERT_EQ(image.size(), kImage);
  EXPECT_EQ(image[kImage - 1], std::uint8_t(kImage - 1));
}

TEST_F(SimTest, DropsInTheMiddleOfAnUploadAndAcceptsAgain) {
  scanner().Configure([](Options& o) { o.dropUploadAfter = 1000; });
  StagedUpload u = Stage(0x00100000, Bytes(1500, 7));
  {
    Client c(sim_.Port(), tracker_);
    ASSERT_EQ(Handshake(c).size(), 512u);
    c.Send(u.announcement);
    c.Send(u.data);  // the part after the drop is read and discarded
    EXPECT_TRUE(c.ReadEnd());
  }
  auto uploads = scanner().Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_FALSE(uploads[0].complete);
  EXPECT_EQ(uploads[0].received, 1000u);
  EXPECT_EQ(scanner().Count(EventKind::LinkDropped), 1u);

  // The scanner is back, and the drop fired only once.
  Client again(sim_.Port(), tracker_);
  ASSERT_EQ(Handshake(again).size(), 512u);
  Put(u.data, 12, 0x00624443u + 0x00100000u + 1500u + 375u * 0x07070707u);
  again.Send(u.announcement);
  again.Send(u.data);
  ASSERT_TRUE(WaitEvents(EventKind::UploadEnd, 2));
  EXPECT_TRUE(scanner().Uploads().at(1).Ok());
  EXPECT_EQ(scanner().LinkCount(), 2u);
}

TEST_F(SimTest, RestartsAfterAnUploadAsConfigured) {
  scanner().Configure([](Options& o) {
    o.dropAfterUpload = true;
    o.dropAfterUploadCommands = {0x00100000};
  });
  for (const std::int32_t code : {0x00400000, 0x00100000}) {
    StagedUpload u = Stage(code, {});
    Put(u.data, 12, 0x00624443u + std::uint32_t(code));
    Client c(sim_.Port(), tracker_);
    ASSERT_EQ(Handshake(c).size(), 512u);
    c.Send(u.announcement);
    c.Send(u.data);
    c.Send(MakeFrame(kSoF, 0, 512, 0x00300000, 0));
    if (code == 0x00100000) {
      EXPECT_TRUE(c.ReadEnd());  // no answer to the request: the link went down first
    } else {
      EXPECT_EQ(Get(c.ReadFrame(), 504), 0x00300000u);
    }
  }
  EXPECT_EQ(scanner().Count(EventKind::LinkDropped), 1u);
  const auto uploads = scanner().Uploads();
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_TRUE(uploads[0].Ok() && uploads[1].Ok());
  EXPECT_EQ(uploads[1].command, 0x00100000);
}

TEST_F(SimTest, RestartsOnceItHasAnsweredTheVerificationOfAnUpload) {
  scanner().Configure([](Options& o) {
    o.dropAfterUpload = true;
    o.dropAfterUploadCommands = {0x00100000};
    o.repliesBeforeDrop = 2;
  });
  StagedUpload u = Stage(0x00100000, {});
  Put(u.data, 12, 0x00624443u + 0x00100000u);
  Client c(sim_.Port(), tracker_);
  ASSERT_EQ(Handshake(c).size(), 512u);
  c.Send(u.announcement);
  c.Send(u.data);
  for (int i = 0; i < 2; ++i) {
    c.Send(MakeFrame(kSoF, 0, 512, 0x00300000, 0));
    EXPECT_EQ(Get(c.ReadFrame(), 504), 0x00300000u) << "answer " << i + 1;
  }
  EXPECT_TRUE(c.ReadEnd()) << "the link goes down after the second answer";
  EXPECT_EQ(scanner().Count(EventKind::LinkDropped), 1u);

  // The next connection is a fresh start: no drop is due on it.
  Client again(sim_.Port(), tracker_);
  ASSERT_EQ(Handshake(again).size(), 512u);
  for (int i = 0; i < 3; ++i) {
    again.Send(MakeFrame(kSoF, 0, 512, 0x00300000, 0));
    EXPECT_EQ(Get(again.ReadFrame(), 504), 0x00300000u);
  }
  EXPECT_EQ(scanner().Count(EventKind::LinkDropped), 1u);
}

TEST_F(SimTest, SummaryTellsEachUploadsVerdictAndTheRecordHeldNow) {
  scanner().Configure([](Options& o) { o.applySystemInfoUploads = true; });
  Client c(sim_.Port(), tracker_);
  ASSERT_EQ(Handshake(c).size(), 512u);
  // A good System Info upload with another part number, then one with a bad checksum.
  Bytes record(512, 0);
  const std::string pn = "QV47-02HCAG-000042";
  std::copy(pn.begin(), pn.end(), record.begin() + 100);
  Put(record, 128, 0x01010205);
  StagedUpload good = Stage(0x00300000, record);
  std::uint32_t sum = Get(good.data, 0) + Get(good.data, 4) + Get(good.data, 8);
  for (std::size_t at = 512; at < good.data.size(); at += 4) sum += Get(good.data, at);
  Put(good.data, 12, sum);
  StagedUpload bad = Stage(0x00200000, Bytes(1000, 7));
  for (const StagedUpload* u : {&good, &bad}) {
    c.Send(u->announcement);
    c.Send(u->data);
  }
  ASSERT_TRUE(WaitEvents(EventKind::UploadEnd, 2));

  const std::string summary = scanner().Summary();
  EXPECT_NE(summary.find("uploads received: 2\n"), std::string::npos) << summary;
  EXPECT_NE(summary.find("  upload 1: command 0x00300000, 512 bytes, checksum 0x" + [&] {
    char h[16];
    std::snprintf(h, sizeof h, "%08X", sum);
    return std::string(h);
  }() + ": ok\n"), std::string::npos) << summary;
  EXPECT_NE(summary.find("  upload 2: command 0x00200000, 1000 bytes, checksum 0x00000000: bad checksum\n"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("system info now held: part number QV47-02HCAG-000042, firmware 0x01010205"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("  060: 00 00 00 00 51 56 34 37"), std::string::npos) << summary;  // "QV47" at 100
}

TEST_F(SimTest, RecordsTheWakeDatagramAndCommandFrames) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(sim_.Port());
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const Bytes wake = MakeFrame(0x00537352, -1, -1, 0, 0);  // "RsS"
  tracker_.Add(512);
  ASSERT_EQ(::sendto(fd, wake.data(), wake.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 512);
  ::close(fd);
  ASSERT_TRUE(WaitEvents(EventKind::Wake, 1));

  Client c(sim_.Port(), tracker_);
  ASSERT_EQ(Handshake(c).size(), 512u);
  c.Send(MakeFrame(kSoF, 0, 512, -6, 0));
  c.Send(MakeFrame(0x00546553, 265, 0, 0, 0));  // "SeT"
  c.Send(MakeFrame(kSoF, 0, 512, -1, 0));
  c.Send(MakeFrame(0x00536F53, 0, 0, 0, 0));  // "SoS"
  ASSERT_TRUE(WaitEvents(EventKind::EthernetEndSession, 1));

  std::vector<EventKind> kinds;
  for (const Event& e : scanner().Events()) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, (std::vector<EventKind>{EventKind::Wake, EventKind::LinkUp, EventKind::SessionStart,
                                           EventKind::ConnectRequest, EventKind::KeepAlive,
                                           EventKind::RegisterWrite, EventKind::EndSession,
                                           EventKind::EthernetEndSession}));
  const auto events = scanner().Events();
  EXPECT_EQ(events[0].param, -1);
  EXPECT_EQ(events[0].value, -1);
  EXPECT_EQ(events[0].size, 512u);
  EXPECT_EQ(events[5].param, 265);
  EXPECT_EQ(events[5].value, 0);
}

TEST_F(SimTest, AReplyIsInFlightUntilTheUpdaterHasTakenIt) {
  Client c(sim_.Port(), tracker_);
  c.Send(MakeFrame(kSoF, 0, 0, 0, 0));
  // The request is settled, the greeting not yet: it stays counted.
  ASSERT_TRUE(WaitEvents(EventKind::ConnectRequest, 1));
  ASSERT_TRUE(scanner().WaitFor([&] { return tracker_.Count() == 512; }, kWait));
  EXPECT_EQ(c.ReadFrame().size(), 512u);
  EXPECT_EQ(tracker_.Count(), 0);
  // A drop on a test's request stays counted until the updater saw the end.
  ASSERT_TRUE(scanner().DropLink());
  ASSERT_TRUE(scanner().WaitFor([&] { return tracker_.Count() == 1; }, kWait));
  EXPECT_TRUE(c.ReadEnd());
}

}  // namespace
}  // namespace nimbrel::sim
