#pragma once
// The real USB component and transfer engine over the scripted driver, on
// the virtual clock: alone (UsbRig) or under the main window
// (UsbEngineHarness).

#include <memory>
#include <string>

#include "Harness.h"
#include "ScriptedDriver.h"
#include "usb/NcEngine.h"
#include "usb/NcRequests.h"
#include "usb/TNcBulkUSB.h"

namespace nimbrel::testing {

inline constexpr const char* kUnitId1 = "00000000051B";
inline constexpr const char* kUnitId2 = "00000000051D";

// Workers still inside a handler when their device went are released by
// the loop's shutdown and joined before the driver and the loop go.
struct UsbRig {
  platform::VirtualEventLoop loop;
  platform::Trace trace;
  ScriptedDriver driver{&loop.inFlight()};
  std::shared_ptr<usb::UsbLayer> layer = std::make_shared<usb::UsbLayer>(driver, &trace);
  std::unique_ptr<usb::TNcBulkUSB> link;

  UsbRig() : link(Make()) {}
  ~UsbRig() {
    link.reset();
    loop.Shutdown();
    layer->JoinParked();
  }
  UsbRig(const UsbRig&) = delete;
  UsbRig& operator=(const UsbRig&) = delete;

  std::unique_ptr<usb::TNcBulkUSB> Make() {
    return std::make_unique<usb::TNcBulkUSB>(layer, loop, kUnitId1, kUnitId2);
  }
  std::string Diagnostic() const { return layer->DiagnosticText(); }
};

struct UsbEngineHarness : Harness {
  ScriptedDriver driver{&loop.inFlight()};
  std::shared_ptr<usb::UsbLayer> layer = std::make_shared<usb::UsbLayer>(driver, &trace);
  usb::TNcBulkUSB* link = nullptr;
  ScriptedDriver::Device scanner = ScriptedDriver::Scanner();

  UsbEngineHarness() {
    driver.Attach(scanner);
    makeUsb = [this](const std::string& unitId1, const std::string& unitId2) {
      auto made = std::make_unique<usb::TNcBulkUSB>(layer, loop, unitId1, unitId2);
      link = made.get();
      return made;
    };
  }
  // As the program ends: the loop lets waiting workers go, and they end
  // before the window does.
  ~UsbEngineHarness() {
    loop.Shutdown();
    layer->JoinParked();
    form.reset();
    layer->JoinParked();
  }
};

}  // namespace nimbrel::testing
