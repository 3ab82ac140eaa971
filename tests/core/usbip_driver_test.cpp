// The USB/IP backend of the driver layer, on its own (no engine): against
// the simulated scanner for what it offers, and against scripted servers
// that break the protocol for what it survives.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "SimTracker.h"
#include "UsbipSupport.h"
#include "nimbrel_sim/Usbip.h"
#include "platform/Trace.h"
#include "usb/Driver.h"
#include "usb/UsbipDriver.h"

namespace nimbrel::testing {
namespace {

using namespace nimbrel::usb;
using sim::EventKind;
using sim::UsbSerial;

constexpr std::uint32_t kSoF = 0x00466F53;

Bytes FrameOf(std::uint32_t magic, std::int32_t value, std::int32_t command) {
  Bytes f(512, 0);
  auto put = [&f](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
  };
  put(0, magic);
  put(8, std::uint32_t(value));
  put(504, std::uint32_t(command));
  return f;
}

// One transfer as the test sees it complete; runs on the test thread.
struct Completion {
  Overlapped overlapped{this};
  bool done = false;
  std::uint32_t error = 0xFFFFFFFF;
  std::uint32_t bytes = 0;
  int order = 0;
};
int gCompletions = 0;  // the test thread's
void OnComplete(std::uint32_t error, std::uint32_t bytes, Overlapped* o) {
  auto* c = static_cast<Completion*>(o->hEvent);
  c->done = true;
  c->error = error;
  c->bytes = bytes;
  c->order = ++gCompletions;
}

// The test's side of the driver: events it was given, and waits that run
// completions (no time limit: a driver that never answers hangs the test,
// which CTest's time-out ends).
class DriverUser {
 public:
  explicit DriverUser(Driver& driver) : driver_(driver) {
    driver_.SetDeviceEventSink([this](DeviceEventKind kind, const std::string& path) {
      {
        std::lock_guard lock(mutex_);
        events_.emplace_back(kind, path);
      }
      wake_.Set();
    });
  }
  ~DriverUser() { driver_.SetDeviceEventSink({}); }

  void WaitUntil(const std::function<bool()>& ready) {
    while (!ready()) AlertableWait(wake_);
  }
  void Wait(const Completion& c) {
    WaitUntil([&] { return c.done; });
  }
  std::vector<std::pair<DeviceEventKind, std::string>> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  bool Removed() {
    std::lock_guard lock(mutex_);
    return std::any_of(events_.begin(), events_.end(),
                       [](const auto& e) { return e.first == DeviceEventKind::Removal; });
  }

 private:
  Driver& driver_;
  WakeEvent wake_;
  std::mutex mutex_;
  std::vector<std::pair<DeviceEventKind, std::string>> events_;
};

// Opens the device and its two pipes (OUT first, IN second).
struct Opened {
  Handle device = kInvalidHandle, out = kInvalidHandle, in = kInvalidHandle;
};
Opened OpenAll(Driver& d, const std::string& path) {
  Opened o;
  o.device = d.Open(path);
  o.out = d.Open(path + PipeSuffix(0, 0));
  o.in = d.Open(path + PipeSuffix(0, 1));
  return o;
}
void CloseAll(Driver& d, const Opened& o) {
  for (Handle h : {o.out, o.in, o.device})
    if (h != kInvalidHandle) d.CloseHandle(h);
}

bool Control(Driver& d, Handle h, const uip::SetupPacket& setup, void* data, std::uint32_t* moved) {
  uip::SetupPacket s = setup;
  if (!d.DeviceIoControl(h, IOCTL_NCBULK_CONTROL_SETUP, s.data(), 8, s.data(), 8, nullptr)) return false;
  const std::uint32_t length = std::uint32_t(setup[6] | setup[7] << 8);
  return d.DeviceIoControl(h, IOCTL_NCBULK_CONTROL_DATA, data, length, data, length, moved);
}

class UsbipDriverSim : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.usb().SetClock([this] { return now.load(); });
    sim.usb().SetRestartTime(1000);
    ASSERT_TRUE(sim.Start(0));
    server = {"127.0.0.1", sim.Port()};
    driver = MakeUsbipDriver(server, &inFlight, &trace, [this](const std::string& l) { operatorLog.push_back(l); });
    user = std::make_unique<DriverUser>(*driver);
  }
  void TearDown() override {
    user.reset();
    driver.reset();
    Settled();
  }
  // Nothing stays in flight once both sides are done.
  void Settled() {
    EXPECT_TRUE(inFlight.WaitIdleOr([] { return false; }, std::chrono::milliseconds(kSocketWaitMs)));
    EXPECT_EQ(inFlight.Count(), 0);
  }
  std::string Path(const std::string& serial = "00000000051B") { return UsbipDevicePath(server, "1-1", serial); }
  std::string OnlyPath() {
    std::vector<std::string> paths;
    EXPECT_TRUE(driver->EnumerateDevicePaths(paths));
    EXPECT_EQ(paths.size(), 1u);
    return paths.empty() ? std::string() : paths[0];
  }

  std::atomic<std::int64_t> now{0};
  platform::InFlight inFlight;
  platform::Trace trace;
  std::vector<std::string> operatorLog;
  SimTracker tracker{inFlight};
  sim::UsbipSimulator sim{&tracker};
  UsbipServer server;
  std::unique_ptr<Driver> driver;
  std::unique_ptr<DriverUser> user;
};

TEST_F(UsbipDriverSim, DevicePathsCarryServerBusIdAndSerial) {
  struct Case {
    UsbSerial serial;
    std::string inPath;
  };
  const Case cases[] = {{UsbSerial::Unit51B, "00000000051B"},
                        {UsbSerial::Unit51D, "00000000051D"},
                        {UsbSerial::NoUnitId, "000000000520"},
                        {UsbSerial::String3LacksUnitId, "00000000051B"}};
  user.reset();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inPath);
    driver.reset();  // gives back what the last one held
    ASSERT_TRUE(sim.scanner().WaitFor([&] { return !sim.usb().Imported(); }, kPeerWait));
    sim.usb().SetSerial(c.serial);
    driver = MakeUsbipDriver(server, &inFlight, &trace);
    EXPECT_EQ(OnlyPath(), "usbip:127.0.0.1:" + std::to_string(sim.Port()) + "/1-1/" + c.inPath);
  }
}

TEST_F(UsbipDriverSim, NothingExportedOrServerGone) {
  sim.usb().SetExported(false);
  std::vector<std::string> paths{"stale"};
  EXPECT_TRUE(driver->EnumerateDevicePaths(paths));
  EXPECT_TRUE(paths.empty());
  EXPECT_EQ(sim.usb().Imports(), 0u);

  sim.Stop();
  EXPECT_FALSE(driver->EnumerateDevicePaths(paths));
  EXPECT_TRUE(paths.empty());
  EXPECT_TRUE(trace.Contains("usbip 127.0.0.1:" + std::to_string(server.port) + ": can't connect: Connection refused"))
      << ::testing::PrintToString(trace.Lines());
  ASSERT_EQ(operatorLog.size(), 1u);
  EXPECT_EQ(operatorLog[0].rfind("USB/IP server 127.0.0.1:" + std::to_string(server.port) + " not reachable: ", 0), 0u);
  EXPECT_FALSE(driver->EnumerateDevicePaths(paths));
  EXPECT_EQ(operatorLog.size(), 1u);  // said once
}

TEST_F(UsbipDriverSim, OneImportFromEnumerationToTheLastHandle) {
  const std::string path = OnlyPath();
  EXPECT_EQ(sim.usb().Imports(), 1u);
  const Opened o = OpenAll(*driver, path);
  ASSERT_NE(o.device, kInvalidHandle);
  ASSERT_NE(o.out, kInvalidHandle);
  ASSERT_NE(o.in, kInvalidHandle);
  const Handle second = driver->Open(path + PipeSuffix(0, 1));  // a pipe may be opened twice
  ASSERT_NE(second, kInvalidHandle);
  EXPECT_EQ(driver->Open(path + PipeSuffix(0, 2)), kInvalidHandle);  // two endpoints only
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(OnlyPath(), path);  // listing again reuses the import
  EXPECT_EQ(sim.usb().Imports(), 1u);

  CloseAll(*driver, o);
  EXPECT_TRUE(sim.usb().Imported());
  driver->CloseHandle(second);  // the last handle gives the device back
  ASSERT_TRUE(sim.scanner().WaitFor([&] { return !sim.usb().Imported(); }, kPeerWait));

  const Opened again = OpenAll(*driver, path);  // the path is remembered: imported anew
  ASSERT_NE(again.device, kInvalidHandle);
  EXPECT_EQ(sim.usb().Imports(), 2u);
  CloseAll(*driver, again);
  EXPECT_EQ(driver->Open("usbip:127.0.0.1:1/9-9/x"), kInvalidHandle);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(UsbipDriverSim, DeviceControlRequests) {
  const Opened o = OpenAll(*driver, OnlyPath());
  std::uint32_t value = 0, returned = 0;
  ASSERT_TRUE(driver->DeviceIoControl(o.device, IOCTL_NCBULK_GET_DRIVER_VERSION, nullptr, 0, &value, 4, &returned));
  EXPECT_EQ(value, kNcBulkDriverVersion);
  EXPECT_EQ(returned, 4u);
  value = 7;
  ASSERT_TRUE(driver->DeviceIoControl(o.device, IOCTL_NCBULK_IS_CHECKED_BUILD, nullptr, 0, &value, 4, &returned));
  EXPECT_EQ(value, 0u);
  std::uint32_t status = 0x12345678;
  ASSERT_TRUE(driver->DeviceIoControl(o.device, IOCTL_NCBULK_GET_LAST_USBD_STATUS, &status, 4, &status, 4, &returned));
  EXPECT_EQ(status, USBD_STATUS_SUCCESS);

  // The device descriptor through CONTROL_SETUP and CONTROL_DATA.
  std::uint8_t descriptor[18] = {};
  std::uint32_t moved = 0;
  ASSERT_TRUE(Control(*driver, o.device, SetupOf(0x80, 6, 0x0100, 0, 18), descriptor, &moved));
  EXPECT_EQ(moved, 18u);
  EXPECT_EQ(descriptor[1], 1);
  EXPECT_EQ(descriptor[16], 3);

  // Register write and read as TUSB sends them.
  std::uint8_t data[4] = {0, 0, 0, 0};
  ASSERT_TRUE(Control(*driver, o.device, SetupOf(0x40, 0x09, 0x0000, 0x0001, 4), data, &moved));
  EXPECT_EQ(moved, 4u);
  ASSERT_TRUE(Control(*driver, o.device, SetupOf(0xC0, 0x09, 0, 0, 4), data, &moved));
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{0x00, 0x00, 0x01, 0x00}));
  const auto log = sim.usb().RegisterAccesses();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[0].write);
  EXPECT_EQ(log[0].reg, 9);
  EXPECT_EQ(log[0].value, 0x00010000u);

  // A stall fails with the general failure and becomes the last USBD status.
  std::uint8_t none[10];
  EXPECT_FALSE(Control(*driver, o.device, SetupOf(0x80, 6, 0x0600, 0, 10), none, &moved));
  EXPECT_EQ(GetLastError(), kErrorGenFailure);
  status = 0x12345678;
  ASSERT_TRUE(driver->DeviceIoControl(o.device, IOCTL_NCBULK_GET_LAST_USBD_STATUS, &status, 4, &status, 4, &returned));
  EXPECT_EQ(status, USBD_STATUS_STALL_PID);

  // Requests that cannot be run.
  EXPECT_FALSE(driver->DeviceIoControl(o.device, 0x00229999, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), kErrorNotSupported);
  EXPECT_FALSE(driver->DeviceIoControl(o.in, IOCTL_NCBULK_GET_DRIVER_VERSION, nullptr, 0, &value, 4, nullptr));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_FALSE(driver->DeviceIoControl(o.device, IOCTL_NCBULK_GET_DRIVER_VERSION, nullptr, 0, &value, 3, nullptr));
  EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
  uip::SetupPacket big = SetupOf(0x80, 6, 0x0100, 0, 18);
  ASSERT_TRUE(driver->DeviceIoControl(o.device, IOCTL_NCBULK_CONTROL_SETUP, big.data(), 8, big.data(), 8, nullptr));
  EXPECT_FALSE(driver->DeviceIoControl(o.device, IOCTL_NCBULK_CONTROL_DATA, descriptor, 17, descriptor, 17, nullptr));
  EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
  CloseAll(*driver, o);
}

TEST_F(UsbipDriverSim, BulkTransfersCompleteOnTheStartingThreadMatchedBySequenceNumber) {
  sim.scanner().SetPartNumber("QV47-02HCAF-123456");
  const Opened o = OpenAll(*driver, OnlyPath());
  // Two reads in flight, then the connect request and a System Info request.
  std::vector<std::uint8_t> first(512, 0xEE), second(512, 0xEE);
  Completion r1, r2, w1, w2;
  ASSERT_TRUE(driver->ReadFileEx(o.in, first.data(), 512, &r1.overlapped, OnComplete));
  ASSERT_TRUE(driver->ReadFileEx(o.in, second.data(), 512, &r2.overlapped, OnComplete));
  const Bytes connect = FrameOf(kSoF, 0, 0), request = FrameOf(kSoF, 512, 0x00300000);
  ASSERT_TRUE(driver->WriteFileEx(o.out, connect.data(), 512, &w1.overlapped, OnComplete));
  user->Wait(r1);
  ASSERT_TRUE(driver->WriteFileEx(o.out, request.data(), 512, &w2.overlapped, OnComplete));
  user->Wait(r2);
  user->Wait(w2);
  EXPECT_EQ(w1.error, kErrorSuccess);
  EXPECT_EQ(w1.bytes, 512u);
  EXPECT_LT(w1.order, r1.order);  // the OUT completes before its answer
  EXPECT_EQ(r1.error, kErrorSuccess);
  EXPECT_EQ(r1.bytes, 512u);
  EXPECT_EQ(std::string(first.begin() + 100, first.begin() + 118), "QV47-02HCAF-123456");
  EXPECT_EQ(r2.bytes, 512u);
  EXPECT_EQ(second[504], 0x00);
  EXPECT_EQ(second[506], 0x30);  // the reply's command 0x00300000
  EXPECT_EQ(sim.scanner().Count(EventKind::ConnectRequest), 1u);
  EXPECT_EQ(sim.scanner().Count(EventKind::SystemInfoRequest), 1u);

  // A read on the OUT pipe, or a transfer on the device handle, is not started.
  Completion bad;
  EXPECT_FALSE(driver->ReadFileEx(o.out, first.data(), 512, &bad.overlapped, OnComplete));
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  EXPECT_FALSE(driver->WriteFileEx(o.device, first.data(), 512, &bad.overlapped, OnComplete));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  CloseAll(*driver, o);
  EXPECT_FALSE(bad.done);
}

TEST_F(UsbipDriverSim, CancelIoUnlinksAndCompletesWithAborted) {
  const Opened o = OpenAll(*driver, OnlyPath());
  std::vector<std::uint8_t> buffer(512, 0xEE), next(512, 0);
  Completion read;
  ASSERT_TRUE(driver->ReadFileEx(o.in, buffer.data(), 512, &read.overlapped, OnComplete));
  ASSERT_TRUE(driver->CancelIo(o.in));
  user->Wait(read);
  EXPECT_EQ(read.error, kErrorOperationAborted);
  EXPECT_EQ(read.bytes, 0u);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xEE; }));
  std::uint32_t status = 0;
  ASSERT_TRUE(driver->DeviceIoControl(o.device, IOCTL_NCBULK_GET_LAST_USBD_STATUS, &status, 4, &status, 4, nullptr));
  EXPECT_EQ(status, USBD_STATUS_CANCELED);

  // The device no longer holds the cancelled read: the greeting goes to the next one.
  Completion again, write;
  ASSERT_TRUE(driver->ReadFileEx(o.in, next.data(), 512, &again.overlapped, OnComplete));
  const Bytes connect = FrameOf(kSoF, 0, 0);
  ASSERT_TRUE(driver->WriteFileEx(o.out, connect.data(), 512, &write.overlapped, OnComplete));
  user->Wait(again);
  EXPECT_EQ(again.error, kErrorSuccess);
  EXPECT_EQ(again.bytes, 512u);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xEE; }));
  user->Wait(write);
  CloseAll(*driver, o);
}

TEST_F(UsbipDriverSim, ClosingAPipeLetsGoOfItsBuffers) {
  const Opened o = OpenAll(*driver, OnlyPath());
  const Handle other = driver->Open(OnlyPath() + PipeSuffix(0, 1));
  std::vector<std::uint8_t> buffer(512, 0xEE), next(512, 0);
  Completion read;
  ASSERT_TRUE(driver->ReadFileEx(o.in, buffer.data(), 512, &read.overlapped, OnComplete));
  ASSERT_TRUE(driver->CloseHandle(o.in));
  user->Wait(read);
  EXPECT_EQ(read.error, kErrorOperationAborted);
  EXPECT_EQ(read.bytes, 0u);
  // What the scanner sends now goes elsewhere, never into the closed pipe's buffer.
  Completion again, write;
  ASSERT_TRUE(driver->ReadFileEx(other, next.data(), 512, &again.overlapped, OnComplete));
  const Bytes connect = FrameOf(kSoF, 0, 0);
  ASSERT_TRUE(driver->WriteFileEx(o.out, connect.data(), 512, &write.overlapped, OnComplete));
  user->Wait(again);
  user->Wait(write);
  EXPECT_EQ(again.bytes, 512u);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xEE; }));
  driver->CloseHandle(other);
  driver->CloseHandle(o.out);
  driver->CloseHandle(o.device);
}

TEST_F(UsbipDriverSim, ARestartIsARemovalAndTheDeviceIsFoundAgainAfterIt) {
  const std::string path = OnlyPath();
  const Opened o = OpenAll(*driver, path);
  std::vector<std::uint8_t> buffer(512, 0xEE);
  Completion read;
  ASSERT_TRUE(driver->ReadFileEx(o.in, buffer.data(), 512, &read.overlapped, OnComplete));
  sim.usb().Restart();
  user->WaitUntil([&] { return read.done && user->Removed(); });
  EXPECT_EQ(read.error, kErrorDeviceNotConnected);
  EXPECT_EQ(read.bytes, 0u);
  const auto events = user->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, DeviceEventKind::Removal);
  EXPECT_EQ(events[0].second, path);
  EXPECT_TRUE(trace.Contains("usbip 127.0.0.1:" + std::to_string(server.port) +
                             " 1-1: the server closed the connection; device removed"));
  Completion late;
  EXPECT_FALSE(driver->ReadFileEx(o.in, buffer.data(), 512, &late.overlapped, OnComplete));
  EXPECT_EQ(GetLastError(), kErrorDeviceNotConnected);
  std::uint32_t status = 0;
  ASSERT_TRUE(driver->DeviceIoControl(o.device, IOCTL_NCBULK_GET_LAST_USBD_STATUS, &status, 4, &status, 4, nullptr));
  EXPECT_EQ(status, USBD_STATUS_DEV_NOT_RESPONDING);
  CloseAll(*driver, o);

  std::vector<std::string> paths;
  EXPECT_TRUE(driver->EnumerateDevicePaths(paths));
  EXPECT_TRUE(paths.empty());  // still away
  now = 1000;
  EXPECT_EQ(OnlyPath(), path);
  const Opened again = OpenAll(*driver, path);
  EXPECT_NE(again.in, kInvalidHandle);
  CloseAll(*driver, again);
}

// ---- hostile servers ----

class UsbipDriverHostile : public ::testing::Test {
 protected:
  std::unique_ptr<Driver> MakeDriver(UsbipTimeouts timeouts = {}) {
    server.Start();
    return MakeUsbipDriver({"127.0.0.1", server.Port()}, nullptr, &trace, {}, timeouts);
  }
  std::string Prefix() const { return "usbip 127.0.0.1:" + std::to_string(server.Port()) + " 1-1: "; }

  ScriptedUsbipServer server;  // before the driver: it outlives the driver's connections
  platform::Trace trace;
};

TEST_F(UsbipDriverHostile, BrokenRepliesEndInARemovalWithADiagnostic) {
  using Peer = ScriptedUsbipServer::Peer;
  auto header = [](const uip::UrbHeader& h) {
    uip::Bytes b;
    uip::PutUrbHeader(b, h);
    return b;
  };
  struct Case {
    const char* name;
    std::function<void(Peer&)> reply;
    std::string diagnostic;
  };
  const std::vector<Case> cases{
      {"short header",
       [&](Peer& p) {
         auto b = header(uip::RetSubmit(p.seqnum, 0, 0));
         b.resize(20);
         p.socket.Write(b);
         p.socket.Close();
       },
       "connection ended after 20 of 48 bytes of a reply header"},
      {"unknown command",
       [&](Peer& p) {
         auto h = uip::RetSubmit(p.seqnum, 0, 0);
         h.command = 0x17;
         p.socket.Write(header(h));
       },
       "unknown command 0x00000017 in a reply header"},
      {"unknown sequence number",
       [&](Peer& p) { p.socket.Write(header(uip::RetSubmit(p.seqnum + 100, 0, 0))); },
       "RET_SUBMIT for unknown sequence number "},
      {"length beyond the buffer",
       [&](Peer& p) {
         auto b = header(uip::RetSubmit(p.seqnum, 0, p.length + 1));
         const Bytes data = Pattern(p.length + 1);
         b.insert(b.end(), data.begin(), data.end());
         p.socket.Write(b);
       },
       "bytes, beyond the 512-byte buffer submitted"},
      {"isochronous packets",
       [&](Peer& p) {
         auto h = uip::RetSubmit(p.seqnum, 0, 0);
         h.word[3] = 4;
         p.socket.Write(header(h));
       },
       "carries 4 isochronous packets"},
      {"closed mid-reply",
       [&](Peer& p) {
         auto b = header(uip::RetSubmit(p.seqnum, 0, 512));
         const Bytes data = Pattern(100);
         b.insert(b.end(), data.begin(), data.end());
         p.socket.Write(b);
         p.socket.Close();
       },
       "connection ended after 100 of 512 data bytes of the reply to sequence number "},
      {"closed", [&](Peer& p) { p.socket.Close(); }, "the server closed the connection"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trace.Clear();
    ScriptedUsbipServer hostile;
    hostile.onRead = c.reply;
    hostile.Start();
    auto driver = MakeUsbipDriver({"127.0.0.1", hostile.Port()}, nullptr, &trace);
    DriverUser user(*driver);
    std::vector<std::string> paths;
    ASSERT_TRUE(driver->EnumerateDevicePaths(paths));
    ASSERT_EQ(paths.size(), 1u);
    const Opened o = OpenAll(*driver, paths[0]);
    // 512 bytes asked for in a larger buffer: nothing may land past the 512.
    std::vector<std::uint8_t> buffer(1024, 0xEE);
    Completion read;
    ASSERT_TRUE(driver->ReadFileEx(o.in, buffer.data(), 512, &read.overlapped, OnComplete));
    user.WaitUntil([&] { return read.done && user.Removed(); });
    EXPECT_EQ(read.error, kErrorDeviceNotConnected);
    EXPECT_EQ(read.bytes, 0u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xEE; }));
    const auto events = user.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].second, paths[0]);
    const std::string prefix = "usbip 127.0.0.1:" + std::to_string(hostile.Port()) + " 1-1: ";
    const auto lines = trace.Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.rfind(prefix, 0) == 0 && l.find(c.diagnostic) != std::string::npos &&
             l.size() >= 16 && l.compare(l.size() - 16, 16, "; device removed") == 0;
    })) << ::testing::PrintToString(lines);
    CloseAll(*driver, o);
  }
}

TEST_F(UsbipDriverHostile, BrokenDevicelistsListNothing) {
  uip::DeviceRecord three = ScriptedUsbipServer::Device();
  three.bNumInterfaces = 3;
  struct Case {
    const char* name;
    uip::Bytes reply;
    const char* diagnostic;
  };
  const Case cases[] = {
      {"more devices than carried", ScriptedUsbipServer::DevlistReply(3, {ScriptedUsbipServer::Device()}),
       "devlist claims 3 devices and carries 1"},
      {"more interfaces than carried", ScriptedUsbipServer::DevlistReply(1, {three}),
       "devlist device 1 claims 3 interfaces and carries 1"},
      {"cut in its header", uip::Bytes{0x01, 0x11, 0x00, 0x05, 0}, "devlist reply ends after 5 bytes of its header"},
      {"nothing", uip::Bytes{}, "devlist reply ends after 0 bytes of its header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trace.Clear();
    ScriptedUsbipServer hostile;
    const uip::Bytes reply = c.reply;
    hostile.onDevlist = [reply] { return reply; };
    hostile.Start();
    auto driver = MakeUsbipDriver({"127.0.0.1", hostile.Port()}, nullptr, &trace);
    std::vector<std::string> paths{"stale"};
    EXPECT_FALSE(driver->EnumerateDevicePaths(paths));
    EXPECT_TRUE(paths.empty());
    EXPECT_TRUE(trace.Contains("usbip 127.0.0.1:" + std::to_string(hostile.Port()) + ": " + c.diagnostic))
        << ::testing::PrintToString(trace.Lines());
    EXPECT_EQ(hostile.Imports(), 0);
  }
}

TEST_F(UsbipDriverHostile, OnlyVendorSpecificDevicesAreImported) {
  uip::DeviceRecord storage = ScriptedUsbipServer::Device();
  storage.interfaces = {{0x08, 6, 0x50}};
  server.onDevlist = [storage] { return ScriptedUsbipServer::DevlistReply(1, {storage}); };
  auto driver = MakeDriver();
  std::vector<std::string> paths;
  EXPECT_TRUE(driver->EnumerateDevicePaths(paths));
  EXPECT_TRUE(paths.empty());
  EXPECT_EQ(server.Imports(), 0);
}

TEST_F(UsbipDriverHostile, AControlTransferWithoutAnswerTimesOut) {
  server.ignoreControl = [](const uip::SetupPacket& s) { return s[0] == 0xC0; };
  auto driver = MakeDriver({2000, 300});
  std::vector<std::string> paths;
  ASSERT_TRUE(driver->EnumerateDevicePaths(paths));
  ASSERT_EQ(paths.size(), 1u);
  const Handle device = driver->Open(paths[0]);
  std::uint8_t data[4] = {1, 2, 3, 4};
  std::uint32_t moved = 9;
  EXPECT_FALSE(Control(*driver, device, SetupOf(0xC0, 5, 0, 0, 4), data, &moved));
  EXPECT_EQ(GetLastError(), kErrorSemTimeout);
  EXPECT_EQ(moved, 0u);
  // The device still answers what it answers.
  std::uint8_t descriptor[18];
  EXPECT_TRUE(Control(*driver, device, SetupOf(0x80, 6, 0x0100, 0, 18), descriptor, &moved));
  driver->CloseHandle(device);
}

}  // namespace
}  // namespace nimbrel::testing
