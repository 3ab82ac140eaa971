// The USB descriptors a scanner hands over when it is opened: a device
// object is built from the input by the transfer engine (device
// descriptor, configuration read in two steps, its parsing, the string
// descriptors, the endpoint objects found by walking the configuration)
// over the scripted driver of the tests, and torn down again.
//
// Input: one flag byte, then the device descriptor and the configuration
// as [16-bit little-endian length][bytes], then string descriptors as
// [index][16-bit length][bytes] to the end. Flag bits: 0 and 1 answer the
// configuration's second read or a string read short (with the byte count
// of the next input byte), bits 4-7 choose a descriptor type for an extra
// walk with FindDescriptor.

#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "core/ScriptedDriver.h"
#include "usb/NcEngine.h"
#include "usb/NcRequests.h"

namespace {

using namespace nimbrel;
using testing::Bytes8;

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}
  bool Empty() const { return left_ == 0; }
  std::uint8_t Byte() { return left_ ? (--left_, *p_++) : 0; }
  Bytes8 Block() {
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(Byte() | Byte() << 8), left_);
    Bytes8 b(p_, p_ + n);
    p_ += n;
    left_ -= n;
    return b;
  }

 private:
  const std::uint8_t* p_;
  std::size_t left_;
};

char* NcText(usb::UsbLayer& layer, const std::string& text) {
  char* copy = static_cast<char*>(usb::NcMalloc(layer, text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// The descriptor at p lies wholly inside [begin, end).
bool Inside(const std::uint8_t* p, const std::uint8_t* begin, const std::uint8_t* end) {
  return p >= begin && p + 2 <= end && p[0] >= 2 && p + p[0] <= end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t flags = in.Byte();
  platform::InFlight inFlight;
  testing::ScriptedDriver driver(&inFlight);
  usb::UsbLayer layer(driver);

  testing::ScriptedDriver::Device scanner = testing::ScriptedDriver::Scanner();
  scanner.deviceDescriptor = in.Block();
  scanner.configuration = in.Block();
  if (flags & 1) scanner.shortAnswers["config"] = in.Byte();
  if (flags & 2) scanner.shortAnswers["string3"] = in.Byte();
  scanner.strings.clear();
  while (!in.Empty()) {
    const std::uint8_t index = in.Byte();
    scanner.strings[index] = in.Block();
  }
  driver.Attach(scanner);

  char* path = NcText(layer, scanner.path);
  const usb::DevicePtr device = usb::System_CreateDevice(layer, path);
  if (!device) {
    usb::NcFree(path);  // a build that failed leaves its path to the caller
    return 0;
  }

  // The configuration block holds at least its own descriptor, and the walk
  // ends inside it.
  NIMBREL_FUZZ_CHECK(device->configuration && device->configurationSize >= 9);
  const std::uint8_t* begin = device->configuration;
  const std::uint8_t* end = usb::ConfigurationEnd(device.get());
  NIMBREL_FUZZ_CHECK(end >= begin && end <= begin + device->configurationSize);
  NIMBREL_FUZZ_CHECK(device->endpointCount <= usb::kMaxBulkEndpoints);
  for (std::uint32_t i = 0; i < device->endpointCount; ++i) {
    const std::uint8_t* d = device->endpoints[i].descriptor;
    NIMBREL_FUZZ_CHECK(Inside(d, begin, end) && d[1] == usb::USB_ENDPOINT_DESCRIPTOR_TYPE);
  }
  const std::uint8_t* cursor = begin;
  const std::uint32_t type = flags >> 4;
  while (usb::FindDescriptor(&cursor, type, end)) NIMBREL_FUZZ_CHECK(Inside(cursor, begin, end) && cursor[1] == type);
  // Every string read is a terminated text.
  for (const char* text : device->strings) {
    if (text) NIMBREL_FUZZ_CHECK(std::strlen(text) < usb::kStringScratchSize);
  }

  usb::System_DestroyDevice(device.get());
  layer.JoinParked();
  return 0;
}
