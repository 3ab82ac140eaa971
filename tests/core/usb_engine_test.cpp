// The transfer engine: device objects, endpoint objects, queues, worker
// threads and teardown.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "UsbEngineHarness.h"

namespace nimbrel::testing {
namespace {

using namespace usb;

char* NcText(UsbLayer& layer, const std::string& text) {
  char* copy = static_cast<char*>(NcMalloc(layer, text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// A device object built by the engine, its threads not yet started.
struct EngineRig {
  platform::InFlight inFlight;
  ScriptedDriver driver{&inFlight};
  UsbLayer layer{driver};
  ScriptedDriver::Device scanner = ScriptedDriver::Scanner();
  DevicePtr device;

  ~EngineRig() {
    if (device) System_DestroyDevice(device.get());
    layer.JoinParked();
  }
  DevicePtr Build() {
    driver.Attach(scanner);
    char* path = NcText(layer, scanner.path);
    device = System_CreateDevice(layer, path);
    if (!device) NcFree(path);  // still ours when the build failed
    return device;
  }
  void Connect() {
    layer.DeviceConnected = true;
    StartDeviceThreads(device);
  }
  bool WaitIdle() {
    return inFlight.WaitIdleOr([] { return false; }, std::chrono::seconds(10));
  }
};

TEST(UsbEngine, ChannelsFollowTheEndpointDescriptors) {
  EngineRig r;
  const DevicePtr device = r.Build();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->endpointCount, 2u);
  EXPECT_EQ(device->endpoints[0].channel, 1u);
  EXPECT_FALSE(device->endpoints[0].in);
  EXPECT_EQ(device->endpoints[1].channel, 2u);
  EXPECT_TRUE(device->endpoints[1].in);
  // Channel n is pipe n - 1; each pipe is opened twice.
  const std::string pipe0 = r.scanner.path + "\\INTERFACE_0x00\\PIPE_0x00";
  const std::string pipe1 = r.scanner.path + "\\INTERFACE_0x00\\PIPE_0x01";
  EXPECT_EQ(r.driver.Opened(), (std::vector<std::string>{r.scanner.path, pipe0, pipe0, pipe1, pipe1}));
  EXPECT_NE(device->endpoints[0].queuedHandle, device->endpoints[0].blockingHandle);
  EXPECT_EQ(device->controlEndpoint.queuedHandle, device->deviceHandle);
  EXPECT_EQ(device->state, kDeviceOpen);
  EXPECT_EQ(device->usable, kDeviceOpen);
  EXPECT_STREQ(device->strings[3], "00000000051B");
  EXPECT_STREQ(device->devicePath, r.scanner.path.c_str());
}

TEST(UsbEngine, EndpointDescriptorsBeyondThirtyAreIgnored) {
  EngineRig r;
  std::vector<Bytes8> descriptors{InterfaceBytes(31)};
  for (int i = 0; i < 31; ++i) descriptors.push_back(EndpointBytes(static_cast<std::uint8_t>(0x81 + i % 15)));
  r.scanner.configuration = ConfigurationBytes(descriptors);
  const DevicePtr device = r.Build();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->endpointCount, 30u);
  EXPECT_EQ(r.driver.Opened().back(), r.scanner.path + "\\INTERFACE_0x00\\PIPE_0x1d");
}

TEST(UsbEngine, PipeThatFailsToOpenLeavesNoEndpoints) {
  const std::pair<unsigned, int> failing[] = {{1, 1}, {1, 2}, {0, 2}};
  for (const auto& [pipe, nth] : failing) {
    EngineRig r;
    r.scanner.failingPipeOpens.insert({pipe, nth});
    const DevicePtr device = r.Build();
    ASSERT_NE(device, nullptr) << pipe << "/" << nth;
    EXPECT_EQ(device->endpointCount, 0u);
    EXPECT_EQ(r.layer.DiagnosticText(),
              "Error, pipe creation failure: " + r.scanner.path + "\\INTERFACE_0x00\\PIPE_0x0" + std::to_string(pipe));
    // Only the device handle stays open.
    EXPECT_EQ(r.driver.OpenHandles(), 1) << pipe << "/" << nth;
  }
}

TEST(UsbEngine, BuildFailuresGiveNoDeviceObject) {
  struct Case {
    const char* failing;
    const char* diagnostic;
  } cases[] = {
      {"device", "System_CreateDevice(): Ping() error!\n"},
      {"config-header", "System_CreateDevice(): GetConfiguration() failed\n"},
      {"string1", "System_CreateDevice(): GetStringDescriptors() failed\n"},
  };
  for (const Case& c : cases) {
    EngineRig r;
    r.scanner.failures[c.failing] = kErrorGenFailure;
    EXPECT_EQ(r.Build(), nullptr) << c.failing;
    EXPECT_EQ(r.layer.DiagnosticText(), c.diagnostic);
    EXPECT_EQ(r.driver.OpenHandles(), 0) << c.failing;  // the device handle is closed again
  }
  EngineRig r;
  r.scanner.configuration = ConfigurationBytes({InterfaceBytes(1)});
  EXPECT_EQ(r.Build(), nullptr);
  EXPECT_EQ(r.layer.DiagnosticText(), "System_CreateDevice(): ParseConfiguration() failed\n");
  EngineRig gone;
  gone.scanner.failOpen = true;
  EXPECT_EQ(gone.Build(), nullptr);
  EXPECT_EQ(gone.layer.DiagnosticText(), "System_CreateDevice(): CreateFile() failed WIN32 Status 00000005: Access is denied.");
}

TEST(UsbEngine, TransfersQueuedBeforeTheBulkThreadRunsStartInQueueOrderOnOneWake) {
  EngineRig r;
  std::vector<Bytes8> descriptors{InterfaceBytes(3), EndpointBytes(0x01), EndpointBytes(0x82), EndpointBytes(0x03)};
  r.scanner.configuration = ConfigurationBytes(descriptors);
  r.driver.completeWrites = false;
  const DevicePtr device = r.Build();
  ASSERT_NE(device, nullptr);
  std::uint8_t buffers[3][16] = {};
  for (int channel : {3, 1, 2}) {
    NC_ENDPOINT_OBJECT& ep = device->endpoints[channel - 1];
    ep.Request.buffer = buffers[channel - 1];
    ep.Request.length = 16;
    NcH_EpTransfer(&ep);
    EXPECT_EQ(ep.status, 1);
  }
  EXPECT_EQ(r.inFlight.Count(), 3);  // queued, none started
  r.Connect();
  ASSERT_TRUE(r.WaitIdle());
  const auto started = r.driver.Started();
  ASSERT_EQ(started.size(), 3u);
  EXPECT_EQ(started[0].pipe, 2u);
  EXPECT_EQ(started[1].pipe, 0u);
  EXPECT_EQ(started[2].pipe, 1u);
  EXPECT_EQ(started[0].thread, device->BulkThread.get_id());
  EXPECT_EQ(started[1].thread, started[0].thread);
  EXPECT_EQ(started[2].thread, started[0].thread);
  EXPECT_TRUE(started[1].in == false && started[2].in == true);
}

struct Recorder {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::pair<std::uint32_t, int>> calls;  // channel, status
  std::thread::id thread;

  std::function<int(NC_ENDPOINT_OBJECT*)> Handler() {
    return [this](NC_ENDPOINT_OBJECT* ep) {
      std::lock_guard lock(mutex);
      calls.emplace_back(ep->channel, ep->status.load());
      thread = std::this_thread::get_id();
      cv.notify_all();
      return 0;
    };
  }
  std::size_t Count() {
    std::lock_guard lock(mutex);
    return calls.size();
  }
};

TEST(UsbEngine, EachDeviceWakesOnlyItsOwnThreads) {
  EngineRig r;
  const DevicePtr first = r.Build();
  auto second = ScriptedDriver::Scanner("00000000051D");
  r.driver.Attach(second);
  const DevicePtr other = System_CreateDevice(r.layer, NcText(r.layer, second.path));
  ASSERT_NE(other, nullptr);
  r.Connect();
  StartDeviceThreads(other);
  std::uint8_t buffer[2][512];
  for (int round = 0; round < 20; ++round) {
    for (int d = 0; d < 2; ++d) {
      NC_ENDPOINT_OBJECT& ep = (d == 0 ? first : other)->endpoints[0];
      ep.Request = {buffer[d], 512, DoNothing};
      NcH_EpTransfer(&ep);
    }
    ASSERT_TRUE(r.WaitIdle()) << round;
  }
  const auto started = r.driver.Started();
  ASSERT_EQ(started.size(), 40u);
  for (const auto& t : started) {
    EXPECT_EQ(t.thread, (t.device == r.scanner.path ? first : other)->BulkThread.get_id());
  }
  System_DestroyDevice(other.get());
}

TEST(UsbEngine, CompletionsRunTheirHandlerOnTheBulkThread) {
  struct Case {
    std::uint32_t error;
    std::uint32_t bytes;
    int status;
  } cases[] = {{kErrorSuccess, 100, 0}, {kErrorIoDevice, 0, -1}};
  for (const Case& c : cases) {
    EngineRig r;
    const DevicePtr device = r.Build();
    r.Connect();
    Recorder rec;
    std::uint8_t buffer[512];
    NC_ENDPOINT_OBJECT& ep = device->endpoints[1];
    ep.Request = {buffer, 512, rec.Handler()};
    NcH_EpTransfer(&ep);
    ASSERT_TRUE(r.WaitIdle());
    ASSERT_TRUE(r.driver.Complete(1, c.error, c.bytes, Bytes8(512, 0x5A)));
    ASSERT_TRUE(r.WaitIdle());
    ASSERT_EQ(rec.Count(), 1u);
    EXPECT_EQ(rec.calls[0], std::make_pair(2u, c.status));
    EXPECT_EQ(ep.byteCount, c.bytes);
    EXPECT_EQ(rec.thread, device->BulkThread.get_id());
  }
}

TEST(UsbEngine, TransferThatCannotStartFailsThroughItsHandler) {
  EngineRig r;
  const DevicePtr device = r.Build();
  r.Connect();
  Recorder rec;
  std::uint8_t buffer[512];
  // Channel 5 has no pipe: beyond the endpoint count.
  NC_ENDPOINT_OBJECT& ep = device->endpoints[4];
  ep.Request = {buffer, 512, rec.Handler()};
  NcH_EpTransfer(&ep);
  ASSERT_TRUE(r.WaitIdle());
  ASSERT_EQ(rec.Count(), 1u);
  EXPECT_EQ(rec.calls[0], std::make_pair(5u, -1));
  EXPECT_EQ(rec.thread, device->BulkThread.get_id());
  EXPECT_EQ(r.layer.DiagnosticText(), "NcH_EpTransfer():  WIN32 Status 00000006: The handle is invalid.");
  EXPECT_TRUE(r.driver.Started().empty());
}

TEST(UsbEngine, QueuedControlTransfersCallTheirHandlerUnlessTheDeviceIsGoneOrFailing) {
  struct Case {
    std::uint32_t error;  // 0: the transfer succeeds
    bool handlerCalled;
    int status;
  } cases[] = {
      {kErrorSuccess, true, 0},
      {kErrorGenFailure, false, -1},
      {kErrorDeviceNotConnected, false, -1},
      {kErrorInvalidParameter, true, -1},
      {kErrorSemTimeout, true, -1},
  };
  for (const Case& c : cases) {
    EngineRig r;
    if (c.error != kErrorSuccess) r.scanner.failures["vendor-out"] = c.error;
    const DevicePtr device = r.Build();
    r.Connect();
    Recorder rec;
    std::uint8_t data[4] = {1, 2, 3, 4};
    NC_ENDPOINT_OBJECT& ep = device->controlEndpoint;
    ep.Request = {data, 4, rec.Handler()};
    const std::uint8_t setup[8] = {0x40, 9, 0x34, 0x12, 0, 0, 4, 0};
    std::memcpy(device->setupPacket, setup, 8);
    NcH_EpTransfer(&ep);
    ASSERT_TRUE(r.WaitIdle()) << c.error;
    EXPECT_EQ(rec.Count(), c.handlerCalled ? 1u : 0u) << c.error;
    EXPECT_EQ(ep.status, c.status) << c.error;
    if (c.handlerCalled) {
      EXPECT_EQ(rec.thread, device->ControlThread.get_id());
    }
    const auto controls = r.driver.ControlRequests();
    ASSERT_FALSE(controls.empty());
    EXPECT_EQ(controls.back().thread, device->ControlThread.get_id());
  }
}

TEST(UsbEngine, QueuedControlTransferKeepsItsOwnSetupPacket) {
  EngineRig r;
  const DevicePtr device = r.Build();
  std::uint8_t data[4] = {};
  NC_ENDPOINT_OBJECT& ep = device->controlEndpoint;
  ep.Request = {data, 4, DoNothing};
  for (std::uint8_t reg : {7, 8}) {
    const std::uint8_t setup[8] = {0x40, reg, reg, 0, 0, 0, 4, 0};
    std::memcpy(device->setupPacket, setup, 8);
    NcH_EpTransfer(&ep);
  }
  r.Connect();
  ASSERT_TRUE(r.WaitIdle());
  EXPECT_EQ(r.driver.Register(7), 7u);
  EXPECT_EQ(r.driver.Register(8), 8u);
}

TEST(UsbEngine, BlockingControlTransferNeedsAConnectedDevice) {
  for (bool connected : {true, false}) {
    EngineRig r;
    const DevicePtr device = r.Build();
    r.driver.SetRegisterValue(3, 0x11223344);
    std::uint8_t data[4] = {};
    NC_ENDPOINT_OBJECT& ep = device->controlEndpoint;
    ep.Request = {data, 4, DoNothing};
    const std::uint8_t setup[8] = {0xC0, 3, 0, 0, 0, 0, 4, 0};
    std::memcpy(device->setupPacket, setup, 8);
    r.layer.DeviceConnected = connected;
    EXPECT_EQ(NcH_EpTransferAndBlock(&ep), connected ? 0 : -1);
    // The transfer itself went through either way.
    EXPECT_EQ(data[0], 0x44);
    EXPECT_EQ(ep.status, connected ? 0 : 1);
  }
}

TEST(UsbEngine, TeardownCancelsClosesAndCompletesPendingTransfersWithError) {
  EngineRig r;
  const DevicePtr device = r.Build();
  r.Connect();
  Recorder rec;
  std::uint8_t buffer[512];
  NC_ENDPOINT_OBJECT& ep = device->endpoints[1];
  ep.Request = {buffer, 512, rec.Handler()};
  NcH_EpTransfer(&ep);
  ASSERT_TRUE(r.WaitIdle());
  ASSERT_EQ(r.driver.Pending().size(), 1u);

  MarkClosing(device.get());
  System_CancelAllTransfers(device.get());
  System_CloseAllEndpointHandles(device.get());
  EXPECT_EQ(r.driver.OpenHandles(), 0);
  EXPECT_TRUE(r.driver.Pending().empty());
  // The completion of the cancelled read runs no handler: the state is closing.
  EXPECT_EQ(rec.Count(), 0u);
  CompleteAllTransferWithError(device.get());
  ASSERT_EQ(rec.Count(), 1u);  // on this thread, as teardown does
  EXPECT_EQ(rec.calls[0], std::make_pair(2u, -1));
  EXPECT_EQ(rec.thread, std::this_thread::get_id());
  System_DestroyDevice(device.get());
  EXPECT_FALSE(device->BulkThread.joinable());
  EXPECT_FALSE(device->ControlThread.joinable());
  EXPECT_EQ(device->configuration, nullptr);
  EXPECT_EQ(device->devicePath, nullptr);
  EXPECT_TRUE(r.WaitIdle());
}

TEST(UsbEngine, QueuesNotWorkedOffAtTeardownReleaseTheirWork) {
  EngineRig r;
  const DevicePtr device = r.Build();
  std::uint8_t buffer[512];
  device->endpoints[0].Request = {buffer, 512, DoNothing};
  device->endpoints[1].Request = {buffer, 512, DoNothing};
  device->controlEndpoint.Request = {buffer, 4, DoNothing};
  NcH_EpTransfer(&device->endpoints[0]);
  NcH_EpTransfer(&device->endpoints[1]);
  NcH_EpTransfer(&device->controlEndpoint);
  EXPECT_EQ(r.inFlight.Count(), 3);
  // Threads that end at once: no device connected.
  StartDeviceThreads(device);
  System_DestroyDevice(device.get());
  EXPECT_EQ(r.inFlight.Count(), 0);
  EXPECT_TRUE(r.driver.Started().empty());
}

TEST(UsbEngine, CleanUpDestroysEveryDeviceOfTheTable) {
  EngineRig r;
  DeviceTableSlots table;
  std::uint32_t count = 2;
  table[3] = r.Build();
  r.device.reset();
  r.layer.DeviceConnected = true;
  StartDeviceThreads(table[3]);
  const DevicePtr held = table[3];
  NcH_CleanUp(r.layer, table, count);
  EXPECT_FALSE(r.layer.DeviceConnected);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(table[3], nullptr);
  EXPECT_EQ(r.driver.OpenHandles(), 0);
  EXPECT_FALSE(held->BulkThread.joinable());
  EXPECT_EQ(held->state, kDeviceClosing);
}

}  // namespace
}  // namespace nimbrel::testing
