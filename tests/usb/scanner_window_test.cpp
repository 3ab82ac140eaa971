// The main window over the real TUSB component, transfer engine and libusb
// backend, against a scanner emulated with umockdev, on the virtual clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "core/UsbHarness.h"
#include "usb/EmulatedUsb.h"
#include "usb/LibusbDriver.h"
#include "usb/NcDevice.h"
#include "usb/TNcBulkUSB.h"

namespace nimbrel::testing {
namespace {

constexpr std::uint8_t kOut = 0x01;  // channel 1
constexpr std::uint8_t kIn = 0x82;   // channel 2

UsbDeviceProfile KeyboardProfile() {
  UsbDeviceProfile profile;
  profile.sysfsName = "1-2";
  profile.address = 3;
  profile.serial = "KBD-4711";
  profile.strings[3] = profile.serial;
  return profile;
}

// The window, its USB link over libusb and an emulated scanner that greets
// whoever sends it a connect request. Workers still inside a handler when
// their device went are released by the loop's shutdown and joined before
// the driver goes, and the driver goes before the testbed.
struct ScannerOverLibusb {
  Harness h;
  EmulatedUsb usb;
  EmulatedDevice& scanner;
  EmulatedDevice& keyboard;
  std::unique_ptr<usb::Driver> driver;
  std::shared_ptr<usb::UsbLayer> layer;
  usb::TNcBulkUSB* link = nullptr;

  ScannerOverLibusb()
      : usb(&h.loop.inFlight()), scanner(usb.Add(UsbDeviceProfile{})), keyboard(usb.Add(KeyboardProfile())) {
    scanner.SetResponder([greeted = false](std::uint8_t endpoint, const std::vector<std::uint8_t>& bytes) mutable {
      std::vector<EmulatedDevice::Answer> answers;
      if (endpoint == kOut && bytes.size() == 512 && !greeted &&
          protocol::LoadU32(bytes.data()) == protocol::kMagicSoF) {
        greeted = true;
        answers.emplace_back(kIn, Bytes(MakeGreeting()));
      }
      return answers;
    });
    usb::DriverOptions options;
    options.inFlight = &h.loop.inFlight();
    options.trace = &h.trace;
    driver = usb::MakeLibusbDriver(options);
    layer = std::make_shared<usb::UsbLayer>(*driver, &h.trace);
    h.makeUsb = [this](const std::string& unitId1, const std::string& unitId2) {
      auto made = std::make_unique<usb::TNcBulkUSB>(layer, h.loop, unitId1, unitId2);
      link = made.get();
      return made;
    };
  }
  ~ScannerOverLibusb() {
    h.form.reset();
    h.loop.Shutdown();
    layer->JoinParked();
    layer.reset();
    driver.reset();
  }
};

TEST(ScannerOverLibusb, GreetingRegistersAndUnplugWhileAReadWaits) {
  ScannerOverLibusb s;
  auto& f = s.h.Start();

  // Connect: the request goes out on channel 1, the greeting comes back on
  // channel 2 into the window's handlers.
  f.ConnectClick(&f.Connect);
  ASSERT_TRUE(f.usb->Active());
  ASSERT_TRUE(s.h.loop.RunUntil([&] { return s.h.Logged("scanner version:1.0.0.120"); }, 10000));
  EXPECT_TRUE(s.h.Logged("USB Connected"));
  EXPECT_TRUE(s.h.Logged("Greeting::normal unit"));
  EXPECT_TRUE(std::any_of(s.h.Log().begin(), s.h.Log().end(),
                          [](const std::string& line) { return line.rfind("PN::", 0) == 0; }));
  EXPECT_TRUE(f.unitSupported);
  const auto written = s.scanner.Written(kOut);
  ASSERT_FALSE(written.empty());
  protocol::Frame connectRequest{};
  protocol::FrameView(connectRequest).setMagic(protocol::kMagicSoF);
  EXPECT_EQ(written[0], Bytes(connectRequest));
  EXPECT_TRUE(s.h.trace.Contains("connected:00000000051B"));
  EXPECT_EQ(s.keyboard.Opens(), 0);  // listed by its serial, never opened

  // A vendor register write (queued to the control thread) and a read.
  f.usb->SetRegister(9, 0x12345678);
  ASSERT_TRUE(s.h.loop.RunUntil([&] { return s.scanner.Register(9) == 0x12345678u; }, 10000));
  s.scanner.SetRegister(0x21, 0xCAFEF00D);
  EXPECT_EQ(f.usb->GetRegister(0x21), 0xCAFEF00Du);
  std::vector<ControlRecord> vendor;
  for (const ControlRecord& c : s.scanner.Controls()) {
    if ((c.bmRequestType & 0x60) == 0x40) vendor.push_back(c);
  }
  ASSERT_EQ(vendor.size(), 2u);
  EXPECT_EQ(vendor[0].bmRequestType, 0x40);
  EXPECT_EQ(vendor[0].bRequest, 9);
  EXPECT_EQ(vendor[0].wValue, 0x5678);
  EXPECT_EQ(vendor[0].wIndex, 0x1234);
  EXPECT_EQ(vendor[0].wLength, 4);
  EXPECT_EQ(vendor[1].bmRequestType, 0xC0);
  EXPECT_EQ(vendor[1].bRequest, 0x21);
  EXPECT_EQ(vendor[1].wLength, 4);

  // The scanner goes while the next read waits for it.
  s.scanner.WaitForPendingIn(kIn);
  std::atomic<int> bufferEvents{0};
  const auto readEnd = s.link->OnReadBufferEnd.Get();
  const auto sendEnd = s.link->OnSendBufferEnd.Get();
  s.link->OnReadBufferEnd = [&, readEnd](int channel, int size, std::uint8_t* buffer) {
    ++bufferEvents;
    readEnd(channel, size, buffer);
  };
  s.link->OnSendBufferEnd = [&, sendEnd](int channel, int size, std::uint8_t* buffer) {
    ++bufferEvents;
    sendEnd(channel, size, buffer);
  };
  const protocol::Frame frameBefore = f.frameBuffer;
  s.usb.Unplug(s.scanner);
  ASSERT_TRUE(s.h.loop.RunUntil([&] { return s.h.Logged("USB Disconnected"); }, 10000));
  EXPECT_FALSE(f.usb->Active());
  s.h.loop.RunFor(3000);  // keep-alive ticks and all
  EXPECT_EQ(bufferEvents.load(), 0);
  EXPECT_EQ(f.frameBuffer, frameBefore);
  EXPECT_EQ(std::count(s.h.Log().begin(), s.h.Log().end(), "USB Disconnected"), 1);
  EXPECT_EQ(s.h.loop.SettleTimeouts(), 0);
}

}  // namespace
}  // namespace nimbrel::testing
