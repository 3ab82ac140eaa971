// The upload step around its upload: the settling pauses, the wait for the
// sends, the two endings, the unsupported unit and the "Mode" group.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "upload_support.h"

namespace nimbrel::testing {
namespace {

using Lines = std::vector<std::string>;

// A one-shot action at a virtual time from now, run by the loop's event
// processing.
class At {
 public:
  At(platform::EventLoop& loop, int ms, std::function<void()> action)
      : timer_(loop.CreateTimer([this, action = std::move(action)] {
          timer_->Stop();
          action();
        })) {
    timer_->SetInterval(ms);
    timer_->Start();
  }

 private:
  std::unique_ptr<platform::Timer> timer_;
};

TEST_F(UploadTest, NoModePausesWaitsVerifiesAndEnds) {
  ConnectScanner();
  const std::int64_t start = h.loop.NowMs();
  // Work already queued runs in the first of the pauses.
  std::int64_t postedRanAt = -1;
  h.loop.Post([&] { postedRanAt = h.loop.NowMs(); });
  // A send still outstanding completes 800 ms into the step.
  form->pendingSends = 1;
  At completion(h.loop, 800, [&] { form->pendingSends = 0; });

  ClickUpload(-1);

  EXPECT_EQ(postedRanAt, start);
  EXPECT_TRUE(Uploads().empty());
  EXPECT_EQ(StepLog(), (Lines{"verify data", kResetLine, "USB Disconnected"}));
  // Ten pauses of 50 ms, then the wait in steps of 100 ms.
  EXPECT_EQ(LoggedAt("verify data"), start + 800);
  ExpectOperatorEnding();
  ASSERT_EQ(usb->sends.size(), 1u) << "only the end-of-session frame";
}

TEST_F(UploadTest, SettlingPausesTakeHalfASecond) {
  ConnectScanner();
  const std::int64_t start = h.loop.NowMs();
  ClickUpload(-1);
  EXPECT_EQ(LoggedAt("verify data"), start + 500);
}

TEST_F(UploadTest, WaitsUntilEverySendOfTheUploadHasCompleted) {
  ConnectScanner();
  usb->completeSends = false;
  form->rgStepMotor.SetItemIndex(1);
  std::int64_t handedOverAt = -1;
  // The link reports its completions late, all at once.
  std::unique_ptr<At> completions;
  onLog = [&](std::string_view line) {
    if (line != "upload...") return;
    handedOverAt = h.loop.NowMs();
    completions = std::make_unique<At>(h.loop, 3000, [&] {
      for (std::size_t i = 0; i < usb->sends.size(); ++i) form->UsbSendEnd(1, 0, nullptr);
    });
  };
  ClickUpload(5);

  ASSERT_GE(handedOverAt, 0);
  EXPECT_EQ(LoggedAt("verify data"), handedOverAt + 3000);
  ExpectOperatorEnding();
}

TEST_F(UploadTest, WaitEndsWhenTheLinkWentAwayBeforeTheUpload) {
  ConnectScanner();
  // The scanner is unplugged during the settling pauses: the upload that
  // follows finds no link, and no completion will ever come.
  h.loop.Post([&] { usb->Remove(); });
  bool rescued = false;
  At watchdog(h.loop, 600000, [&] {
    rescued = true;
    form->pendingSends = 0;
  });
  form->rgStepMotor.SetItemIndex(1);
  ClickUpload(5);

  EXPECT_FALSE(rescued);
  EXPECT_TRUE(usb->sends.empty());
  EXPECT_EQ(StepLog(), (Lines{"USB Disconnected", "upload::5", "wm 20mm fpga", "upload...", "verify data",
                              kResetLine}));
}

// ---- the two endings ----

TEST_F(UploadTest, InsideTheSequenceTheStepStartsTheVerificationPhase) {
  ConnectScanner();
  form->updateStage = 3;
  form->replyCount = 7;
  form->replyDue = false;
  // Work that arrives at "verify data" must wait out the pause.
  std::int64_t postedRanAt = -1;
  onLog = [&](std::string_view line) {
    if (line == "verify data") h.loop.Post([&] { postedRanAt = h.loop.NowMs(); });
  };
  form->rgMode.SetItemIndex(-1);
  h.loop.Guard([this] { form->btnUploadClick(nullptr); });
  const std::int64_t returnedAt = h.loop.NowMs();
  const std::int64_t verifyAt = LoggedAt("verify data");

  EXPECT_EQ(StepLog(), Lines{"verify data"});
  // After the pause, which processes nothing, the first System Info request
  // of the verification phase goes out; its send lets pending work run.
  ASSERT_EQ(usb->sends.size(), 1u);
  EXPECT_EQ(usb->sends[0].at, verifyAt + 1500);
  EXPECT_EQ(postedRanAt, verifyAt + 1500);
  EXPECT_EQ(returnedAt, verifyAt + 1500 + 100);
  const protocol::Frame request = SentFrames(*usb).at(0);
  const auto r = protocol::FrameView(request);
  EXPECT_EQ(r.magic(), protocol::kMagicSoF);
  EXPECT_EQ(r.value(), 512);
  EXPECT_EQ(r.command(), protocol::CommandSystemInfo);
  EXPECT_EQ(r.transferLength(), 0);
  EXPECT_EQ(form->replyCount, 0);
  EXPECT_FALSE(form->replyDue) << "taken by the request";
  EXPECT_TRUE(form->Timer2.Enabled());
  EXPECT_EQ(form->Timer2.Interval(), 500);
  EXPECT_EQ(form->updateStage, 3);
  // No end of session: the link stays open for the next stage.
  EXPECT_TRUE(usb->Active());
}

TEST_F(UploadTest, OperatorClickEndsTheSequenceStageAndTheSession) {
  ConnectScanner();
  form->updateStage = 2;
  ClickUpload(-1);
  ExpectOperatorEnding();
}

TEST_F(UploadTest, EndOfSessionFollowsTheResetLine) {
  ConnectScanner();
  std::size_t sendsAtResetLine = 0;
  onLog = [&](std::string_view line) {
    if (line == kResetLine) sendsAtResetLine = usb->sends.size();
  };
  const std::int64_t start = h.loop.NowMs();
  ClickUpload(-1);
  EXPECT_EQ(sendsAtResetLine, 0u);
  ASSERT_EQ(usb->sends.size(), 1u);
  // The end-of-session frame goes out 100 ms after the line.
  EXPECT_EQ(usb->sends[0].at, start + 600);
}

// ---- unsupported unit ----

class UnsupportedUnit : public UploadTest, public ::testing::WithParamInterface<int> {};

TEST_P(UnsupportedUnit, StepDoesNothingAtAll) {
  ConnectScanner();
  form->unitSupported = false;
  form->updateStage = 4;
  h.exeDir.Write("backup.dmp", Bytes(512, 1));
  h.dialogs.AnswerOpenFile(h.exeDir.File("backup.dmp"));
  const std::int64_t start = h.loop.NowMs();
  ClickUpload(GetParam());

  EXPECT_TRUE(StepLog().empty());
  EXPECT_TRUE(usb->sends.empty());
  EXPECT_TRUE(h.dialogs.Messages().empty());
  EXPECT_TRUE(h.dialogs.FileRequests().empty());
  EXPECT_EQ(h.loop.NowMs(), start);
  EXPECT_EQ(form->updateStage, 4);
  EXPECT_TRUE(usb->Active());
}

INSTANTIATE_TEST_SUITE_P(EveryMode, UnsupportedUnit, ::testing::Values(-1, 0, 1, 2, 3, 4, 5, 6));

// ---- the "Mode" group ----

TEST_F(UploadTest, SelectingAModeEnablesTheUploadButtonAndNothingDisablesIt) {
  EXPECT_FALSE(form->btnUpload.Enabled());
  form->rgModeClick(&form->rgMode);
  EXPECT_FALSE(form->btnUpload.Enabled()) << "no mode selected";
  form->rgMode.SetItemIndex(6);
  EXPECT_TRUE(form->btnUpload.Enabled());
  form->rgMode.SetItemIndex(-1);
  EXPECT_TRUE(form->btnUpload.Enabled());
}

}  // namespace
}  // namespace nimbrel::testing
