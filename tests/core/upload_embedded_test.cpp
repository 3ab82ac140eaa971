// The upload step's embedded images: boot loader with the backup and patch
// of System Info, GUI resources and their skips, the solution variants and
// the FPGA variants.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Files.h"
#include "upload_support.h"

namespace nimbrel::testing {
namespace {

using Lines = std::vector<std::string>;

// ---- boot loader ----

struct BootLoaderCase {
  std::uint32_t firmwareVersion;
  bool sent;
};

class BootLoaderStep : public UploadTest, public ::testing::WithParamInterface<BootLoaderCase> {};

TEST_P(BootLoaderStep, SendsOrSkipsThenBacksUpAndPatches) {
  ConnectScanner(GetParam().firmwareVersion);
  ClickUpload(0);

  auto uploads = Uploads();
  Lines expected;
  if (GetParam().sent) {
    ASSERT_EQ(uploads.size(), 1u);
    ExpectUpload(uploads[0], 0x00200000, ImageBytes("BOOTLOADERDATA"));
    expected = {"upload::0", "upload..."};
  } else {
    EXPECT_TRUE(uploads.empty());
    expected = {"loader is not changed(skip)"};
  }
  for (const char* line : {"Backup System Information", "disable autotrim", "verify data", kResetLine,
                           "USB Disconnected"}) {
    expected.push_back(line);
  }
  EXPECT_EQ(StepLog(), expected);
  ExpectOperatorEnding();

  // backup.dmp: the scanner's System Info reply, with the standard values.
  const auto file = platform::ReadWholeFile(h.exeDir.File("backup.dmp"));
  ASSERT_TRUE(file);
  ASSERT_EQ(file->size(), 512u);
  EXPECT_EQ(std::string(file->begin(), file->begin() + 4), std::string("SoF\0", 4));
  const protocol::Frame reply = SystemInfoReply();
  EXPECT_TRUE(std::equal(file->begin() + 100, file->begin() + 120, reply.begin() + 100)) << "part number";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file->data() + 20)), "ZK.co ltd");
  EXPECT_EQ(protocol::LoadI32(file->data() + 172), 4) << "paramCount of the standard patch";
}

INSTANTIATE_TEST_SUITE_P(Versions, BootLoaderStep,
                         ::testing::Values(BootLoaderCase{0x00FFFFFF, true},  // below 1.0.0.0
                                           BootLoaderCase{0x80000001, true},  // negative as a signed number
                                           BootLoaderCase{0x01000000, false}));

// ---- GUI resources ----

struct GuiCase {
  const char* marker;  // nullptr: none
  int solution;
};

class GuiResourceStep : public UploadTest, public ::testing::WithParamInterface<GuiCase> {};

TEST_P(GuiResourceStep, SkippedByMarkerOrDemoModeElseSent) {
  ConnectScanner();
  if (GetParam().marker) h.workDir.Touch(GetParam().marker);
  form->rgSolution.SetItemIndex(GetParam().solution);
  ClickUpload(1);

  auto uploads = Uploads();
  if (GetParam().marker) {
    EXPECT_TRUE(uploads.empty());
    EXPECT_EQ(StepLog(), (Lines{"skip update GUI", "verify data", kResetLine, "USB Disconnected"}));
  } else if (GetParam().solution != 0) {
    EXPECT_TRUE(uploads.empty());
    EXPECT_EQ(StepLog(),
              (Lines{"skip update gui resource for Demo mode", "verify data", kResetLine, "USB Disconnected"}));
  } else {
    ASSERT_EQ(uploads.size(), 1u);
    ExpectUpload(uploads[0], 0x00400000, ImageBytes("TXGUIRESDATA"));
    EXPECT_EQ(StepLog(), (Lines{"upload::1", "upload...", "verify data", kResetLine, "USB Disconnected"}));
  }
  ExpectOperatorEnding();
}

INSTANTIATE_TEST_SUITE_P(MarkersAndVariants, GuiResourceStep,
                         ::testing::Values(GuiCase{"skip_gui", 0}, GuiCase{"skip_gui", 1}, GuiCase{"skip_gui.txt", 0},
                                           GuiCase{"skip_gui.txt", 2}, GuiCase{nullptr, 1}, GuiCase{nullptr, 2},
                                           GuiCase{nullptr, 0}));

TEST_F(UploadTest, GuiMarkerInTheProgramFolderDoesNotSkip) {
  ConnectScanner();
  h.exeDir.Touch("skip_gui");
  ClickUpload(1);
  EXPECT_EQ(Uploads().size(), 1u);
  EXPECT_FALSE(StepLogged("skip update GUI"));
}

// ---- solution ----

TEST_F(UploadTest, NormalSolutionIsSentUnderSlotTwo) {
  ConnectScanner();
  ClickUpload(2);
  auto uploads = Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  ExpectUpload(uploads[0], 0x00100000, ImageBytes("SOLUTIONDATA"));
  EXPECT_EQ(StepLog(), (Lines{"upload::2", "upload...", "verify data", kResetLine, "USB Disconnected"}));
  ExpectOperatorEnding();
}

struct MissingSolutionCase {
  int variant;
  const char* slotLine;
  const char* error;
};

class MissingSolution : public UploadTest, public ::testing::WithParamInterface<MissingSolutionCase> {};

TEST_P(MissingSolution, ErrorBoxNamesTheImageAndTheStepStops) {
  ConnectScanner();
  form->rgSolution.SetItemIndex(GetParam().variant);
  ClickUpload(2);

  EXPECT_EQ(StepLog(), Lines{GetParam().slotLine});
  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  const auto& box = h.dialogs.Messages()[0];
  EXPECT_EQ(box.text, GetParam().error);
  EXPECT_EQ(box.icon, ui::MsgIcon::Error);
  // Nothing went out, and the session is left as it was.
  EXPECT_TRUE(usb->sends.empty());
  EXPECT_TRUE(usb->Active());
}

TEST_P(MissingSolution, InsideTheSequenceNoVerificationStarts) {
  ConnectScanner();
  form->rgSolution.SetItemIndex(GetParam().variant);
  form->rgMode.SetItemIndex(2);
  form->updateStage = 2;
  form->replyDue = false;
  h.loop.Guard([this] { form->btnUploadClick(nullptr); });

  EXPECT_EQ(StepLog(), Lines{GetParam().slotLine});
  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].text, GetParam().error);
  EXPECT_FALSE(form->replyDue);
  EXPECT_EQ(form->Timer2.Interval(), 1000);
  EXPECT_EQ(form->updateStage, 2);
}

INSTANTIATE_TEST_SUITE_P(Variants, MissingSolution,
                         ::testing::Values(MissingSolutionCase{1, "upload::12", "Resource SOLUTIONDATAMED not found"},
                                           MissingSolutionCase{2, "upload::22", "Resource SOLUTIONDATAVET not found"}));

// ---- FPGA ----

struct FpgaCase {
  int stepMotor;
  int fTheta;
  const char* image;
  const char* line;
};

class FpgaStep : public UploadTest, public ::testing::WithParamInterface<FpgaCase> {};

TEST_P(FpgaStep, SendsTheVariantImageUnderCodeZero) {
  ConnectScanner();
  form->rgStepMotor.SetItemIndex(GetParam().stepMotor);
  form->rgFTheta.SetItemIndex(GetParam().fTheta);
  ClickUpload(5);

  auto uploads = Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const Bytes image = ImageBytes(GetParam().image);
  ASSERT_FALSE(image.empty());
  EXPECT_EQ(uploads[0].PayloadSize(), static_cast<std::int32_t>(image.size()));
  ExpectUpload(uploads[0], 0, image);
  EXPECT_EQ(StepLog(), (Lines{"upload::5", GetParam().line, "upload...", "verify data", kResetLine,
                              "USB Disconnected"}));
  ExpectOperatorEnding();
}

INSTANTIATE_TEST_SUITE_P(
    Variants, FpgaStep,
    ::testing::Values(FpgaCase{1, 1, "FPGARBFDATA1", "wm 20mm fpga"},         // the step motor is tested first
                      FpgaCase{-1, 0, "FPGARBFDATA1", "wm 20mm fpga"},        // no step-motor selection
                      FpgaCase{2, 0, "FPGARBFDATA2", "wm 10mm fpga"},         // sst 10mm without f-theta
                      FpgaCase{5, 1, "FPGARBFDATA3", "wm 10mm fuzzy fpga"},   // SAEHAN with f-theta
                      FpgaCase{3, -1, "FPGARBFDATA3", "wm 10mm fuzzy fpga"}));  // no f-theta selection

TEST_F(UploadTest, FirstFpgaImageIsAnnouncedWithItsExactSize) {
  ConnectScanner();
  form->rgStepMotor.SetItemIndex(1);
  ClickUpload(5);
  auto uploads = Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].AnnouncedCommand(), 0);
  EXPECT_EQ(uploads[0].PayloadSize(), 217516);
  EXPECT_EQ(protocol::FrameView(std::as_const(uploads[0].announcement)).transferLength(), 217600 + 512);
}

}  // namespace
}  // namespace nimbrel::testing
