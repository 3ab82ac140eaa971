// Compares the embedded image store with a folder of images:
//
//   nimbrel_image_check <folder>
//
// Every image the folder holds must be embedded byte for byte; a default
// record the folder lacks must be the generated one; any other name the
// folder lacks must be absent. Prints the store's description, then one line
// per mismatch; exits with 1 when there was any.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "nimbrel_images/ImageStore.h"
#include "unit/DefaultSystemInfo.h"

namespace {

std::optional<std::vector<std::uint8_t>> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Same(const std::optional<std::span<const std::uint8_t>>& embedded, const std::vector<std::uint8_t>& expected) {
  return embedded && std::vector<std::uint8_t>(embedded->begin(), embedded->end()) == expected;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  std::printf("%.*s\n", static_cast<int>(nimbrel::images::StoreDescription().size()),
              nimbrel::images::StoreDescription().data());

  int failures = 0;
  auto fail = [&](const std::string& name, const char* what) {
    std::printf("%s: %s\n", name.c_str(), what);
    ++failures;
  };

  for (const char* name : {"BOOTLOADERDATA", "TXGUIRESDATA", "SOLUTIONDATA", "FPGARBFDATA1", "FPGARBFDATA2",
                           "FPGARBFDATA3", "SOLUTIONDATAMED", "SOLUTIONDATAVET", "TXSECTIONDATA"}) {
    const auto file = ReadFile(folder + "/" + name);
    const auto embedded = nimbrel::images::Find(name);
    if (file && !Same(embedded, *file)) fail(name, "embedded bytes differ from the folder's file");
    if (!file && embedded) fail(name, "embedded although the folder has no such file");
  }
  for (nimbrel::unit::DefaultSystemSetting which : nimbrel::unit::kDefaultSystemSettings) {
    const std::string name(nimbrel::unit::DefaultSystemSettingName(which));
    const auto record = nimbrel::unit::MakeDefaultSystemSetting(which);
    const auto expected = ReadFile(folder + "/" + name).value_or(std::vector<std::uint8_t>(record.begin(), record.end()));
    if (!Same(nimbrel::images::Find(name), expected)) fail(name, "embedded record differs");
  }
  return failures == 0 ? 0 : 1;
}
