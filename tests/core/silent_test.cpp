// Silent mode from start to end, the silent-mode timer's states, hidden
// mode, the close of the window, and the exit codes that runs leave with.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../bench/UpdatePauses.h"
#include "platform/Files.h"
#include "sequence_support.h"

namespace nimbrel::testing {
namespace {

using sim::EventKind;

struct SilentHarness : SimUsbHarness {
  SilentHarness() { args.push_back("-S"); }
  // Runs until the window has closed; false when it did not within the limit.
  bool RunToClose(std::int64_t limitMs = 600000) {
    return loop.RunUntil([this] { return form->Closed(); }, limitMs);
  }
};

TEST(SilentRun, NoScannerEndsOneSecondAfterStartWithoutABox) {
  SilentHarness h;
  h.Start();
  h.usb->scannerAttached = false;
  ASSERT_TRUE(h.RunToClose());
  EXPECT_EQ(h.loop.NowMs(), 1000 + 100) << "the tick, then the close's last pause";
  EXPECT_TRUE(h.dialogs.Messages().empty());
  EXPECT_EQ(h.usb->activations, 1);
  EXPECT_EQ(h.loop.ExitCode(), app::kExitNoScanner);
}

TEST(SilentRun, UnsupportedUnitLogsFourLinesAndEndsOneSecondAfterTheGreeting) {
  SilentHarness h;
  h.scanner.SetPartNumber("QV47-13HCAG-000001");
  h.Start();
  ASSERT_TRUE(h.RunToClose());
  const std::int64_t greetedAt = h.LoggedAt("Greeting::normal unit");
  ASSERT_GE(greetedAt, 1000);
  const std::vector<std::string> tail(h.echoed.end() - 5, h.echoed.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"----------------------", "Updater is not supposed to support this unit",
                                            "Please use to ZK Scanner only", "----------------------",
                                            "USB Disconnected"}));
  // The disconnect starts the silent timer; its tick closes, and the close
  // pauses once more.
  EXPECT_EQ(h.loop.NowMs(), h.LoggedAt("USB Disconnected") + 1000 + 100);
  EXPECT_LE(h.loop.NowMs() - greetedAt, 1000 + 100 + 10);
  EXPECT_TRUE(h.dialogs.Messages().empty());
  EXPECT_TRUE(h.EventsOf(EventKind::RegisterWrite).empty());
  EXPECT_EQ(h.loop.ExitCode(), app::kExitUnitRefused);
  EXPECT_TRUE(h.trace.Contains("close by iSilentMode\n"));
}

TEST(SilentRun, SupportedUnitIsUpdatedAndTheProgramEndsASecondAfterUsbClosed) {
  SilentHarness h;
  h.args.push_back("-H");
  std::int64_t registerWrittenAt = -1;
  h.scanner.SetObserver([&](const sim::Event& e) {
    if (e.kind == EventKind::RegisterWrite) registerWrittenAt = h.loop.NowMs();
  });
  auto& f = h.Start();
  ASSERT_TRUE(h.RunToClose());

  // The update starts one tick after the greeting (the register write comes
  // 150 ms into it), without the version question.
  const std::int64_t greetedAt = h.LoggedAt("Greeting::normal unit");
  EXPECT_GE(registerWrittenAt, greetedAt + 1000 + 150);
  EXPECT_LE(registerWrittenAt, greetedAt + 1000 + 150 + 10);
  EXPECT_EQ(h.UploadCommands().size(), 5u);
  EXPECT_TRUE(h.Logged(kDoneLine));
  // The end of the sequence closes USB; one tick later the window closes.
  EXPECT_EQ(h.loop.NowMs(), h.LoggedAt("USB Disconnected") + 1000 + 100);
  EXPECT_TRUE(h.trace.Contains("tmSilenceMode->Enabled = true2"));
  EXPECT_TRUE(h.trace.Contains("close by iSilentMode\n"));
  EXPECT_TRUE(h.dialogs.Messages().empty());
  EXPECT_FALSE(f.Visible());
  EXPECT_EQ(h.loop.ExitCode(), app::kExitUpdated);
}

TEST(SilentRun, GreetingAfterTheDisconnectStartsTheUpdateAgain) {
  SilentHarness h;
  auto& f = h.Start();
  ASSERT_TRUE(h.loop.RunUntil([&] { return f.Timer1.Enabled(); }));
  // The scanner goes away for a moment as the boot-loader stage changes:
  // the sequence reopens USB before the silent timer closes the window, and
  // the greeting starts the update over.
  h.usb->Remove();
  EXPECT_EQ(f.silentState, 99);
  ASSERT_TRUE(h.loop.RunUntil([&] { return h.EventsOf(EventKind::RegisterWrite).size() == 2; }));
  EXPECT_EQ(f.silentState, 2);
  EXPECT_FALSE(f.Closed());
  ASSERT_TRUE(h.RunToClose());
  EXPECT_EQ(h.loop.ExitCode(), app::kExitUpdated);
  const auto b = Command(update::ModeBootLoader);
  EXPECT_EQ(h.UploadCommands(),
            (std::vector<std::int32_t>{b, b, Command(update::ModeGuiResources), Command(update::ModeSolution),
                                       Command(update::ModeBackupFile), Command(update::ModeFpga)}));
  EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), kDoneLine), 1);
}

TEST(SilentRun, RestartRightAfterTheLastAnswerEndsTheRun) {
  SilentHarness h;
  // The unit restarts as soon as it has answered the boot loader's
  // verification: the silent timer closes the window before the stage
  // change could reopen USB.
  h.RestartAfter({Command(update::ModeBootLoader)});
  h.Start();
  ASSERT_TRUE(h.RunToClose());
  EXPECT_EQ(h.loop.ExitCode(), app::kExitSequenceStopped);
  EXPECT_EQ(h.UploadCommands(), (std::vector<std::int32_t>{Command(update::ModeBootLoader)}));
  EXPECT_TRUE(h.dialogs.Messages().empty());
}

// ---- the silent-mode timer ----

class SilentTimer : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(SilentTimer, OtherStatesDoNothing) {
  SimUsbHarness h;
  auto& f = h.StartConnected();
  const int activations = h.usb->activations;
  const std::size_t lines = h.Log().size();
  f.silentState = GetParam();
  f.tmSilenceMode.SetEnabled(true);
  h.loop.RunFor(1000);
  EXPECT_FALSE(f.tmSilenceMode.Enabled());
  EXPECT_FALSE(f.Closed());
  EXPECT_EQ(h.usb->activations, activations);
  EXPECT_EQ(h.Log().size(), lines);
  EXPECT_TRUE(h.EventsOf(EventKind::RegisterWrite).empty());
  EXPECT_EQ(f.silentState, GetParam());
}

INSTANTIATE_TEST_SUITE_P(States, SilentTimer, ::testing::Values(-1, 0, 3, 98, 100));

TEST(SilentTimer, ConnectTickHidesTheWindowAgainInHiddenMode) {
  SilentHarness h;
  h.args.push_back("-H");
  auto& f = h.Start();
  EXPECT_FALSE(f.Visible());
  f.SetVisible(true);
  h.loop.RunFor(1000);
  EXPECT_FALSE(f.Visible());
  EXPECT_TRUE(f.linkEstablished);
}

TEST(SilentRun, CancelledUnitTypeDialogEndsTheRun) {
  SilentHarness h;
  h.scanner.SetPartNumber("QV47-02HCAG_000001");  // malformed
  h.workDir.Touch("gui_test");
  auto& f = h.Start();
  h.dialogs.AnswerUnitType({ui::kModalCancel, std::nullopt});
  ASSERT_TRUE(h.RunToClose(10000));
  EXPECT_EQ(h.dialogs.UnitTypeShowings(), 1);
  EXPECT_TRUE(h.Logged("cancel to autoupload"));
  EXPECT_EQ(f.updateStage, -1);
  EXPECT_EQ(h.loop.ExitCode(), app::kExitUnitRefused);
}

// ---- the close ----

TEST(Close, WithNoLinkEverOpenedSendsNothingAndReleasesEverything) {
  SimUsbHarness h;
  auto& f = h.Start();
  const std::int64_t t0 = h.loop.NowMs();
  f.Close();
  EXPECT_TRUE(h.usb->sends.empty());
  EXPECT_EQ(h.usb->activations, 0);
  EXPECT_EQ(f.TCP, nullptr);
  EXPECT_EQ(h.loop.NowMs() - t0, 100) << "only the end of session's last pause";
  EXPECT_EQ(f.stagingBuffer, nullptr);
  EXPECT_EQ(f.bulkBuffer, nullptr);
  EXPECT_EQ(f.dentalMutex, nullptr);
  EXPECT_EQ(f.flashMutex, nullptr);
  EXPECT_EQ(h.loop.ExitCode(), 0);
}

TEST(Close, OverUsbEndsTheSessionAndClosesWithoutDisconnectHandling) {
  SimUsbHarness h;
  auto& f = h.StartConnected();
  ASSERT_TRUE(f.sessionOpen);
  f.Close();
  EXPECT_TRUE(f.closing);
  EXPECT_FALSE(h.usb->Active());
  // The handlers were unassigned first: no "USB Disconnected", no send
  // completion counted.
  EXPECT_FALSE(h.Logged("USB Disconnected"));
  EXPECT_FALSE(f.usb->OnSendBufferEnd);
  const auto events = h.scanner.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2].kind, EventKind::EndSession);
  EXPECT_EQ(events.back().kind, EventKind::LinkDown);
  EXPECT_EQ(f.stagingBuffer, nullptr);
}

TEST(Close, DuringAStageChangeTheSequenceStops) {
  SimUsbHarness h;
  auto& f = h.StartConnected();
  f.btnAutoUpload.Click();
  ASSERT_TRUE(h.loop.RunUntil([&] { return f.Timer1.Enabled(); }));
  // The operator closes the window while the stage change pauses.
  auto closer = h.loop.CreateTimer([&] { f.Close(); });
  closer->SetInterval(f.Timer1.Interval() + 300);
  closer->Start();
  h.loop.RunFor(5000);
  EXPECT_TRUE(f.Closed());
  EXPECT_EQ(h.UploadCommands(), (std::vector<std::int32_t>{Command(update::ModeBootLoader)}));
  EXPECT_EQ(h.loop.ExitCode(), app::kExitUpdated) << "the operator's close";
}

// ---- exit codes ----

TEST(ExitCodes, OperatorsRunEndsWithZeroEvenAfterAStoppedSequence) {
  SimUsbHarness h;
  h.sequenceStallLimitMs = 5000;
  auto& f = h.StartConnected();
  h.scanner.Configure([](sim::Options& o) { o.silent = true; });
  f.btnAutoUpload.Click();
  h.loop.RunFor(20000);
  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  f.Close();
  EXPECT_EQ(h.loop.ExitCode(), 0);
}

TEST(ExitCodes, TableHasOneDistinctCodePerOutcome) {
  std::vector<int> codes;
  for (const auto& row : app::kExitCodeTable) {
    EXPECT_EQ(std::count(codes.begin(), codes.end(), row.code), 0) << row.code;
    codes.push_back(row.code);
    EXPECT_NE(std::string(row.meaning), "");
  }
  EXPECT_EQ(app::kExitCodeTable.front().code, 0);
}

}  // namespace
}  // namespace nimbrel::testing

namespace nimbrel::testing {
namespace {

// In virtual time a silent update takes exactly the pauses its protocol
// mandates: the model the benchmark measures the real program against.
TEST(SilentRun, TakesExactlyTheMandatedPauses) {
  for (const std::uint32_t version : {0x00FFFFFFu, 0x01000078u}) {
    SilentHarness h;
    h.scanner.SetFirmwareVersion(version);
    h.Start();
    ASSERT_TRUE(h.RunToClose());
    ASSERT_EQ(h.loop.ExitCode(), app::kExitUpdated);
    const auto size = [](const char* name) { return std::optional<std::int64_t>(Image(name).size()); };
    const std::vector<std::optional<std::int64_t>> stages{
        version < 0x01000000 ? size("BOOTLOADERDATA") : std::nullopt, size("TXGUIRESDATA"), size("SOLUTIONDATA"),
        std::optional<std::int64_t>(512), size("FPGARBFDATA3")};
    EXPECT_EQ(h.loop.NowMs(), bench::SilentUpdatePausesMs(stages)) << std::hex << version;
  }
}

}  // namespace
}  // namespace nimbrel::testing
