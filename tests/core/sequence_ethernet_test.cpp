// The update sequence on a link made over Ethernet, against the simulated
// scanner on loopback: the first stage and its verification go over TCP,
// and the first stage change, which reopens USB, stops there.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "Harness.h"
#include "SimTracker.h"
#include "nimbrel_images/ImageStore.h"
#include "nimbrel_sim/Net.h"
#include "sequence_support.h"

namespace nimbrel::testing {
namespace {

using sim::EventKind;

class EthernetSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start(0));
    scanner().SetPartNumber(kSupportedPn);
    scanner().SetFirmwareVersion(0x00FFFFFF);
  }

  app::TfrmMain& StartOverEthernet() {
    h.ethernet = app::EthernetTarget{"127.0.0.1", sim.Port()};
    auto& f = h.Start();
    return f;
  }

  std::vector<sim::Event> Events() { return scanner().Events(); }
  sim::Scanner& scanner() { return sim.scanner(); }

  Harness h;
  SimTracker tracker{h.loop.inFlight()};
  sim::Simulator sim{&tracker};
};

TEST_F(EthernetSequence, FirstStageRunsOverTcpAndTheStageChangeFindsNoUsbScanner) {
  auto& f = StartOverEthernet();
  ASSERT_TRUE(h.loop.RunUntil([&] { return f.unitSupported && f.btnAutoUpload.Enabled(); }, 10000));
  f.btnAutoUpload.Click();
  ASSERT_TRUE(h.loop.RunUntil([&] { return !h.dialogs.Messages().empty(); }, 60000));
  h.loop.RunFor(5000);

  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  const auto& box = h.dialogs.Messages()[0];
  EXPECT_EQ(box.text, "can't connect to a Scanner with USB");
  EXPECT_EQ(box.icon, ui::MsgIcon::None);
  EXPECT_EQ(box.buttons, ui::MsgButtons::Ok);

  // Stage 0 went over TCP, its verification requests too; the register
  // write goes over USB only.
  const auto uploads = scanner().Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_TRUE(uploads[0].Ok());
  EXPECT_EQ(uploads[0].command, Command(update::ModeBootLoader));
  EXPECT_EQ(PayloadOf(uploads[0]), Image("BOOTLOADERDATA"));
  const auto events = Events();
  const auto end = std::find_if(events.begin(), events.end(),
                                [](const sim::Event& e) { return e.kind == EventKind::UploadEnd; });
  EXPECT_EQ(std::count_if(end, events.end(), IsVerificationRequest), 4);
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const sim::Event& e) { return e.kind == EventKind::RegisterWrite; }),
            0);

  // The sequence stopped at stage 0 with the groups locked.
  EXPECT_EQ(f.updateStage, 0);
  EXPECT_FALSE(f.Timer1.Enabled());
  EXPECT_FALSE(f.Timer2.Enabled());
  EXPECT_FALSE(f.rgFPGA.Enabled());
  EXPECT_FALSE(f.rgLOT.Enabled());
  EXPECT_FALSE(h.Logged(kDoneLine));
  EXPECT_TRUE(f.TcpIsConnected());
}

TEST_F(EthernetSequence, SilentRunEndsWhenTheStageChangeFindsNoUsbScanner) {
  h.args.push_back("-S");
  auto& f = StartOverEthernet();
  ASSERT_TRUE(h.loop.RunUntil([&] { return f.Closed(); }, 120000));
  EXPECT_EQ(h.loop.ExitCode(), app::kExitSequenceStopped);
  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].text, "can't connect to a Scanner with USB");
  EXPECT_EQ(scanner().Uploads().size(), 1u);
  // The close ended the session over TCP.
  ASSERT_TRUE(scanner().WaitFor([&] { return scanner().Count(EventKind::EthernetEndSession) == 1; },
                                std::chrono::seconds(10)));
}

}  // namespace
}  // namespace nimbrel::testing
