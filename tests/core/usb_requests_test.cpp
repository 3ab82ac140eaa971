// Driver requests, descriptors and diagnostics on a device object.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "UsbEngineHarness.h"

namespace nimbrel::testing {
namespace {

using namespace usb;

// A device object on an opened device handle, without the rest of a build.
struct DeviceRig {
  ScriptedDriver driver;
  UsbLayer layer{driver};
  ScriptedDriver::Device attached = ScriptedDriver::Scanner();
  DevicePtr device;

  NC_DEVICE_OBJECT& Open() {
    driver.Attach(attached);
    device = std::make_shared<NC_DEVICE_OBJECT>(layer);
    device->deviceHandle = driver.Open(attached.path);
    return *device;
  }
  std::string Diagnostic() const { return layer.DiagnosticText(); }
};

TEST(UsbDescriptors, DeviceDescriptorMustBeEighteenBytes) {
  {
    DeviceRig r;
    r.attached.shortAnswers["device"] = 17;
    EXPECT_EQ(GetDeviceDescriptor(&r.Open()), -1);
    EXPECT_EQ(r.Diagnostic(),
              "GetDeviceDescriptor(): GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE): Expected 18, got 17 bytes\n");
  }
  {
    DeviceRig r;
    r.attached.failures["device"] = kErrorGenFailure;
    EXPECT_EQ(GetDeviceDescriptor(&r.Open()), -1);
    EXPECT_EQ(r.Diagnostic(), "GetDeviceDescriptor(): GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE) failed\n");
  }
  {
    DeviceRig r;
    auto& d = r.Open();
    EXPECT_EQ(GetDeviceDescriptor(&d), 0);
    EXPECT_EQ(Bytes8(d.deviceDescriptor, d.deviceDescriptor + 18), r.attached.deviceDescriptor);
    // The request as the driver saw it: GET_DESCRIPTOR(device, 0), 18 bytes.
    const auto requests = r.driver.ControlRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].setup, (std::array<std::uint8_t, 8>{0x80, 6, 0, 1, 0, 0, 18, 0}));
  }
}

TEST(UsbDescriptors, ShortConfigurationReadWarnsAndIsUsedAsRead) {
  DeviceRig r;
  r.attached.shortAnswers["config"] = 20;
  auto& d = r.Open();
  std::uint32_t count = 0;
  EXPECT_EQ(GetConfiguration(&d, 0, &count), 0);
  EXPECT_EQ(count, 20u);
  EXPECT_EQ(r.Diagnostic(), "GetConfiguration(USB_CONFIGURATION_DESCRIPTOR): Expected 32, got 20 bytes\n");
  ASSERT_NE(d.configuration, nullptr);
  EXPECT_TRUE(std::equal(d.configuration, d.configuration + 20, r.attached.configuration.begin()));
  EXPECT_TRUE(std::all_of(d.configuration + 20, d.configuration + 32, [](std::uint8_t b) { return b == 0; }));
  // Both reads as the driver saw them: the 9-byte header, then wTotalLength.
  const auto requests = r.driver.ControlRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].setup, (std::array<std::uint8_t, 8>{0x80, 6, 0, 2, 0, 0, 9, 0}));
  EXPECT_EQ(requests[1].setup, (std::array<std::uint8_t, 8>{0x80, 6, 0, 2, 0, 0, 32, 0}));
}

TEST(UsbDescriptors, FailedConfigurationReadsReportTheUsbdStatusOrTheSystemError) {
  struct Case {
    const char* request;
    std::uint32_t usbdStatus;
    const char* diagnostic;
  } cases[] = {
      {"config-header", 0xC0000004,
       "GetConfiguration(USB_CONFIGURATION_DESCRIPTOR): GetDescriptor() USBD Status c0000004: USBD_STATUS_STALL_PID\n"},
      {"config", 0xC0000004, "GetConfiguration(wTotalLength): GetDescriptor() USBD Status c0000004: USBD_STATUS_STALL_PID\n"},
      {"config-header", 0,
       "GetConfiguration(USB_CONFIGURATION_DESCRIPTOR): GetDescriptor() WIN32 Status 0000001f: A device attached to the "
       "system is not functioning."},
  };
  for (const Case& c : cases) {
    DeviceRig r;
    r.attached.failures[c.request] = kErrorGenFailure;
    r.attached.usbdStatus = c.usbdStatus;
    EXPECT_EQ(GetConfiguration(&r.Open(), 0, nullptr), -1) << c.request;
    EXPECT_EQ(r.Diagnostic(), c.diagnostic);
  }
}

TEST(UsbDescriptors, ConfigurationChecks) {
  const Bytes8 in = EndpointBytes(0x82);
  const Bytes8 out = EndpointBytes(0x01);
  const auto endpoints = [&](int n) {
    std::vector<Bytes8> d{InterfaceBytes(static_cast<std::uint8_t>(n))};
    for (int i = 0; i < n; ++i) d.push_back(i % 2 ? in : out);
    return d;
  };
  const Bytes8 zeroLength{0, 0x24, 0, 0};
  Bytes8 notConfiguration = ScannerConfiguration();
  notConfiguration[1] = 4;
  Bytes8 shortHeader = ScannerConfiguration();
  shortHeader[0] = 8;
  struct Case {
    const char* name;
    Bytes8 configuration;
    int valid;
    const char* diagnostic;  // "" when nothing is reported
  } cases[] = {
      {"the scanner", ScannerConfiguration(), 1, ""},
      {"bNumEndpoints 0, wTotalLength 18", ConfigurationBytes({InterfaceBytes(0)}), 1, ""},
      {"bNumEndpoints 31", ConfigurationBytes(endpoints(31)), 1, ""},
      {"bNumEndpoints 32", ConfigurationBytes(endpoints(32)), 0,
       "ParseConfiguration(): too many endpoints - claim: 20, max: 1f\n"},
      {"wTotalLength 17", ConfigurationBytes({InterfaceBytes(0)}, 17), 0,
       "ParseConfiguration(): Configuration Descriptor wTotalLength: expected at least 0012, got 0011\n"},
      {"class-specific descriptor before the interface",
       ConfigurationBytes({ClassSpecificBytes(), InterfaceBytes(2), out, in}), 1, ""},
      {"class-specific descriptor between two endpoints",
       ConfigurationBytes({InterfaceBytes(2), out, ClassSpecificBytes(), in}), 0,
       "ParseConfiguration(): Expected 2 Endpoint Descriptors, found 1\n"},
      {"not a configuration descriptor", notConfiguration, 0,
       "ParseConfiguration(): Configuration Descriptor type: expected 02, got 04\n"},
      {"configuration descriptor bLength 8", shortHeader, 0,
       "ParseConfiguration(): Configuration Descriptor bLength: expected 09, got 08\n"},
      {"no interface", ConfigurationBytes({ClassSpecificBytes(), ClassSpecificBytes()}), 0,
       "ParseConfiguration(): No Interface Descriptor found\n"},
      {"interface bLength 8", ConfigurationBytes({InterfaceBytes(0, 8), ClassSpecificBytes()}), 0,
       "ParseConfiguration(): Interface Descriptor bLength: expected 09, got 08\n"},
      {"no endpoint after the interface", ConfigurationBytes({InterfaceBytes(2), ClassSpecificBytes()}), 0,
       "ParseConfiguration(): Expected 2 Endpoint Descriptors, found none\n"},
      {"first endpoint bLength 6", ConfigurationBytes({InterfaceBytes(1), EndpointBytes(0x01, 6), in}), 0,
       "ParseConfiguration(): Enpdoint Descriptor bLength: expected 07, got 06\n"},
      {"second endpoint bLength 6", ConfigurationBytes({InterfaceBytes(2), out, EndpointBytes(0x82, 6)}), 0,
       "ParseConfiguration(): 1 Enpdoint Descriptor bLength: expected 07, got 06\n"},
      {"fewer endpoints than claimed", ConfigurationBytes({InterfaceBytes(3), out, in}), 0,
       "ParseConfiguration(): Hit end of Configuration while traversing Endpoint Descriptors\n"},
      // Zero lengths and descriptors cut by wTotalLength end the walk.
      {"zero bLength before the interface", ConfigurationBytes({zeroLength, InterfaceBytes(0)}), 0,
       "ParseConfiguration(): No Interface Descriptor found\n"},
      {"zero bLength among the endpoints", ConfigurationBytes({InterfaceBytes(2), out, zeroLength, in}), 0,
       "ParseConfiguration(): Hit end of Configuration while traversing Endpoint Descriptors\n"},
      {"endpoint cut by wTotalLength", ConfigurationBytes({InterfaceBytes(1), out}, 9 + 9 + 4), 0,
       "ParseConfiguration(): Expected 1 Endpoint Descriptors, found none\n"},
  };
  for (const Case& c : cases) {
    DeviceRig r;
    r.attached.configuration = c.configuration;
    auto& d = r.Open();
    ASSERT_EQ(GetConfiguration(&d, 0, nullptr), 0) << c.name;
    r.layer.SetDiagnosticText("");
    EXPECT_EQ(ParseConfiguration(&d), c.valid) << c.name;
    EXPECT_EQ(r.Diagnostic(), c.diagnostic) << c.name;
  }
}

TEST(UsbDescriptors, ParseWithoutConfiguration) {
  DeviceRig r;
  EXPECT_EQ(ParseConfiguration(&r.Open()), 0);
  EXPECT_EQ(r.Diagnostic(), "ParseConfiguration(): DeviceObject Configuration Descriptor not set!\n");
}

TEST(UsbDescriptors, FindDescriptorVisitsEveryEndpointAndStopsAtTheEnd) {
  const Bytes8 config = ConfigurationBytes({InterfaceBytes(1), EndpointBytes(0x01), ClassSpecificBytes(),
                                            InterfaceBytes(1), EndpointBytes(0x82), Bytes8{0, 5, 0x83, 2}});
  const std::uint8_t* cursor = config.data();
  const std::uint8_t* end = config.data() + config.size();
  std::vector<std::uint8_t> addresses;
  while (FindDescriptor(&cursor, USB_ENDPOINT_DESCRIPTOR_TYPE, end)) addresses.push_back(cursor[2]);
  // The zero-length one at the end stops the walk.
  EXPECT_EQ(addresses, (std::vector<std::uint8_t>{0x01, 0x82}));
  // The descriptor at the start never matches itself.
  const std::uint8_t* atInterface = config.data() + 9;
  EXPECT_EQ(FindDescriptor(&atInterface, USB_INTERFACE_DESCRIPTOR_TYPE, end), 1);
  EXPECT_EQ(atInterface, config.data() + 9 + 9 + 7 + 5);
}

TEST(UsbStrings, TextsFromStringDescriptors) {
  struct Case {
    const char* name;
    Bytes8 descriptor;
    const char* text;
  } cases[] = {
      {"whole", StringBytes("00000000051B"), "00000000051B"},
      {"bLength 2", StringBytes("ABC", 2), ""},
      {"odd bLength loses the last byte", StringBytes("ABC", 7), "AB"},
      {"bLength 0", StringBytes("ABC", 0), ""},
      {"bLength beyond the answer", Bytes8{200, 3, 'A', 0, 'B', 0}, "AB"},
  };
  for (const Case& c : cases) {
    DeviceRig r;
    r.attached.strings[3] = c.descriptor;
    auto& d = r.Open();
    ASSERT_EQ(GetStringDescriptor(&d, 3), 0) << c.name;
    ASSERT_NE(d.strings[3], nullptr) << c.name;
    EXPECT_STREQ(d.strings[3], c.text) << c.name;
  }
}

TEST(UsbStrings, StringReadAsTheDriverSawIt) {
  DeviceRig r;
  auto& d = r.Open();
  ASSERT_EQ(GetStringDescriptor(&d, 2), 0);
  const auto requests = r.driver.ControlRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].setup, (std::array<std::uint8_t, 8>{0x80, 6, 2, 3, 0x09, 0x04, 0, 1}));
}

TEST(UsbStrings, OnlyTheManufacturerStringIsRequired) {
  struct Case {
    const char* failing;
    int result;
    bool slot1, slot2, slot3;
  } cases[] = {
      {"string1", -1, false, false, false},
      {"string2", 0, true, false, true},
      {"string3", 0, true, true, false},
  };
  for (const Case& c : cases) {
    DeviceRig r;
    r.attached.failures[c.failing] = kErrorGenFailure;
    auto& d = r.Open();
    ASSERT_EQ(GetDeviceDescriptor(&d), 0);
    EXPECT_EQ(GetStringDescriptors(&d), c.result) << c.failing;
    EXPECT_EQ(d.strings[1] != nullptr, c.slot1) << c.failing;
    EXPECT_EQ(d.strings[2] != nullptr, c.slot2) << c.failing;
    EXPECT_EQ(d.strings[3] != nullptr, c.slot3) << c.failing;
  }
  DeviceRig r;
  r.attached.failures["string1"] = kErrorGenFailure;
  auto& d = r.Open();
  ASSERT_EQ(GetDeviceDescriptor(&d), 0);
  GetStringDescriptors(&d);
  EXPECT_EQ(r.Diagnostic(), "GetStringDescriptor(): GetDescriptor(): failed\n");
}

TEST(UsbStrings, IndexWithoutASlotIsNotRead) {
  DeviceRig r;
  r.attached.deviceDescriptor = DeviceDescriptorBytes(10, 2, 12);
  r.attached.strings[10] = StringBytes("maker");
  r.attached.strings[12] = StringBytes("00000000051B");
  auto& d = r.Open();
  ASSERT_EQ(GetDeviceDescriptor(&d), 0);
  EXPECT_EQ(GetStringDescriptors(&d), 0);
  const auto requests = r.driver.ControlRequests();
  ASSERT_EQ(requests.size(), 2u);  // the device descriptor and string 2
  EXPECT_EQ(requests[1].setup[2], 2);
  for (char* text : d.strings) {
    if (text != d.strings[2]) {
      EXPECT_EQ(text, nullptr);
    }
  }
}

TEST(UsbDriverInfo, VersionAndCheckedBuild) {
  struct Case {
    const char* name;
    std::uint32_t version;
    std::uint32_t checked;
    const char* failing;
    int result;
    const char* diagnosticPart;  // "" when nothing is reported
  } cases[] = {
      {"expected", 0x03020730, 0, "", 1, ""},
      {"other version", 0x03020731, 0, "", 0, "NetChip USB Host driver: Expected v0302.0730, got v0302.0731\n   Contact "},
      {"checked build", 0x03020730, 1, "", 1,
       "\nWARNING: TestDriverInfo():\n   NetChip USB client driver: CHECKED (debug) build\n"},
      {"version unknown", 0x03020730, 0, "version", 0,
       "GetDriverInfo(): IOCTL_NCBULK_GET_DRIVER_VERSION: WIN32 Status 0000001f"},
      {"checked flag unknown", 0x03020730, 0, "checked", 0,
       "GetDriverInfo(): IOCTL_NCBULK_IS_CHECKED_BUILD: WIN32 Status 0000001f"},
  };
  for (const Case& c : cases) {
    DeviceRig r;
    r.attached.driverVersion = c.version;
    r.attached.checked = c.checked;
    if (*c.failing) r.attached.failures[c.failing] = kErrorGenFailure;
    EXPECT_EQ(TestDriverInfo(&r.Open()), c.result) << c.name;
    if (*c.diagnosticPart) {
      EXPECT_NE(r.Diagnostic().find(c.diagnosticPart), std::string::npos) << c.name << ": " << r.Diagnostic();
    } else {
      EXPECT_EQ(r.Diagnostic(), "") << c.name;
    }
  }
  DeviceRig r;
  auto& d = r.Open();
  d.deviceHandle = kInvalidHandle;
  EXPECT_EQ(TestDriverInfo(&d), 0);
  EXPECT_EQ(r.Diagnostic(), "GetDriverInfo(): DeviceObject or device handle is not valid\n");
}

TEST(UsbDriverInfo, AnotherDriverVersionStillOpensTheDevice) {
  ScriptedDriver driver;
  UsbLayer layer(driver);
  auto attached = ScriptedDriver::Scanner();
  attached.driverVersion = 0x03020731;
  driver.Attach(attached);
  char* path = static_cast<char*>(NcMalloc(layer, attached.path.size() + 1));
  std::memcpy(path, attached.path.c_str(), attached.path.size() + 1);
  const DevicePtr device = System_CreateDevice(layer, path);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->endpointCount, 2u);
  EXPECT_NE(layer.DiagnosticText().find("got v0302.0731"), std::string::npos);
  System_DestroyDevice(device.get());
}

TEST(UsbDiagnostics, UsbdStatusNames) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0xC0000004, "USBD_STATUS_STALL_PID"},          {0x00000004, "USBD_STATUS_STALL_PID"},
      {0x0000000E, "(USBD status unknown)"},          {0x00000000, "USBD_STATUS_SUCCESS"},
      {0x80000300, "USBD_STATUS_INVALID_PARAMETER"}, {0xC0010000, "USBD_STATUS_CANCELED"},
      {0xC0000030, "USBD_STATUS_ENDPOINT_HALTED"},   {0x00000D00, "USBD_STATUS_FRAME_CONTROL_NOT_OWNED"},
  };
  for (const auto& [status, name] : cases) EXPECT_STREQ(UsbdStatusName(status), name) << std::hex << status;
}

TEST(UsbDiagnostics, UsbdErrorFallsBackToTheSystemError) {
  struct Case {
    std::uint32_t usbdStatus;
    bool usbdFails;
    std::uint32_t reported;
    const char* diagnostic;
  } cases[] = {
      {0x0000000E, false, 0x0000000E, "op USBD Status 0000000e: (USBD status unknown)\n"},
      {0, false, kErrorIoDevice,
       "op WIN32 Status 0000045d: The request could not be performed because of an I/O device error."},
      {0xC0000004, true, kErrorIoDevice,
       "op WIN32 Status 0000045d: The request could not be performed because of an I/O device error."},
  };
  for (const Case& c : cases) {
    DeviceRig r;
    r.attached.usbdStatus = c.usbdStatus;
    if (c.usbdFails) r.attached.failures["usbd"] = kErrorGenFailure;
    auto& d = r.Open();
    SetLastError(kErrorIoDevice);
    EXPECT_EQ(ReportUsbdError(&d, "op"), c.reported);
    EXPECT_EQ(r.Diagnostic(), c.diagnostic);
  }
}

TEST(UsbDiagnostics, LongSystemMessagesAreCutToTheirBuffer) {
  ScriptedDriver driver;
  UsbLayer layer(driver);
  SetLastError(kErrorNotEnoughMemory);
  EXPECT_EQ(ReportWin32Error(layer, "x"), kErrorNotEnoughMemory);
  EXPECT_EQ(layer.DiagnosticText(),
            "x WIN32 Status 00000008: " + SystemErrorMessage(kErrorNotEnoughMemory).substr(0, 79));
}

TEST(UsbDiagnostics, ConcurrentReportsNeverMix) {
  ScriptedDriver driver;
  UsbLayer layer(driver);
  std::atomic<bool> stop{false};
  const std::string a(60000, 'a');
  const std::string b(60000, 'b');
  std::thread writerA([&] {
    while (!stop) ReportDiagnostic(layer, "%s", a.c_str());
  });
  std::thread writerB([&] {
    while (!stop) ReportDiagnostic(layer, "%s", b.c_str());
  });
  int torn = 0;
  for (int i = 0; i < 300; ++i) {
    const std::string text = layer.DiagnosticText();
    if (!(text.empty() || text == a || text == b)) ++torn;
  }
  stop = true;
  writerA.join();
  writerB.join();
  EXPECT_EQ(torn, 0);
  ReportDiagnostic(layer, "%s", std::string(70000, 'c').c_str());
  EXPECT_EQ(layer.DiagnosticText().size(), kDiagnosticTextSize - 1);  // formatted with its limit
}

TEST(UsbMemory, FreeAndReallocate) {
  ScriptedDriver driver;
  UsbLayer layer(driver);
  char* none = nullptr;
  NcFree(none);
  EXPECT_EQ(none, nullptr);
  auto* block = static_cast<std::uint8_t*>(NcMalloc(layer, 16));
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(std::all_of(block, block + 16, [](std::uint8_t v) { return v == 0; }));
  std::memset(block, 0xAB, 16);
  ASSERT_NE(NcRealloc(layer, block, 32), nullptr);
  EXPECT_TRUE(std::all_of(block, block + 32, [](std::uint8_t v) { return v == 0; }));
  NcFree(block);
  EXPECT_EQ(block, nullptr);
}

}  // namespace
}  // namespace nimbrel::testing
