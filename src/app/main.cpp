// The program: the main window on Qt's event loop.

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/ExitCodes.h"
#include "app/TfrmMain.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "qt/MainWindowView.h"
#include "qt/QtDialogs.h"
#include "qt/QtEventLoop.h"
#include "usb/TNcBulkUSB.h"

using namespace nimbrel;

namespace {

bool HasDisplay() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

void EchoLogLine(std::string_view line) {
  const std::string utf8 = platform::Cp949ToUtf8(line);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Progress lines go to standard output beside the log lines.
void EchoProgressLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Without a display the window goes to Qt's offscreen platform, so that
  // silent and hidden runs work on a headless machine.
  if (!HasDisplay() && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);

  // The command line as the process got it, before Qt looks at it.
  std::vector<std::string> args(argv, argv + argc);

  for (const std::string& arg : args) {
    if (arg == "--help") {
      std::fputs(app::UsageText().c_str(), stdout);
      return app::kExitUpdated;
    }
    if (arg == "--version") {
      std::fputs(app::VersionText().c_str(), stdout);
      return app::kExitUpdated;
    }
  }
  const app::DevelopmentOptions options = app::ParseDevelopmentOptions(args);
  if (!options.error.empty()) {
    std::fprintf(stderr, "nimbrel-updater: %s (see --help)\n", options.error.c_str());
    return app::kExitBadCommandLine;
  }

  QApplication application(argc, argv);

  platform::Trace trace;
  trace.SetKeep(false);
  const char* traceVar = std::getenv("NIMBREL_TRACE");
  if (traceVar && *traceVar) trace.SetEcho(stderr);

  qt::QtEventLoop loop;
  qt::QtDialogs dialogs;
  platform::LockSpace locks;

  // The USB driver and its layer outlive the window and its link.
  app::TfrmMain* window = nullptr;
  usb::DriverOptions driverOptions;
  driverOptions.usbip = options.usbip;
  driverOptions.inFlight = &loop.inFlight();
  driverOptions.trace = &trace;
  driverOptions.operatorLog = [&window](const std::string& line) {
    if (window) window->LogLine(line);
  };
  const std::unique_ptr<usb::Driver> driver = usb::MakeDriver(driverOptions);
  auto layer = std::make_shared<usb::UsbLayer>(*driver, &trace);

  app::Environment env{loop,        trace,           dialogs,
                       locks,       platform::ProcessPaths(), args,
                       nullptr,     EchoLogLine,     options.ethernet,
                       app::kSequenceStallLimitMs, EchoProgressLine, options.connect};
  env.makeUsb = [&](const std::string& unitId1, const std::string& unitId2) {
    return std::make_unique<usb::TNcBulkUSB>(layer, loop, unitId1, unitId2);
  };
  // Pointed at a USB/IP server, the updater connects as it does for --ethernet.
  if (options.usbip) env.pressConnect = true;

  int exitCode = 0;
  {
    app::TfrmMain form(std::move(env));
    window = &form;
    qt::MainWindowView view(form);
    dialogs.SetMainWindow(&view);
    if (form.Visible()) view.show();
    exitCode = application.exec();
    if (!form.Closed()) form.Close();
    dialogs.SetMainWindow(nullptr);
    loop.Shutdown();
    // A USB worker still inside a handler of the window was let go by the
    // shutdown; it ends before the window does.
    layer->JoinParked();
    window = nullptr;
  }
  layer->JoinParked();
  return exitCode;
}
