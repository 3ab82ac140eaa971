#pragma once
// A main window for fuzz targets: virtual clock, scripted dialogs (every box
// takes its default answer), a lock space and temporary folders of its own,
// and the USB double of the tests.
//
// A window allocates its two 50 MB buffers, so targets keep one across
// inputs and bring it back to a known state through the links' own
// disconnect and connect. It is made anew every kInputsPerWindow inputs, so
// that its log and the dialogs' records, which only ever grow, stay small.

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "FuzzCheck.h"
#include "app/TfrmMain.h"
#include "core/FakeUsb.h"
#include "platform/VirtualEventLoop.h"

namespace nimbrel::fuzz {

// A folder made for the run, removed with everything in it at the end. It
// lies in TMPDIR when that is set, else in /dev/shm where there is one: a
// run writes and syncs files millions of times, which a memory file system
// takes in its stride and a shared disk does not.
class FuzzDir {
 public:
  FuzzDir() {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path();
    if (!std::getenv("TMPDIR") && std::filesystem::is_directory("/dev/shm", ec)) base = "/dev/shm";
    std::string tmpl = (base / "nimbrel-fuzz-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    path_ = tmpl;
  }
  ~FuzzDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  FuzzDir(const FuzzDir&) = delete;
  FuzzDir& operator=(const FuzzDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class FuzzWindow {
 public:
  static constexpr int kInputsPerWindow = 2000;

  // The window for the next input.
  app::TfrmMain& Next() {
    if (!form_ || ++inputs_ >= kInputsPerWindow) Remake();
    return *form_;
  }
  app::TfrmMain& form() { return *form_; }
  testing::FakeUsb& usb() { return *usb_; }
  platform::VirtualEventLoop& loop() { return *loop_; }
  const FuzzDir& exeDir() const { return exeDir_; }

 private:
  void Remake() {
    form_.reset();
    usb_ = nullptr;
    dialogs_ = std::make_unique<ui::ScriptedDialogs>();
    loop_ = std::make_unique<platform::VirtualEventLoop>();
    static std::atomic<int> n{0};
    locks_ = std::make_unique<platform::LockSpace>("nimbrel-fuzz-" + std::to_string(::getpid()) + "-" +
                                                   std::to_string(n++));
    trace_.SetKeep(false);
    app::Environment env{*loop_,
                         trace_,
                         *dialogs_,
                         *locks_,
                         platform::Paths{exeDir_.path(), workDir_.path()},
                         std::vector<std::string>{"nimbrel-updater"},
                         [this](const std::string&, const std::string&) {
                           auto link = std::make_unique<testing::FakeUsb>(*loop_);
                           usb_ = link.get();
                           return link;
                         },
                         nullptr,
                         std::nullopt};
    form_ = std::make_unique<app::TfrmMain>(std::move(env));
    inputs_ = 0;
  }

  FuzzDir exeDir_;
  FuzzDir workDir_;
  platform::Trace trace_;
  std::unique_ptr<ui::ScriptedDialogs> dialogs_;
  std::unique_ptr<platform::VirtualEventLoop> loop_;
  std::unique_ptr<platform::LockSpace> locks_;
  std::unique_ptr<app::TfrmMain> form_;
  testing::FakeUsb* usb_ = nullptr;
  int inputs_ = 0;
};

}  // namespace nimbrel::fuzz
