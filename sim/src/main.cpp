// nimbrel-scanner-sim: a scanner on 127.0.0.1 for trying the updater by hand.

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nimbrel_sim/Net.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

void Usage() {
  std::printf(
      "usage: nimbrel-scanner-sim [options]\n"
      "  --port N              TCP and UDP port on 127.0.0.1 (default 8484)\n"
      "  --pn TEXT             part number\n"
      "  --version 0xV         firmware version word\n"
      "  --tscode 0xC          hardware configuration code\n"
      "  --unit-mode TEXT      unit mode text\n"
      "  --production-day N    production day\n"
      "  --sysinfo-transfer    answer System Info requests as an announced transfer\n"
      "  --drop-after-upload   drop the link after every upload, as a restarting scanner\n");
}

bool ParseNumber(const char* text, long long lo, long long hi, long long& out) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace nimbrel::sim;
  Simulator sim;
  Scanner& scanner = sim.scanner();
  Options options;
  long long port = 8484;

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
    } else if (arg == "--pn") {
      scanner.SetPartNumber(value());
    } else if (arg == "--version") {
      scanner.SetFirmwareVersion(std::uint32_t(number(0, 0xFFFFFFFFLL)));
    } else if (arg == "--tscode") {
      scanner.SetTsCode(std::int32_t(std::uint32_t(number(-0x80000000LL, 0xFFFFFFFFLL))));
    } else if (arg == "--unit-mode") {
      scanner.SetUnitMode(value());
    } else if (arg == "--production-day") {
      scanner.SetProductionDay(std::int32_t(number(-0x80000000LL, 0x7FFFFFFFLL)));
    } else if (arg == "--sysinfo-transfer") {
      options.systemInfoAsTransfer = true;
    } else if (arg == "--drop-after-upload") {
      options.dropAfterUpload = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "unknown option: %s\n", arg.c_str());
      Usage();
      return 2;
    }
  }
  scanner.SetOptions(options);
  scanner.SetObserver([](const Event& e) {
    std::printf("%s\n", e.text.c_str());
    std::fflush(stdout);
  });

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::string error;
  if (!sim.Start(std::uint16_t(port), &error)) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%lld: %s\n", port, error.c_str());
    return 1;
  }
  std::printf("listening on 127.0.0.1:%u (tcp and udp)\n", unsigned(sim.Port()));
  std::fflush(stdout);
  while (!gStop) scanner.WaitFor([] { return gStop != 0; }, std::chrono::milliseconds(200));
  sim.Stop();
  return 0;
}
