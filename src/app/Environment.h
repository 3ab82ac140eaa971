#pragma once
// What the main window is given by whoever starts it: the program's main()
// or a test. Every service the window uses from outside comes from here.

#include <cstdint>
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
#include "usb/Driver.h"
#include "usb/TUSB.h"

namespace nimbrel::app {

// A scanner (or the simulator) on a known address, for tests and service
// work: the Ethernet link is chosen and connected on start.
struct EthernetTarget {
  std::string host;
  std::uint16_t port = 8484;
};

// Reads "--ethernet HOST[:PORT]", "--usbip HOST[:PORT]" (scanners
// exported by a USB/IP server; port 3240 by default) and "--connect" from
// the arguments; nothing when absent. A malformed value gives an error text
// instead.
struct DevelopmentOptions {
  std::optional<EthernetTarget> ethernet;
  std::optional<usb::UsbipServer> usbip;
  // "--connect": Connect is pressed once the window is up.
  bool connect = false;
  std::string error;
};
DevelopmentOptions ParseDevelopmentOptions(const std::vector<std::string>& args);

// What --help prints: the options, the marker files and the exit codes.
std::string UsageText();
// What --version prints: the program, its version and its build date.
std::string VersionText();

// No answer from the scanner for this long stops the update sequence.
inline constexpr int kSequenceStallLimitMs = 60000;

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
  std::optional<EthernetTarget> ethernet;
  // How long a verification phase of the update sequence, or its wait for
  // an open session, may go without progress before the sequence stops.
  int sequenceStallLimitMs = kSequenceStallLimitMs;
  // Receives the progress lines of large uploads (one per tenth); the
  // program writes them to standard output.
  std::function<void(std::string_view)> progressEcho;
  // Press Connect once the window is up (outside silent mode, whose own
  // connect comes a second after start).
  bool pressConnect = false;
};

}  // namespace nimbrel::app
