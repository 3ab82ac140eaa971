// The automatic update sequence over USB against the simulated scanner, in
// virtual time: the stages in their order across the scanner's restarts,
// the verification phases, the end of the sequence, and its start rules.

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "sequence_support.h"
#include "unit/TsCode.h"

namespace nimbrel::testing {
namespace {

using sim::EventKind;
using Lines = std::vector<std::string>;

int VerificationRequests(const SimUsbHarness& h) {
  const auto events = h.scanner.Events();
  return static_cast<int>(std::count_if(events.begin(), events.end(), IsVerificationRequest));
}

// The hardware options that select the "wm 20mm" FPGA image, as a v2 code.
std::int32_t Wm20TsCode() {
  unit::PartsInformation parts;
  parts.stepMotor = unit::item::kStepWm20;
  return unit::EncodeTsCode(parts);
}

TEST(Sequence, RunsEveryStageAcrossTheScannersRestarts) {
  SimUsbHarness h;
  // The unit restarts after the boot loader, the solution and its System
  // Info, as it takes them in.
  h.RestartAfter({Command(update::ModeBootLoader), Command(update::ModeSolution), Command(update::ModeBackupFile)});
  auto& f = h.StartConnected();
  ASSERT_TRUE(f.unitSupported);
  const sim::Frame original = h.scanner.SystemInfo();
  // The System Info that the sequence writes: backup.dmp (the scanner's
  // record with the standard values) patched to the options of that moment.
  Bytes expectedRecord;
  h.scanner.SetObserver([&](const sim::Event& e) {
    if (e.kind == EventKind::UploadStart && e.command == Command(update::ModeBackupFile)) {
      expectedRecord = platform::ReadWholeFile(h.exeDir.File("backup.dmp")).value_or(Bytes{});
      if (!f.PatchHardwareOptions(expectedRecord) || !f.FixSaehanDriveCode(expectedRecord)) expectedRecord.clear();
    }
    // It comes back from its restart with other options: the FPGA stage
    // goes by the options as they stand when it starts.
    if (e.kind == EventKind::UploadEnd && e.command == Command(update::ModeBackupFile)) {
      h.scanner.SetTsCode(Wm20TsCode());
    }
  });

  f.btnAutoUpload.Click();
  ASSERT_TRUE(h.RunSequence());

  // Stages 0, 1, 2, 3 and 5, each received whole with a valid checksum.
  ASSERT_EQ(h.UploadCommands(),
            (std::vector<std::int32_t>{Command(update::ModeBootLoader), Command(update::ModeGuiResources),
                                       Command(update::ModeSolution), Command(update::ModeBackupFile),
                                       Command(update::ModeFpga)}));
  const auto uploads = h.scanner.Uploads();
  for (const sim::Upload& u : uploads) EXPECT_TRUE(u.Ok()) << u.command;
  EXPECT_EQ(PayloadOf(uploads[0]), Image("BOOTLOADERDATA"));
  EXPECT_EQ(PayloadOf(uploads[1]), Image("TXGUIRESDATA"));
  EXPECT_EQ(PayloadOf(uploads[2]), Image("SOLUTIONDATA"));
  EXPECT_EQ(PayloadOf(uploads[4]), Image("FPGARBFDATA1"));
  EXPECT_EQ(h.link->Restarts(), 3);

  ASSERT_EQ(expectedRecord.size(), 512u);
  EXPECT_EQ(PayloadOf(uploads[3]), expectedRecord);
  EXPECT_TRUE(std::equal(original.begin() + 100, original.begin() + 120, expectedRecord.begin() + 100))
      << "the scanner's own part number";
  EXPECT_EQ(protocol::LoadI32(expectedRecord.data() + 152), unit::EncodeTsCode({})) << "an AG unit's options";

  // Four System Info requests in each verification phase, one at a time.
  std::vector<int> perPhase;
  for (const sim::Event& e : h.scanner.Events()) {
    if (e.kind == EventKind::UploadEnd) perPhase.push_back(0);
    if (IsVerificationRequest(e) && !perPhase.empty()) ++perPhase.back();
  }
  EXPECT_EQ(perPhase, (std::vector<int>{4, 4, 4, 4, 4}));

  // Register 265 is cleared before the first upload.
  const auto events = h.scanner.Events();
  const auto reg = std::find_if(events.begin(), events.end(),
                                [](const sim::Event& e) { return e.kind == EventKind::RegisterWrite; });
  const auto firstUpload = std::find_if(events.begin(), events.end(),
                                        [](const sim::Event& e) { return e.kind == EventKind::UploadStart; });
  ASSERT_NE(reg, events.end());
  EXPECT_EQ(reg->param, 265);
  EXPECT_EQ(reg->value, 0);
  EXPECT_LT(reg, firstUpload);
  EXPECT_TRUE(h.trace.Contains("reg[0x109][0]\n"));

  // The end: the two lines, the end of session, USB closed.
  EXPECT_EQ(h.LogFrom(kDoneLine), (Lines{kDoneLine, kPowerLine, "USB Disconnected"}));
  EXPECT_EQ(h.EventsOf(EventKind::EndSession).size(), 1u);
  EXPECT_EQ(events.back().kind, EventKind::LinkDown);
  EXPECT_EQ(events[events.size() - 2].kind, EventKind::EndSession);
  EXPECT_FALSE(h.usb->Active());
  EXPECT_EQ(f.updateStage, -1);
  EXPECT_TRUE(f.rgFPGA.Enabled());
  for (const ui::TControl* group : std::vector<const ui::TControl*>{
           &f.rgStepMotor, &f.rgFTheta, &f.rgAGDoor, &f.rgLOT, &f.rgMainBoard, &f.rgPowerBoard, &f.rgROHSLCD}) {
    EXPECT_FALSE(group->Enabled()) << group->Name();
  }
  EXPECT_TRUE(h.dialogs.Messages().empty());
}

TEST(Sequence, LocksTheGroupsInOrderAndStartsAtTheBootLoader) {
  SimUsbHarness h;
  auto& f = h.StartConnected();
  std::vector<std::string> disabled;
  for (ui::TControl* c : std::vector<ui::TControl*>{&f.rgFPGA, &f.rgStepMotor, &f.rgFTheta, &f.rgAGDoor, &f.rgLOT,
                                                     &f.rgMainBoard, &f.rgPowerBoard, &f.rgROHSLCD}) {
    c->SetChangeListener([c, &disabled] {
      if (!c->Enabled() && std::find(disabled.begin(), disabled.end(), c->Name()) == disabled.end())
        disabled.push_back(c->Name());
    });
  }
  int modeAtRegisterWrite = -2;
  std::size_t lockedAtRegisterWrite = 0;
  h.scanner.SetObserver([&](const sim::Event& e) {
    if (e.kind != EventKind::RegisterWrite) return;
    modeAtRegisterWrite = f.rgMode.ItemIndex();
    lockedAtRegisterWrite = disabled.size();
  });
  f.btnAutoUpload.Click();
  EXPECT_EQ(disabled, (Lines{"rgFPGA", "rgStepMotor", "rgFTheta", "rgAGDoor", "rgLOT", "rgMainBoard",
                             "rgPowerBoard", "rgROHSLCD"}));
  EXPECT_EQ(modeAtRegisterWrite, 0);
  EXPECT_EQ(lockedAtRegisterWrite, 1u) << "the option groups are locked after the register write";
}

TEST(Sequence, AfterTheFpgaStageTheLinkIsNeitherReopenedNorAwaited) {
  SimUsbHarness h;
  auto& f = h.StartConnected();
  f.btnAutoUpload.Click();
  ASSERT_TRUE(h.loop.RunUntil([&] { return f.updateStage == update::ModeFpga && f.Timer1.Enabled(); }));
  // The scanner goes away during the FPGA stage's change.
  h.usb->Remove();
  const int activations = h.usb->activations;
  const std::int64_t tick = h.loop.NowMs() + f.Timer1.Interval();
  ASSERT_TRUE(h.RunSequence());
  EXPECT_EQ(h.usb->activations, activations);
  EXPECT_TRUE(h.Logged(kDoneLine));
  EXPECT_TRUE(h.dialogs.Messages().empty());
  // One second after the tick: the ten pauses of the stage change, then the
  // two lines.
  EXPECT_GE(h.loop.NowMs(), tick + 1000);
  EXPECT_LE(h.loop.NowMs(), tick + 1000 + 200);
}

// ---- the start rules ----

struct StartCase {
  const char* name;
  std::uint32_t version;
  const char* pn;
  bool silent;
  const char* marker;        // a file in the working folder, or nullptr
  bool guiTest;              // every unit counts as supported
  int questionAnswer;        // the answer to the "lower version" question
  int dialogResult;          // the unit-type dialog's result
  bool expectQuestion;
  bool expectDialog;
  bool expectStart;
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class StartRules : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartRules, VersionQuestionAndPartNumberCheck) {
  const StartCase& c = GetParam();
  SimUsbHarness h;
  h.scanner.SetPartNumber(c.pn);
  h.scanner.SetFirmwareVersion(c.version);
  if (c.marker) h.workDir.Touch(c.marker);
  if (c.guiTest) h.workDir.Touch("gui_test.txt");
  // A factory part number: "regards to latest model".
  if (unit::ClassifyPn(unit::PnField(c.pn)) == unit::PnClass::Factory) h.dialogs.AnswerMessage(ui::IDYES);
  auto& f = h.StartConnected();
  ASSERT_TRUE(f.unitSupported);
  if (c.silent) f.silentState = 2;
  h.dialogs.AnswerMessage(c.questionAnswer);
  h.dialogs.AnswerUnitType({c.dialogResult, 4});
  const std::size_t boxesBefore = h.dialogs.Messages().size();
  const std::size_t linesBefore = h.Log().size();

  h.loop.Guard([&] { f.btnAutoUploadClick(c.silent ? nullptr : &f.btnAutoUpload); });

  const auto& boxes = h.dialogs.Messages();
  const bool asked = boxes.size() > boxesBefore && boxes[boxesBefore].caption == "lower version";
  EXPECT_EQ(asked, c.expectQuestion);
  if (asked) {
    EXPECT_EQ(boxes[boxesBefore].text,
              "the version of updater is not higher than the scanner\nif you want to proceed, click 'yes' please");
    EXPECT_EQ(boxes[boxesBefore].icon, ui::MsgIcon::Information);
    EXPECT_EQ(boxes[boxesBefore].buttons, ui::MsgButtons::YesNo);
    EXPECT_TRUE(boxes[boxesBefore].topmost);
  }
  EXPECT_EQ(h.dialogs.UnitTypeShowings(), c.expectDialog ? 1 : 0);
  EXPECT_EQ(!h.EventsOf(EventKind::RegisterWrite).empty(), c.expectStart);
  EXPECT_EQ(f.updateStage, c.expectStart ? 0 : -1);
  EXPECT_EQ(f.rgFPGA.Enabled(), !c.expectStart);
  if (!c.expectStart) {
    const Lines after(h.Log().begin() + static_cast<std::ptrdiff_t>(linesBefore), h.Log().end());
    EXPECT_EQ(after, c.expectDialog ? Lines{"cancel to autoupload"} : Lines{});
  }
}

constexpr int kOk = ui::kModalOk;
constexpr int kCancel = ui::kModalCancel;

INSTANTIATE_TEST_SUITE_P(
    Cases, StartRules,
    ::testing::Values(
        StartCase{"EqualVersionsAskAndYesGoesOn", 0x01010205, kSupportedPn, false, nullptr, false, ui::IDYES, kOk,
                  true, false, true},
        StartCase{"EqualVersionsAskAndNoEndsQuietly", 0x01010205, kSupportedPn, false, nullptr, false, ui::IDNO,
                  kOk, true, false, false},
        StartCase{"OlderScannerIsNotAsked", 0x01010204, kSupportedPn, false, nullptr, false, ui::IDNO, kOk, false,
                  false, true},
        StartCase{"NewerScannerIsAsked", 0x01010206, kSupportedPn, false, nullptr, false, ui::IDNO, kOk, true,
                  false, false},
        StartCase{"NegativeScannerVersionIsOlder", 0x81010206, kSupportedPn, false, nullptr, false, ui::IDNO, kOk,
                  false, false, true},
        StartCase{"FactoryMarkerSkipsTheQuestion", 0x01010205, kSupportedPn, false, "factory_mode.txt", false,
                  ui::IDNO, kOk, false, false, true},
        StartCase{"SilentModeSkipsTheQuestion", 0x01010205, kSupportedPn, true, nullptr, false, ui::IDNO, kOk,
                  false, false, true},
        StartCase{"FactoryPartNumberShowsTheDialog", 0x01000000, "QV47-01CH00-100200", false, nullptr, true,
                  ui::IDNO, kOk, false, true, true},
        StartCase{"CancelledDialogStartsNothing", 0x01000000, "QV47-01CH00-100200", false, nullptr, true, ui::IDNO,
                  kCancel, false, true, false},
        StartCase{"FactoryMarkerSkipsBothQuestions", 0x01010205, "QV47-01CH00-100200", false, "factory_mode.txt",
                  true, ui::IDNO, kCancel, false, false, true},
        StartCase{"FactoryMarkerWithoutExtensionToo", 0x01010205, "QV47-01CH00-100200", false, "factory_mode",
                  true, ui::IDNO, kCancel, false, false, true},
        StartCase{"SilentMalformedPartNumberStillShowsTheDialog", 0x01010205, "QV47-02HCAG_000001", true, nullptr,
                  true, ui::IDNO, kOk, false, true, true},
        StartCase{"SilentCancelledDialogStartsNothing", 0x01010205, "QV47-02HCAG_000001", true, nullptr, true,
                  ui::IDNO, kCancel, false, true, false}),
    [](const ::testing::TestParamInfo<StartCase>& p) { return std::string(p.param.name); });

TEST(StartRules, UnsupportedUnitDoesNothing) {
  SimUsbHarness h;
  auto& f = h.StartConnected();
  f.unitSupported = false;
  const std::size_t lines = h.Log().size();
  const std::int64_t t0 = h.loop.NowMs();
  f.btnAutoUploadClick(&f.btnAutoUpload);
  EXPECT_EQ(h.Log().size(), lines);
  EXPECT_EQ(h.loop.NowMs(), t0);
  EXPECT_TRUE(h.EventsOf(EventKind::RegisterWrite).empty());
  EXPECT_EQ(f.updateStage, -1);
}

TEST(StartRules, DialogChoiceDrivesTheFpgaImage) {
  SimUsbHarness h;
  h.scanner.SetPartNumber("QV47-01CH00-100200");
  h.workDir.Touch("gui_test");
  h.dialogs.AnswerMessage(ui::IDYES);
  auto& f = h.StartConnected();
  // "20mm wm motor": step motor "wm 20mm", the first FPGA image.
  h.dialogs.AnswerUnitType({kOk, 2});
  f.btnAutoUpload.Click();
  ASSERT_TRUE(h.RunSequence());
  EXPECT_EQ(f.rgStepMotor.ItemIndex(), unit::item::kStepWm20);
  const auto fpga = h.scanner.UploadsFor(Command(update::ModeFpga));
  ASSERT_EQ(fpga.size(), 1u);
  EXPECT_EQ(PayloadOf(fpga[0]), Image("FPGARBFDATA1"));
}

TEST(Sequence, ScannerAtTheCurrentLoaderSkipsItButStillBacksUpAndVerifies) {
  SimUsbHarness h;
  h.scanner.SetFirmwareVersion(0x01000000);
  auto& f = h.StartConnected();
  f.btnAutoUpload.Click();
  // The end of the boot-loader stage's verification phase.
  ASSERT_TRUE(h.loop.RunUntil([&] { return f.Timer1.Enabled(); }));
  EXPECT_EQ(f.updateStage, update::ModeBootLoader);
  EXPECT_TRUE(h.scanner.Uploads().empty());
  EXPECT_TRUE(h.Logged("loader is not changed(skip)"));
  EXPECT_TRUE(platform::FileExists(h.exeDir.File("backup.dmp")));
  EXPECT_EQ(VerificationRequests(h), 4);
  ASSERT_TRUE(h.RunSequence());
  EXPECT_EQ(h.UploadCommands(),
            (std::vector<std::int32_t>{Command(update::ModeGuiResources), Command(update::ModeSolution),
                                       Command(update::ModeBackupFile), Command(update::ModeFpga)}));
}

TEST(Sequence, UpdatePressedAgainStartsOverAtTheBootLoader) {
  SimUsbHarness h;
  auto& f = h.StartConnected();
  f.btnAutoUpload.Click();
  // In the solution stage's verification phase.
  ASSERT_TRUE(h.loop.RunUntil([&] { return f.updateStage == update::ModeSolution && f.Timer2.Enabled(); }));
  f.btnAutoUpload.SetEnabled(true);  // as a greeting after a reopened link leaves it
  f.btnAutoUpload.Click();
  ASSERT_TRUE(h.RunSequence());
  const auto b = Command(update::ModeBootLoader), g = Command(update::ModeGuiResources),
             s = Command(update::ModeSolution), i = Command(update::ModeBackupFile), p = Command(update::ModeFpga);
  EXPECT_EQ(h.UploadCommands(), (std::vector<std::int32_t>{b, g, s, b, g, s, i, p}));
  for (const sim::Upload& u : h.scanner.Uploads()) EXPECT_TRUE(u.Ok());
  EXPECT_EQ(std::count(h.Log().begin(), h.Log().end(), kDoneLine), 1);
  EXPECT_EQ(h.EventsOf(EventKind::RegisterWrite).size(), 2u);
}

// ---- the verification phase ----

TEST(Verification, OneRequestPerAnswerAndFourAnswersEndThePhase) {
  SimUsbHarness h;
  auto& f = h.StartConnected();
  // The scanner answers the first two requests of the phase, then nothing.
  int seen = 0;
  h.scanner.SetObserver([&](const sim::Event& e) {
    if (IsVerificationRequest(e) && ++seen == 2) h.scanner.Configure([](sim::Options& o) { o.silent = true; });
  });
  f.btnAutoUpload.Click();
  h.loop.RunFor(10000);
  EXPECT_EQ(f.replyCount, 2);
  EXPECT_EQ(VerificationRequests(h), 3) << "one request outstanding at a time";
  EXPECT_TRUE(f.Timer2.Enabled());
  EXPECT_FALSE(f.Timer1.Enabled());
  EXPECT_EQ(f.updateStage, update::ModeBootLoader);

  // A late answer releases the next request; the fourth answer ends the phase.
  h.scanner.Configure([](sim::Options& o) { o.silent = false; });
  const sim::Frame record = h.scanner.SystemInfo();
  ASSERT_TRUE(h.scanner.SendRaw(Bytes(record.begin(), record.end())));
  ASSERT_TRUE(h.loop.RunUntil([&] { return f.Timer1.Enabled(); }, 5000));
  EXPECT_FALSE(f.Timer2.Enabled());
  EXPECT_EQ(f.replyCount, 4);
  EXPECT_EQ(VerificationRequests(h), 4);
  EXPECT_EQ(f.Timer1.Interval(), 500);
}

TEST(Verification, SilentScannerStopsTheSequenceAfterTheLimit) {
  SimUsbHarness h;
  h.sequenceStallLimitMs = 5000;
  auto& f = h.StartConnected();
  std::int64_t lastAnswerAt = -1;
  h.scanner.SetObserver([&](const sim::Event& e) {
    if (!IsVerificationRequest(e)) return;
    lastAnswerAt = h.loop.NowMs();
    h.scanner.Configure([](sim::Options& o) { o.silent = true; });  // after this answer
  });
  f.btnAutoUpload.Click();
  const std::string line = "no answer from the scanner: the update stopped at stage 1 of 5 (boot loader)";
  ASSERT_TRUE(h.loop.RunUntil([&] { return h.Logged(line); }));
  // The last answer was progress; the limit runs from the tick that saw it.
  EXPECT_GE(h.LoggedAt(line), lastAnswerAt + 5000);
  EXPECT_LE(h.LoggedAt(line), lastAnswerAt + 5000 + 600);
  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].text, line);
  EXPECT_EQ(h.dialogs.Messages()[0].icon, ui::MsgIcon::Warning);
  EXPECT_FALSE(f.Timer2.Enabled());
  EXPECT_FALSE(f.Timer1.Enabled());
  EXPECT_EQ(f.updateStage, 0);
  EXPECT_FALSE(f.rgFPGA.Enabled()) << "a stopped sequence leaves the groups locked";
  // Nothing runs any more; a new "update" starts over.
  const std::size_t requests = static_cast<std::size_t>(VerificationRequests(h));
  h.loop.RunFor(20000);
  EXPECT_EQ(static_cast<std::size_t>(VerificationRequests(h)), requests);
}

TEST(Verification, WaitForTheSessionIsBounded) {
  SimUsbHarness h;
  h.sequenceStallLimitMs = 5000;
  auto& f = h.StartConnected();
  f.btnAutoUpload.Click();
  ASSERT_TRUE(h.loop.RunUntil([&] { return f.Timer1.Enabled(); }));
  // The link stays up but the session is gone (as after a lost Ethernet
  // link beside it): nothing will open it again.
  f.ResetSessionUi();
  const std::int64_t tick = h.loop.NowMs() + f.Timer1.Interval();
  const std::string line = "no session with the scanner: the update stopped at stage 1 of 5 (boot loader)";
  ASSERT_TRUE(h.loop.RunUntil([&] { return h.Logged(line); }));
  EXPECT_EQ(h.LoggedAt(line), tick + 5000);
  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].text, line);
  EXPECT_EQ(h.UploadCommands().size(), 1u);
}

TEST(Verification, RequestFrameIsZeroButItsFields) {
  SimUsbHarness h;
  auto& f = h.StartConnected();
  f.btnAutoUpload.Click();
  ASSERT_TRUE(h.loop.RunUntil([&] { return f.Timer1.Enabled(); }));
  const protocol::ConstControlFrame frame = protocol::FrameView(std::as_const(f.sysInfoRequestFrame));
  EXPECT_EQ(frame.magic(), protocol::kMagicSoF);
  EXPECT_EQ(frame.param(), 0);
  EXPECT_EQ(frame.value(), 512);
  EXPECT_EQ(frame.command(), protocol::CommandSystemInfo);
  EXPECT_EQ(frame.transferLength(), 0);
  EXPECT_TRUE(std::all_of(f.sysInfoRequestFrame.begin() + 12, f.sysInfoRequestFrame.begin() + 504,
                          [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace nimbrel::testing

namespace nimbrel::testing {
namespace {

// ---- progress ----

TEST(Progress, BarFollowsTheSendCompletionsOfEachUploadWithItsStage) {
  SimUsbHarness h;
  auto& f = h.StartConnected();
  struct Shown {
    std::string text;
    std::int64_t position, max;
  };
  std::vector<Shown> shown;  // each change while the bar is visible
  std::vector<std::string> texts;
  f.pbUpload.SetChangeListener([&] {
    if (!f.pbUpload.Visible()) return;
    shown.push_back({f.pbUpload.Text(), f.pbUpload.Position(), f.pbUpload.Max()});
    if (texts.empty() || texts.back() != f.pbUpload.Text()) texts.push_back(f.pbUpload.Text());
  });
  f.btnAutoUpload.Click();
  ASSERT_TRUE(h.RunSequence());

  EXPECT_EQ(texts, (Lines{"stage 1 of 5: boot loader", "stage 2 of 5: GUI resources", "stage 3 of 5: solution",
                          "stage 4 of 5: System Info", "stage 5 of 5: FPGA"}));
  EXPECT_FALSE(f.pbUpload.Visible()) << "hidden once the upload is out";
  // Within an upload the bar only moves forward, from 0 to the whole
  // (upload header, padded payload and the announcement).
  for (const char* stage : {"stage 2 of 5: GUI resources", "stage 5 of 5: FPGA"}) {
    std::vector<Shown> of;
    for (const Shown& s : shown)
      if (s.text == stage) of.push_back(s);
    ASSERT_GE(of.size(), 2u) << stage;
    EXPECT_EQ(of.front().position, 0);
    for (std::size_t i = 1; i < of.size(); ++i) EXPECT_GE(of[i].position, of[i - 1].position);
    EXPECT_EQ(of.back().position, of.back().max);
  }
  const auto gui = h.scanner.UploadsFor(Command(update::ModeGuiResources));
  ASSERT_EQ(gui.size(), 1u);
  const std::int64_t guiTotal = 512 + static_cast<std::int64_t>(gui[0].transferLength);

  // Only the upload above 1 MB reports in lines, one per tenth.
  ASSERT_EQ(h.progress.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    const std::string prefix = "stage 2 of 5: GUI resources: " + std::to_string((i + 1) * 10) + "% (";
    EXPECT_EQ(h.progress[static_cast<std::size_t>(i)].rfind(prefix, 0), 0u) << h.progress[static_cast<std::size_t>(i)];
  }
  EXPECT_EQ(h.progress.back(), "stage 2 of 5: GUI resources: 100% (" + std::to_string(guiTotal) + " of " +
                                   std::to_string(guiTotal) + " bytes)");
}

TEST(Progress, OperatorsUploadShowsItsMode) {
  SimUsbHarness h;
  auto& f = h.StartConnected();
  std::vector<std::string> texts;
  f.pbUpload.SetChangeListener([&] {
    if (f.pbUpload.Visible() && (texts.empty() || texts.back() != f.pbUpload.Text())) texts.push_back(f.pbUpload.Text());
  });
  f.rgMode.SetItemIndex(update::ModeFpga);
  f.btnUploadClick(&f.btnUpload);
  EXPECT_EQ(texts, Lines{"FPGA"});
  EXPECT_FALSE(f.pbUpload.Visible());
}

}  // namespace
}  // namespace nimbrel::testing
