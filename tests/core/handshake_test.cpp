#include <gtest/gtest.h>

#include <optional>

#include "UsbHarness.h"

namespace nimbrel::testing {
namespace {

using namespace protocol;

std::vector<std::string> Tail(const std::vector<std::string>& lines, std::size_t from) {
  return {lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())), lines.end()};
}

TEST(Connect, UsbConnectSendsTheRequestAndArmsARead) {
  UsbHarness h;
  auto& f = h.Start();
  f.ConnectClick(&f.Connect);
  EXPECT_TRUE(f.linkEstablished);
  EXPECT_TRUE(f.sessionOpen);
  EXPECT_TRUE(f.awaitingGreeting);
  EXPECT_TRUE(f.btnBackup.Enabled());  // before any greeting
  EXPECT_TRUE(h.Logged("USB Connected"));
  ASSERT_EQ(h.usbLink->sends.size(), 1u);
  Frame expected{};
  FrameView(expected).setMagic(kMagicSoF);
  EXPECT_EQ(h.usbLink->sends[0].bytes, Bytes(expected));  // all zero but the magic at first
  EXPECT_EQ(h.usbLink->sends[0].channel, 1);
  ASSERT_EQ(h.usbLink->reads.size(), 1u);
  EXPECT_EQ(h.usbLink->reads[0].channel, 2);
  EXPECT_EQ(h.usbLink->reads[0].size, 512);
  EXPECT_EQ(h.usbLink->reads[0].buffer, f.frameBuffer.data());

  // A second Connect does nothing, also after the scanner went away.
  f.ConnectClick(&f.Connect);
  h.usbLink->Remove();
  f.ConnectClick(&f.Connect);
  EXPECT_EQ(h.usbLink->activations, 1);
  EXPECT_EQ(h.usbLink->sends.size(), 1u);
}

TEST(Connect, TheReadIsArmedAfterTheRequestIsSentAndTheUiHasHadItsTurn) {
  // Whatever became due while the request was handed over (here a marker
  // posted at the end of the send's pause) runs before the read is armed.
  UsbHarness h;
  auto& f = h.Start();
  std::optional<bool> armedAtSend;
  std::optional<bool> armedAtTurn;
  h.usbLink->afterSend = [&](const FakeUsb::Send&) {
    if (armedAtSend) return;  // the connect request only
    armedAtSend = h.usbLink->ReadArmed();
    h.loop.Post([&] { armedAtTurn = h.usbLink->ReadArmed(); });
  };
  f.ConnectClick(&f.Connect);
  h.loop.ProcessMessages();
  ASSERT_TRUE(armedAtSend.has_value());
  EXPECT_FALSE(*armedAtSend);
  ASSERT_TRUE(armedAtTurn.has_value());
  EXPECT_FALSE(*armedAtTurn);
  EXPECT_TRUE(h.usbLink->ReadArmed());
}

TEST(Connect, NoScannerShowsABoxOrClosesInSilentMode) {
  {
    UsbHarness h;
    auto& f = h.Start();
    h.usbLink->scannerAttached = false;
    f.ConnectClick(&f.Connect);
    ASSERT_EQ(h.dialogs.Messages().size(), 1u);
    EXPECT_EQ(h.dialogs.Messages()[0].text, "can't connect Scanner");
    EXPECT_EQ(h.dialogs.Messages()[0].caption, "Check connection");
    EXPECT_EQ(h.dialogs.Messages()[0].icon, ui::MsgIcon::Error);
    EXPECT_FALSE(f.linkEstablished);
    EXPECT_FALSE(f.Closed());
  }
  {
    UsbHarness h;
    h.args.push_back("-S");
    auto& f = h.Start();
    h.usbLink->scannerAttached = false;
    h.loop.RunFor(1000);  // the silent connect is due one second after start
    EXPECT_TRUE(f.Closed());
    EXPECT_TRUE(h.dialogs.Messages().empty());
    EXPECT_TRUE(h.loop.QuitRequested());
  }
}

TEST(Greeting, SupportedUnitIsIdentifiedAndAskedForItsSystemInfo) {
  UsbHarness h;
  h.workDir.Touch("factory_mode");  // no factory question expected either way
  const Frame greeting = MakeGreeting();
  auto& f = h.ConnectAndGreet(greeting);
  EXPECT_TRUE(f.btnAutoUpload.Enabled());
  EXPECT_TRUE(f.unitSupported);
  EXPECT_EQ(f.scannerVersion, 0x01000078);
  const auto lines = Tail(h.Log(), 2);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], "USB Connected");
  EXPECT_EQ(lines[1], "Greeting::normal unit");
  EXPECT_EQ(lines[2].rfind("PN::", 0), 0u);
  EXPECT_EQ(lines[3], "scanner version:1.0.0.120");
  EXPECT_EQ(lines[4], "ws ROHS model(QV47-XXXXAF or QV47-XXXX05)");
  EXPECT_EQ(lines[5], "No tsCode: 0x00001");
  EXPECT_TRUE(h.trace.Contains("cur version 01000078"));
  EXPECT_TRUE(h.trace.Contains("not old keepalive version fw"));

  // One System Info request, built over the greeting.
  const auto frames = h.SentFrames();
  ASSERT_EQ(frames.size(), 2u);
  const Frame& request = frames[1];
  const ConstControlFrame r = FrameView(request);
  EXPECT_EQ(r.magic(), kMagicSoF);
  EXPECT_EQ(r.value(), 512);
  EXPECT_EQ(r.command(), CommandSystemInfo);
  EXPECT_EQ(r.transferLength(), 0);
  for (std::size_t i = 0; i < 512; ++i) {
    if (i / 4 == 0 || i / 4 == 2 || i / 4 == 126 || i / 4 == 127) continue;
    ASSERT_EQ(request[i], greeting[i]) << i;
  }
  EXPECT_EQ(f.systemInfoCopy, greeting);
  // The next read waits for the reply in the frame buffer.
  EXPECT_TRUE(h.usbLink->ReadArmed());
  EXPECT_EQ(h.usbLink->reads.back().buffer, f.frameBuffer.data());
}

TEST(Greeting, PartNumberLineCarriesTheProductionDay) {
  const std::pair<std::int32_t, const char*> days[] = {{1507, "15"}, {7, "07"}, {100, "01"}};
  for (auto [day, digits] : days) {
    UsbHarness h;
    h.ConnectAndGreet(MakeGreeting({.productionDay = day}));
    EXPECT_TRUE(h.Logged(std::string("PN::(01)01234567890214(11)1803") + digits + "(10)QV4702AF(21)123456")) << day;
  }
}

TEST(Greeting, TheGreetingsCodeIsWhatTheSystemInfoPatchComparesWith) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet(MakeGreeting({.tsCode = static_cast<std::int32_t>(0x80121350u)}));
  EXPECT_EQ(static_cast<std::uint32_t>(f.connectTsCode), 0x80121350u);
  EXPECT_TRUE(h.trace.Contains("old tsCode : 0x080121350"));
  // Nothing changed since the greeting, then only the tray type.
  std::vector<std::uint8_t> record(f.systemInfoCopy.begin(), f.systemInfoCopy.end());
  ASSERT_TRUE(f.PatchHardwareOptions(record));
  EXPECT_TRUE(h.trace.Contains("changed[step 0/main 0/rohs 0/agdoor 0/ftheta 0"));
  f.rgAGDoor.SetItemIndex(1);
  ASSERT_TRUE(f.PatchHardwareOptions(record));
  EXPECT_TRUE(h.trace.Contains("changed[step 0/main 0/rohs 0/agdoor 1/ftheta 0"));
}

TEST(Greeting, UnsupportedUnitGetsNoSystemInfoRequest) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet(MakeGreeting({.pn = "QV47-05HCAF-123456"}));
  EXPECT_FALSE(f.unitSupported);
  const auto& log = h.Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(log.end() - 5, log.end() - 1),
            (std::vector<std::string>{"----------------------", "Updater is not supposed to support this unit",
                                      "Please use to ZK Scanner only", "----------------------"}));
  EXPECT_EQ(log.back(), "USB Disconnected");  // the link was closed
  EXPECT_EQ(h.SentFrames().size(), 1u);       // only the connect request
  EXPECT_FALSE(f.btnAutoUpload.Enabled());
}

TEST(Greeting, MalformedPartNumberStillGetsTheRequest) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet(MakeGreeting({.pn = "QV47-02"}));
  EXPECT_TRUE(h.Logged("unknown model"));
  EXPECT_TRUE(h.Logged("please restart device and program"));
  EXPECT_FALSE(f.btnAutoUpload.Enabled());
  EXPECT_TRUE(f.unitSupported);
  ASSERT_EQ(h.SentFrames().size(), 2u);
  EXPECT_EQ(FrameView(h.SentFrames()[1]).command(), CommandSystemInfo);
}

TEST(Greeting, KeepAliveRuleFollowsTheFirmwareVersion) {
  const std::pair<std::uint32_t, bool> cases[] = {
      {0x0100006A, true}, {0, true}, {0x01000077, true}, {0x01000069, false}, {0x01000078, false}, {0x8100006A, false}};
  for (auto [version, old] : cases) {
    UsbHarness h;
    auto& f = h.ConnectAndGreet(MakeGreeting({.firmwareVersion = version}));
    EXPECT_EQ(f.oldKeepAlive, old) << std::hex << version;
    EXPECT_EQ(h.trace.Contains("old keepalive version fw"), old) << std::hex << version;
  }
}

TEST(Greeting, OnlyCommandNonZeroIsStillAGreeting) {
  UsbHarness h;
  Frame g = MakeGreeting();
  FrameView(g).setCommand(CommandSystemInfo);
  h.ConnectAndGreet(g);
  EXPECT_TRUE(h.Logged("Greeting::normal unit"));
  EXPECT_FALSE(h.Logged("before greeting data"));
}

TEST(Greeting, FirstBlockAnnouncingATransferIsNotAGreeting) {
  UsbHarness h;
  Frame g = MakeGreeting();
  FrameView(g).setCommand(CommandSystemInfo);
  FrameView(g).setTransferLength(512);
  auto& f = h.ConnectAndGreet(g);
  EXPECT_TRUE(h.Logged("before greeting data"));
  EXPECT_FALSE(h.Logged("Greeting::normal unit"));
  EXPECT_FALSE(f.btnAutoUpload.Enabled());
  ASSERT_EQ(h.SentFrames().size(), 2u);
  EXPECT_EQ(FrameView(h.SentFrames()[1]).command(), CommandSystemInfo);
  EXPECT_EQ(FrameView(h.SentFrames()[1]).value(), 512);
}

TEST(Dispatch, BadMagicIsIgnoredTwentyTimesThenReported) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet();
  const std::size_t before = h.Log().size();
  Frame bad = MakeGreeting();
  bad[3] = 1;  // "SoF" with a non-zero fourth byte
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(h.usbLink->CompleteRead(Bytes(bad))) << i;
  EXPECT_EQ(h.Log().size(), before);
  EXPECT_EQ(f.badFrameCount, 20);
  EXPECT_TRUE(h.usbLink->CompleteRead(Bytes(bad)));
  EXPECT_EQ(Tail(h.Log(), before),
            (std::vector<std::string>{"unknown model", "please restart device and program", "USB Disconnected"}));
  EXPECT_FALSE(h.usbLink->Active());
  EXPECT_FALSE(h.usbLink->ReadArmed());
}

TEST(Dispatch, TwentySecondBadBlockReportsAgain) {
  UsbHarness h;
  auto& f = h.Start();
  f.awaitingGreeting = true;
  f.DispatchFrame(Bytes(MakeGreeting()).data(), 512);  // no link: frames straight in
  Frame bad{};
  for (int i = 0; i < 22; ++i) f.DispatchFrame(bad.data(), 512);
  EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), "unknown model"), 2);
  EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), "please restart device and program"), 2);
}

TEST(Dispatch, PlainFramesAreRepliesAlsoWithANegativeLength) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet();
  f.replyCount = 0;
  f.replyDue = false;
  Frame reply = MakeGreeting();
  FrameView(reply).setTransferLength(-5);
  reply[200] = 0x5A;
  h.usbLink->CompleteRead(Bytes(reply));
  EXPECT_EQ(f.replyCount, 1);
  EXPECT_TRUE(f.replyDue);
  EXPECT_EQ(f.systemInfoCopy, reply);
}

TEST(Dispatch, AnnouncedTransfersAreCollected) {
  struct Case {
    std::int32_t command, length;
    const char* startLine;
    int blocks;
  };
  const Case cases[] = {{0x01000000, 5, "recv start[01000000][5]", 1},
                        {CommandImage, 1024, "image recieving", 2}};
  for (const Case& c : cases) {
    UsbHarness h;
    auto& f = h.ConnectAndGreet();
    f.replyCount = 0;
    Frame announce = MakeGreeting();
    FrameView(announce).setCommand(c.command);
    FrameView(announce).setTransferLength(c.length);
    h.usbLink->CompleteRead(Bytes(announce));
    EXPECT_TRUE(h.Logged(c.startLine));
    EXPECT_EQ(f.systemInfoCopy, announce);
    EXPECT_EQ(h.usbLink->reads.back().buffer, f.bulkBuffer.get());
    for (int b = 0; b < c.blocks; ++b) {
      EXPECT_FALSE(h.Logged("something get")) << b;
      h.usbLink->CompleteRead(std::vector<std::uint8_t>(512, 0xEE));
    }
    EXPECT_TRUE(h.Logged("something get"));
    EXPECT_EQ(f.replyCount, 0);
    EXPECT_EQ(f.bulkTotal, 0);
    EXPECT_EQ(h.usbLink->reads.back().buffer, f.frameBuffer.data());
  }
}

TEST(Dispatch, AnnouncedSystemInfoTransferBecomesTheCopy) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet();
  f.replyCount = 0;
  Frame announce{};
  FrameView(announce).setMagic(kMagicSoF);
  FrameView(announce).setCommand(CommandSystemInfo);
  FrameView(announce).setTransferLength(512);
  h.usbLink->CompleteRead(Bytes(announce));
  Frame record = MakeGreeting({.pn = "QV47-02HCAF-654321"});
  h.usbLink->CompleteRead(Bytes(record));
  EXPECT_EQ(f.replyCount, 1);
  EXPECT_TRUE(f.replyDue);
  EXPECT_EQ(f.systemInfoCopy, record);
}

TEST(Dispatch, AnnouncementLongerThanTheReceiveBufferIsRefused) {
  UsbHarness h;
  auto& f = h.Start();
  f.DispatchFrame(Bytes(MakeGreeting()).data(), 512);
  Frame announce = MakeGreeting();
  FrameView(announce).setTransferLength(0x7FFFFFFF);
  f.DispatchFrame(announce.data(), 512);
  ASSERT_FALSE(h.Log().empty());
  EXPECT_EQ(h.Log().back(), "recv refused[00000000][2147483647]: longer than the receive buffer");
  // Its data is dropped: nothing is written, the frame buffer stays.
  const Frame before = f.frameBuffer;
  std::vector<std::uint8_t> chunk(512000, 0x11);
  for (int i = 0; i < 3; ++i) f.DispatchFrame(chunk.data(), static_cast<int>(chunk.size()));
  EXPECT_EQ(f.frameBuffer, before);
  EXPECT_EQ(f.bulkReceived, 3 * 512000);
}

TEST(Dispatch, OversizedBlocksNeverRunPastTheFrameBuffer) {
  UsbHarness h;
  auto& f = h.Start();
  f.awaitingGreeting = true;
  // A block of more than 512 bytes: only 512 are kept.
  std::vector<std::uint8_t> big(4096, 0);
  const Frame g = MakeGreeting();
  std::copy(g.begin(), g.end(), big.begin());
  f.DispatchFrame(big.data(), static_cast<int>(big.size()));
  EXPECT_TRUE(h.Logged("Greeting::normal unit"));
  EXPECT_EQ(f.systemInfoCopy, g);
}

TEST(Reconnect, SecondConnectRequestCarriesTheLastFrame) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet();
  Frame reply = MakeGreeting({.pn = "QV47-02HCAF-999999"});
  h.usbLink->CompleteRead(Bytes(reply));
  // The scanner restarts; the link comes back (as the update sequence reopens it).
  h.usbLink->Remove();
  EXPECT_FALSE(f.sessionOpen);
  EXPECT_FALSE(f.unitSupported);
  EXPECT_FALSE(f.btnAutoUpload.Enabled());
  EXPECT_FALSE(f.btnBackup.Enabled());
  EXPECT_EQ(f.rgMode.ItemIndex(), -1);
  EXPECT_TRUE(h.Logged("USB Disconnected"));
  h.usbLink->SetActive(true);
  const Frame second = h.SentFrames().back();
  Frame expected = reply;
  FrameView(expected).setValue(0);
  EXPECT_EQ(second, expected);
}

TEST(Reconnect, ConnectRequestEndsATransferCutOffByADisconnect) {
  UsbHarness h;
  auto& f = h.ConnectAndGreet();
  Frame announce = MakeGreeting();
  FrameView(announce).setTransferLength(4096);
  h.usbLink->CompleteRead(Bytes(announce));
  h.usbLink->CompleteRead(std::vector<std::uint8_t>(512, 1));
  h.usbLink->Remove();
  EXPECT_NE(f.bulkTotal, 0);
  h.usbLink->SetActive(true);
  EXPECT_EQ(f.bulkTotal, 0);
  EXPECT_EQ(h.usbLink->reads.back().buffer, f.frameBuffer.data());
  h.usbLink->CompleteRead(Bytes(MakeGreeting()));
  EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), "Greeting::normal unit"), 2);
}

TEST(SilentMode, UsbDisconnectLeadsToTheCloseTcpDoesNot) {
  UsbHarness h;
  h.args.push_back("-S");
  auto& f = h.Start();
  h.loop.RunFor(1000);
  ASSERT_TRUE(f.linkEstablished);
  h.usbLink->CompleteRead(Bytes(MakeGreeting()));
  EXPECT_EQ(f.silentState, 2);
  EXPECT_FALSE(f.btnAutoUpload.Enabled());  // not in silent mode
  EXPECT_TRUE(f.tmSilenceMode.Enabled());
  f.TCPDisconnected();
  EXPECT_EQ(f.silentState, 2);
  f.pendingSends = 3;
  h.usbLink->Remove();
  EXPECT_EQ(f.silentState, 99);
  EXPECT_EQ(f.pendingSends, 0);
  EXPECT_TRUE(h.trace.Contains("tmSilenceMode->Enabled = true2"));
  EXPECT_FALSE(f.Closed());
  h.loop.RunFor(1000);  // at the latest one timer period after the disconnect
  EXPECT_TRUE(f.Closed());
  EXPECT_TRUE(h.trace.Contains("close by iSilentMode\n"));
}

TEST(DevelopmentOptions, EthernetTarget) {
  using app::ParseDevelopmentOptions;
  auto o = ParseDevelopmentOptions({"x", "--ethernet", "127.0.0.1:41234"});
  ASSERT_TRUE(o.ethernet);
  EXPECT_EQ(o.ethernet->host, "127.0.0.1");
  EXPECT_EQ(o.ethernet->port, 41234);
  o = ParseDevelopmentOptions({"x", "-S", "--ethernet=localhost"});
  ASSERT_TRUE(o.ethernet);
  EXPECT_EQ(o.ethernet->port, 8484);
  EXPECT_FALSE(ParseDevelopmentOptions({"x"}).ethernet);
  for (const auto& bad : std::vector<std::vector<std::string>>{
           {"x", "--ethernet"}, {"x", "--ethernet", "h:0"}, {"x", "--ethernet", "h:70000"}, {"x", "--ethernet", ":1"},
           {"x", "--ethernet", "h:12a"}}) {
    EXPECT_FALSE(ParseDevelopmentOptions(bad).error.empty()) << bad.back();
  }
}

TEST(DevelopmentOptions, UsbipServer) {
  using app::ParseDevelopmentOptions;
  auto o = ParseDevelopmentOptions({"x", "-S", "--usbip", "127.0.0.1:41235"});
  ASSERT_TRUE(o.usbip);
  EXPECT_EQ(o.usbip->host, "127.0.0.1");
  EXPECT_EQ(o.usbip->port, 41235);
  EXPECT_FALSE(o.ethernet);
  o = ParseDevelopmentOptions({"x", "--usbip=localhost"});
  ASSERT_TRUE(o.usbip);
  EXPECT_EQ(o.usbip->port, 3240);
  EXPECT_FALSE(ParseDevelopmentOptions({"x"}).usbip);
  for (const auto& bad : std::vector<std::vector<std::string>>{
           {"x", "--usbip"}, {"x", "--usbip", "h:0"}, {"x", "--usbip", ":3240"}, {"x", "--usbip=h:x"}}) {
    EXPECT_FALSE(ParseDevelopmentOptions(bad).error.empty()) << bad.back();
  }
}

TEST(DevelopmentOptions, ConnectOption) {
  using app::ParseDevelopmentOptions;
  EXPECT_TRUE(ParseDevelopmentOptions({"x", "--connect"}).connect);
  EXPECT_TRUE(ParseDevelopmentOptions({"x", "-H", "--connect", "--usbip", "h"}).connect);
  EXPECT_FALSE(ParseDevelopmentOptions({"x", "-S"}).connect);
}

TEST(DevelopmentOptions, ConnectOptionPressesConnectOutsideSilentMode) {
  struct Case {
    bool silent;
    bool pressConnect;
    int activations;
  } cases[] = {{false, false, 0}, {false, true, 1}, {true, true, 0}};
  for (const Case& c : cases) {
    UsbHarness h;
    if (c.silent) h.args.push_back("-S");
    auto env = h.MakeEnvironment();
    env.pressConnect = c.pressConnect;
    h.form = std::make_unique<app::TfrmMain>(std::move(env));
    EXPECT_EQ(h.usbLink->activations, 0);  // never inside start-up
    h.loop.ProcessMessages();
    EXPECT_EQ(h.usbLink->activations, c.activations) << c.silent << c.pressConnect;
  }
}

TEST(DevelopmentOptions, EthernetOptionSelectsTheLinkAndConnects) {
  Harness h;
  h.ethernet = app::EthernetTarget{"127.0.0.1", 41234};
  auto& f = h.Start();
  EXPECT_EQ(f.rgConnection.ItemIndex(), 1);
  EXPECT_EQ(f.editAddress.Text(), "127.0.0.1");
  EXPECT_TRUE(f.editAddress.Enabled());
  EXPECT_EQ(f.ethernetPort, 41234);
}

}  // namespace
}  // namespace nimbrel::testing
