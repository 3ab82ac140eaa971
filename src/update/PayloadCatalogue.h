#pragma once
// What each kind of upload sends: its embedded image and the command code it
// is announced with.

#include <array>
#include <memory>
#include <utility>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace nimbrel::update {

// The kind of upload: the item index of the "Mode" group.
enum UploadMode : int {
  ModeBootLoader = 0,
  ModeGuiResources = 1,
  ModeSolution = 2,
  ModeBackupFile = 3,
  ModeDefaultSystemInfo = 4,
  ModeFpga = 5,
  ModeCalibration = 6,
};

// An index into the catalogue, 0 to 22.
using PayloadSlot = int;
inline constexpr int kPayloadSlots = 23;

struct CatalogueEntry {
  const char* imageName;  // empty for the slots that hold nothing
  std::uint32_t commandCode;
};

// The constant table of the 23 slots.
extern const std::array<CatalogueEntry, kPayloadSlots> PayloadCatalogue;

// Slot of the "solution" upload for a solution variant (0 "normal", 1 "med",
// 2 "vet"): 2, 12 and 22.
inline PayloadSlot SolutionSlot(int variant) { return 2 + 10 * variant; }

// The command code of a slot; 0 for a slot outside the table.
std::uint32_t CommandCode(PayloadSlot slot);

// The FPGA image follows the hardware options: the " step motor " selection
// is tested first, then "f-theta".
struct FpgaVariant {
  int digit;             // 1, 2 or 3
  std::string imageName; // "FPGARBFDATA" and the digit
  const char* logLine;
};
FpgaVariant ChooseFpgaVariant(int stepMotorIndex, int fThetaIndex);

// The error an upload step raises for an image the store does not hold.
class ResourceNotFound final : public std::runtime_error {
 public:
  explicit ResourceNotFound(const std::string& name);
};

// The payload of an embedded image: the image at the start of a buffer of
// the image's size, or of 512 bytes (zero behind the image) for an image of
// 512 bytes or less. Throws ResourceNotFound for a missing name.
std::pair<std::unique_ptr<std::uint8_t[]>, std::size_t> LoadEmbeddedPayload(const std::string& imageName);

}  // namespace nimbrel::update
