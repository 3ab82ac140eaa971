// Picks the driver backend for the program.

#include "usb/Driver.h"
#include "usb/LibusbDriver.h"
#include "usb/UsbipDriver.h"

namespace nimbrel::usb {

std::unique_ptr<Driver> MakeDriver(const DriverOptions& options) {
  if (options.usbip) return MakeUsbipDriver(*options.usbip, options.inFlight, options.trace, options.operatorLog);
  return MakeLibusbDriver(options);
}

}  // namespace nimbrel::usb
