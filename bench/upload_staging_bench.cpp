// Staging of a calibration upload: SendUpload copies the payload behind its
// header, summing its words on the way, and zeroes the padding, with no link
// up so that nothing is sent. A plain memcpy of the same size runs beside it
// as the floor; the last line gives the staging rate as a share of it.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/TfrmMain.h"
#include "platform/VirtualEventLoop.h"
#include "protocol/ControlFrame.h"

namespace {

using namespace nimbrel;

// The smallest calibration data set the upload step accepts.
constexpr std::size_t kPayloadSize = 44780960;
constexpr std::int32_t kCalibrationCode = 0x01000000;

void FillPattern(std::uint8_t* p, std::size_t n) {
  std::uint32_t x = 0x12345678;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    p[i] = static_cast<std::uint8_t>(x >> 24);
  }
}

// A main window on the virtual clock, in a folder of its own, with no link.
class Window {
 public:
  Window() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "nimbrel-bench-XXXXXX").string();
    dir_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string(".");
    static std::atomic<int> n{0};
    locks_ = std::make_unique<platform::LockSpace>("nimbrel-bench-" + std::to_string(::getpid()) + "-" +
                                                   std::to_string(n++));
    form_ = std::make_unique<app::TfrmMain>(
        app::Environment{loop_, trace_, dialogs_, *locks_, platform::Paths{dir_, dir_}, std::nullopt, nullptr,
                         nullptr, std::nullopt, app::kSequenceStallLimitMs, nullptr});
  }
  ~Window() {
    form_.reset();
    std::error_code ec;
    if (dir_ != ".") std::filesystem::remove_all(dir_, ec);
  }
  app::TfrmMain& form() { return *form_; }

 private:
  platform::VirtualEventLoop loop_;
  platform::Trace trace_;
  ui::ScriptedDialogs dialogs_;
  std::string dir_;
  std::unique_ptr<platform::LockSpace> locks_;
  std::unique_ptr<app::TfrmMain> form_;
};

void BM_SendUploadStaging(benchmark::State& state) {
  Window window;
  app::TfrmMain& form = window.form();
  std::unique_ptr<std::uint8_t[]> source(new std::uint8_t[kPayloadSize]);
  FillPattern(source.get(), kPayloadSize);

  for (auto _ : state) {
    // SendUpload takes the payload and releases it: a fresh, touched copy
    // for each upload, outside the measured time.
    state.PauseTiming();
    std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[kPayloadSize]);
    std::memcpy(payload.get(), source.get(), kPayloadSize);
    state.ResumeTiming();
    const bool sent = form.SendUpload(kCalibrationCode, std::move(payload), kPayloadSize);
    benchmark::DoNotOptimize(sent);
    benchmark::DoNotOptimize(form.stagingBuffer.get()[12]);  // the checksum
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kPayloadSize));
}
BENCHMARK(BM_SendUploadStaging)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemcpySameSize(benchmark::State& state) {
  std::unique_ptr<std::uint8_t[]> source(new std::uint8_t[kPayloadSize]);
  std::unique_ptr<std::uint8_t[]> target(new std::uint8_t[kPayloadSize]);
  FillPattern(source.get(), kPayloadSize);
  std::memset(target.get(), 0, kPayloadSize);
  for (auto _ : state) {
    std::memcpy(target.get(), source.get(), kPayloadSize);
    benchmark::DoNotOptimize(target.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kPayloadSize));
}
BENCHMARK(BM_MemcpySameSize)->Unit(benchmark::kMillisecond)->UseRealTime();

// The checksum alone, over the staged upload as SendUpload leaves it.
void BM_UploadChecksum(benchmark::State& state) {
  const std::int64_t padded = protocol::PaddedLength(kPayloadSize);
  std::unique_ptr<std::uint8_t[]> staged(new std::uint8_t[static_cast<std::size_t>(padded)]());
  FillPattern(staged.get() + 512, kPayloadSize);
  for (auto _ : state) {
    benchmark::DoNotOptimize(protocol::UploadChecksum(padded, staged.get()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * padded);
}
BENCHMARK(BM_UploadChecksum)->Unit(benchmark::kMillisecond)->UseRealTime();

// Prints the runs as the console does, then the staging rate as a share of
// the memcpy rate of the same run.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto rate = run.counters.find("bytes_per_second");
      if (rate == run.counters.end() || run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.benchmark_name();
      if (name.rfind("BM_SendUploadStaging", 0) == 0) staging_ = rate->second.value;
      if (name.rfind("BM_MemcpySameSize", 0) == 0) memcpy_ = rate->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (staging_ > 0 && memcpy_ > 0) {
      std::printf("staging %.2f GB/s, memcpy %.2f GB/s, ratio to memcpy %.2f\n", staging_ / 1e9, memcpy_ / 1e9,
                  staging_ / memcpy_);
    }
  }

 private:
  double staging_ = 0;
  double memcpy_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
