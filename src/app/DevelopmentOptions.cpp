#include <charconv>

#include "app/Environment.h"

namespace nimbrel::app {

DevelopmentOptions ParseDevelopmentOptions(const std::vector<std::string>& args) {
  DevelopmentOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (args[i] == "--ethernet") {
      if (i + 1 >= args.size()) {
        options.error = "--ethernet needs HOST[:PORT]";
        return options;
      }
      value = args[++i];
    } else if (args[i].rfind("--ethernet=", 0) == 0) {
      value = args[i].substr(11);
    } else {
      continue;
    }
    EthernetTarget target;
    const auto colon = value.rfind(':');
    target.host = value.substr(0, colon);
    if (colon != std::string::npos) {
      const std::string port = value.substr(colon + 1);
      unsigned v = 0;
      const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), v);
      if (ec != std::errc() || end != port.data() + port.size() || v == 0 || v > 65535) {
        options.error = "--ethernet: bad port '" + port + "'";
        return options;
      }
      target.port = static_cast<std::uint16_t>(v);
    }
    if (target.host.empty()) {
      options.error = "--ethernet needs a host";
      return options;
    }
    options.ethernet = target;
  }
  return options;
}

}  // namespace nimbrel::app
