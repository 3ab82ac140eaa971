// Odd things named backup.dmp (or chosen as the calibration file): every
// operation that reads or writes the file ends with its box or log line
// within a second, sends nothing it should not, and leaves backup.dmp
// either as it was or as the whole new file.

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "upload_support.h"

namespace nimbrel::testing {
namespace {

// Lets file permissions hold for this thread also when it runs as root: the
// capabilities that override them leave the thread's effective set while
// this lives (the permitted set keeps them, so they come back).
class PermissionsHold {
 public:
  PermissionsHold() {
    if (::syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
      reduced[cap / 32].effective &= ~(1u << (cap % 32));
    }
    changed_ = ::syscall(SYS_capset, &header_, reduced) == 0;
  }
  ~PermissionsHold() {
    if (changed_) ::syscall(SYS_capset, &header_, saved_);
  }
  PermissionsHold(const PermissionsHold&) = delete;
  PermissionsHold& operator=(const PermissionsHold&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
  bool changed_ = false;
};

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

// The dialogs of the tests, with the time each box was shown.
class TimedDialogs final : public ui::Dialogs {
 public:
  explicit TimedDialogs(platform::EventLoop& loop) : loop_(loop) {}
  int MessageBox(const ui::MessageBoxRequest& request) override {
    boxes.push_back({request.text, loop_.NowMs()});
    return inner.MessageBox(request);
  }
  std::optional<std::string> OpenFile(const ui::OpenFileRequest& request) override { return inner.OpenFile(request); }
  int ShowUnitTypeDialog(ui::UnitTypeChooser& dialog) override { return inner.ShowUnitTypeDialog(dialog); }

  struct Box {
    std::string text;
    std::int64_t at;
  };
  std::vector<Box> boxes;
  ui::ScriptedDialogs inner;

 private:
  platform::EventLoop& loop_;
};

// What stands at a path, as far as the tests tell things apart.
struct Entry {
  bool exists = false;
  mode_t type = 0;
  mode_t permissions = 0;
  ino_t inode = 0;
  std::uint64_t size = 0;
  std::optional<Bytes> content;  // of regular files up to 1 MB

  static Entry At(const std::string& path) {
    Entry e;
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return e;
    e.exists = true;
    e.type = st.st_mode & S_IFMT;
    e.permissions = st.st_mode & 07777;
    e.inode = st.st_ino;
    e.size = static_cast<std::uint64_t>(st.st_size);
    if (S_ISREG(st.st_mode) && e.size <= (1u << 20)) e.content = platform::ReadWholeFile(path);
    return e;
  }
  bool operator==(const Entry&) const = default;
};

enum class Operation { Backup, Patch, UpdateBackupFile, DefaultSystemInfo, Calibration };

const char* Name(Operation op) {
  switch (op) {
    case Operation::Backup: return "Backup";
    case Operation::Patch: return "Patch";
    case Operation::UpdateBackupFile: return "UpdateBackupFile";
    case Operation::DefaultSystemInfo: return "DefaultSystemInfo";
    case Operation::Calibration: return "Calibration";
  }
  return "";
}

// How an operation ends: a box (nothing sent), a log line, or the upload of
// the file's bytes.
struct Ending {
  enum Kind { Box, Line, Sent, Nothing } kind;
  std::string text;
};
Ending Box(std::string t) { return {Ending::Box, std::move(t)}; }
Ending Line(std::string t) { return {Ending::Line, std::move(t)}; }
Ending Sent() { return {Ending::Sent, {}}; }
Ending Nothing() { return {Ending::Nothing, {}}; }

struct Place {
  std::string dir;   // the program's folder
  std::string path;  // backup.dmp in it
  std::string aside; // a folder of the test's own beside it
};

struct OddFile {
  const char* name;
  // Puts the odd thing at place.path.
  std::function<void(const Place&)> make;
  Ending backup, patch, upload, calibration;
  // File permissions must hold for the operation (modes, read-only folder).
  bool needsPermissions = false;
  // The file is there when the operation starts and is removed while it runs.
  bool vanishes = false;
};

const char* const kNoFile = "can't find file";
const char* const kTooShort = "backup.dmp is too short for a System Info record";
const char* const kCalibrationRefused = "calibration file size is not valid";
const char* const kBackedUp = "Backup System Information";
const char* const kPatched = "disable autotrim";  // the standard patch's only line
const char* const kSizeNotValid = "files size is not valid";

void WriteBytes(const std::string& path, std::size_t n) {
  Bytes b(n);
  const protocol::Frame reply = SystemInfoReply();
  for (std::size_t i = 0; i < n; ++i) b[i] = i < reply.size() ? reply[i] : static_cast<std::uint8_t>(i * 3);
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
  ::fchmod(fd, 0644);  // not what the umask of the test gives new files
  ::close(fd);
}

std::function<void(const Place&)> Sized(std::size_t n) {
  return [n](const Place& p) { WriteBytes(p.path, n); };
}

const OddFile kOddFiles[] = {
    {"Missing", [](const Place&) {}, Line(kBackedUp), Nothing(), Box(kNoFile), Box(kCalibrationRefused)},
    {"Empty", Sized(0), Line(kBackedUp), Line(kSizeNotValid), Box(kTooShort), Box(kCalibrationRefused)},
    {"OneByte", Sized(1), Line(kBackedUp), Line(kSizeNotValid), Box(kTooShort), Box(kCalibrationRefused)},
    {"Bytes511", Sized(511), Line(kBackedUp), Line(kSizeNotValid), Sent(), Box(kCalibrationRefused)},
    {"Bytes512", Sized(512), Line(kBackedUp), Line(kPatched), Sent(), Box(kCalibrationRefused)},
    {"Bytes513", Sized(513), Line(kBackedUp), Line(kPatched), Sent(), Box(kCalibrationRefused)},
    {"HundredMegabytes",
     [](const Place& p) {
       WriteBytes(p.path, 512);
       ASSERT_EQ(::truncate(p.path.c_str(), 100 << 20), 0);
     },
     Line(kBackedUp), Line(kPatched), Box("file is too large to upload"), Box("file is too large to upload")},
    {"Directory", [](const Place& p) { ASSERT_EQ(::mkdir(p.path.c_str(), 0755), 0); },
     Line("can't write backup.dmp: Is a directory"), Nothing(), Box(kNoFile), Box(kCalibrationRefused)},
    {"Fifo",
     [](const Place& p) {
       // A second name keeps the FIFO reachable after backup.dmp is replaced.
       const std::string keep = p.aside + "/fifo";
       ASSERT_EQ(::mkfifo(keep.c_str(), 0644), 0);
       ASSERT_EQ(::link(keep.c_str(), p.path.c_str()), 0);
     },
     Line(kBackedUp), Nothing(), Box(kNoFile), Box(kCalibrationRefused)},
    {"LinkToADevice", [](const Place& p) { ASSERT_EQ(::symlink("/dev/null", p.path.c_str()), 0); },
     Line(kBackedUp), Nothing(), Box(kNoFile), Box(kCalibrationRefused)},
    {"DanglingLink", [](const Place& p) { ASSERT_EQ(::symlink((p.aside + "/gone").c_str(), p.path.c_str()), 0); },
     Line(kBackedUp), Nothing(), Box(kNoFile), Box(kCalibrationRefused)},
    {"Unreadable",
     [](const Place& p) {
       WriteBytes(p.path, 512);
       ASSERT_EQ(::chmod(p.path.c_str(), 0), 0);
     },
     Line("can't write backup.dmp: Permission denied"), Line("can't open backup.dmp for update: Permission denied"),
     Box(kNoFile), Box(kCalibrationRefused), true},
    {"ReadOnly",
     [](const Place& p) {
       WriteBytes(p.path, 512);
       ASSERT_EQ(::chmod(p.path.c_str(), 0444), 0);
     },
     Line("can't write backup.dmp: Permission denied"), Line("can't open backup.dmp for update: Permission denied"),
     Sent(), Box(kCalibrationRefused), true},
    {"InAReadOnlyFolder",
     [](const Place& p) {
       WriteBytes(p.path, 600);
       ASSERT_EQ(::chmod(p.dir.c_str(), 0555), 0);
     },
     Line(kBackedUp), Line(kPatched), Sent(), Box(kCalibrationRefused), true},
    {"VanishedBetweenCheckAndRead", Sized(512), Line(kBackedUp), Nothing(), Box(kNoFile), Box(kCalibrationRefused),
     false, true},
};

using OddFileCase = std::tuple<const OddFile*, Operation>;

class OddFiles : public ::testing::TestWithParam<OddFileCase> {
 protected:
  void SetUp() override {
    h.makeUsb = [this](const std::string&, const std::string&) {
      auto link = std::make_unique<FakeUsb>(h.loop);
      usb = link.get();
      return link;
    };
    app::Environment env{h.loop,
                         h.trace,
                         dialogs,
                         h.locks,
                         platform::Paths{h.exeDir.path(), h.workDir.path()},
                         h.args,
                         h.makeUsb,
                         [this](std::string_view line) { lines.push_back({std::string(line), h.loop.NowMs()}); },
                         std::nullopt,
                         app::kSequenceStallLimitMs,
                         nullptr,
                         false};
    h.form = std::make_unique<app::TfrmMain>(std::move(env));
    form = h.form.get();
    form->ConnectClick(&form->Connect);
    ASSERT_TRUE(usb && usb->Active());
    const auto greeting = MakeGreetingFrame();
    ASSERT_TRUE(usb->CompleteRead(Bytes(greeting.begin(), greeting.end())));
    ASSERT_TRUE(form->unitSupported);
    const protocol::Frame reply = SystemInfoReply();
    ASSERT_TRUE(usb->CompleteRead(Bytes(reply.begin(), reply.end())));
    h.loop.RunFor(0);
    usb->sends.clear();
    lines.clear();
  }

  void TearDown() override {
    ::chmod(h.exeDir.path().c_str(), 0755);
    ::chmod(place().path.c_str(), 0644);
  }

  static protocol::Frame MakeGreetingFrame() {
    protocol::Frame g = Greeting("QV47-02HCAG-000001");
    protocol::StoreU32(g.data() + 128, 0x01010205);
    return g;
  }

  Place place() const { return {h.exeDir.path(), h.exeDir.File("backup.dmp"), aside.path()}; }

  // Runs the operation; the vanishing file goes 100 ms into it.
  void Run(Operation op, bool vanishes) {
    const std::string path = place().path;
    std::unique_ptr<platform::Timer> remover;
    if (vanishes) {
      if (op == Operation::Backup || op == Operation::Patch) {
        ::unlink(path.c_str());  // no pause in them: gone before they look
      } else {
        remover = h.loop.CreateTimer([&] {
          ::unlink(path.c_str());
          remover->Stop();
        });
        remover->SetInterval(100);
        remover->Start();
      }
    }
    start = h.loop.NowMs();
    switch (op) {
      case Operation::Backup:
        form->btnBackupClick(nullptr);
        break;
      case Operation::Patch:
        form->btnPatchClick(nullptr);
        break;
      case Operation::UpdateBackupFile:
      case Operation::DefaultSystemInfo:
        form->rgMode.SetItemIndex(op == Operation::UpdateBackupFile ? 3 : 4);
        h.loop.Guard([this] { form->btnUploadClick(&form->btnUpload); });
        break;
      case Operation::Calibration:
        dialogs.inner.AnswerOpenFile(path);
        form->rgMode.SetItemIndex(6);
        h.loop.Guard([this] { form->btnUploadClick(&form->btnUpload); });
        break;
    }
  }

  std::optional<std::int64_t> LineAt(const std::string& text) const {
    for (const auto& l : lines)
      if (l.text == text) return l.at;
    return std::nullopt;
  }

  struct TimedLine {
    std::string text;
    std::int64_t at;
  };

  Harness h;
  TempDir aside;
  TimedDialogs dialogs{h.loop};
  FakeUsb* usb = nullptr;
  app::TfrmMain* form = nullptr;
  std::vector<TimedLine> lines;
  std::int64_t start = 0;
};

TEST_P(OddFiles, EndWithTheirBoxOrLineSendNothingAmissAndKeepTheFileWhole) {
  const auto [odd, op] = GetParam();
  const Place p = place();
  form->systemInfoCopy.fill(0x3C);  // the backup's new content
  ScopedUmask umask(027);
  odd->make(p);
  if (HasFatalFailure()) return;

  // A FIFO is never opened: a writer waits on it for an opening that would
  // otherwise block the UI thread, and is let go at the end.
  const std::string fifo = p.aside + "/fifo";
  std::thread writer;
  int watch = -1;
  if (std::string(odd->name) == "Fifo") {
    watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, fifo.c_str(), IN_OPEN), 0);
    writer = std::thread([fifo] {
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
    });
  }
  const Entry before = Entry::At(p.path);
  const struct stat device = [] {
    struct stat st{};
    ::stat("/dev/null", &st);
    return st;
  }();

  {
    std::optional<PermissionsHold> hold;
    if (odd->needsPermissions) {
      hold.emplace();
      if (::faccessat(AT_FDCWD, p.path.c_str(), R_OK | W_OK, AT_EACCESS) == 0 &&
          ::faccessat(AT_FDCWD, p.dir.c_str(), W_OK, AT_EACCESS) == 0) {
        GTEST_SKIP() << "file permissions do not hold for this process";
      }
    }
    Run(op, odd->vanishes);
  }

  if (watch >= 0) {
    inotify_event events[8];
    const ssize_t n = ::read(watch, events, sizeof events);
    EXPECT_LT(n, 0) << "the FIFO was opened";
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // lets the writer go
    writer.join();
    if (fd >= 0) ::close(fd);
    ::close(watch);
  }

  const Ending expected = op == Operation::Backup          ? odd->backup
                          : op == Operation::Patch         ? odd->patch
                          : op == Operation::Calibration   ? odd->calibration
                                                           : odd->upload;
  const auto uploads = UploadsIn(usb->sends);
  switch (expected.kind) {
    case Ending::Box:
      ASSERT_FALSE(dialogs.boxes.empty());
      EXPECT_EQ(dialogs.boxes[0].text, expected.text);
      EXPECT_LE(dialogs.boxes[0].at - start, 1000);
      EXPECT_TRUE(uploads.empty());
      break;
    case Ending::Line: {
      const auto at = LineAt(expected.text);
      ASSERT_TRUE(at) << expected.text;
      EXPECT_LE(*at - start, 1000);
      EXPECT_TRUE(dialogs.boxes.empty());
      EXPECT_TRUE(usb->sends.empty());
      break;
    }
    case Ending::Sent: {
      ASSERT_EQ(uploads.size(), 1u);
      EXPECT_EQ(uploads[0].AnnouncedCommand(), 0x00300000);
      EXPECT_LE(usb->sends.front().at - start, 1000);
      SentUpload u = uploads[0];
      EXPECT_EQ(static_cast<std::uint64_t>(u.PayloadSize()), before.size);
      EXPECT_TRUE(dialogs.boxes.empty());
      break;
    }
    case Ending::Nothing:
      EXPECT_TRUE(lines.empty());
      EXPECT_TRUE(dialogs.boxes.empty());
      EXPECT_TRUE(usb->sends.empty());
      break;
  }

  // backup.dmp: as it was, or the whole new file.
  const Entry after = Entry::At(p.path);
  if (op == Operation::Backup && expected.text == kBackedUp) {
    ASSERT_TRUE(after.exists);
    EXPECT_EQ(after.type, static_cast<mode_t>(S_IFREG));
    EXPECT_EQ(after.content, Bytes(512, 0x3C));
    // The old regular file's mode, else the process's default; never one
    // taken through a link.
    const bool oldRegular = before.exists && before.type == S_IFREG && !odd->vanishes;
    EXPECT_EQ(after.permissions, oldRegular ? before.permissions : static_cast<mode_t>(0640)) << std::oct
                                                                                             << after.permissions;
    if (std::string(odd->name) == "InAReadOnlyFolder") {
      EXPECT_TRUE(h.trace.Contains("backup: written in place\n"));
    } else {
      EXPECT_TRUE(h.trace.Contains("backup: replaced\n"));
    }
  } else if (op == Operation::Patch && expected.text == kPatched) {
    ASSERT_TRUE(after.exists);
    EXPECT_EQ(after.size, before.size);
    EXPECT_EQ(after.inode, before.inode);
  } else if (!odd->vanishes) {
    EXPECT_EQ(after, before);
  }
  struct stat deviceAfter{};
  ::stat("/dev/null", &deviceAfter);
  EXPECT_EQ(deviceAfter.st_mode, device.st_mode);
  EXPECT_EQ(deviceAfter.st_rdev, device.st_rdev);
}

std::string CaseName(const ::testing::TestParamInfo<OddFileCase>& info) {
  return std::string(std::get<0>(info.param)->name) + "_" + Name(std::get<1>(info.param));
}

std::vector<const OddFile*> AllOddFiles() {
  std::vector<const OddFile*> all;
  for (const OddFile& f : kOddFiles) all.push_back(&f);
  return all;
}

INSTANTIATE_TEST_SUITE_P(Table, OddFiles,
                         ::testing::Combine(::testing::ValuesIn(AllOddFiles()),
                                            ::testing::Values(Operation::Backup, Operation::Patch,
                                                              Operation::UpdateBackupFile,
                                                              Operation::DefaultSystemInfo, Operation::Calibration)),
                         CaseName);

}  // namespace
}  // namespace nimbrel::testing
