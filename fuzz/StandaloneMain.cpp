// Replays a fuzz target's corpus and a fixed number of deterministic
// mutations of it, for builds without libFuzzer. Every input is handed over
// in a heap buffer of exactly its size, so that AddressSanitizer sees every
// over-read. Usage: TARGET [-runs=N] CORPUS_DIR_OR_FILE...

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

void RunOne(const std::vector<std::uint8_t>& input) {
  // Exactly input.size() bytes; a zero-sized input gets a valid pointer to nothing.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[input.size() ? input.size() : 1]);
  if (!input.empty()) std::memcpy(copy.get(), input.data(), input.size());
  LLVMFuzzerTestOneInput(copy.get(), input.size());
}

std::vector<std::uint8_t> Mutate(std::vector<std::uint8_t> in, std::mt19937& rng) {
  const int steps = 1 + static_cast<int>(rng() % 4);
  for (int s = 0; s < steps; ++s) {
    switch (rng() % 6) {
      case 0:  // flip a bit
        if (!in.empty()) in[rng() % in.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        break;
      case 1:  // a random byte
        if (!in.empty()) in[rng() % in.size()] = static_cast<std::uint8_t>(rng());
        break;
      case 2:  // cut
        if (!in.empty()) in.resize(rng() % in.size());
        break;
      case 3:  // grow with random bytes
        for (unsigned n = rng() % 64; n > 0; --n) in.push_back(static_cast<std::uint8_t>(rng()));
        break;
      case 4:  // an interesting 32-bit value
        if (in.size() >= 4) {
          static const std::uint32_t values[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 512, 511, 513, 0x3200000};
          const std::uint32_t v = values[rng() % (sizeof values / sizeof values[0])];
          std::memcpy(in.data() + rng() % (in.size() - 3), &v, 4);
        }
        break;
      default:  // duplicate a slice
        if (!in.empty()) {
          const std::size_t at = rng() % in.size();
          const std::size_t n = std::min<std::size_t>(in.size() - at, rng() % 128);
          in.insert(in.end(), in.begin() + static_cast<std::ptrdiff_t>(at),
                    in.begin() + static_cast<std::ptrdiff_t>(at + n));
        }
        break;
    }
  }
  return in;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  long runs = 0;
  std::vector<std::vector<std::uint8_t>> corpus;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-runs=", 0) == 0) {
      runs = std::strtol(arg.c_str() + 6, nullptr, 10);
      continue;
    }
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(arg)) {
      for (const auto& e : std::filesystem::directory_iterator(arg)) {
        if (e.is_regular_file()) files.push_back(e.path());
      }
    } else {
      files.emplace_back(arg);
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      std::ifstream in(f, std::ios::binary);
      corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  if (corpus.empty()) corpus.emplace_back();
  for (const auto& input : corpus) RunOne(input);
  std::mt19937 rng(20181026);
  for (long r = 0; r < runs; ++r) RunOne(Mutate(corpus[rng() % corpus.size()], rng));
  std::printf("%zu corpus inputs and %ld mutations ran\n", corpus.size(), runs);
  return 0;
}
