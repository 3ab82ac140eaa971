// What a device answers while it is opened, from the fuzzer: the input is
// its configuration descriptor set and also its string descriptor 3; the
// device object is built from it (descriptor reads and checks, strings,
// endpoint objects) and torn down again.

#include <cstdint>
#include <cstring>

#include "core/ScriptedDriver.h"
#include "usb/NcEngine.h"
#include "usb/NcRequests.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nimbrel;
  testing::ScriptedDriver driver;
  usb::UsbLayer layer(driver);
  auto device = testing::ScriptedDriver::Scanner();
  device.configuration.assign(data, data + size);
  device.strings[3].assign(data, data + size);
  driver.Attach(device);
  char* path = static_cast<char*>(usb::NcMalloc(layer, device.path.size() + 1));
  std::memcpy(path, device.path.c_str(), device.path.size() + 1);
  if (const usb::DevicePtr built = usb::System_CreateDevice(layer, path)) {
    usb::System_DestroyDevice(built.get());
  } else {
    usb::NcFree(path);
  }
  return 0;
}
