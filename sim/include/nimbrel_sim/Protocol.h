#pragma once
// The scanner's side of the wire format: 512-byte control frames, magic
// words, command codes and the field offsets the device relies on.
//
// Kept apart from the updater's own definitions on purpose: the simulator
// checks what the updater puts on the link against this independent reading
// of the format.

#include <array>
#include <cstddef>
#include <cstdint>

namespace nimbrel::sim {

inline constexpr std::size_t kFrameSize = 512;
using Frame = std::array<std::uint8_t, kFrameSize>;

// Magic words as the little-endian first word of a frame (three letters and a zero byte).
namespace magic {
inline constexpr std::uint32_t kSoF = 0x00466F53;  // "SoF"
inline constexpr std::uint32_t kSYS = 0x00535953;  // "SYS"
inline constexpr std::uint32_t kSeT = 0x00546553;  // "SeT"
inline constexpr std::uint32_t kSwS = 0x00537753;  // "SwS"
inline constexpr std::uint32_t kSoS = 0x00536F53;  // "SoS"
inline constexpr std::uint32_t kRsS = 0x00537352;  // "RsS"
inline constexpr std::uint32_t kCDb = 0x00624443;  // "CDb"
}  // namespace magic

namespace command {
inline constexpr std::int32_t kSystemInfo = 0x00300000;
inline constexpr std::int32_t kKeepAlive = -6;
inline constexpr std::int32_t kEndSession = -1;
inline constexpr std::int32_t kImage = 0x30000000;
}  // namespace command

// Control-frame fields.
namespace offset {
inline constexpr std::size_t kMagic = 0;
inline constexpr std::size_t kParam = 4;
inline constexpr std::size_t kValue = 8;
inline constexpr std::size_t kCommand = 504;
inline constexpr std::size_t kTransferLength = 508;

// System Info record fields (the greeting carries the record from offset 0).
inline constexpr std::size_t kPartNumber = 100;      // 20-byte text
inline constexpr std::size_t kFirmwareVersion = 128;  // uint32
inline constexpr std::size_t kUnitMode = 132;         // 20-byte text
inline constexpr std::size_t kTsCode = 152;           // int32
inline constexpr std::size_t kProductionDay = 156;    // int32

// Upload header, the first 512 bytes of an upload's data.
inline constexpr std::size_t kHeaderMagic = 0;
inline constexpr std::size_t kHeaderCommand = 4;
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kHeaderChecksum = 12;
inline constexpr std::size_t kHeaderTimestamp = 16;  // double, days since 1899-12-30
}  // namespace offset

inline constexpr std::size_t kTextFieldSize = 20;

// The scanner's System Info record as this simulator starts with: the
// default record of a "Tavix" unit (332 meaningful bytes, the rest zero).
Frame DefaultSystemInfo();

}  // namespace nimbrel::sim
