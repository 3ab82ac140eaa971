// Writes the stand-in firmware images and the default System Info records
// into a folder, one file per image, named as the image.
//
//   nimbrel_image_generator <folder> <image name>...
//
// The stand-ins have the sizes and identifying headers of the maker's images;
// after the header they hold a fixed pseudo-random sequence, so every build
// produces the same bytes. A file that already holds the right bytes is left
// untouched, so that nothing downstream is rebuilt for it.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "unit/DefaultSystemInfo.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct StandIn {
  std::string_view name;
  std::size_t size;
  Bytes header;
};

void PutLe32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PutLe16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

// A Cortex-M flash image begins with its vector table: initial stack
// pointer, then reset address.
Bytes VectorTable(std::uint32_t stackPointer, std::uint32_t reset) {
  Bytes b;
  PutLe32(b, stackPointer);
  PutLe32(b, reset);
  return b;
}

// A raw binary FPGA configuration begins with 32 bytes of 0xFF and 0x6A.
Bytes RbfHeader() {
  Bytes b(32, 0xFF);
  b.push_back(0x6A);
  return b;
}

Bytes GuiResourceHeader() {
  Bytes b{'S', 'o', 'F', 0};
  PutLe16(b, 320);
  PutLe16(b, 240);
  return b;
}

std::vector<StandIn> StandIns() {
  return {
      {"BOOTLOADERDATA", 38368, VectorTable(0x200029E8, 0x08002F59)},
      {"TXGUIRESDATA", 10485756, GuiResourceHeader()},
      {"SOLUTIONDATA", 165088, VectorTable(0x2002BD40, 0x08036E39)},
      {"FPGARBFDATA1", 217516, RbfHeader()},
      {"FPGARBFDATA2", 218848, RbfHeader()},
      {"FPGARBFDATA3", 207325, RbfHeader()},
  };
}

// SplitMix64, seeded from the image name (FNV-1a), so that the images differ
// from each other and never from one build to the next.
Bytes Fill(const StandIn& image) {
  std::uint64_t state = 0xCBF29CE484222325ull;
  for (char c : image.name) state = (state ^ static_cast<std::uint8_t>(c)) * 0x100000001B3ull;

  Bytes b = image.header;
  b.reserve(image.size);
  while (b.size() < image.size) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    for (int i = 0; i < 8 && b.size() < image.size; ++i) b.push_back(static_cast<std::uint8_t>(z >> (8 * i)));
  }
  return b;
}

bool Generate(std::string_view name, Bytes& out) {
  for (const StandIn& image : StandIns()) {
    if (image.name == name) {
      out = Fill(image);
      return true;
    }
  }
  for (nimbrel::unit::DefaultSystemSetting which : nimbrel::unit::kDefaultSystemSettings) {
    if (nimbrel::unit::DefaultSystemSettingName(which) == name) {
      const auto record = nimbrel::unit::MakeDefaultSystemSetting(which);
      out.assign(record.begin(), record.end());
      return true;
    }
  }
  return false;
}

bool HoldsAlready(const std::string& path, const Bytes& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const Bytes old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return old == bytes;
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <folder> <image name>...\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string name = argv[i];
    Bytes bytes;
    if (!Generate(name, bytes)) {
      std::fprintf(stderr, "%s: no stand-in for image %s\n", argv[0], name.c_str());
      return 1;
    }
    const std::string path = folder + "/" + name;
    if (HoldsAlready(path, bytes)) continue;
    if (!WriteFile(path, bytes)) {
      std::fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
      return 1;
    }
  }
  return 0;
}
