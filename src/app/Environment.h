#pragma once
// What the main window is given by whoever starts it: the program's main()
// or a test. Every service the window uses from outside comes from here.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/NamedLock.h"
#include "platform/Trace.h"
#include "ui/Dialogs.h"
#include "usb/TUSB.h"

namespace nimbrel::app {

struct Environment {
  platform::EventLoop& loop;
  platform::Trace& trace;
  ui::Dialogs& dialogs;
  const platform::LockSpace& locks;
  platform::Paths paths;
  // The process command line split into arguments, the program path first;
  // nothing when it could not be split.
  std::optional<std::vector<std::string>> commandLine;
  // Makes the USB link; NoScannerUsb when unset.
  usb::UsbFactory makeUsb;
  // Receives every operator-log line as it is appended (8-bit text). The
  // program writes it to standard output; tests may keep it.
  std::function<void(std::string_view)> logEcho;
};

}  // namespace nimbrel::app
