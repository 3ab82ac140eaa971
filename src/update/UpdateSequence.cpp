// The automatic update sequence: the start conditions of "update", the
// locking of the option groups, the verification phase (Timer2) and the
// stage change (Timer1) across the scanner's resets.

#include <array>
#include <cstdio>

#include "app/TfrmMain.h"
#include "unit/PartNumber.h"

namespace nimbrel::app {

using namespace protocol;
using namespace update;

namespace {

struct StageName {
  std::int32_t stage;
  const char* name;
};
// The stages in the order they run; "default System Info" is not one.
constexpr std::array<StageName, 5> kStages{{
    {ModeBootLoader, "boot loader"},
    {ModeGuiResources, "GUI resources"},
    {ModeSolution, "solution"},
    {ModeBackupFile, "System Info"},
    {ModeFpga, "FPGA"},
}};

// The stage's place in the order (from 1), the number of stages and its
// name, put together by `format`; empty for a value that is no stage.
std::string FormatStage(std::int32_t stage, const char* format) {
  for (std::size_t i = 0; i < kStages.size(); ++i) {
    if (kStages[i].stage != stage) continue;
    char text[64];
    std::snprintf(text, sizeof text, format, i + 1, kStages.size(), kStages[i].name);
    return text;
  }
  return {};
}

// "stage 3 of 5 (solution)".
std::string DescribeStage(std::int32_t stage) {
  const std::string text = FormatStage(stage, "stage %zu of %zu (%s)");
  return text.empty() ? "stage " + std::to_string(stage) : text;
}

// "stage 3 of 5: solution".
std::string StageCaption(std::int32_t stage) { return FormatStage(stage, "stage %zu of %zu: %s"); }

constexpr std::int32_t kVerificationAnswers = 4;

}  // namespace

void TfrmMain::btnAutoUploadClick(TControl* Sender) {
  // 1.
  if (!unitSupported) return;

  // 2. The version question.
  if (!(updaterVersion > scannerVersion) && !FactoryMarkerExists() && silentState < 1) {
    if (MessageBox("the version of updater is not higher than the scanner\nif you want to proceed, click 'yes' please",
                   "lower version", ui::MsgIcon::Information, ui::MsgButtons::YesNo) != ui::IDYES) {
      return;
    }
  }

  // 3. The part-number check; silent mode does not skip the dialog.
  if (unit::ClassifyPn(greetingPn) != unit::PnClass::Regular && !FactoryMarkerExists()) {
    if (!ChooseUnitType()) {
      // Nobody is left to press "update" again: an unattended run ends.
      if (!Sender && silentState > 0) {
        runResult = kExitUnitRefused;
        EndSilentRun();
      }
      return;
    }
  }

  // A sequence already under way is superseded: its timers would otherwise
  // run its next stage in the middle of this one's.
  ++sequenceRun;
  Timer1.SetEnabled(false);
  Timer2.SetEnabled(false);
  runResult = kExitSequenceStopped;  // until the last stage has run

  // 4.-8.
  rgFPGA.SetEnabled(false);
  updateStage = ModeBootLoader;
  rgMode.SetItemIndex(ModeBootLoader);
  WriteRegister(265, 0);
  for (TControl* group : std::array<TControl*, 7>{&rgStepMotor, &rgFTheta, &rgAGDoor, &rgLOT, &rgMainBoard,
                                                   &rgPowerBoard, &rgROHSLCD}) {
    group->SetEnabled(false);
  }

  // 9.
  RunSequenceStep();
}

void TfrmMain::RunSequenceStep() {
  const std::int32_t run = sequenceRun;
  const std::int32_t phases = verificationPhases;
  const std::int32_t stage = updateStage;
  try {
    btnUploadClick(nullptr);
  } catch (const ResourceNotFound&) {
    // The error box follows from the loop's error handler.
    if (sequenceRun == run) StopSequence("an image is missing", false);
    throw;
  }
  // A step that ended without its verification phase (the scanner went away
  // or was not identified again after a reopened link) leaves nothing that
  // would ever lead to the next stage.
  if (sequenceRun == run && verificationPhases == phases && updateStage == stage && !closing) {
    StopSequence("the scanner went away", true);
  }
}

void TfrmMain::BeginVerification() {
  ++verificationPhases;
  verifyRepliesSeen = replyCount;
  verifyProgressAt = loop().NowMs();
}

void TfrmMain::Timer2Timer(TControl*) {
  // 1.
  Timer2.SetEnabled(false);
  // 2.
  const std::int32_t replies = replyCount;
  if (replies >= kVerificationAnswers) {
    Timer1.SetInterval(500);
    Timer1.SetEnabled(true);
    return;
  }
  // A scanner that stays silent (it did not come back from a restart, its
  // link is gone) would otherwise keep the phase ticking for ever.
  if (replies != verifyRepliesSeen) {
    verifyRepliesSeen = replies;
    verifyProgressAt = loop().NowMs();
  } else if (loop().NowMs() - verifyProgressAt >= env_.sequenceStallLimitMs) {
    StopSequence("no answer from the scanner", true);
    return;
  }
  // 3. One request at a time: the next goes once the last was answered.
  if (replyDue) {
    replyDue = false;
    PrepareRequest(CommandSystemInfo, FrameView(sysInfoRequestFrame));
    FrameView(sysInfoRequestFrame).setValue(512);
    SendChunked(sysInfoRequestFrame.data(), 512);
  }
  // 4.
  Timer2.SetEnabled(true);
}

void TfrmMain::Timer1Timer(TControl*) {
  const std::int32_t run = sequenceRun;
  // 1.
  Timer1.SetEnabled(false);
  // 2., 3. The scanner may have restarted with its new firmware.
  if (!usb->Active() && updateStage != ModeFpga) usb->SetActive(true);
  if (!usb->Active() && updateStage != ModeFpga) {
    MessageBox("can't connect to a Scanner with USB", kApplicationTitle, ui::MsgIcon::None);
    runResult = kExitSequenceStopped;
    if (silentState > 0) EndSilentRun();
    return;
  }
  // 4.
  const std::int64_t waitFrom = loop().NowMs();
  while (!sessionOpen && !closing && updateStage != ModeFpga) {
    if (loop().NowMs() - waitFrom >= env_.sequenceStallLimitMs) {
      StopSequence("no session with the scanner", true);
      return;
    }
    loop().Sleep(100);
    loop().ProcessMessages();
  }
  // 5.
  for (int i = 0; i < 10; ++i) {
    loop().Sleep(100);
    loop().ProcessMessages();
  }
  // 6.
  if (closing || sequenceRun != run) return;

  // 7.
  switch (updateStage) {
    case ModeBootLoader:
    case ModeGuiResources:
    case ModeSolution:
      ++updateStage;
      rgMode.SetItemIndex(updateStage);
      RunSequenceStep();
      break;
    case ModeBackupFile:
    case ModeDefaultSystemInfo:
      updateStage = ModeFpga;
      rgMode.SetItemIndex(ModeFpga);
      RunSequenceStep();
      break;
    case ModeFpga:
      updateStage = -1;
      LogLine("update bootloader, gui resources, solution, FPGA done");
      LogLine("to update System, please reset power switch of Scanner");
      SendEndOfSession();
      runResult = kExitUpdated;
      usb->SetActive(false);
      rgFPGA.SetEnabled(true);
      break;
    default:
      break;
  }
}

std::string TfrmMain::UploadCaption() const {
  if (updateStage != -1) {
    const std::string caption = StageCaption(updateStage);
    if (!caption.empty()) return caption;
  }
  const int mode = rgMode.ItemIndex();
  if (mode >= 0 && mode < static_cast<int>(rgMode.Items().size())) return rgMode.Items()[static_cast<std::size_t>(mode)];
  return "upload";
}

void TfrmMain::StopSequence(const std::string& reason, bool box) {
  Timer1.SetEnabled(false);
  Timer2.SetEnabled(false);
  runResult = kExitSequenceStopped;
  const std::string line = reason + ": the update stopped at " + DescribeStage(updateStage);
  LogLine(line);
  if (box && silentState < 1) MessageBox(line, kApplicationTitle, ui::MsgIcon::Warning);
  if (silentState > 0) EndSilentRun();
}

}  // namespace nimbrel::app
