// nimbrel-scanner-sim: a scanner on 127.0.0.1 for trying the updater by hand.

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "nimbrel_sim/Net.h"
#include "nimbrel_sim/Usbip.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

void Usage() {
  std::printf(
      "usage: nimbrel-scanner-sim [options]\n"
      "  --port N              TCP and UDP port on 127.0.0.1 (default 8484)\n"
      "  --usbip-port N        be a USB device exported by a USB/IP server on\n"
      "                        127.0.0.1:N instead (0: any free port)\n"
      "  --usb-serial KIND     51B (default), 51D, none (no unit ID) or string3\n"
      "                        (the serial has the unit ID, string descriptor 3 not)\n"
      "  --restart-ms N        how long the USB device stays away when it restarts\n"
      "                        (default 2000)\n"
      "  --pn TEXT             part number\n"
      "  --version 0xV         firmware version word\n"
      "  --tscode 0xC          hardware configuration code\n"
      "  --unit-mode TEXT      unit mode text\n"
      "  --production-day N    production day\n"
      "  --sysinfo-transfer    answer System Info requests as an announced transfer\n"
      "  --drop-after-upload   drop the link after every upload, as a restarting scanner\n"
      "                        does (over USB/IP the device leaves for the restart time)\n"
      "  --exit-after-session  end once a session has been ended (the end-of-session\n"
      "                        frame came and the link went down)\n"
      "\n"
      "A System Info upload replaces the record the scanner holds. When it ends\n"
      "(by --exit-after-session, SIGINT or SIGTERM) it prints a summary: each\n"
      "upload's command code, size and checksum verdict, and the record it holds.\n");
}

bool ParseNumber(const char* text, long long lo, long long hi, long long& out) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

// Serves until a signal comes or, with `afterSession`, until a session has
// been ended and the link is down.
void RunUntilEnd(const nimbrel::sim::Scanner& scanner, bool afterSession) {
  using nimbrel::sim::EventKind;
  const auto ended = [&] {
    return afterSession && scanner.Count(EventKind::EndSession) > 0 && !scanner.LinkIsUp();
  };
  while (!gStop && !ended()) {
    scanner.WaitFor([&] { return gStop != 0 || ended(); }, std::chrono::milliseconds(200));
  }
}

void PrintSummary(const nimbrel::sim::Scanner& scanner) {
  std::printf("--- summary\n%s", scanner.Summary().c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace nimbrel::sim;
  // Identity changes are collected first: the transport decides which scanner they go to.
  std::vector<std::function<void(Scanner&)>> identity;
  Options options;
  options.applySystemInfoUploads = true;  // as the scanner's firmware does
  bool exitAfterSession = false;
  long long port = 8484;
  long long usbipPort = -1;
  long long restartMs = 2000;
  UsbSerial serial = UsbSerial::Unit51B;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    auto number = [&](long long lo, long long hi) {
      const char* text = value();
      long long v = 0;
      if (!ParseNumber(text, lo, hi, v)) {
        std::fprintf(stderr, "%s: not a valid number: %s\n", arg.c_str(), text);
        std::exit(2);
      }
      return v;
    };
    if (arg == "--port") {
      port = number(0, 65535);
    } else if (arg == "--usbip-port") {
      usbipPort = number(0, 65535);
    } else if (arg == "--usb-serial") {
      const std::string kind = value();
      if (kind == "51B") {
        serial = UsbSerial::Unit51B;
      } else if (kind == "51D") {
        serial = UsbSerial::Unit51D;
      } else if (kind == "none") {
        serial = UsbSerial::NoUnitId;
      } else if (kind == "string3") {
        serial = UsbSerial::String3LacksUnitId;
      } else {
        std::fprintf(stderr, "--usb-serial: one of 51B, 51D, none, string3: %s\n", kind.c_str());
        return 2;
      }
    } else if (arg == "--restart-ms") {
      restartMs = number(0, 3600000);
    } else if (arg == "--drop-after-upload") {
      options.dropAfterUpload = true;
    } else if (arg == "--exit-after-session") {
      exitAfterSession = true;
    } else if (arg == "--pn") {
      const std::string pn = value();
      identity.push_back([pn](Scanner& s) { s.SetPartNumber(pn); });
    } else if (arg == "--version") {
      const auto v = std::uint32_t(number(0, 0xFFFFFFFFLL));
      identity.push_back([v](Scanner& s) { s.SetFirmwareVersion(v); });
    } else if (arg == "--tscode") {
      const auto v = std::int32_t(std::uint32_t(number(-0x80000000LL, 0xFFFFFFFFLL)));
      identity.push_back([v](Scanner& s) { s.SetTsCode(v); });
    } else if (arg == "--unit-mode") {
      const std::string mode = value();
      identity.push_back([mode](Scanner& s) { s.SetUnitMode(mode); });
    } else if (arg == "--production-day") {
      const auto v = std::int32_t(number(-0x80000000LL, 0x7FFFFFFFLL));
      identity.push_back([v](Scanner& s) { s.SetProductionDay(v); });
    } else if (arg == "--sysinfo-transfer") {
      options.systemInfoAsTransfer = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "unknown option: %s\n", arg.c_str());
      Usage();
      return 2;
    }
  }

  auto print = [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  auto prepare = [&](Scanner& scanner) {
    for (const auto& change : identity) change(scanner);
    scanner.SetOptions(options);
    scanner.SetObserver([print](const Event& e) { print(e.text); });
  };

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::string error;
  if (usbipPort >= 0) {
    UsbipSimulator sim;
    prepare(sim.scanner());
    sim.usb().SetSerial(serial);
    sim.usb().SetRestartTime(restartMs);
    sim.usb().SetObserver(print);
    if (!sim.Start(std::uint16_t(usbipPort), &error)) {
      std::fprintf(stderr, "cannot listen on 127.0.0.1:%lld: %s\n", usbipPort, error.c_str());
      return 1;
    }
    std::printf("listening on 127.0.0.1:%u (usbip)\n", unsigned(sim.Port()));
    std::fflush(stdout);
    RunUntilEnd(sim.scanner(), exitAfterSession);
    sim.Stop();
    PrintSummary(sim.scanner());
    return 0;
  }

  Simulator sim;
  prepare(sim.scanner());
  if (!sim.Start(std::uint16_t(port), &error)) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%lld: %s\n", port, error.c_str());
    return 1;
  }
  std::printf("listening on 127.0.0.1:%u (tcp and udp)\n", unsigned(sim.Port()));
  std::fflush(stdout);
  RunUntilEnd(sim.scanner(), exitAfterSession);
  sim.Stop();
  PrintSummary(sim.scanner());
  return 0;
}
