#pragma once
// USB/IP messages as the simulated server reads and writes them: protocol
// version 0x0111, every field big-endian; the setup packet travels as its
// raw (little-endian) bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nimbrel::sim::usbip {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kVersion = 0x0111;

constexpr std::uint16_t kReqDevlist = 0x8005;
constexpr std::uint16_t kRepDevlist = 0x0005;
constexpr std::uint16_t kReqImport = 0x8003;
constexpr std::uint16_t kRepImport = 0x0003;

constexpr std::uint32_t kStatusOk = 0;
constexpr std::uint32_t kStatusFailed = 1;
constexpr std::uint32_t kStatusBusy = 2;
constexpr std::uint32_t kStatusNoDevice = 4;

constexpr std::uint32_t kCmdSubmit = 1;
constexpr std::uint32_t kCmdUnlink = 2;
constexpr std::uint32_t kRetSubmit = 3;
constexpr std::uint32_t kRetUnlink = 4;

constexpr std::uint32_t kDirOut = 0;
constexpr std::uint32_t kDirIn = 1;

// URB status values: Linux error numbers, negated.
constexpr std::int32_t kEpipe = -32;
constexpr std::int32_t kEinval = -22;
constexpr std::int32_t kEconnreset = -104;

constexpr std::size_t kOpHeader = 8;
constexpr std::size_t kBusIdSize = 32;
constexpr std::size_t kPathSize = 256;
constexpr std::size_t kDeviceRecord = 312;
constexpr std::size_t kUrbHeader = 48;
constexpr std::size_t kIsoDescriptor = 16;

inline std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
inline std::uint16_t Be16(const std::uint8_t* p) { return std::uint16_t(p[0] << 8 | p[1]); }

inline void PutBe16(Bytes& out, std::uint16_t v) {
  out.push_back(std::uint8_t(v >> 8));
  out.push_back(std::uint8_t(v));
}
inline void PutBe32(Bytes& out, std::uint32_t v) {
  out.push_back(std::uint8_t(v >> 24));
  out.push_back(std::uint8_t(v >> 16));
  out.push_back(std::uint8_t(v >> 8));
  out.push_back(std::uint8_t(v));
}

inline void PutOp(Bytes& out, std::uint16_t code, std::uint32_t status) {
  PutBe16(out, kVersion);
  PutBe16(out, code);
  PutBe32(out, status);
}

// The exported device as devlist and import describe it.
struct Exported {
  std::string path;
  std::string busId;
  std::uint32_t busnum = 1;
  std::uint32_t devnum = 2;
  std::uint32_t speed = 3;  // high speed
  std::uint16_t idVendor = 0;
  std::uint16_t idProduct = 0;
  std::uint16_t bcdDevice = 0;
  std::uint8_t deviceClass = 0, deviceSubClass = 0, deviceProtocol = 0;
  std::uint8_t configurationValue = 1, numConfigurations = 1;
  // Class, subclass and protocol of each interface.
  std::vector<std::array<std::uint8_t, 3>> interfaces;
};

inline void PutExported(Bytes& out, const Exported& d, bool withInterfaces) {
  auto text = [&out](const std::string& s, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) out.push_back(i < s.size() ? std::uint8_t(s[i]) : 0);
  };
  text(d.path, kPathSize);
  text(d.busId, kBusIdSize);
  PutBe32(out, d.busnum);
  PutBe32(out, d.devnum);
  PutBe32(out, d.speed);
  PutBe16(out, d.idVendor);
  PutBe16(out, d.idProduct);
  PutBe16(out, d.bcdDevice);
  out.push_back(d.deviceClass);
  out.push_back(d.deviceSubClass);
  out.push_back(d.deviceProtocol);
  out.push_back(d.configurationValue);
  out.push_back(d.numConfigurations);
  out.push_back(std::uint8_t(d.interfaces.size()));
  if (!withInterfaces) return;
  for (const auto& i : d.interfaces) {
    out.insert(out.end(), i.begin(), i.end());
    out.push_back(0);
  }
}

// The fields of a URB header the server looks at (the layout is 48 bytes:
// command, seqnum, devid, direction, ep, five command-specific words, setup).
struct Urb {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::uint32_t devid = 0;
  std::uint32_t direction = 0;
  std::uint32_t ep = 0;
  std::uint32_t word[5] = {};
  std::array<std::uint8_t, 8> setup{};
};

// p points at kUrbHeader bytes.
inline Urb ReadUrb(const std::uint8_t* p) {
  Urb u;
  u.command = Be32(p);
  u.seqnum = Be32(p + 4);
  u.devid = Be32(p + 8);
  u.direction = Be32(p + 12);
  u.ep = Be32(p + 16);
  for (int i = 0; i < 5; ++i) u.word[i] = Be32(p + 20 + 4 * i);
  for (int i = 0; i < 8; ++i) u.setup[std::size_t(i)] = p[40 + i];
  return u;
}

// RET_SUBMIT: status, actual_length, start_frame 0, number_of_packets 0, error_count 0.
inline void PutRetSubmit(Bytes& out, std::uint32_t seqnum, std::int32_t status, std::uint32_t actual) {
  PutBe32(out, kRetSubmit);
  PutBe32(out, seqnum);
  PutBe32(out, 0);
  PutBe32(out, 0);
  PutBe32(out, 0);
  PutBe32(out, std::uint32_t(status));
  PutBe32(out, actual);
  for (int i = 0; i < 3; ++i) PutBe32(out, 0);
  out.insert(out.end(), 8, 0);
}

inline void PutRetUnlink(Bytes& out, std::uint32_t seqnum, std::int32_t status) {
  PutBe32(out, kRetUnlink);
  PutBe32(out, seqnum);
  for (int i = 0; i < 3; ++i) PutBe32(out, 0);
  PutBe32(out, std::uint32_t(status));
  out.insert(out.end(), 24, 0);
}

}  // namespace nimbrel::sim::usbip
