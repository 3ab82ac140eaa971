#include <charconv>

#include "app/Environment.h"

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

}  // namespace nimbrel::app
