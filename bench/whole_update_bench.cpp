// The whole unattended update, real program against the simulated scanner,
// in real time: nimbrel-updater -S -H --usbip 127.0.0.1:PORT against
// nimbrel-scanner-sim --usbip-port PORT, in a folder of its own. Prints,
// from one run:
//   - the updater's wall time, start to exit;
//   - the pauses and pacing its protocol mandates for that update, computed
//     from the sizes of the uploads the scanner received (UpdatePauses.h);
//   - their ratio (how much the program adds to what it must wait);
//   - the updater's CPU time (user and system) divided by its wall time.
//
//   whole_update_bench [--updater PATH] [--sim PATH] [SIMULATOR OPTIONS...]
//
// Runs on loopback only; takes about 40 seconds.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "UpdatePauses.h"
#include "update/PayloadCatalogue.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

#ifndef NIMBREL_UPDATER_PATH
#define NIMBREL_UPDATER_PATH "nimbrel-updater"
#endif
#ifndef NIMBREL_SIM_PATH
#define NIMBREL_SIM_PATH "nimbrel-scanner-sim"
#endif

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "whole_update_bench: %s\n", why.c_str());
  std::exit(1);
}

// Starts `argv` in `dir` with its standard output and error going to `out`.
pid_t Spawn(const std::vector<std::string>& argv, const fs::path& dir, const fs::path& out) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const fs::path here = fs::current_path();
  fs::current_path(dir);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  fs::current_path(here);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) Fail("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

double Seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  std::string updater = NIMBREL_UPDATER_PATH;
  std::string simulator = NIMBREL_SIM_PATH;
  std::vector<std::string> simOptions{"--pn", "QV47-02HCAF-123456", "--version", "0x00010005"};
  bool simOptionsGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--updater" && i + 1 < argc) {
      updater = argv[++i];
    } else if (arg == "--sim" && i + 1 < argc) {
      simulator = argv[++i];
    } else {
      if (!simOptionsGiven) simOptions.clear();
      simOptionsGiven = true;
      simOptions.push_back(arg);
    }
  }

  char pattern[] = "/tmp/nimbrel-bench-XXXXXX";
  if (!mkdtemp(pattern)) Fail("cannot make a temporary folder");
  const fs::path work = pattern;
  const fs::path app = work / "app";
  fs::create_directory(app);
  // The updater writes backup.dmp beside itself: a copy of its own runs here.
  fs::copy_file(updater, app / "nimbrel-updater");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  unsetenv("NIMBREL_TRACE");

  std::vector<std::string> simArgs{simulator, "--usbip-port", "0", "--exit-after-session"};
  simArgs.insert(simArgs.end(), simOptions.begin(), simOptions.end());
  const pid_t sim = Spawn(simArgs, work, work / "sim.txt");
  std::string port;
  for (int i = 0; i < 100 && port.empty(); ++i) {
    std::smatch m;
    const std::string text = ReadText(work / "sim.txt");
    if (std::regex_search(text, m, std::regex("listening on 127\\.0\\.0\\.1:([0-9]+) \\(usbip\\)"))) port = m[1];
    if (port.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (port.empty()) {
    kill(sim, SIGTERM);
    Fail("the simulator did not start");
  }

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = Spawn({(app / "nimbrel-updater").string(), "-S", "-H", "--usbip", "127.0.0.1:" + port}, app,
                          app / "out.txt");
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) Fail("lost the updater");
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;

  // The simulator ends by itself after the session; it prints its summary then.
  for (int i = 0; i < 50; ++i) {
    if (waitpid(sim, nullptr, WNOHANG) == sim) break;
    if (i == 49) {
      kill(sim, SIGTERM);
      waitpid(sim, nullptr, 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const std::string summary = ReadText(work / "sim.txt");
  if (exitCode != 0) {
    std::fprintf(stderr, "%s%s", ReadText(app / "out.txt").c_str(), summary.c_str());
    fs::remove_all(work);
    Fail("the updater exited with " + std::to_string(exitCode));
  }

  // The payload of each stage, by its command code, from what the scanner received.
  std::map<std::uint32_t, std::int64_t> received;
  const std::regex line("upload [0-9]+: command 0x([0-9A-F]{8}), ([0-9]+) bytes, .*: ok");
  for (auto it = std::sregex_iterator(summary.begin(), summary.end(), line); it != std::sregex_iterator(); ++it) {
    received[std::uint32_t(std::stoul((*it)[1], nullptr, 16))] = std::stoll((*it)[2]);
  }
  fs::remove_all(work);
  using namespace nimbrel::update;
  const std::uint32_t stageCommands[] = {CommandCode(ModeBootLoader), CommandCode(ModeGuiResources),
                                         CommandCode(ModeSolution), CommandCode(ModeBackupFile),
                                         CommandCode(ModeFpga)};
  std::vector<std::optional<std::int64_t>> stages;
  std::printf("uploads:");
  for (const std::uint32_t command : stageCommands) {
    const auto it = received.find(command);
    stages.push_back(it == received.end() ? std::nullopt : std::optional<std::int64_t>(it->second));
    if (it != received.end()) std::printf(" 0x%08" PRIX32 "=%" PRId64, command, it->second);
  }
  std::printf("\n");

  const double mandated = double(nimbrel::bench::SilentUpdatePausesMs(stages)) / 1000.0;
  const double cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  std::printf("wall time:              %8.3f s\n", wall);
  std::printf("mandated pauses:        %8.3f s\n", mandated);
  std::printf("wall / mandated:        %8.4f   (aim: at most 1.02)\n", wall / mandated);
  std::printf("CPU time:               %8.3f s (user %.3f, system %.3f)\n", cpu, Seconds(usage.ru_utime),
              Seconds(usage.ru_stime));
  std::printf("CPU / wall:             %8.4f   (aim: at most 0.01)\n", cpu / wall);
  std::printf("peak memory (RSS):      %8ld KiB\n", usage.ru_maxrss);
  return 0;
}
