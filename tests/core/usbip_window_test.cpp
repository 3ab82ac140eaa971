// The main window over USB end to end: the real TUSB component and engine on
// the USB/IP backend against the simulated scanner, in virtual time. The
// handshake, keep-alives, the register write, a manual upload, bad frames,
// scanners that cannot be connected, and restarts in the middle of things.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "NetSupport.h"
#include "UsbipWindow.h"
#include "nimbrel_images/ImageStore.h"
#include "protocol/Bytes.h"
#include "protocol/ControlFrame.h"

namespace nimbrel::testing {
namespace {

using sim::EventKind;
using sim::UsbSerial;

std::vector<EventKind> Kinds(const sim::Scanner& s) {
  std::vector<EventKind> kinds;
  for (const auto& e : s.Events()) kinds.push_back(e.kind);
  return kinds;
}

class UsbipWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(h.serving);
    h.scanner().SetPartNumber("QV47-02HCAF-123456");
    h.scanner().SetFirmwareVersion(0x01000078);
  }
  void TearDown() override {
    // The clock never had to move on with work still in flight.
    EXPECT_EQ(h.loop.SettleTimeouts(), 0);
  }

  // The log from "USB Connected" on.
  std::vector<std::string> LogFromConnect() {
    const auto& log = h.Log();
    auto at = std::find(log.begin(), log.end(), "USB Connected");
    return {at, log.end()};
  }

  UsbipWindowHarness h;
};

TEST_F(UsbipWindow, HandshakeGreetingAndSystemInfo) {
  auto& f = h.Connect();
  ASSERT_TRUE(f.usb->Active());
  ASSERT_TRUE(f.linkEstablished);
  const auto log = LogFromConnect();
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(log[0], "USB Connected");
  EXPECT_EQ(log[1], "Greeting::normal unit");
  EXPECT_EQ(log[2].rfind("PN::", 0), 0u);
  EXPECT_EQ(log[3], "scanner version:1.0.0.120");
  EXPECT_EQ(log[4], "ws ROHS model(QV47-XXXXAF or QV47-XXXX05)");
  EXPECT_EQ(log[5], "No tsCode: 0x00001");
  EXPECT_TRUE(f.unitSupported);
  EXPECT_TRUE(f.btnAutoUpload.Enabled());

  // On the wire: the device imported once, the connect request, then the
  // System Info request carrying the greeting's bytes; its reply became the copy.
  const auto kinds = Kinds(h.scanner());
  const std::vector<EventKind> expected{EventKind::LinkUp, EventKind::ConnectRequest, EventKind::SystemInfoRequest};
  ASSERT_GE(kinds.size(), expected.size());
  EXPECT_EQ(std::vector<EventKind>(kinds.begin(), kinds.begin() + 3), expected);
  EXPECT_EQ(h.usb().Imports(), 1u);
  const auto requests = h.scanner().SystemInfoRequests();
  ASSERT_EQ(requests.size(), 1u);
  const auto greeting = h.scanner().LastGreeting();
  ASSERT_TRUE(greeting);
  for (std::size_t i = 0; i < 512; ++i) {
    if (i / 4 == 0 || i / 4 == 2 || i / 4 == 126 || i / 4 == 127) continue;
    ASSERT_EQ(requests[0][i], (*greeting)[i]) << i;
  }
  EXPECT_EQ(f.replyCount, 1);
  EXPECT_EQ(protocol::LoadU32(f.systemInfoCopy.data()), protocol::kMagicSoF);
  // The engine read the scanner's strings through the backend.
  EXPECT_STREQ(h.link->GetDescripterString(3), "00000000051B");
  EXPECT_STREQ(h.link->GetDescripterString(1), "Tavix");
}

TEST(UsbipWindowKeepAlive, OnlyForOldFirmware) {
  struct Case {
    std::uint32_t version;
    bool keepAlives;
  };
  for (const Case c : {Case{0x01000070, true}, Case{0x01000078, false}}) {
    SCOPED_TRACE(c.version);
    UsbipWindowHarness rig;
    rig.scanner().SetPartNumber("QV47-02HCAF-123456");
    rig.scanner().SetFirmwareVersion(c.version);
    auto& f = rig.Connect();
    ASSERT_TRUE(f.unitSupported);
    rig.scanner().ClearRecords();
    // The keep-alive waits until two blocks from the scanner have come since
    // the last send; the System Info reply was the first, a status block the second.
    sim::Frame status = rig.scanner().SystemInfo();
    status[0] = 'S', status[1] = 'Y', status[2] = 'S', status[3] = 0;
    ASSERT_TRUE(rig.scanner().SendRaw({status.begin(), status.end()}));
    rig.loop.RunFor(1100);
    const std::size_t keepAlives = rig.scanner().Count(EventKind::KeepAlive);
    if (c.keepAlives) {
      EXPECT_EQ(keepAlives, 1u);
      const auto frames = rig.scanner().Events();
      const auto it = std::find_if(frames.begin(), frames.end(),
                                   [](const sim::Event& e) { return e.kind == EventKind::KeepAlive; });
      ASSERT_NE(it, frames.end());
      EXPECT_EQ(it->magic, protocol::kMagicSoF);
      EXPECT_EQ(it->command, -6);
    } else {
      EXPECT_EQ(keepAlives, 0u);
    }
    EXPECT_EQ(rig.loop.SettleTimeouts(), 0);
  }
}

TEST_F(UsbipWindow, RegisterWriteFrame) {
  auto& f = h.Connect();
  ASSERT_TRUE(f.unitSupported);
  h.scanner().ClearRecords();
  f.WriteRegister(265, 0);
  h.loop.RunFor(200);
  const auto events = h.scanner().Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EventKind::RegisterWrite);
  EXPECT_EQ(events[0].magic, protocol::kMagicSeT);
  EXPECT_EQ(events[0].param, 265);
  EXPECT_EQ(events[0].value, 0);
  EXPECT_TRUE(h.trace.Contains("reg[0x109][0]\n"));
}

TEST_F(UsbipWindow, ManualSolutionUploadThenEndOfSessionAndDisconnect) {
  h.scanner().SetPartNumber("QV47-02HCAG-000001");
  h.scanner().SetFirmwareVersion(0x01010205);
  auto& f = h.Connect();
  ASSERT_TRUE(f.unitSupported);
  h.scanner().ClearRecords();
  f.rgMode.SetItemIndex(2);
  f.updateStage = -1;
  h.loop.Guard([&] { f.btnUploadClick(&f.btnUpload); });
  h.loop.RunFor(500);

  const auto uploads = h.scanner().Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const sim::Upload& u = uploads[0];
  EXPECT_TRUE(u.Ok());
  EXPECT_TRUE(u.checksumOk);
  EXPECT_EQ(u.command, 0x00100000);
  const auto image = images::Find("SOLUTIONDATA");
  ASSERT_TRUE(image);
  EXPECT_EQ(u.headerSize, static_cast<std::int32_t>(image->size()));
  const auto payload = u.Payload();
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), image->begin(), image->end()));

  EXPECT_EQ(f.pendingSends.load(), 0);
  EXPECT_TRUE(h.Logged("verify data"));
  EXPECT_TRUE(h.Logged("to update System, please reset power switch of Scanner"));
  // The end of session follows the whole upload, then the link closes.
  const auto kinds = Kinds(h.scanner());
  const auto end = std::find(kinds.begin(), kinds.end(), EventKind::UploadEnd);
  const auto session = std::find(kinds.begin(), kinds.end(), EventKind::EndSession);
  ASSERT_NE(session, kinds.end());
  EXPECT_LT(end, session);
  EXPECT_EQ(h.Log().back(), "USB Disconnected");
  EXPECT_FALSE(f.usb->Active());
  ASSERT_TRUE(h.scanner().WaitFor([&] { return !h.usb().Imported(); }, kPeerWait));
}

TEST_F(UsbipWindow, TwentyFirstBadFrameDeactivatesUsb) {
  h.scanner().Configure([](sim::Options& o) {
    o.badMagicFrames = 21;
    o.badMagicInsteadOfGreeting = true;
  });
  auto& f = h.Connect();
  h.loop.RunFor(500);
  EXPECT_EQ(f.badFrameCount, 21);
  EXPECT_FALSE(f.usb->Active());
  const auto log = LogFromConnect();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1], "unknown model");
  EXPECT_EQ(log[2], "please restart device and program");
  EXPECT_EQ(log[3], "USB Disconnected");
  ASSERT_TRUE(h.scanner().WaitFor([&] { return !h.usb().Imported(); }, kPeerWait));
}

TEST_F(UsbipWindow, TwentyBadFramesAreIgnored) {
  h.scanner().Configure([](sim::Options& o) { o.badMagicFrames = 20; });
  auto& f = h.Connect();
  EXPECT_TRUE(f.usb->Active());
  EXPECT_EQ(f.badFrameCount, 20);
  EXPECT_TRUE(f.unitSupported);
}

TEST(UsbipWindowNoScanner, CantConnectScanner) {
  struct Case {
    const char* name;
    std::function<void(UsbipWindowHarness&)> setUp;
  };
  const Case cases[] = {
      {"the server exports nothing", [](UsbipWindowHarness& r) { r.usb().SetExported(false); }},
      {"a device without a unit ID", [](UsbipWindowHarness& r) { r.usb().SetSerial(UsbSerial::NoUnitId); }},
      {"string 3 without the unit ID", [](UsbipWindowHarness& r) { r.usb().SetSerial(UsbSerial::String3LacksUnitId); }},
      {"the server is not there", [](UsbipWindowHarness& r) { r.sim.Stop(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UsbipWindowHarness r;
    ASSERT_TRUE(r.serving);
    c.setUp(r);
    auto& f = r.Connect();
    EXPECT_FALSE(f.usb->Active());
    EXPECT_FALSE(f.linkEstablished);
    ASSERT_EQ(r.dialogs.Messages().size(), 1u);
    EXPECT_EQ(r.dialogs.Messages()[0].text, "can't connect Scanner");
    EXPECT_EQ(r.dialogs.Messages()[0].caption, "Check connection");
    EXPECT_FALSE(r.Logged("USB Connected"));
    EXPECT_EQ(r.scanner().Count(EventKind::ConnectRequest), 0u);
    EXPECT_EQ(r.loop.SettleTimeouts(), 0);
  }
}

class UsbipWindowRestart : public UsbipWindow {
 protected:
  // After the removal: the disconnect handling ran, and once the scanner is
  // back the next SetActive(true) finds it and greets it again.
  void ExpectRemovalThenFoundAgain(app::TfrmMain& f) {
    EXPECT_FALSE(f.usb->Active());
    EXPECT_TRUE(h.Logged("USB Disconnected"));
    EXPECT_FALSE(f.sessionOpen);
    EXPECT_FALSE(f.btnBackup.Enabled());
    EXPECT_EQ(f.pendingSends.load(), 0);

    f.usb->SetActive(true);  // still away
    EXPECT_FALSE(f.usb->Active());
    h.loop.RunFor(kRestartMs);
    const std::size_t greetings = h.scanner().Count(EventKind::ConnectRequest);
    f.usb->SetActive(true);
    ASSERT_TRUE(f.usb->Active());
    ASSERT_TRUE(h.loop.RunUntil([&] { return f.unitSupported; }, 5000));
    EXPECT_EQ(h.scanner().Count(EventKind::ConnectRequest), greetings + 1);
    EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), "USB Connected"), 2);
  }

  static constexpr std::int64_t kRestartMs = 3000;
};

TEST_F(UsbipWindowRestart, DuringAnUpload) {
  h.usb().SetRestartTime(kRestartMs);
  h.scanner().SetPartNumber("QV47-02HCAG-000001");
  h.scanner().SetFirmwareVersion(0x01010205);
  auto& f = h.Connect();
  ASSERT_TRUE(f.unitSupported);
  // The scanner restarts halfway through the solution.
  const auto image = images::Find("SOLUTIONDATA");
  ASSERT_TRUE(image);
  const std::int64_t half = static_cast<std::int64_t>(image->size() / 2);
  h.scanner().Configure([half](sim::Options& o) { o.dropUploadAfter = half; });
  f.rgMode.SetItemIndex(2);
  f.updateStage = -1;
  h.loop.Guard([&] { f.btnUploadClick(&f.btnUpload); });
  h.loop.RunFor(500);
  const auto uploads = h.scanner().Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_FALSE(uploads[0].complete);
  EXPECT_EQ(uploads[0].received, static_cast<std::uint64_t>(half));
  EXPECT_TRUE(h.trace.Contains("usbip 127.0.0.1:" + std::to_string(h.sim.Port()) +
                               " 1-1: the server closed the connection; device removed"));
  ExpectRemovalThenFoundAgain(f);
}

TEST_F(UsbipWindowRestart, DuringTheSystemInfoExchange) {
  h.usb().SetRestartTime(kRestartMs);
  h.scanner().Configure([](sim::Options& o) { o.dropAtSystemInfoRequest = true; });
  h.Start();
  auto& f = *h.form;
  f.ConnectClick(&f.Connect);
  h.loop.RunFor(500);
  EXPECT_TRUE(h.Logged("Greeting::normal unit"));
  EXPECT_EQ(h.scanner().Count(EventKind::SystemInfoRequest), 1u);
  EXPECT_EQ(f.replyCount, 0);
  ExpectRemovalThenFoundAgain(f);
  EXPECT_EQ(f.replyCount, 1);
}

}  // namespace
}  // namespace nimbrel::testing
