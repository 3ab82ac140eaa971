#include <gtest/gtest.h>

#include "Harness.h"
#include "platform/Text.h"

namespace nimbrel::testing {
namespace {

struct ArgsCase {
  std::vector<std::string> args;
  int silentState;
  bool hidden;
};

class StartUpArgs : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(StartUpArgs, SetSilentAndHiddenModes) {
  Harness h;
  h.args = GetParam().args;
  auto& f = h.Start();
  EXPECT_EQ(f.silentState, GetParam().silentState);
  EXPECT_EQ(f.hiddenMode, GetParam().hidden);
  EXPECT_EQ(f.tmSilenceMode.Enabled(), GetParam().silentState > 0);
  EXPECT_EQ(f.Connect.Enabled(), GetParam().silentState <= 0);
  EXPECT_EQ(h.trace.Contains("silenetmode fw updater\n"), GetParam().silentState > 0);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, StartUpArgs,
    ::testing::Values(ArgsCase{{"nimbrel-updater"}, 0, false}, ArgsCase{{"nimbrel-updater", "-s"}, 1, false},
                      ArgsCase{{"nimbrel-updater", "-S"}, 1, false}, ArgsCase{{"nimbrel-updater", "-h"}, 0, true},
                      ArgsCase{{"nimbrel-updater", "-H", "-S"}, 1, true},
                      ArgsCase{{"nimbrel-updater", "-SH"}, 0, false},
                      ArgsCase{{"nimbrel-updater", "-S "}, 0, false},
                      // The program path is an argument like the others.
                      ArgsCase{{"-S"}, 1, false}, ArgsCase{{"-h", "x"}, 0, true}));

TEST(StartUp, UnsplittableCommandLineLeavesSilentStateUnread) {
  Harness h;
  h.commandLineAvailable = false;
  auto& f = h.Start();
  EXPECT_EQ(f.silentState, -1);
  EXPECT_FALSE(f.hiddenMode);
  EXPECT_TRUE(f.Connect.Enabled());
}

TEST(StartUp, FirstLogLinesAreTheTypeAndTheVersion) {
  Harness h;
  auto& f = h.Start();
  ASSERT_GE(h.Log().size(), 2u);
  EXPECT_EQ(h.Log()[0], "Dental type");
  EXPECT_EQ(h.Log()[1], "updater version:1.1.2.5");
  EXPECT_EQ(h.echoed, h.Log());
  EXPECT_EQ(static_cast<std::uint32_t>(f.updaterVersion), 0x01010205u);
  EXPECT_TRUE(h.trace.Contains("updater version 01010205"));
  EXPECT_EQ(f.Caption(), "ZK Scanner System Updater_20181026");
  EXPECT_TRUE(h.dialogs.Messages().empty());
}

TEST(StartUp, StateAndControlsAfterStartUp) {
  Harness h;
  auto& f = h.Start();
  EXPECT_EQ(f.updateStage, -1);
  EXPECT_FALSE(f.sessionOpen);
  EXPECT_FALSE(f.closing);
  EXPECT_FALSE(f.linkEstablished);
  EXPECT_EQ(f.rgMode.ItemIndex(), -1);
  EXPECT_FALSE(f.rgMode.Enabled());
  EXPECT_FALSE(f.btnUpload.Enabled());
  EXPECT_FALSE(f.btnAutoUpload.Enabled());
  EXPECT_FALSE(f.btnBackup.Enabled());
  EXPECT_TRUE(f.btnPatch.Enabled());
  EXPECT_EQ(f.rgFPGA.ItemIndex(), -1);
  EXPECT_EQ(f.rgStepMotor.ItemIndex(), 3);
  EXPECT_EQ(f.rgMainBoard.ItemIndex(), 2);
  EXPECT_EQ(f.rgSolution.ItemIndex(), 0);
  EXPECT_EQ(f.edittsCode.Text(), "1");
  ASSERT_NE(f.stagingBuffer, nullptr);
  ASSERT_NE(f.bulkBuffer, nullptr);
  EXPECT_EQ(f.receivePosition, f.bulkBuffer.get());
  ASSERT_NE(f.keepAliveTimer, nullptr);
  EXPECT_TRUE(f.keepAliveTimer->Enabled());
  EXPECT_EQ(f.keepAliveTimer->Interval(), 1000);
  EXPECT_FALSE(f.Timer1.Enabled());
  EXPECT_FALSE(f.Timer2.Enabled());
  EXPECT_NE(f.usb, nullptr);
  EXPECT_TRUE(f.usb->Synchronous());
  EXPECT_TRUE(f.usb->Event);
}

TEST(StartUp, TextsWithThetaAreCodePage949) {
  Harness h;
  auto& f = h.Start();
  EXPECT_EQ(f.rgFTheta.Caption(), "f-\xA5\xE8");
  EXPECT_EQ(f.rgFPGA.Items()[7], "AG(AF+f-\xA5\xE8, new door)");
  EXPECT_EQ(f.rgOptic.Items()[1], "AG(f-\xA5\xE8)");
  EXPECT_EQ(platform::Cp949ToUtf8(f.rgFTheta.Caption()), "f-\xCE\xB8");
}

TEST(StartUp, CompactWindowOutsideFactoryMode) {
  Harness h;
  auto& f = h.Start();
  EXPECT_FALSE(f.factoryMode);
  EXPECT_EQ(f.Width(), 455);
  EXPECT_EQ(f.Height(), 160);
  EXPECT_TRUE(f.chkMustUpdate.Visible());
  EXPECT_TRUE(f.Visible());
}

TEST(StartUp, FactoryMarkersKeepTheDesignedSize) {
  for (const char* marker : {"factory_mode", "factory_mode.txt"}) {
    Harness h;
    h.workDir.Touch(marker);
    auto& f = h.Start();
    EXPECT_TRUE(f.factoryMode) << marker;
    EXPECT_EQ(f.ClientWidth(), 794) << marker;
    EXPECT_EQ(f.ClientHeight(), 386) << marker;
    EXPECT_FALSE(f.chkMustUpdate.Visible()) << marker;
    EXPECT_FALSE(f.chkMustUpdate.Checked()) << marker;
    EXPECT_TRUE(f.chkMustUpdate.Enabled()) << marker;
    EXPECT_TRUE(f.GroupBox1.Visible()) << marker;
  }
}

TEST(StartUp, MarkerInTheProgramFolderDoesNotCount) {
  Harness h;
  h.exeDir.Touch("factory_mode");
  EXPECT_FALSE(h.Start().factoryMode);
}

TEST(StartUp, HiddenModeGivesAZeroSizedHiddenWindow) {
  Harness h;
  h.args = {"nimbrel-updater", "-H"};
  auto& f = h.Start();
  EXPECT_EQ(f.Width(), 0);
  EXPECT_EQ(f.Height(), 0);
  EXPECT_FALSE(f.Visible());
}

TEST(StartUp, SecondInstanceShowsBothBoxesThenQuits) {
  Harness first;
  first.Start();
  Harness second;
  // The second window meets the first one's locks.
  second.form = std::make_unique<app::TfrmMain>(app::Environment{
      second.loop, second.trace, second.dialogs, first.locks,
      platform::Paths{second.exeDir.path(), second.workDir.path()}, second.args, nullptr, nullptr, std::nullopt,
      app::kSequenceStallLimitMs, nullptr, false});
  const auto& boxes = second.dialogs.Messages();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "Please run after closing  other sotfware using Dental scaner");
  EXPECT_EQ(boxes[1].text, "Please run after closing  other sotfware using flash scaner");
  for (const auto& b : boxes) {
    EXPECT_EQ(b.caption, "duplicated software");
    EXPECT_EQ(b.icon, ui::MsgIcon::Warning);
    EXPECT_EQ(b.buttons, ui::MsgButtons::Ok);
    EXPECT_TRUE(b.topmost);
  }
  // Start-up still runs to its end; the quit takes effect afterwards.
  EXPECT_EQ(second.form->Memo.Lines().size(), 2u);
  EXPECT_TRUE(second.loop.QuitRequested());
  EXPECT_EQ(second.loop.ExitCode(), app::kExitSecondInstance);
  EXPECT_FALSE(first.loop.QuitRequested());
  EXPECT_TRUE(first.dialogs.Messages().empty());
}

TEST(StartUp, OnlyTheHeldLockComplains) {
  Harness h;
  auto flash = h.locks.Create(app::kFlashMutexName);
  ASSERT_TRUE(flash.lock);
  h.Start();
  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].text, "Please run after closing  other sotfware using flash scaner");
  EXPECT_NE(h.form->dentalMutex, nullptr);
}

TEST(Shutdown, CloseReleasesBuffersAndLocks) {
  Harness h;
  auto& f = h.Start();
  f.Close();
  EXPECT_TRUE(f.closing);
  EXPECT_EQ(f.stagingBuffer, nullptr);
  EXPECT_EQ(f.bulkBuffer, nullptr);
  EXPECT_TRUE(h.loop.QuitRequested());
  // The names are free again for the next start.
  EXPECT_FALSE(h.locks.Create(app::kDentalMutexName).alreadyExisted);
  EXPECT_FALSE(h.locks.Create(app::kFlashMutexName).alreadyExisted);
}

}  // namespace
}  // namespace nimbrel::testing

namespace nimbrel::testing {
namespace {

TEST(StartUp, ErrorsLeavingAHandlerShowAnErrorBox) {
  Harness h;
  h.Start();
  h.loop.Post([] { throw std::runtime_error("Resource SOLUTIONDATAMED not found"); });
  h.loop.ProcessMessages();
  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].text, "Resource SOLUTIONDATAMED not found");
  EXPECT_EQ(h.dialogs.Messages()[0].icon, ui::MsgIcon::Error);
  EXPECT_EQ(h.dialogs.Messages()[0].buttons, ui::MsgButtons::Ok);
}

}  // namespace
}  // namespace nimbrel::testing
