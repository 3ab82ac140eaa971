// Picks the driver backend for the program.

#include "usb/Driver.h"
#include "usb/UsbipDriver.h"

namespace nimbrel::usb {

namespace {

// No USB at all: nothing is ever present.
class NullDriver final : public Driver {
 public:
  using Driver::Driver;
  bool EnumerateDevicePaths(std::vector<std::string>& paths) override {
    paths.clear();
    return false;
  }
  Handle Open(const std::string&) override {
    SetLastError(kErrorFileNotFound);
    return kInvalidHandle;
  }
  bool DeviceIoControl(Handle, std::uint32_t, void*, std::uint32_t, void*, std::uint32_t, std::uint32_t*) override {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  bool CancelIo(Handle) override {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  bool CloseHandle(Handle) override {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  void SetDeviceEventSink(DeviceEventSink) override {}

 protected:
  bool StartTransfer(Handle, bool, void*, std::uint32_t, TransferDone) override {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
};

}  // namespace

std::unique_ptr<Driver> MakeDriver(const DriverOptions& options) {
  if (options.usbip) return MakeUsbipDriver(*options.usbip, options.inFlight, options.trace, options.operatorLog);
  return std::make_unique<NullDriver>(options.inFlight);
}

}  // namespace nimbrel::usb
