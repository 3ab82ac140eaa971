// The upload step's files: backup.dmp in the System Info modes and the
// calibration file the operator chooses, with their size rules.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Files.h"
#include "unit/TsCode.h"
#include "upload_support.h"

namespace nimbrel::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr std::uint64_t kCalibrationSize = 44780960;
constexpr std::uint64_t kLargestPayload = 52428800 - 512;

const char* const kCalibrationFilter =
    "dump files, bin files,FPGA files Calibration Files Resources "
    "file(*.dmp,*.bin,*.rbf,*.dat,*.res)|*.dmp;*.bin;*.rbf;*.dat;*.res|all types(*.*)|*.*";
const char* const kPleaseWait =
    "uploading calibration data needs  about 1 minutes\ncheck progressing with LCD in Scanner";

// A sparse file of `size` bytes with a few marked bytes: at the start, in
// the middle and at the end.
std::string SparseFile(const TempDir& dir, const std::string& name, std::uint64_t size) {
  const std::string path = dir.File(name);
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
  if (size > 0) {
    for (std::uint64_t at : {std::uint64_t{0}, size / 2, size - 1}) {
      const std::uint8_t b = static_cast<std::uint8_t>(0xA0 + at % 7);
      EXPECT_EQ(::pwrite(fd, &b, 1, static_cast<off_t>(at)), 1);
    }
  }
  ::close(fd);
  return path;
}

// A System Info record file: the scanner's reply, `size` bytes long (cut
// or continued with a pattern).
Bytes RecordFile(std::size_t size) {
  const protocol::Frame reply = SystemInfoReply();
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = i < reply.size() ? reply[i] : static_cast<std::uint8_t>(i * 7);
  return b;
}

class FileUploadTest : public UploadTest {
 protected:
  // Step motor SAEHAN on main board 2.0 with the SLA7078 power board: the
  // hardware patch writes the SAEHAN row and the drive code fix replaces
  // its motorParam9.
  void SelectSaehanOnSla7078() {
    form->rgStepMotor.SetItemIndex(5);
    form->rgMainBoard.SetItemIndex(2);
    form->rgPowerBoard.SetItemIndex(1);
    ASSERT_EQ(unit::TsNibble(form->MakeTsCode(), unit::tsbits::kStepMotor), 5);
    ASSERT_EQ(unit::TsNibble(form->MakeTsCode(), unit::tsbits::kBoardCode), 3);
  }

  TempDir files;
};

// ---- backup.dmp ----

class BackupModes : public FileUploadTest, public ::testing::WithParamInterface<int> {};

TEST_P(BackupModes, SendTheFileWithTheHardwareOptionsUnderSystemInfoCode) {
  ConnectScanner();
  const Bytes original = RecordFile(512);
  h.exeDir.Write("backup.dmp", original);
  SelectSaehanOnSla7078();
  ClickUpload(GetParam());

  auto uploads = Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  ASSERT_EQ(uploads[0].PayloadSize(), 512);
  Bytes expected = uploads[0].Payload();
  // The patched fields...
  EXPECT_EQ(protocol::LoadI32(expected.data() + 152), form->MakeTsCode()) << "tsCode";
  EXPECT_EQ(protocol::LoadI32(expected.data() + 248), 32785) << "motorParam9 of SAEHAN on SLA7078";
  // ...and nothing before or after them.
  EXPECT_TRUE(std::equal(original.begin(), original.begin() + 152, expected.begin()));
  EXPECT_TRUE(std::equal(original.begin() + 336, original.end(), expected.begin() + 336));
  ExpectUpload(uploads[0], 0x00300000, expected);

  EXPECT_EQ(StepLog()[0], "pathcData2...");
  EXPECT_TRUE(StepLogged("update stepmotor values as standvalue"));
  ExpectOperatorEnding();
  // The file itself stays as it was.
  EXPECT_EQ(platform::ReadWholeFile(h.exeDir.File("backup.dmp")), original);
}

TEST_P(BackupModes, MissingFileShowsTheBoxAndTheStepGoesOn) {
  ConnectScanner();
  ClickUpload(GetParam());
  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].text, "can't find file");
  EXPECT_EQ(h.dialogs.Messages()[0].buttons, ui::MsgButtons::Ok);
  EXPECT_TRUE(Uploads().empty());
  EXPECT_EQ(StepLog(), (Lines{"verify data", kResetLine, "USB Disconnected"}));
  ExpectOperatorEnding();
}

TEST_P(BackupModes, FileTooShortForThePatchIsRefused) {
  ConnectScanner();
  const Bytes original = RecordFile(300);
  h.exeDir.Write("backup.dmp", original);
  ClickUpload(GetParam());

  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].text, "backup.dmp is too short for a System Info record");
  EXPECT_EQ(h.dialogs.Messages()[0].icon, ui::MsgIcon::Error);
  EXPECT_TRUE(Uploads().empty());
  EXPECT_TRUE(StepLogged("verify data"));
  ExpectOperatorEnding();
  EXPECT_EQ(platform::ReadWholeFile(h.exeDir.File("backup.dmp")), original);
}

INSTANTIATE_TEST_SUITE_P(UpdateBackupAndDefaultSystemInfo, BackupModes, ::testing::Values(3, 4));

TEST_F(FileUploadTest, LongerBackupIsSentWhole) {
  ConnectScanner();
  const Bytes original = RecordFile(600);
  h.exeDir.Write("backup.dmp", original);
  ClickUpload(3);
  auto uploads = Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const Bytes sent = uploads[0].Payload();
  ASSERT_EQ(sent.size(), 600u);
  EXPECT_TRUE(std::equal(original.begin() + 512, original.end(), sent.begin() + 512));
  ExpectUpload(uploads[0], 0x00300000, sent);
}

TEST_F(FileUploadTest, OnlyTheExactNameBackupDmpIsPatched) {
  ConnectScanner();
  const Bytes original = RecordFile(512);
  files.Write("Backup.dmp", original);
  EXPECT_TRUE(form->UploadFromFile(update::ModeBackupFile, files.File("Backup.dmp")));
  auto uploads = Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  ExpectUpload(uploads[0], 0x00300000, original);
  EXPECT_FALSE(StepLogged("pathcData2..."));
}

// ---- calibration data ----

struct SizeRuleCase {
  const char* what;
  std::int64_t size;  // -1: no file; -2: a folder
  int result;
};

class CalibrationSizeRule : public FileUploadTest, public ::testing::WithParamInterface<SizeRuleCase> {};

TEST_P(CalibrationSizeRule, CheckCalibrationFile) {
  std::string path = files.File("calibration.dat");
  if (GetParam().size == -2) {
    ::mkdir(path.c_str(), 0755);
  } else if (GetParam().size >= 0) {
    SparseFile(files, "calibration.dat", static_cast<std::uint64_t>(GetParam().size));
  }
  EXPECT_EQ(form->CheckCalibrationFile(path), GetParam().result) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(Sizes, CalibrationSizeRule,
                         ::testing::Values(SizeRuleCase{"missing", -1, -1}, SizeRuleCase{"folder", -2, -1},
                                           SizeRuleCase{"empty", 0, -1}, SizeRuleCase{"one byte", 1, 0},
                                           SizeRuleCase{"one byte short", 44780959, 0},
                                           SizeRuleCase{"exact", 44780960, 1},
                                           SizeRuleCase{"longer", 44780961, 1}));

TEST_F(FileUploadTest, CalibrationFileOfTheExactSizeIsSentWhole) {
  ConnectScanner();
  const std::string path = SparseFile(files, "calibration.dat", kCalibrationSize);
  h.dialogs.AnswerOpenFile(path);
  ClickUpload(6);

  ASSERT_EQ(h.dialogs.FileRequests().size(), 1u);
  EXPECT_EQ(h.dialogs.FileRequests()[0].filter, kCalibrationFilter);
  EXPECT_EQ(h.dialogs.FileRequests()[0].defaultExtension, "*.dmp");

  auto uploads = Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const auto file = platform::ReadWholeFile(path);
  ASSERT_TRUE(file);
  ExpectUpload(uploads[0], 0x01000000, *file);

  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].caption, "please wait");
  EXPECT_EQ(h.dialogs.Messages()[0].text, kPleaseWait);
  EXPECT_EQ(h.dialogs.Messages()[0].icon, ui::MsgIcon::Information);
  EXPECT_EQ(StepLog(), (Lines{"upload...", "verify data", kResetLine, "USB Disconnected"}));
  ExpectOperatorEnding();
}

struct RefusedCalibrationCase {
  const char* what;
  std::uint64_t size;
};

class RefusedCalibration : public FileUploadTest, public ::testing::WithParamInterface<RefusedCalibrationCase> {};

TEST_P(RefusedCalibration, CheckFileBoxEndsTheStepAtOnce) {
  ConnectScanner();
  h.dialogs.AnswerOpenFile(SparseFile(files, "calibration.dat", GetParam().size));
  ClickUpload(6);

  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].caption, "check file");
  EXPECT_EQ(h.dialogs.Messages()[0].text, "calibration file size is not valid");
  EXPECT_EQ(h.dialogs.Messages()[0].icon, ui::MsgIcon::Error);
  EXPECT_TRUE(usb->sends.empty());
  EXPECT_TRUE(StepLog().empty());
  EXPECT_TRUE(usb->Active());
}

INSTANTIATE_TEST_SUITE_P(Sizes, RefusedCalibration,
                         ::testing::Values(RefusedCalibrationCase{"one byte short", 44780959},
                                           RefusedCalibrationCase{"empty", 0}));

TEST_F(FileUploadTest, CancelledDialogEndsTheStepAtOnce) {
  ConnectScanner();
  h.dialogs.AnswerOpenFile(std::nullopt);
  ClickUpload(6);
  EXPECT_EQ(h.dialogs.FileRequests().size(), 1u);
  EXPECT_TRUE(h.dialogs.Messages().empty());
  EXPECT_TRUE(usb->sends.empty());
  EXPECT_TRUE(StepLog().empty());
  EXPECT_TRUE(usb->Active());
}

TEST_F(FileUploadTest, FileTooLargeToStageIsRefusedAndNothingIsSent) {
  ConnectScanner();
  h.dialogs.AnswerOpenFile(SparseFile(files, "calibration.dat", kLargestPayload + 1));
  ClickUpload(6);

  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].text, "file is too large to upload");
  EXPECT_EQ(h.dialogs.Messages()[0].icon, ui::MsgIcon::Error);
  EXPECT_TRUE(Uploads().empty());
  EXPECT_FALSE(StepLogged("upload..."));
  ExpectOperatorEnding();
}

TEST_F(FileUploadTest, LargestStageableFileIsSent) {
  ConnectScanner();
  const std::string path = SparseFile(files, "calibration.dat", kLargestPayload);
  h.dialogs.AnswerOpenFile(path);
  ClickUpload(6);
  auto uploads = Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(protocol::FrameView(std::as_const(uploads[0].announcement)).transferLength(), 52428800);
  ExpectUpload(uploads[0], 0x01000000, *platform::ReadWholeFile(path));
}

}  // namespace
}  // namespace nimbrel::testing
