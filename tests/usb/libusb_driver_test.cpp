// The libusb backend under an unmodified libusb, against scanners emulated
// with umockdev.

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/Trace.h"
#include "usb/EmulatedUsb.h"
#include "usb/LibusbDriver.h"

namespace nimbrel::testing {
namespace {

using usb::DeviceEventKind;
using usb::Handle;
using usb::kInvalidHandle;

constexpr std::uint8_t kOut = 0x01;  // pipe 0x00
constexpr std::uint8_t kIn = 0x82;   // pipe 0x01
const std::string kScannerPath = "usb:1-4:002:00000000051B";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// What the transfer engine accepts: a unit ID anywhere in the path, in any case.
bool Accepted(const std::string& path) {
  const std::string p = Upper(path);
  return p.find("00000000051B") != std::string::npos || p.find("00000000051D") != std::string::npos;
}

class DeviceEvents {
 public:
  usb::DeviceEventSink Sink() {
    return [this](DeviceEventKind kind, const std::string& path) {
      std::lock_guard lock(mutex_);
      events_.emplace_back(kind, path);
      changed_.notify_all();
    };
  }
  void WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return events_.size() >= count; });
  }
  std::vector<std::pair<DeviceEventKind, std::string>> All() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<DeviceEventKind, std::string>> events_;
};

// One asynchronous transfer and what its completion routine saw.
struct Completion {
  usb::Overlapped overlapped{this};
  bool ran = false;
  std::uint32_t error = 0xFFFFFFFF;
  std::uint32_t bytes = 0;
  std::thread::id thread;
};

void Routine(std::uint32_t error, std::uint32_t bytes, usb::Overlapped* overlapped) {
  auto* c = static_cast<Completion*>(overlapped->hEvent);
  c->ran = true;
  c->error = error;
  c->bytes = bytes;
  c->thread = std::this_thread::get_id();
}

// The calling thread's alertable wait, until the routine has run.
void WaitFor(const Completion& c) {
  usb::WakeEvent never;
  while (!c.ran) usb::AlertableWait(never);
}

struct SetupPacket {
  std::uint8_t bmRequestType, bRequest;
  std::uint16_t wValue, wIndex, wLength;
};

struct ControlResult {
  bool ok = false;
  std::uint32_t error = 0;
  std::uint32_t returned = 0;
};

ControlResult Control(usb::Driver& driver, Handle device, const SetupPacket& s, std::uint8_t* data, std::uint32_t size) {
  std::uint8_t packet[8] = {s.bmRequestType,
                            s.bRequest,
                            static_cast<std::uint8_t>(s.wValue),
                            static_cast<std::uint8_t>(s.wValue >> 8),
                            static_cast<std::uint8_t>(s.wIndex),
                            static_cast<std::uint8_t>(s.wIndex >> 8),
                            static_cast<std::uint8_t>(s.wLength),
                            static_cast<std::uint8_t>(s.wLength >> 8)};
  ControlResult r;
  std::uint32_t returned = 0;
  if (!driver.DeviceIoControl(device, usb::IOCTL_NCBULK_CONTROL_SETUP, packet, 8, packet, 8, &returned)) {
    r.error = usb::GetLastError();
    return r;
  }
  r.ok = driver.DeviceIoControl(device, usb::IOCTL_NCBULK_CONTROL_DATA, data, size, data, size, &r.returned);
  r.error = r.ok ? 0 : usb::GetLastError();
  return r;
}

std::uint32_t LastUsbdStatus(usb::Driver& driver, Handle device) {
  std::uint32_t status = 0x12345678;
  std::uint32_t returned = 0;
  EXPECT_TRUE(driver.DeviceIoControl(device, usb::IOCTL_NCBULK_GET_LAST_USBD_STATUS, &status, 4, &status, 4, &returned));
  EXPECT_EQ(returned, 4u);
  return status;
}

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

class LibusbDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    usb::DriverOptions options;
    options.inFlight = &inFlight;
    options.trace = &trace;
    options.operatorLog = [this](const std::string& line) {
      std::lock_guard lock(logMutex);
      operatorLines.push_back(line);
    };
    driver = usb::MakeLibusbDriver(options);
    driver->SetDeviceEventSink(events.Sink());
  }

  Handle OpenOrFail(const std::string& path) {
    const Handle h = driver->Open(path);
    EXPECT_NE(h, kInvalidHandle) << path << ": error " << usb::GetLastError();
    return h;
  }
  std::string PipePath(unsigned pipe) const { return kScannerPath + usb::PipeSuffix(0, pipe); }
  std::vector<std::string> OperatorLines() {
    std::lock_guard lock(logMutex);
    return operatorLines;
  }

  platform::InFlight inFlight;
  EmulatedUsb usb{&inFlight};
  EmulatedDevice& scanner = usb.Add(UsbDeviceProfile{});
  platform::Trace trace;
  DeviceEvents events;
  std::mutex logMutex;
  std::vector<std::string> operatorLines;
  std::unique_ptr<usb::Driver> driver;  // last: goes before the testbed
};

// ---- Enumeration ----

TEST_F(LibusbDriverTest, ListsEveryDeviceByItsSerialAndOpensNone) {
  UsbDeviceProfile keyboard;
  keyboard.sysfsName = "1-2";
  keyboard.address = 3;
  keyboard.serial = "KBD-4711";
  auto& other = usb.Add(keyboard);
  UsbDeviceProfile noSerial;
  noSerial.sysfsName = "1-5.1";
  noSerial.address = 5;
  noSerial.hasSerial = false;
  usb.Add(noSerial);
  UsbDeviceProfile hub;
  hub.sysfsName = "1-5";
  hub.address = 4;
  hub.deviceClass = 0x09;
  hub.serial = "00000000051D";  // a hub is never the scanner, whatever it says
  usb.Add(hub);
  usb.AddSerialPort();
  usb.AddInterfaceOf(scanner);

  std::vector<std::string> paths;
  ASSERT_TRUE(driver->EnumerateDevicePaths(paths));
  EXPECT_EQ(paths, (std::vector<std::string>{"usb:1-2:003:KBD-4711", kScannerPath, "usb:1-5.1:005:"}));
  EXPECT_TRUE(Accepted(paths[1]));
  EXPECT_FALSE(Accepted(paths[0]));
  EXPECT_FALSE(Accepted(paths[2]));
  // The serials came from sysfs: nobody's device was opened for them.
  EXPECT_EQ(scanner.Opens(), 0);
  EXPECT_EQ(other.Opens(), 0);
}

TEST(LibusbNoUsb, MachineWithoutUsbSubsystemHasNoScanner) {
  for (const bool serialPort : {false, true}) {
    SCOPED_TRACE(serialPort ? "another subsystem only" : "empty machine");
    EmulatedUsb machine(nullptr, /*withBus=*/false);
    if (serialPort) machine.AddSerialPort();
    platform::Trace trace;
    usb::DriverOptions options;
    options.trace = &trace;
    auto driver = usb::MakeLibusbDriver(options);
    std::vector<std::string> paths{"stale"};
    EXPECT_FALSE(driver->EnumerateDevicePaths(paths));
    EXPECT_TRUE(paths.empty());
    const auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("no USB subsystem"), std::string::npos) << lines[0];
    EXPECT_EQ(driver->Open(kScannerPath), kInvalidHandle);
  }
}

// ---- Opening ----

TEST_F(LibusbDriverTest, RefusesPathsThatNameNoPresentDeviceOrPipe) {
  struct Case {
    const char* what;
    std::string path;
  };
  const Case cases[] = {
      {"pipe beyond the endpoints", kScannerPath + usb::PipeSuffix(0, 2)},
      {"another serial at the same place", "usb:1-4:002:00000000051D"},
      {"another address (replugged)", "usb:1-4:009:00000000051B"},
      {"another port", "usb:1-3:002:00000000051B"},
      {"not a path of this backend", "\\\\?\\usb#vid_fff0&pid_0001#00000000051B"},
      {"no address", "usb:1-4::00000000051B"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    usb::SetLastError(0);
    EXPECT_EQ(driver->Open(c.path), kInvalidHandle);
    EXPECT_EQ(usb::GetLastError(), usb::kErrorFileNotFound);
  }
  EXPECT_EQ(scanner.Claims(), 0);
}

TEST_F(LibusbDriverTest, PipesShareOneClaimOfTheInterfaceTakenFromItsKernelDriver) {
  UsbDeviceProfile profile;
  profile.sysfsName = "1-6";
  profile.address = 7;
  profile.serial = "00000000051D";
  profile.kernelDriverBound = true;
  auto& bound = usb.Add(profile);
  const std::string path = "usb:1-6:007:00000000051D";

  const Handle device = OpenOrFail(path);
  EXPECT_TRUE(bound.KernelDriverBound());  // the device handle alone claims nothing
  const Handle pipes[] = {OpenOrFail(path + usb::PipeSuffix(0, 0)), OpenOrFail(path + usb::PipeSuffix(0, 1)),
                          OpenOrFail(path + usb::PipeSuffix(0, 0)), OpenOrFail(path + usb::PipeSuffix(0, 1))};
  EXPECT_FALSE(bound.KernelDriverBound());
  EXPECT_EQ(bound.Claims(), 1);
  EXPECT_EQ(bound.Opens(), 1);  // one libusb handle under all five

  EXPECT_TRUE(driver->CloseHandle(device));
  for (Handle h : {pipes[0], pipes[1], pipes[2]}) EXPECT_TRUE(driver->CloseHandle(h));
  EXPECT_EQ(bound.Releases(), 0);
  EXPECT_TRUE(driver->CloseHandle(pipes[3]));
  EXPECT_EQ(bound.Releases(), 1);
  EXPECT_TRUE(bound.KernelDriverBound());  // given back at the last close

  EXPECT_FALSE(driver->CloseHandle(pipes[3]));
  EXPECT_EQ(usb::GetLastError(), usb::kErrorInvalidHandle);
}

// Opening a device node needs write access to it; root has it anyway, so
// the test thread gives up its right to override file permissions.
class WithoutFileOverride {
 public:
  WithoutFileOverride() {
    if (::geteuid() != 0) return;
    header_.version = _LINUX_CAPABILITY_VERSION_3;
    if (::syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct lowered[2];
    std::memcpy(lowered, saved_, sizeof lowered);
    const unsigned bits = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);
    lowered[0].effective &= ~bits;
    restore_ = ::syscall(SYS_capset, &header_, lowered) == 0;
  }
  ~WithoutFileOverride() {
    if (restore_) ::syscall(SYS_capset, &header_, saved_);
  }

 private:
  __user_cap_header_struct header_{};
  __user_cap_data_struct saved_[2]{};
  bool restore_ = false;
};

TEST_F(LibusbDriverTest, PermissionErrorTellsTheOperatorWhatToDoOnce) {
  const std::string node = usb.RootDir() + scanner.DevNode();
  ASSERT_EQ(::chmod(node.c_str(), 0), 0) << std::strerror(errno);
  {
    WithoutFileOverride lowered;
    for (int attempt = 0; attempt < 2; ++attempt) {
      usb::SetLastError(0);
      EXPECT_EQ(driver->Open(PipePath(0)), kInvalidHandle);
      EXPECT_EQ(usb::GetLastError(), usb::kErrorAccessDenied);
    }
  }
  const auto lines = OperatorLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("packaging/udev/70-nimbrel-scanner.rules"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("README"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("Scanner access over USB (udev rule)"), std::string::npos) << lines[0];
}

// ---- Device-control requests ----

TEST_F(LibusbDriverTest, DriverAnswersItsVersionAndReleaseBuild) {
  const Handle device = OpenOrFail(kScannerPath);
  struct Case {
    std::uint32_t code;
    std::uint32_t expected;
  };
  for (const Case c : {Case{usb::IOCTL_NCBULK_GET_DRIVER_VERSION, 0x03020730}, Case{usb::IOCTL_NCBULK_IS_CHECKED_BUILD, 0}}) {
    std::uint32_t value = 0xDEADBEEF, returned = 0;
    EXPECT_TRUE(driver->DeviceIoControl(device, c.code, nullptr, 0, &value, 4, &returned));
    EXPECT_EQ(value, c.expected);
    EXPECT_EQ(returned, 4u);
  }
  EXPECT_EQ(LastUsbdStatus(*driver, device), usb::USBD_STATUS_SUCCESS);
  EXPECT_TRUE(driver->CloseHandle(device));
}

TEST_F(LibusbDriverTest, DescriptorsAndStringsThroughControlRequests) {
  const Handle device = OpenOrFail(kScannerPath);
  const auto config = ConfigurationDescriptor(scanner.profile());
  const std::vector<std::uint8_t> serial = {26, 3, '0', 0, '0', 0, '0', 0, '0', 0, '0', 0, '0', 0, '0', 0,
                                            '0', 0, '0', 0, '5', 0, '1', 0, 'B', 0};
  struct Case {
    const char* what;
    SetupPacket setup;
    std::vector<std::uint8_t> expected;
  };
  const Case cases[] = {
      {"device descriptor", {0x80, 6, 0x0100, 0, 18}, DeviceDescriptor(scanner.profile())},
      {"configuration head", {0x80, 6, 0x0200, 0, 9}, {config.begin(), config.begin() + 9}},
      {"whole configuration", {0x80, 6, 0x0200, 0, static_cast<std::uint16_t>(config.size())}, config},
      {"languages", {0x80, 6, 0x0300, 0, 256}, {4, 3, 0x09, 0x04}},
      {"serial number string", {0x80, 6, 0x0303, 0x0409, 256}, serial},
      {"shorter answer than asked", {0x80, 6, 0x0100, 0, 64}, DeviceDescriptor(scanner.profile())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> buffer(c.setup.wLength, 0xEE);
    const ControlResult r = Control(*driver, device, c.setup, buffer.data(), c.setup.wLength);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.returned, c.expected.size());  // the data stage's byte count
    buffer.resize(r.returned);
    EXPECT_EQ(buffer, c.expected);
  }
  const auto controls = scanner.Controls();
  ASSERT_EQ(controls.size(), std::size(cases));
  EXPECT_EQ(controls[4].wValue, 0x0303);
  EXPECT_EQ(controls[4].wIndex, 0x0409);
  EXPECT_TRUE(driver->CloseHandle(device));
}

TEST_F(LibusbDriverTest, VendorRegisterWriteAndRead) {
  const Handle device = OpenOrFail(kScannerPath);
  // Register 265 is request 9: the value travels in wValue and wIndex.
  std::uint8_t stage[4] = {0xA1, 0xA2, 0xA3, 0xA4};
  ControlResult r = Control(*driver, device, {0x40, 9, 0x5678, 0x1234, 4}, stage, 4);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.returned, 4u);
  EXPECT_EQ(scanner.Register(9), 0x12345678u);
  ASSERT_EQ(scanner.Controls().size(), 1u);
  EXPECT_EQ(scanner.Controls()[0].data, (std::vector<std::uint8_t>{0xA1, 0xA2, 0xA3, 0xA4}));

  scanner.SetRegister(3, 0xCAFEF00D);
  std::uint8_t value[4] = {};
  r = Control(*driver, device, {0xC0, 3, 0, 0, 4}, value, 4);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.returned, 4u);
  EXPECT_EQ(value[0] | value[1] << 8 | value[2] << 16 | static_cast<std::uint32_t>(value[3]) << 24, 0xCAFEF00Du);
  EXPECT_TRUE(driver->CloseHandle(device));
}

TEST_F(LibusbDriverTest, ControlDataStageNeverReachesPastTheBuffer) {
  const Handle device = OpenOrFail(kScannerPath);
  std::uint8_t small[8];
  std::memset(small, 0xEE, sizeof small);
  std::uint32_t returned = 77;
  // No setup yet.
  EXPECT_FALSE(driver->DeviceIoControl(device, usb::IOCTL_NCBULK_CONTROL_DATA, small, 8, small, 8, &returned));
  EXPECT_EQ(usb::GetLastError(), usb::kErrorInvalidParameter);
  // An 18-byte request into 8 bytes, either way.
  const ControlResult in = Control(*driver, device, {0x80, 6, 0x0100, 0, 18}, small, sizeof small);
  EXPECT_FALSE(in.ok);
  EXPECT_EQ(in.error, usb::kErrorInsufficientBuffer);
  const ControlResult out = Control(*driver, device, {0x40, 1, 0, 0, 18}, small, sizeof small);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error, usb::kErrorInsufficientBuffer);
  EXPECT_EQ(std::count(small, small + 8, 0xEE), 8);
  EXPECT_TRUE(scanner.Controls().empty());  // nothing went to the device
  // Pipe handles take no device-control requests.
  const Handle pipe = OpenOrFail(PipePath(0));
  std::uint32_t version = 0;
  EXPECT_FALSE(driver->DeviceIoControl(pipe, usb::IOCTL_NCBULK_GET_DRIVER_VERSION, nullptr, 0, &version, 4, &returned));
  EXPECT_TRUE(driver->CloseHandle(pipe));
  EXPECT_TRUE(driver->CloseHandle(device));
}

TEST_F(LibusbDriverTest, ResetResetsTheDevice) {
  const Handle device = OpenOrFail(kScannerPath);
  std::uint32_t returned = 0;
  EXPECT_TRUE(driver->DeviceIoControl(device, usb::IOCTL_NCBULK_RESET_DEVICE, nullptr, 0, nullptr, 0, &returned));
  EXPECT_EQ(scanner.Resets(), 1);
  EXPECT_TRUE(driver->CloseHandle(device));
}

// How a failed transfer shows: the completion's system error and the
// device's last USBD status.
TEST_F(LibusbDriverTest, FailedTransfersSetSystemErrorAndUsbdStatus) {
  struct Case {
    const char* what;
    std::uint8_t endpoint;  // 0: a control transfer
    int urbStatus;
    std::uint32_t error;
    std::uint32_t usbd;
  };
  const Case cases[] = {
      {"control stall", 0, -EPIPE, usb::kErrorGenFailure, usb::USBD_STATUS_STALL_PID},
      {"bulk read stall", kIn, -EPIPE, usb::kErrorGenFailure, usb::USBD_STATUS_STALL_PID},
      {"bulk write stall", kOut, -EPIPE, usb::kErrorGenFailure, usb::USBD_STATUS_STALL_PID},
      {"read overflow", kIn, -EOVERFLOW, usb::kErrorGenFailure, usb::USBD_STATUS_DATA_OVERRUN},
      {"protocol error", kIn, -EPROTO, usb::kErrorGenFailure, usb::USBD_STATUS_REQUEST_FAILED},
      {"device gone", kIn, -ESHUTDOWN, usb::kErrorDeviceNotConnected, usb::USBD_STATUS_DEV_NOT_RESPONDING},
  };
  const Handle device = OpenOrFail(kScannerPath);
  const Handle out = OpenOrFail(PipePath(0));
  const Handle in = OpenOrFail(PipePath(1));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    scanner.FailNext(c.endpoint, c.urbStatus);
    if (c.endpoint == 0) {
      std::uint8_t data[18];
      const ControlResult r = Control(*driver, device, {0x80, 6, 0x0100, 0, 18}, data, 18);
      EXPECT_FALSE(r.ok);
      EXPECT_EQ(r.error, c.error);
    } else {
      std::vector<std::uint8_t> buffer(512, 0x55);
      Completion done;
      const bool started = c.endpoint == kIn
                               ? driver->ReadFileEx(in, buffer.data(), 512, &done.overlapped, Routine)
                               : driver->WriteFileEx(out, buffer.data(), 512, &done.overlapped, Routine);
      ASSERT_TRUE(started);
      WaitFor(done);
      EXPECT_EQ(done.error, c.error);
      EXPECT_EQ(done.bytes, 0u);
    }
    EXPECT_EQ(LastUsbdStatus(*driver, device), c.usbd);
  }
  for (Handle h : {in, out, device}) EXPECT_TRUE(driver->CloseHandle(h));
}

// ---- Bulk transfers ----

TEST_F(LibusbDriverTest, WriteAndReadCompleteOnTheThreadThatStartedThem) {
  const Handle out = OpenOrFail(PipePath(0));
  const Handle in = OpenOrFail(PipePath(1));
  const std::vector<std::uint8_t> frame = Pattern(512, 3);
  const std::vector<std::uint8_t> answer = Pattern(512, 99);
  scanner.QueueIn(kIn, answer);

  std::vector<std::uint8_t> received(512, 0);
  Completion wrote, read;
  std::thread::id bulkThread;
  std::thread bulk([&] {
    bulkThread = std::this_thread::get_id();
    ASSERT_TRUE(driver->WriteFileEx(out, frame.data(), 512, &wrote.overlapped, Routine));
    ASSERT_TRUE(driver->ReadFileEx(in, received.data(), 512, &read.overlapped, Routine));
    EXPECT_FALSE(wrote.ran);  // never inside the call that started it
    EXPECT_FALSE(read.ran);
    WaitFor(wrote);
    WaitFor(read);
  });
  bulk.join();

  EXPECT_EQ(wrote.error, usb::kErrorSuccess);
  EXPECT_EQ(wrote.bytes, 512u);
  EXPECT_EQ(wrote.thread, bulkThread);
  EXPECT_EQ(read.error, usb::kErrorSuccess);
  EXPECT_EQ(read.bytes, 512u);
  EXPECT_EQ(read.thread, bulkThread);
  EXPECT_EQ(received, answer);
  EXPECT_EQ(scanner.Written(kOut), (std::vector<std::vector<std::uint8_t>>{frame}));

  // A short answer reports what came; an upload chunk goes as one transfer.
  scanner.QueueIn(kIn, {1, 2, 3});
  Completion shortRead;
  ASSERT_TRUE(driver->ReadFileEx(in, received.data(), 512, &shortRead.overlapped, Routine));
  WaitFor(shortRead);
  EXPECT_EQ(shortRead.bytes, 3u);
  const std::vector<std::uint8_t> chunk = Pattern(512000, 1);
  Completion big;
  ASSERT_TRUE(driver->WriteFileEx(out, chunk.data(), 512000, &big.overlapped, Routine));
  WaitFor(big);
  EXPECT_EQ(big.bytes, 512000u);
  ASSERT_EQ(scanner.Written(kOut).size(), 2u);
  EXPECT_EQ(scanner.Written(kOut)[1], chunk);

  // A read on the OUT pipe, a write on the IN pipe, a transfer on the device handle.
  const Handle device = OpenOrFail(kScannerPath);
  Completion wrong;
  EXPECT_FALSE(driver->ReadFileEx(out, received.data(), 512, &wrong.overlapped, Routine));
  EXPECT_EQ(usb::GetLastError(), usb::kErrorInvalidParameter);
  EXPECT_FALSE(driver->WriteFileEx(in, frame.data(), 512, &wrong.overlapped, Routine));
  EXPECT_FALSE(driver->ReadFileEx(device, received.data(), 512, &wrong.overlapped, Routine));
  EXPECT_FALSE(driver->ReadFileEx(9999, received.data(), 512, &wrong.overlapped, Routine));
  EXPECT_EQ(usb::GetLastError(), usb::kErrorInvalidHandle);
  for (Handle h : {in, out, device}) EXPECT_TRUE(driver->CloseHandle(h));
}

TEST_F(LibusbDriverTest, WorkInFlightCoversWritesAndCancelledReadsButNotWaitingReads) {
  const Handle out = OpenOrFail(PipePath(0));
  const Handle in = OpenOrFail(PipePath(1));
  const auto settle = [&] { EXPECT_TRUE(inFlight.WaitIdleOr([] { return false; }, std::chrono::minutes(1))); };
  settle();

  std::vector<std::uint8_t> buffer(512, 0);
  Completion read;
  ASSERT_TRUE(driver->ReadFileEx(in, buffer.data(), 512, &read.overlapped, Routine));
  scanner.WaitForPendingIn(kIn);
  EXPECT_EQ(inFlight.Count(), 0);  // the device has nothing to say

  Completion wrote;
  ASSERT_TRUE(driver->WriteFileEx(out, buffer.data(), 512, &wrote.overlapped, Routine));
  EXPECT_GE(inFlight.Count(), 1);  // ends by itself: in flight until its routine has run
  WaitFor(wrote);
  settle();

  ASSERT_TRUE(driver->CancelIo(in));
  EXPECT_GE(inFlight.Count(), 1);
  WaitFor(read);
  EXPECT_EQ(read.error, usb::kErrorOperationAborted);
  settle();
  for (Handle h : {in, out}) EXPECT_TRUE(driver->CloseHandle(h));
}

TEST_F(LibusbDriverTest, CancelIoEndsEveryTransferOfTheHandleOnly) {
  const Handle device = OpenOrFail(kScannerPath);
  const Handle in = OpenOrFail(PipePath(1));
  const Handle in2 = OpenOrFail(PipePath(1));
  std::vector<std::uint8_t> a(512), b(512), c(512);
  Completion ra, rb, rc;
  ASSERT_TRUE(driver->ReadFileEx(in, a.data(), 512, &ra.overlapped, Routine));
  ASSERT_TRUE(driver->ReadFileEx(in, b.data(), 512, &rb.overlapped, Routine));
  ASSERT_TRUE(driver->ReadFileEx(in2, c.data(), 512, &rc.overlapped, Routine));
  ASSERT_TRUE(driver->CancelIo(in));
  WaitFor(ra);
  WaitFor(rb);
  EXPECT_EQ(ra.error, usb::kErrorOperationAborted);
  EXPECT_EQ(rb.error, usb::kErrorOperationAborted);
  EXPECT_EQ(LastUsbdStatus(*driver, device), usb::USBD_STATUS_CANCELED);
  EXPECT_FALSE(rc.ran);
  scanner.QueueIn(kIn, Pattern(512, 5));
  WaitFor(rc);
  EXPECT_EQ(rc.error, usb::kErrorSuccess);
  EXPECT_EQ(c, Pattern(512, 5));
  for (Handle h : {in, in2, device}) EXPECT_TRUE(driver->CloseHandle(h));
}

TEST_F(LibusbDriverTest, ControlRequestsRunWhileAReadWaitsOnAnotherThread) {
  const Handle device = OpenOrFail(kScannerPath);
  const Handle in = OpenOrFail(PipePath(1));
  std::vector<std::uint8_t> buffer(512);
  Completion read;
  std::thread bulk([&] {
    ASSERT_TRUE(driver->ReadFileEx(in, buffer.data(), 512, &read.overlapped, Routine));
    WaitFor(read);
  });
  scanner.WaitForPendingIn(kIn);
  for (int i = 0; i < 20; ++i) {
    std::uint8_t value[4] = {};
    EXPECT_TRUE(Control(*driver, device, {0xC0, 1, 0, 0, 4}, value, 4).ok);
  }
  scanner.QueueIn(kIn, Pattern(512, 8));
  bulk.join();
  EXPECT_EQ(read.error, usb::kErrorSuccess);
  for (Handle h : {in, device}) EXPECT_TRUE(driver->CloseHandle(h));
}

TEST_F(LibusbDriverTest, NothingTouchesTheBufferOnceCloseHandleHasReturned) {
  const Handle device = OpenOrFail(kScannerPath);  // the device stays open under the pipe
  const Handle in = OpenOrFail(PipePath(1));
  std::vector<std::uint8_t> buffer(512, 0x5A);
  Completion read;
  ASSERT_TRUE(driver->ReadFileEx(in, buffer.data(), 512, &read.overlapped, Routine));
  scanner.WaitForPendingIn(kIn);

  // The device takes its time to give the cancelled read back, and it comes
  // back with 100 bytes in it.
  scanner.HoldCancelled();
  std::vector<std::uint8_t> atClose;
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    EXPECT_TRUE(driver->CloseHandle(in));
    atClose = buffer;
    closed = true;
  });
  scanner.WaitForCancelled(1);
  EXPECT_FALSE(closed);
  scanner.ReleaseCancelled(Pattern(100, 1));
  closer.join();
  WaitFor(read);
  EXPECT_EQ(read.error, usb::kErrorOperationAborted);
  EXPECT_EQ(read.bytes, 0u);
  EXPECT_EQ(buffer, atClose);

  // What the device sends later goes to whoever reads next.
  scanner.QueueIn(kIn, Pattern(512, 2));
  const Handle again = OpenOrFail(PipePath(1));
  std::vector<std::uint8_t> next(512, 0);
  Completion nextRead;
  ASSERT_TRUE(driver->ReadFileEx(again, next.data(), 512, &nextRead.overlapped, Routine));
  WaitFor(nextRead);
  EXPECT_EQ(next, Pattern(512, 2));
  EXPECT_EQ(buffer, atClose);
  for (Handle h : {again, device}) EXPECT_TRUE(driver->CloseHandle(h));
}

// ---- Arrival and removal ----

TEST_F(LibusbDriverTest, ArrivalCarriesTheNewDevicesPath) {
  std::vector<std::string> paths;
  ASSERT_TRUE(driver->EnumerateDevicePaths(paths));  // libusb runs from here
  UsbDeviceProfile second;
  second.sysfsName = "1-7";
  second.address = 8;
  second.serial = "00000000051d";
  usb.Add(second);
  events.WaitFor(1);
  const auto all = events.All();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].first, DeviceEventKind::Arrival);
  EXPECT_EQ(all[0].second, "usb:1-7:008:00000000051d");
  EXPECT_TRUE(Accepted(all[0].second));
}

// How an unplugged scanner reaches libusb under umockdev: its pending
// requests ending (as the kernel gives them back after a disconnect), the
// "remove" uevent (libusb's hot-plug), or both, as on a real machine. Any of
// them is one Removal; a read that was waiting ends as soon as the device's
// requests do.
TEST_F(LibusbDriverTest, UnpluggedScannerIsOneRemovalAndItsReadEnds) {
  struct Case {
    const char* what;
    bool vanish;
    bool uevent;
  };
  const Case cases[] = {
      {"requests end, no uevent", true, false},
      {"uevent only", false, true},
      {"requests end, then the uevent", true, true},
  };
  std::vector<std::string> paths;
  ASSERT_TRUE(driver->EnumerateDevicePaths(paths));  // libusb runs from here
  int address = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UsbDeviceProfile profile;
    profile.sysfsName = "1-" + std::to_string(address);
    profile.address = address;
    const std::size_t arrived = events.All().size() + 1;
    auto& unit = usb.Add(profile);
    const std::string path = "usb:" + profile.sysfsName + ":0" + std::to_string(address) + ":00000000051B";
    events.WaitFor(arrived);
    ASSERT_EQ(events.All().back(), std::make_pair(DeviceEventKind::Arrival, path));
    const std::size_t before = arrived;

    const Handle device = OpenOrFail(path);
    const Handle in = OpenOrFail(path + usb::PipeSuffix(0, 1));
    std::vector<std::uint8_t> buffer(512, 0x5A);
    Completion read;
    ASSERT_TRUE(driver->ReadFileEx(in, buffer.data(), 512, &read.overlapped, Routine));
    unit.WaitForPendingIn(kIn);

    if (c.vanish) unit.Vanish();
    if (c.uevent) usb.RemoveUevent(unit);
    events.WaitFor(before + 1);
    if (c.vanish) {
      WaitFor(read);
      EXPECT_EQ(read.error, usb::kErrorDeviceNotConnected);
      EXPECT_EQ(LastUsbdStatus(*driver, device), usb::USBD_STATUS_DEV_NOT_RESPONDING);
    } else {
      EXPECT_EQ(unit.PendingIn(kIn), 1);  // the uevent alone ends no request
    }
    if (c.vanish && !c.uevent) usb.RemoveUevent(unit);  // the departure libusb learns later

    // Hot-plug events come in order: once a later arrival is in, every
    // report of this departure is.
    UsbDeviceProfile marker;
    marker.sysfsName = "1-" + std::to_string(address + 1);
    marker.address = address + 1;
    marker.serial = "MARKER";
    usb.Add(marker);
    events.WaitFor(before + 2);
    const auto all = events.All();
    ASSERT_EQ(all.size(), before + 2);
    EXPECT_EQ(all[before], std::make_pair(DeviceEventKind::Removal, path));
    EXPECT_EQ(all[before + 1].first, DeviceEventKind::Arrival);

    EXPECT_TRUE(driver->CloseHandle(in));
    EXPECT_TRUE(driver->CloseHandle(device));
    WaitFor(read);
    if (!c.vanish) {
      EXPECT_EQ(read.error, usb::kErrorOperationAborted);
    }
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x5A), 512);
    address += 2;
  }
}

}  // namespace
}  // namespace nimbrel::testing
