#include <charconv>
#include <cstdio>

#include "app/Environment.h"
#include "app/ExitCodes.h"
#include "platform/Resources.h"

namespace nimbrel::app {

namespace {

// HOST[:PORT] into host and port (the default port when none is given);
// an error text for an empty host or a port outside 1..65535.
std::string ParseHostPort(const std::string& option, const std::string& value, std::string* host,
                          std::uint16_t* port) {
  const auto colon = value.rfind(':');
  *host = value.substr(0, colon);
  if (colon != std::string::npos) {
    const std::string text = value.substr(colon + 1);
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v == 0 || v > 65535) {
      return option + ": bad port '" + text + "'";
    }
    *port = static_cast<std::uint16_t>(v);
  }
  if (host->empty()) return option + " needs a host";
  return {};
}

}  // namespace

DevelopmentOptions ParseDevelopmentOptions(const std::vector<std::string>& args) {
  DevelopmentOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--connect") {
      options.connect = true;
      continue;
    }
    std::string option;
    std::string value;
    for (const char* name : {"--ethernet", "--usbip"}) {
      const std::string n = name;
      if (args[i] == n) {
        if (i + 1 >= args.size()) {
          options.error = n + " needs HOST[:PORT]";
          return options;
        }
        option = n;
        value = args[++i];
      } else if (args[i].rfind(n + "=", 0) == 0) {
        option = n;
        value = args[i].substr(n.size() + 1);
      }
    }
    if (option.empty()) continue;
    if (option == "--ethernet") {
      EthernetTarget target;
      options.error = ParseHostPort(option, value, &target.host, &target.port);
      if (!options.error.empty()) return options;
      options.ethernet = target;
    } else {
      usb::UsbipServer server;
      options.error = ParseHostPort(option, value, &server.host, &server.port);
      if (!options.error.empty()) return options;
      options.usbip = server;
    }
  }
  return options;
}

std::string UsageText() {
  std::string text =
      "usage: nimbrel-updater [-S] [-H] [--ethernet HOST[:PORT]] [--usbip HOST[:PORT]]\n"
      "       nimbrel-updater --help | --version\n"
      "\n"
      "Brings the attached scanner to the firmware this program carries: boot loader,\n"
      "GUI resources, solution, System Info and FPGA, one stage after the other.\n"
      "\n"
      "  -S                      silent: connect, update the scanner and close, no operator\n"
      "  -H                      hidden: the window stays out of sight\n"
      "  --ethernet HOST[:PORT]  the scanner over Ethernet at HOST (port 8484 by default)\n"
      "  --usbip HOST[:PORT]     scanners exported by the USB/IP server at HOST (port 3240 by default)\n"
      "  --help                  this text\n"
      "  --version               the program's version\n"
      "\n"
      "Marker files, looked up in the working directory (their content does not matter):\n"
      "  factory_mode, factory_mode.txt  full-size window, no version question, no unit-type dialog\n"
      "  skip_gui, skip_gui.txt          no GUI-resource upload\n"
      "  gui_test, gui_test.txt          every unit counts as supported\n"
      "The scanner's System Info is backed up to backup.dmp in the program's folder.\n"
      "NIMBREL_TRACE=1 writes the debug trace to standard error.\n"
      "\n"
      "Exit codes (a run the operator closes ends with 0):\n";
  for (const ExitCodeMeaning& row : kExitCodeTable) {
    char line[256];
    std::snprintf(line, sizeof line, "  %d  %s\n", row.code, row.meaning);
    text += line;
  }
  return text;
}

std::string VersionText() {
  std::string version;
  for (int i = 3; i >= 0; --i) {
    version += std::to_string(platform::ResourceNumber(32772 + i) & 0xFF);
    if (i > 0) version += '.';
  }
  std::string build = platform::LoadStringResource(32767);  // "_20181026"
  if (!build.empty() && build[0] == '_') build.erase(0, 1);
  return "nimbrel-updater " + version + " (" + build + ")\n";
}

}  // namespace nimbrel::app
