#pragma once
// A main window on the virtual clock, with scripted dialogs, its own lock
// space and its own temporary program and working folders.

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/TfrmMain.h"
#include "platform/VirtualEventLoop.h"

namespace nimbrel::testing {

// A temporary folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "nimbrel-test-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Touch(const std::string& name) const;
  void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const;

 private:
  std::string path_;
};

// A lock space no other test shares.
inline std::string UniqueLockPrefix() {
  static std::atomic<int> n{0};
  return "nimbrel-test-" + std::to_string(::getpid()) + "-" + std::to_string(n++);
}

struct Harness {
  platform::VirtualEventLoop loop;
  platform::Trace trace;
  ui::ScriptedDialogs dialogs;
  platform::LockSpace locks{UniqueLockPrefix()};
  TempDir exeDir;
  TempDir workDir;
  std::vector<std::string> args{"nimbrel-updater"};
  bool commandLineAvailable = true;
  usb::UsbFactory makeUsb;
  std::optional<app::EthernetTarget> ethernet;
  std::vector<std::string> echoed;  // what LogLine echoed
  std::vector<std::int64_t> echoedAt;  // the loop time of each
  std::vector<std::string> progress;  // the progress lines of large uploads
  int sequenceStallLimitMs = app::kSequenceStallLimitMs;
  std::unique_ptr<app::TfrmMain> form;

  Harness() = default;

  app::Environment MakeEnvironment() {
    app::Environment env{loop,
                         trace,
                         dialogs,
                         locks,
                         platform::Paths{exeDir.path(), workDir.path()},
                         std::nullopt,
                         makeUsb,
                         [this](std::string_view line) {
                           echoed.emplace_back(line);
                           echoedAt.push_back(loop.NowMs());
                         },
                         ethernet,
                         sequenceStallLimitMs,
                         [this](std::string_view line) { progress.emplace_back(line); },
                         false};
    if (commandLineAvailable) env.commandLine = args;
    return env;
  }

  // Builds the window (runs start-up).
  app::TfrmMain& Start() {
    form = std::make_unique<app::TfrmMain>(MakeEnvironment());
    return *form;
  }

  const std::vector<std::string>& Log() const { return form->Memo.Lines(); }
  bool Logged(const std::string& line) const;
  // The loop time at which a line was first logged; -1 when it was not.
  std::int64_t LoggedAt(const std::string& line) const;
};

}  // namespace nimbrel::testing
