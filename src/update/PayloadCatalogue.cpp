#include "update/PayloadCatalogue.h"

#include <cstring>
#include <memory>

#include "nimbrel_images/ImageStore.h"

namespace nimbrel::update {

const std::array<CatalogueEntry, kPayloadSlots> PayloadCatalogue = {{
    {"BOOTLOADERDATA", 0x00200000},          // 0 boot loader
    {"TXGUIRESDATA", 0x00400000},            // 1 GUI resources
    {"SOLUTIONDATA", 0x00100000},            // 2 solution, normal
    {"TXDEFAULTSYSTEMSETTING", 0x00300000},  // 3 update backup file (sent from backup.dmp)
    {"TXDEFAULTSYSTEMSETTING", 0x00300000},  // 4 default System Info (sent from backup.dmp)
    {"FPGARBFDATA", 0x00000000},             // 5 FPGA: the variant digit follows the name
    {"TXSECTIONDATA", 0x01000000},           // 6 calibration data (sent from the chosen file)
    {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0},
    {"SOLUTIONDATAMED", 0x00100000},         // 12 solution, med
    {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0},
    {"SOLUTIONDATAVET", 0x00100000},         // 22 solution, vet
}};

std::uint32_t CommandCode(PayloadSlot slot) {
  if (slot < 0 || slot >= kPayloadSlots) return 0;
  return PayloadCatalogue[static_cast<std::size_t>(slot)].commandCode;
}

FpgaVariant ChooseFpgaVariant(int stepMotorIndex, int fThetaIndex) {
  const std::string base = PayloadCatalogue[ModeFpga].imageName;
  // "screw", "wm 20mm" or no selection.
  if (stepMotorIndex <= 1) return {1, base + "1", "wm 20mm fpga"};
  // f-theta "yes" or no selection.
  if (fThetaIndex != 0) return {3, base + "3", "wm 10mm fuzzy fpga"};
  return {2, base + "2", "wm 10mm fpga"};
}

ResourceNotFound::ResourceNotFound(const std::string& name)
    : std::runtime_error("Resource " + name + " not found") {}

std::pair<std::unique_ptr<std::uint8_t[]>, std::size_t> LoadEmbeddedPayload(const std::string& imageName) {
  const auto image = images::Find(imageName);
  if (!image) throw ResourceNotFound(imageName);
  const std::size_t length = image->size() > 512 ? image->size() : 512;
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[length]());
  std::memcpy(buffer.get(), image->data(), image->size());
  return {std::move(buffer), length};
}

}  // namespace nimbrel::update
