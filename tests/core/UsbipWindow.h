#pragma once
// The main window over USB against the in-process simulated scanner: the
// real TUSB component and transfer engine on the USB/IP backend, talking to
// the simulator's USB/IP server on 127.0.0.1, everything on the virtual
// clock with the work-in-flight accounting of both sides (the simulator's
// share through SimTracker). The simulator measures its restart pause on
// the same clock, so a restart lasts virtual time.
//
// Use: set up the scanner (scanner(), usb()), Start(), then Connect() or
// press Connect yourself; loop.RunFor / RunUntil move time on.

#include <memory>
#include <string>

#include "Harness.h"
#include "SimTracker.h"
#include "nimbrel_sim/Usbip.h"
#include "usb/NcEngine.h"
#include "usb/TNcBulkUSB.h"
#include "usb/UsbipDriver.h"

namespace nimbrel::testing {

struct UsbipWindowHarness : Harness {
  SimTracker tracker{loop.inFlight()};
  sim::UsbipSimulator sim{&tracker};
  bool serving = false;  // the simulator listens
  std::unique_ptr<usb::Driver> driver;
  std::shared_ptr<usb::UsbLayer> layer;
  usb::TNcBulkUSB* link = nullptr;

  UsbipWindowHarness() {
    sim.usb().SetClock([this] { return loop.NowMs(); });
    serving = sim.Start(0);
    driver = usb::MakeUsbipDriver({"127.0.0.1", sim.Port()}, &loop.inFlight(), &trace);
    layer = std::make_shared<usb::UsbLayer>(*driver, &trace);
    makeUsb = [this](const std::string& unitId1, const std::string& unitId2) {
      auto made = std::make_unique<usb::TNcBulkUSB>(layer, loop, unitId1, unitId2);
      link = made.get();
      return made;
    };
  }
  ~UsbipWindowHarness() {
    form.reset();
    loop.Shutdown();
    layer->JoinParked();
  }
  UsbipWindowHarness(const UsbipWindowHarness&) = delete;
  UsbipWindowHarness& operator=(const UsbipWindowHarness&) = delete;

  sim::Scanner& scanner() { return sim.scanner(); }
  sim::UsbipLink& usb() { return sim.usb(); }

  // Presses Connect on the USB link (the window is started first when it
  // is not yet) and runs until the greeting's System Info request has been
  // answered, or `limitMs` of virtual time. The link's state tells how it went.
  app::TfrmMain& Connect(std::int64_t limitMs = 5000) {
    if (!form) Start();
    form->ConnectClick(&form->Connect);
    loop.RunUntil([this] { return !form->usb->Active() || (form->unitSupported && form->replyCount > 0); }, limitMs);
    return *form;
  }
};

}  // namespace nimbrel::testing
