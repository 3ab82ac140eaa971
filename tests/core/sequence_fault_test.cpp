// The update sequence against a scanner that fails it: the link dropped in
// each stage's upload, in its verification and at its stage change, a
// scanner that stops answering, a missing image. Each case runs with an
// operator and silently: the sequence carries on after a reopened link or
// stops with its message within the time-out, backup.dmp stays as stage 0
// wrote it, and a silent run says with its exit code how it ended.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "sequence_support.h"

namespace nimbrel::testing {
namespace {

using sim::EventKind;

enum class Fault {
  DropInUpload,        // the link drops halfway through the stage's upload
  DropInVerification,  // ... after two answers of its verification phase
  GoneAtStageChange,   // ... after the fourth answer, and the unit stays away
  RestartAtStageChange,  // ... after the fourth answer, back a moment later
  DropInStageChange,   // the link drops while the stage change pauses
  StopsAnswering,      // the unit answers nothing after the stage's upload
  MissingImage,        // the stage's image is not in the store
};

enum class Outcome { Completes, NoAnswer, CannotReopen, ImageMissing, WentAway };

struct FaultCase {
  const char* name;
  Fault fault;
  update::UploadMode stage;
  Outcome outcome;
  // The exit code of the same fault in a silent run.
  int silentExit;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

constexpr int kStallLimitMs = 10000;

update::UploadMode NextStage(update::UploadMode stage) {
  return stage == update::ModeBackupFile ? update::ModeFpga : static_cast<update::UploadMode>(stage + 1);
}

const char* StageText(update::UploadMode stage) {
  switch (stage) {
    case update::ModeBootLoader: return "stage 1 of 5 (boot loader)";
    case update::ModeGuiResources: return "stage 2 of 5 (GUI resources)";
    case update::ModeSolution: return "stage 3 of 5 (solution)";
    case update::ModeBackupFile: return "stage 4 of 5 (System Info)";
    case update::ModeFpga: return "stage 5 of 5 (FPGA)";
    default: return "?";
  }
}

class SequenceFaults : public ::testing::TestWithParam<FaultCase> {
 protected:
  // Arms the fault in the scanner (or the window) before the update starts.
  void Arm(SimUsbHarness& h) {
    const FaultCase& c = GetParam();
    const std::int32_t command = Command(c.stage);
    h.sequenceStallLimitMs = kStallLimitMs;
    switch (c.fault) {
      case Fault::DropInUpload:
        break;  // at the upload's start, below
      case Fault::DropInVerification:
      case Fault::GoneAtStageChange:
      case Fault::RestartAtStageChange:
        h.scanner.Configure([&](sim::Options& o) {
          o.dropAfterUpload = true;
          o.dropAfterUploadCommands = {command};
          o.repliesBeforeDrop = c.fault == Fault::DropInVerification ? 2 : 4;
        });
        break;
      case Fault::DropInStageChange:  // as the stage change begins, see DropInStageChange
      case Fault::StopsAnswering:
      case Fault::MissingImage:
        break;
    }
    h.scanner.SetObserver([&h, &c, command, this](const sim::Event& e) {
      if (e.kind == EventKind::UploadStart && e.command == command && c.fault == Fault::DropInUpload && !struck_) {
        struck_ = true;
        h.scanner.Configure([&](sim::Options& o) { o.dropUploadAfter = e.transferLength / 2; });
      }
      if (e.kind == EventKind::UploadEnd && e.command == command && c.fault == Fault::StopsAnswering && !struck_) {
        struck_ = true;
        faultAt_ = h.loop.NowMs();
        h.scanner.Configure([](sim::Options& o) { o.silent = true; });
      }
      if (e.kind == EventKind::LinkDropped && faultAt_ < 0) {
        faultAt_ = h.loop.NowMs();
        // Once: a unit that restarted comes back working.
        h.scanner.Configure([](sim::Options& o) { o.dropAfterUpload = false; });
      }
    });
  }

  void MakeHarness(SimUsbHarness& h) {
    // The large GUI image only where the fault needs it.
    if (GetParam().stage != update::ModeGuiResources) h.workDir.Touch("skip_gui.txt");
    Arm(h);
  }

  void AfterStart(SimUsbHarness& h) {
    const FaultCase& c = GetParam();
    // Longer than the stage change's wait before it reopens USB.
    if (c.fault == Fault::GoneAtStageChange) h.link->restartMs = 5000;
    // The "med" solution variant is not shipped.
    if (c.fault == Fault::MissingImage) h.form->rgSolution.SetItemIndex(1);
  }

  // The stage change of the fault's stage has begun: the link drops in the
  // middle of its pauses.
  void DropInStageChange(SimUsbHarness& h) {
    const FaultCase& c = GetParam();
    if (c.fault != Fault::DropInStageChange || struck_ || h.form->updateStage != c.stage || !h.form->Timer1.Enabled())
      return;
    struck_ = true;
    dropper_ = h.loop.CreateTimer([&h, this] {
      dropper_->Stop();
      faultAt_ = h.loop.NowMs();
      h.usb->Remove();
    });
    dropper_->SetInterval(h.form->Timer1.Interval() + 500);
    dropper_->Start();
  }

  // Reads backup.dmp once stage 0 has written it.
  void CaptureBackup(SimUsbHarness& h) {
    if (backup_ || !h.form || !h.Logged("verify data")) return;
    backup_ = platform::ReadWholeFile(h.exeDir.File("backup.dmp"));
  }

  void ExpectBackupUnchanged(SimUsbHarness& h) {
    ASSERT_TRUE(backup_.has_value()) << "stage 0 made no backup";
    EXPECT_EQ(backup_->size(), 512u);
    EXPECT_EQ(platform::ReadWholeFile(h.exeDir.File("backup.dmp")), backup_);
  }

  // The window and the scanner; before the dropper, whose timer belongs to
  // the harness's loop.
  SimUsbHarness harness_;
  bool struck_ = false;
  std::int64_t faultAt_ = -1;
  std::unique_ptr<platform::Timer> dropper_;
  std::optional<std::vector<std::uint8_t>> backup_;
};

TEST_P(SequenceFaults, WithAnOperator) {
  const FaultCase& c = GetParam();
  SimUsbHarness& h = harness_;
  MakeHarness(h);
  auto& f = h.StartConnected();
  AfterStart(h);
  f.btnAutoUpload.Click();

  const std::string stopLine = std::string("no answer from the scanner: the update stopped at ") + StageText(c.stage);
  const std::string missingLine = std::string("an image is missing: the update stopped at ") + StageText(c.stage);
  const std::string awayLine =
      std::string("the scanner went away: the update stopped at ") + StageText(NextStage(c.stage));
  ASSERT_TRUE(h.loop.RunUntil(
      [&] {
        CaptureBackup(h);
        DropInStageChange(h);
        return h.Logged(kDoneLine) || h.Logged(stopLine) || h.Logged(missingLine) || !h.dialogs.Messages().empty();
      },
      600000));
  const std::int64_t endedAt = h.loop.NowMs();
  h.loop.RunFor(5000);  // nothing follows

  const auto& boxes = h.dialogs.Messages();
  switch (c.outcome) {
    case Outcome::Completes:
      EXPECT_TRUE(h.Logged(kDoneLine));
      EXPECT_TRUE(boxes.empty());
      EXPECT_EQ(h.scanner.UploadsFor(Command(update::ModeFpga)).size(), 1u);
      EXPECT_EQ(f.updateStage, -1);
      break;
    case Outcome::NoAnswer:
      EXPECT_TRUE(h.Logged(stopLine));
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, stopLine);
      break;
    case Outcome::CannotReopen:
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, "can't connect to a Scanner with USB");
      break;
    case Outcome::WentAway:
      EXPECT_TRUE(h.Logged(awayLine));
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, awayLine);
      break;
    case Outcome::ImageMissing:
      EXPECT_TRUE(h.Logged(missingLine));
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, "Resource SOLUTIONDATAMED not found");
      EXPECT_EQ(boxes[0].icon, ui::MsgIcon::Error);
      break;
  }
  if (c.outcome != Outcome::Completes) {
    // Stopped where the fault struck, with nothing left running.
    EXPECT_FALSE(h.Logged(kDoneLine));
    EXPECT_EQ(f.updateStage, c.outcome == Outcome::WentAway ? NextStage(c.stage) : c.stage);
    EXPECT_FALSE(f.Timer1.Enabled());
    EXPECT_FALSE(f.Timer2.Enabled());
    // A missing image stops the stage at once.
    if (c.fault == Fault::MissingImage) faultAt_ = endedAt;
    ASSERT_GE(faultAt_, 0);
    EXPECT_LE(endedAt - faultAt_, 1500 + kStallLimitMs + 1000) << "within the time-out";
  }
  // Every upload that arrived whole arrived intact.
  for (const sim::Upload& u : h.scanner.Uploads()) {
    EXPECT_TRUE(!u.complete || u.Ok()) << u.command;
  }
  ExpectBackupUnchanged(h);
}

TEST_P(SequenceFaults, InASilentRun) {
  const FaultCase& c = GetParam();
  SimUsbHarness& h = harness_;
  h.args.push_back("-S");
  MakeHarness(h);
  h.Start();
  AfterStart(h);
  ASSERT_TRUE(h.loop.RunUntil(
      [&] {
        CaptureBackup(h);
        DropInStageChange(h);
        return h.form->Closed();
      },
      600000));
  EXPECT_EQ(h.loop.ExitCode(), c.silentExit);
  for (const sim::Upload& u : h.scanner.Uploads()) {
    EXPECT_TRUE(!u.complete || u.Ok()) << u.command;
  }
  ExpectBackupUnchanged(h);
}

constexpr int kStopped = app::kExitSequenceStopped;
using update::ModeBackupFile;
using update::ModeBootLoader;
using update::ModeFpga;
using update::ModeGuiResources;
using update::ModeSolution;

INSTANTIATE_TEST_SUITE_P(
    Matrix, SequenceFaults,
    ::testing::Values(
        FaultCase{"DropInBootLoaderUpload", Fault::DropInUpload, ModeBootLoader, Outcome::NoAnswer, kStopped},
        FaultCase{"DropInGuiUpload", Fault::DropInUpload, ModeGuiResources, Outcome::NoAnswer, kStopped},
        FaultCase{"DropInSolutionUpload", Fault::DropInUpload, ModeSolution, Outcome::NoAnswer, kStopped},
        FaultCase{"DropInSystemInfoUpload", Fault::DropInUpload, ModeBackupFile, Outcome::NoAnswer, kStopped},
        FaultCase{"DropInFpgaUpload", Fault::DropInUpload, ModeFpga, Outcome::NoAnswer, kStopped},
        FaultCase{"DropInBootLoaderVerification", Fault::DropInVerification, ModeBootLoader, Outcome::NoAnswer,
                  kStopped},
        FaultCase{"DropInGuiVerification", Fault::DropInVerification, ModeGuiResources, Outcome::NoAnswer,
                  kStopped},
        FaultCase{"DropInSolutionVerification", Fault::DropInVerification, ModeSolution, Outcome::NoAnswer,
                  kStopped},
        FaultCase{"DropInSystemInfoVerification", Fault::DropInVerification, ModeBackupFile, Outcome::NoAnswer,
                  kStopped},
        FaultCase{"DropInFpgaVerification", Fault::DropInVerification, ModeFpga, Outcome::NoAnswer, kStopped},
        FaultCase{"GoneAfterBootLoader", Fault::GoneAtStageChange, ModeBootLoader, Outcome::CannotReopen, kStopped},
        FaultCase{"GoneAfterGui", Fault::GoneAtStageChange, ModeGuiResources, Outcome::CannotReopen, kStopped},
        FaultCase{"GoneAfterSolution", Fault::GoneAtStageChange, ModeSolution, Outcome::CannotReopen, kStopped},
        FaultCase{"GoneAfterSystemInfo", Fault::GoneAtStageChange, ModeBackupFile, Outcome::CannotReopen,
                  kStopped},
        // After the last stage nothing is reopened: the sequence ends as
        // usual. A silent run has lost its link before the end: a
        // disconnect closes it one tick later, before the stage change.
        FaultCase{"GoneAfterFpga", Fault::GoneAtStageChange, ModeFpga, Outcome::Completes, kStopped},
        FaultCase{"RestartAfterBootLoader", Fault::RestartAtStageChange, ModeBootLoader, Outcome::Completes,
                  kStopped},
        FaultCase{"RestartAfterGui", Fault::RestartAtStageChange, ModeGuiResources, Outcome::Completes,
                  kStopped},
        FaultCase{"RestartAfterSolution", Fault::RestartAtStageChange, ModeSolution, Outcome::Completes,
                  kStopped},
        FaultCase{"RestartAfterSystemInfo", Fault::RestartAtStageChange, ModeBackupFile, Outcome::Completes,
                  kStopped},
        FaultCase{"DropInChangeAfterBootLoader", Fault::DropInStageChange, ModeBootLoader, Outcome::WentAway,
                  kStopped},
        FaultCase{"DropInChangeAfterGui", Fault::DropInStageChange, ModeGuiResources, Outcome::WentAway, kStopped},
        FaultCase{"DropInChangeAfterSolution", Fault::DropInStageChange, ModeSolution, Outcome::WentAway, kStopped},
        FaultCase{"DropInChangeAfterSystemInfo", Fault::DropInStageChange, ModeBackupFile, Outcome::WentAway,
                  kStopped},
        FaultCase{"StopsAnsweringAfterBootLoader", Fault::StopsAnswering, ModeBootLoader, Outcome::NoAnswer,
                  kStopped},
        FaultCase{"StopsAnsweringAfterSolution", Fault::StopsAnswering, ModeSolution, Outcome::NoAnswer, kStopped},
        FaultCase{"StopsAnsweringAfterFpga", Fault::StopsAnswering, ModeFpga, Outcome::NoAnswer, kStopped},
        FaultCase{"MissingSolutionImage", Fault::MissingImage, ModeSolution, Outcome::ImageMissing, kStopped}),
    [](const ::testing::TestParamInfo<FaultCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace nimbrel::testing
