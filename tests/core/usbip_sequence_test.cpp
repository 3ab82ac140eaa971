// The whole automatic update over USB end to end, in virtual time: the real
// TUSB component and transfer engine on the USB/IP backend against the
// simulated scanner's USB/IP server, the scanner restarting (leaving the
// bus for its restart time) after the uploads that make it restart.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "UsbipWindow.h"
#include "platform/Files.h"
#include "sequence_support.h"
#include "unit/TsCode.h"

namespace nimbrel::testing {
namespace {

using sim::EventKind;

class UsbipSequence : public ::testing::Test {
 protected:
  static constexpr std::int64_t kRestartMs = 300;

  void SetUp() override {
    ASSERT_TRUE(h.serving);
    h.usb().SetRestartTime(kRestartMs);
    h.scanner().SetPartNumber(kSupportedPn);
    h.scanner().SetFirmwareVersion(0x00FFFFFF);
    // It restarts after the boot loader, the solution and its System Info,
    // once it has answered the four requests on its new data.
    h.scanner().Configure([](sim::Options& o) {
      o.applySystemInfoUploads = true;
      o.dropAfterUpload = true;
      o.dropAfterUploadCommands = {Command(update::ModeBootLoader), Command(update::ModeSolution),
                                   Command(update::ModeBackupFile)};
      o.repliesBeforeDrop = 4;
    });
  }
  void TearDown() override { EXPECT_EQ(h.loop.SettleTimeouts(), 0); }

  // Runs until the sequence has ended (USB closed after the last stage) or
  // stopped, within ten minutes of virtual time.
  bool RunSequence(app::TfrmMain& f) {
    return h.loop.RunUntil(
        [&] { return f.updateStage == -1 && !f.usb->Active() && !f.Timer1.Enabled() && !f.Timer2.Enabled(); },
        600000);
  }

  UsbipWindowHarness h;
};

TEST_F(UsbipSequence, WholeUpdateAcrossTheScannersRestarts) {
  auto& f = h.Connect();
  ASSERT_TRUE(f.unitSupported);
  // The FPGA stage goes by the options as they stand when it starts: the
  // scanner comes back from its last restart set to the "wm 20mm" motor.
  unit::PartsInformation wm20;
  wm20.stepMotor = unit::item::kStepWm20;
  // (The observer runs on the simulator's thread: it touches the scanner only.)
  h.scanner().SetObserver([&](const sim::Event& e) {
    if (e.kind == EventKind::UploadEnd && e.command == Command(update::ModeBackupFile)) {
      h.scanner().SetTsCode(unit::EncodeTsCode(wm20));
    }
  });

  f.btnAutoUpload.Click();
  // The System Info that stage 3 writes: backup.dmp as stage 0 left it (the
  // scanner's record with the standard values), patched to the options.
  ASSERT_TRUE(h.loop.RunUntil([&] { return f.updateStage >= 1; }, 60000));
  Bytes expectedRecord = platform::ReadWholeFile(h.exeDir.File("backup.dmp")).value_or(Bytes{});
  ASSERT_TRUE(f.PatchHardwareOptions(expectedRecord) && f.FixSaehanDriveCode(expectedRecord));
  ASSERT_TRUE(RunSequence(f)) << f.updateStage;

  std::vector<std::int32_t> commands;
  for (const sim::Upload& u : h.scanner().Uploads()) commands.push_back(u.command);
  ASSERT_EQ(commands, (std::vector<std::int32_t>{Command(update::ModeBootLoader), Command(update::ModeGuiResources),
                                                 Command(update::ModeSolution), Command(update::ModeBackupFile),
                                                 Command(update::ModeFpga)}));
  const auto uploads = h.scanner().Uploads();
  for (const sim::Upload& u : uploads) EXPECT_TRUE(u.Ok()) << u.command;
  EXPECT_EQ(PayloadOf(uploads[0]), Image("BOOTLOADERDATA"));
  EXPECT_EQ(PayloadOf(uploads[1]), Image("TXGUIRESDATA"));
  EXPECT_EQ(PayloadOf(uploads[2]), Image("SOLUTIONDATA"));
  ASSERT_EQ(expectedRecord.size(), 512u);
  EXPECT_EQ(PayloadOf(uploads[3]), expectedRecord);
  EXPECT_EQ(PayloadOf(uploads[4]), Image("FPGARBFDATA1"));

  // Four requests in each verification phase.
  std::vector<int> perPhase;
  for (const sim::Event& e : h.scanner().Events()) {
    if (e.kind == EventKind::UploadEnd) perPhase.push_back(0);
    if (IsVerificationRequest(e) && !perPhase.empty()) ++perPhase.back();
  }
  EXPECT_EQ(perPhase, (std::vector<int>{4, 4, 4, 4, 4}));

  // Three restarts, each one a removal and a new import.
  EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), "USB Connected"), 4);
  EXPECT_EQ(h.scanner().Count(EventKind::ConnectRequest), 4u);

  // The end: the two lines, the end of session, USB closed, "Scanner Base"
  // enabled and the other groups still locked.
  const auto& log = h.Log();
  const auto done = std::find(log.begin(), log.end(), kDoneLine);
  ASSERT_NE(done, log.end());
  EXPECT_EQ(std::vector<std::string>(done + 1, log.end()), (std::vector<std::string>{kPowerLine, "USB Disconnected"}));
  EXPECT_EQ(h.scanner().Count(EventKind::EndSession), 1u);
  EXPECT_FALSE(f.usb->Active());
  EXPECT_TRUE(f.rgFPGA.Enabled());
  for (const ui::TControl* group : std::vector<const ui::TControl*>{
           &f.rgStepMotor, &f.rgFTheta, &f.rgAGDoor, &f.rgLOT, &f.rgMainBoard, &f.rgPowerBoard, &f.rgROHSLCD}) {
    EXPECT_FALSE(group->Enabled()) << group->Name();
  }
  EXPECT_TRUE(h.dialogs.Messages().empty());
  EXPECT_EQ(f.runResult, app::kExitUpdated);
}

}  // namespace
}  // namespace nimbrel::testing
