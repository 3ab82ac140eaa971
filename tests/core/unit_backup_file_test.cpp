#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "Harness.h"
#include "platform/Files.h"
#include "unit/DefaultSystemInfo.h"
#include "unit/SystemInfo.h"

namespace nimbrel::testing {
namespace {

using unit::SystemInfo;
using Bytes = std::vector<std::uint8_t>;

Bytes DefaultRecordFile(std::size_t size) {
  Bytes r(size, 0x5A);
  const auto def = unit::MakeDefaultSystemSetting(unit::DefaultSystemSetting::TX);
  std::copy_n(def.begin(), std::min(def.size(), size), r.begin());
  return r;
}

Bytes Read(const std::string& path) { return platform::ReadWholeFile(path).value_or(Bytes{}); }

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Makes a file unwritable for this process, also when it runs as root: the
// mode bits, and where they do not hold, the file system's immutable flag.
// Undone at the end so that the temporary folder can be removed.
class Unwritable {
 public:
  explicit Unwritable(std::string path) : path_(std::move(path)) {
    ::chmod(path_.c_str(), 0444);
    if (::access(path_.c_str(), W_OK) != 0) return;
    const int fd = ::open(path_.c_str(), O_RDONLY);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      immutable_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    if (fd >= 0) ::close(fd);
  }
  ~Unwritable() {
    if (immutable_) {
      const int fd = ::open(path_.c_str(), O_RDONLY);
      int flags = 0;
      if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
      }
      if (fd >= 0) ::close(fd);
    }
    ::chmod(path_.c_str(), 0644);
  }
  Unwritable(const Unwritable&) = delete;
  Unwritable& operator=(const Unwritable&) = delete;
  bool Holds() const { return ::access(path_.c_str(), W_OK) != 0; }

 private:
  std::string path_;
  bool immutable_ = false;
};

class BackupFileTest : public ::testing::Test {
 protected:
  void SetUp() override { form = &h.Start(); }
  std::string Backup() const { return h.exeDir.File("backup.dmp"); }
  Harness h;
  app::TfrmMain* form = nullptr;
};

TEST_F(BackupFileTest, BackupSavesTheSystemInfoCopy) {
  form->systemInfoCopy = {};
  const auto def = unit::MakeDefaultSystemSetting(unit::DefaultSystemSetting::TX);
  std::copy(def.begin(), def.end(), form->systemInfoCopy.begin());
  form->btnBackupClick(nullptr);

  const Bytes saved = Read(Backup());
  ASSERT_EQ(saved.size(), 512u);
  EXPECT_TRUE(std::equal(saved.begin(), saved.end(), form->systemInfoCopy.begin()));
  EXPECT_EQ(std::string(saved.begin(), saved.begin() + 4), std::string("SoF\0", 4));
  EXPECT_EQ(h.Log().back(), "Backup System Information");
  EXPECT_EQ(FilesIn(h.exeDir.path()), std::vector<std::string>{"backup.dmp"});  // no temporary left
}

TEST_F(BackupFileTest, BackupReplacesALongerFileWhole) {
  h.exeDir.Write("backup.dmp", Bytes(600, 0xEE));
  form->systemInfoCopy.fill(0x11);
  form->btnBackupClick(nullptr);
  EXPECT_EQ(Read(Backup()), Bytes(512, 0x11));
}

TEST_F(BackupFileTest, BackupThatCannotBeWrittenSaysSo) {
  std::filesystem::remove_all(h.exeDir.path());
  form->btnBackupClick(nullptr);
  EXPECT_EQ(h.Log().back(), "can't write backup.dmp: No such file or directory");
  EXPECT_FALSE(h.Logged("Backup System Information"));
}

TEST_F(BackupFileTest, BackupKeepsAProtectedFileAsItWas) {
  const Bytes old(512, 0x22);
  h.exeDir.Write("backup.dmp", old);
  Unwritable guard(Backup());
  if (!guard.Holds()) GTEST_SKIP() << "cannot make a file unwritable here";
  form->systemInfoCopy.fill(0x33);
  form->btnBackupClick(nullptr);
  EXPECT_EQ(Read(Backup()), old);
  EXPECT_EQ(h.Log().back().rfind("can't write backup.dmp: ", 0), 0u) << h.Log().back();
  EXPECT_EQ(FilesIn(h.exeDir.path()), std::vector<std::string>{"backup.dmp"});
}

TEST_F(BackupFileTest, PatchRewritesOnlyTheFirst512Bytes) {
  const Bytes file = DefaultRecordFile(600);
  h.exeDir.Write("backup.dmp", file);
  form->rgFPGA.SetItemIndex(7);
  const std::size_t lines = h.Log().size();
  form->btnPatchClick(nullptr);

  // The patch itself logs only what the standard values log.
  ASSERT_EQ(h.Log().size(), lines + 1);
  EXPECT_EQ(h.Log().back(), "disable autotrim");

  Bytes patched = Read(Backup());
  ASSERT_EQ(patched.size(), 600u);
  EXPECT_TRUE(std::equal(patched.begin() + 512, patched.end(), file.begin() + 512));
  Bytes expected(file.begin(), file.begin() + 512);
  ASSERT_TRUE(form->PatchStandardValues(expected));
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), patched.begin()));
  EXPECT_EQ(*SystemInfo(patched).Get(SystemInfo::vendor), "ZK.co ltd");
}

TEST_F(BackupFileTest, PatchingTwiceGivesTheSameFile) {
  h.exeDir.Write("backup.dmp", DefaultRecordFile(512));
  form->rgFPGA.SetItemIndex(8);
  form->btnPatchClick(nullptr);
  const Bytes once = Read(Backup());
  form->btnPatchClick(nullptr);
  EXPECT_EQ(Read(Backup()), once);
}

TEST_F(BackupFileTest, PatchRefusesAShortFile) {
  const Bytes file = DefaultRecordFile(332);
  h.exeDir.Write("backup.dmp", file);
  form->btnPatchClick(nullptr);
  EXPECT_EQ(h.Log().back(), "files size is not valid");
  EXPECT_EQ(Read(Backup()), file);
}

TEST_F(BackupFileTest, PatchOfAFileThatCannotBeUpdatedChangesNothing) {
  const Bytes file = DefaultRecordFile(512);
  h.exeDir.Write("backup.dmp", file);
  Unwritable guard(Backup());
  if (!guard.Holds()) GTEST_SKIP() << "cannot make a file unwritable here";
  form->btnPatchClick(nullptr);
  EXPECT_EQ(h.Log().back().rfind("can't open backup.dmp for update: ", 0), 0u) << h.Log().back();
  EXPECT_EQ(Read(Backup()), file);
  EXPECT_TRUE(h.dialogs.Messages().empty());
}

TEST_F(BackupFileTest, MissingFileCalledByTheProgramDoesNothing) {
  const std::size_t lines = h.Log().size();
  form->btnPatchClick(nullptr);
  EXPECT_TRUE(h.dialogs.Messages().empty());
  EXPECT_TRUE(h.dialogs.FileRequests().empty());
  EXPECT_EQ(h.Log().size(), lines);
  EXPECT_FALSE(platform::FileExists(Backup()));
}

TEST_F(BackupFileTest, MissingFileFromTheButtonAsksAndNoEndsIt) {
  h.dialogs.AnswerMessage(ui::IDNO);
  form->btnPatch.Click();
  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  const ui::MessageBoxRequest& box = h.dialogs.Messages()[0];
  EXPECT_EQ(box.text, "can't find backup.dmp\nif you want to seelct file click 'Yes'");
  EXPECT_EQ(box.caption, "select system info");
  EXPECT_EQ(box.buttons, ui::MsgButtons::YesNo);
  EXPECT_TRUE(box.topmost);
  EXPECT_TRUE(h.dialogs.FileRequests().empty());
}

TEST_F(BackupFileTest, MissingFileFromTheButtonYesThenCancel) {
  h.dialogs.AnswerMessage(ui::IDYES);
  h.dialogs.AnswerOpenFile(std::nullopt);
  const std::size_t lines = h.Log().size();
  form->btnPatch.Click();
  ASSERT_EQ(h.dialogs.FileRequests().size(), 1u);
  EXPECT_EQ(h.dialogs.FileRequests()[0].filter, form->OD.filter);
  EXPECT_EQ(h.dialogs.FileRequests()[0].defaultExtension, "*.dmp");
  EXPECT_EQ(h.Log().size(), lines);
}

TEST_F(BackupFileTest, MissingFileFromTheButtonPatchesTheChosenFile) {
  TempDir elsewhere;
  const Bytes file = DefaultRecordFile(512);
  elsewhere.Write("unit7.dmp", file);
  h.dialogs.AnswerMessage(ui::IDYES);
  h.dialogs.AnswerOpenFile(elsewhere.File("unit7.dmp"));
  form->btnPatch.Click();
  const Bytes patched = Read(elsewhere.File("unit7.dmp"));
  EXPECT_EQ(*unit::SystemInfoView(patched).Get(SystemInfo::model), "ZK Scanner");
  EXPECT_FALSE(platform::FileExists(Backup()));
}

}  // namespace
}  // namespace nimbrel::testing
