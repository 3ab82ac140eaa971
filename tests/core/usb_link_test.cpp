// The USB component over the scripted driver: discovery and hot-plug,
// properties, events, transfers and registers.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "UsbEngineHarness.h"

namespace nimbrel::testing {
namespace {

using namespace usb;

// What the component raised, from whichever thread.
struct Events {
  struct Buffer {
    int channel;
    int size;
    std::uint8_t* buffer;
    std::thread::id thread;
    std::uint64_t ticket;
  };
  std::mutex mutex;
  std::vector<Buffer> reads, sends;
  std::vector<std::pair<int, int>> readErrors, sendErrors;
  int connects = 0;
  int disconnects = 0;

  void Wire(TUSB& link) {
    link.OnReadBufferEnd = [this](int c, int s, std::uint8_t* b) {
      std::lock_guard lock(mutex);
      reads.push_back({c, s, b, std::this_thread::get_id(), EventTicket()});
    };
    link.OnSendBufferEnd = [this](int c, int s, std::uint8_t* b) {
      std::lock_guard lock(mutex);
      sends.push_back({c, s, b, std::this_thread::get_id(), EventTicket()});
    };
    link.OnReadError = [this](int c, int code) {
      std::lock_guard lock(mutex);
      readErrors.emplace_back(c, code);
    };
    link.OnSendError = [this](int c, int code) {
      std::lock_guard lock(mutex);
      sendErrors.emplace_back(c, code);
    };
    link.OnConnect = [this] { ++connects; };
    link.OnDisconnect = [this] { ++disconnects; };
  }
};

struct LinkRig : UsbRig {
  Events events;
  ScriptedDriver::Device scanner = ScriptedDriver::Scanner();
  std::uint8_t buffer[512] = {};

  LinkRig() { events.Wire(*link); }
  TNcBulkUSB& Connect() {
    driver.Attach(scanner);
    link->SetActive(true);
    return *link;
  }
  int OpenDevices() const {
    int n = 0;
    for (const auto& d : link->DeviceTable()) n += d != nullptr;
    return n;
  }
};

// ---- Discovery ----

TEST(UsbDiscovery, NoAcceptedScannerLeavesTheLinkInactive) {
  struct Case {
    const char* name;
    std::optional<ScriptedDriver::Device> device;
    bool enumerationFails;
    int deviceObjects;
    const char* trace;
  };
  auto noUnitInString = ScriptedDriver::Scanner();
  noUnitInString.strings[3] = StringBytes("000000000999");
  auto noUnitInPath = ScriptedDriver::Scanner("00000000051B", "\\\\?\\usb#vid_0525&pid_1002#000000000999");
  const Case cases[] = {
      {"nothing attached", std::nullopt, false, 0, ""},
      {"no USB on the machine", ScriptedDriver::Scanner(), true, 0, ""},
      {"no unit ID in the path", noUnitInPath, false, 0, "invalid unit type skip SetupDiEnumDeviceInterfaces"},
      {"no unit ID in string 3", noUnitInString, false, 1, "invalid unit type ignnore NC_DEVICE_EVENT_CONNECTED"},
  };
  for (const Case& c : cases) {
    LinkRig r;
    r.driver.enumerationFails = c.enumerationFails;
    if (c.device) r.driver.Attach(*c.device);
    r.link->SetActive(true);
    EXPECT_FALSE(r.link->Active()) << c.name;
    EXPECT_EQ(r.events.connects, 0) << c.name;
    EXPECT_EQ(r.link->CurrentDevice(), nullptr) << c.name;
    EXPECT_EQ(r.OpenDevices(), c.deviceObjects) << c.name;
    if (*c.trace) {
      EXPECT_TRUE(r.trace.Contains(c.trace)) << c.name;
    }
    EXPECT_FALSE(r.layer->DeviceConnected) << c.name;
  }
}

TEST(UsbDiscovery, UnitIdsMatchWhateverTheirCase) {
  LinkRig r;
  r.scanner = ScriptedDriver::Scanner("00000000051d");
  auto& link = r.Connect();
  EXPECT_TRUE(link.Active());
  EXPECT_EQ(r.events.connects, 1);
  EXPECT_TRUE(r.trace.Contains("connected:00000000051d"));
  const auto lines = r.trace.Lines();
  const auto at = std::find(lines.begin(), lines.end(), "____________");
  ASSERT_NE(at, lines.end());
  ASSERT_GE(lines.end() - at, 3);
  EXPECT_EQ(at[1], r.scanner.path);
  EXPECT_EQ(at[2], "____________\n");
  EXPECT_TRUE(link.IsUsbUnit("xx00000000051bxx"));
  EXPECT_FALSE(link.IsUsbUnit("00000000051C"));
  EXPECT_FALSE(link.IsUsbUnit(nullptr));
}

TEST(UsbDiscovery, SecondScannerFoundByEnumerationGetsADeviceObjectButNoEvent) {
  LinkRig r;
  r.driver.Attach(ScriptedDriver::Scanner("00000000051B"));
  r.driver.Attach(ScriptedDriver::Scanner("00000000051D"));
  r.link->SetActive(true);
  EXPECT_EQ(r.events.connects, 1);
  EXPECT_EQ(r.OpenDevices(), 2);
  EXPECT_EQ(r.link->DeviceTableCount(), 2u);
  EXPECT_STREQ(r.link->CurrentDevice()->strings[3], "00000000051B");
  // The close empties the table and tears both down.
  r.link->SetActive(false);
  EXPECT_EQ(r.events.disconnects, 1);
  EXPECT_EQ(r.OpenDevices(), 0);
  EXPECT_EQ(r.link->DeviceTableCount(), 0u);
  EXPECT_EQ(r.link->CurrentDevice(), nullptr);
  EXPECT_EQ(r.driver.OpenHandles(), 0);
  EXPECT_EQ(r.layer->ParkedCount(), 0u);
}

TEST(UsbDiscovery, DriverEventsWithoutANoticeWindow) {
  LinkRig r;
  EXPECT_TRUE(r.driver.HasSink());
  r.link->SetEventCaller(nullptr);
  EXPECT_FALSE(r.link->PnpNoticeRegistered());
  // An arrival connects nothing: no window was recorded.
  r.driver.Arrive(r.scanner);
  r.loop.ProcessMessages();
  EXPECT_FALSE(r.link->Active());
  EXPECT_EQ(r.OpenDevices(), 0);
  // A removal of the open scanner closes it.
  r.link->SetActive(true);
  ASSERT_TRUE(r.link->Active());
  ASSERT_TRUE(r.link->ReadBuffer(2, 512, r.buffer));
  r.loop.ProcessMessages();
  r.driver.Remove(r.scanner.path);
  r.loop.ProcessMessages();
  EXPECT_FALSE(r.link->Active());
  EXPECT_EQ(r.events.disconnects, 1);
  EXPECT_EQ(r.OpenDevices(), 0);
  EXPECT_EQ(r.driver.OpenHandles(), 0);
  EXPECT_TRUE(r.events.reads.empty());
  EXPECT_TRUE(r.events.readErrors.empty());
}

TEST(UsbDiscovery, WithANoticeWindowArrivalsConnectAndASecondScannerIsIgnored) {
  LinkRig r;
  int window = 0;
  r.link->SetEventCaller(&window);
  EXPECT_TRUE(r.link->PnpNoticeRegistered());
  r.driver.Arrive(r.scanner);
  r.loop.ProcessMessages();
  EXPECT_TRUE(r.link->Active());
  EXPECT_EQ(r.events.connects, 1);
  r.driver.Arrive(ScriptedDriver::Scanner("00000000051D"));
  r.loop.ProcessMessages();
  EXPECT_EQ(r.OpenDevices(), 1);
  EXPECT_EQ(r.events.connects, 1);
  // SetEventCaller without a window keeps the window recorded earlier.
  r.link->SetEventCaller(nullptr);
  EXPECT_TRUE(r.link->PnpNoticeRegistered());
}

TEST(UsbDiscovery, DeviceChangeMessages) {
  LinkRig r;
  auto record = MakeDeviceInterfaceBroadcast(r.scanner.path);
  auto volume = record;
  volume[4] = 2;
  struct Case {
    const char* name;
    std::uint32_t message;
    std::uintptr_t wParam;
    const void* lParam;
    int result;
  } cases[] = {
      {"another message", 0x0010, DBT_DEVICEARRIVAL, record.data(), 0},
      {"no record", WM_DEVICECHANGE, DBT_DEVICEARRIVAL, nullptr, 0},
      {"a volume", WM_DEVICECHANGE, DBT_DEVICEARRIVAL, volume.data(), 0},
      {"another change", WM_DEVICECHANGE, 0x8001, record.data(), 0},
      {"removal while none is connected", WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, record.data(), 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(r.link->EventCall(c.message, c.wParam, c.lParam), c.result) << c.name;
    EXPECT_FALSE(r.link->Active()) << c.name;
    EXPECT_EQ(r.OpenDevices(), 0) << c.name;
  }
  // An arrival through the window's message connects the scanner.
  r.driver.Attach(r.scanner);
  EXPECT_EQ(r.link->EventCall(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, record.data()), 1);
  EXPECT_TRUE(r.link->Active());
  // A record whose size ends the name early names no device of the table.
  auto cut = MakeDeviceInterfaceBroadcast(r.scanner.path);
  cut[0] = static_cast<std::uint8_t>(kBroadcastNameOffset + 8);
  cut[1] = 0;
  EXPECT_EQ(r.link->EventCall(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, cut.data()), 1);
  EXPECT_TRUE(r.link->Active());
  EXPECT_EQ(r.link->EventCall(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, record.data()), 1);
  EXPECT_FALSE(r.link->Active());
  EXPECT_EQ(r.events.disconnects, 1);
}

TEST(UsbDiscovery, RemovalOfAScannerThatNeverBecameCurrentKeepsTheSession) {
  LinkRig r;
  const auto second = ScriptedDriver::Scanner("00000000051D");
  r.driver.Attach(r.scanner);
  r.driver.Attach(second);
  r.link->SetActive(true);
  ASSERT_EQ(r.OpenDevices(), 2);
  r.driver.Remove(second.path);
  r.loop.ProcessMessages();
  EXPECT_TRUE(r.link->Active());
  EXPECT_EQ(r.events.disconnects, 0);
  EXPECT_EQ(r.OpenDevices(), 1);
  EXPECT_STREQ(r.link->CurrentDevice()->strings[3], "00000000051B");
}

TEST(UsbDiscovery, AFullDeviceTableRefusesTheArrival) {
  LinkRig r;
  // 128 devices accepted by their paths but not by their string 3.
  for (int i = 0; i < 128; ++i) {
    auto d = ScriptedDriver::Scanner("00000000051B", "\\\\?\\usb#" + std::to_string(i) + "#00000000051B");
    d.strings[3] = StringBytes("nobody");
    r.driver.Attach(d);
  }
  r.link->SetActive(true);
  ASSERT_EQ(r.OpenDevices(), 128);
  EXPECT_EQ(r.link->FindEmptyDeviceObjectIndex(), -1);
  r.driver.Attach(r.scanner);
  const auto record = MakeDeviceInterfaceBroadcast(r.scanner.path);
  EXPECT_EQ(r.link->EventCall(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, record.data()), 1);
  EXPECT_FALSE(r.link->Active());
  EXPECT_EQ(r.OpenDevices(), 128);
  EXPECT_TRUE(r.trace.Contains("device table full, not opened: " + r.scanner.path));
}

// ---- The component ----

TEST(UsbLink, InactiveLinkQueuesNothing) {
  LinkRig r;
  EXPECT_FALSE(r.link->ReadBuffer(2, 512, r.buffer));
  EXPECT_FALSE(r.link->SendBuffer(1, 512, r.buffer));
  EXPECT_EQ(r.link->GetRegister(5), 0xFFFFFFFFu);
  r.link->SetRegister(5, 1);
  r.loop.ProcessMessages();
  EXPECT_TRUE(r.driver.Started().empty());
  EXPECT_TRUE(r.driver.ControlRequests().empty());
  EXPECT_EQ(r.loop.NowMs(), 0);  // no pause either
  EXPECT_EQ(r.link->GetDescripterString(3), nullptr);
}

TEST(UsbLink, ActivationIsIdempotent) {
  LinkRig r;
  r.Connect();
  r.link->SetActive(true);
  EXPECT_EQ(r.events.connects, 1);
  EXPECT_EQ(r.OpenDevices(), 1);
  r.link->SetActive(false);
  r.link->SetActive(false);
  EXPECT_EQ(r.events.disconnects, 1);
}

TEST(UsbLink, ReadsAndSendsOnTheirChannels) {
  LinkRig r;
  auto& link = r.Connect();
  ASSERT_TRUE(link.ReadBuffer(2, 512, r.buffer));
  std::uint8_t frame[512];
  std::memset(frame, 0x11, sizeof frame);
  const std::int64_t before = r.loop.NowMs();
  ASSERT_TRUE(link.SendBuffer(1, 512, frame));
  EXPECT_EQ(r.loop.NowMs() - before, 100);
  r.loop.ProcessMessages();

  const auto started = r.driver.Started();
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[0].pipe, 1u);
  EXPECT_TRUE(started[0].in);
  EXPECT_EQ(started[0].buffer, r.buffer);
  EXPECT_EQ(started[0].length, 512u);
  EXPECT_EQ(started[1].pipe, 0u);
  EXPECT_FALSE(started[1].in);
  EXPECT_EQ(r.driver.Writes()[0].bytes, Bytes8(frame, frame + 512));
  EXPECT_EQ(started[0].thread, link.CurrentDevice()->BulkThread.get_id());

  // A short read still reports the length asked for.
  ASSERT_TRUE(r.driver.Complete(1, kErrorSuccess, 100, Bytes8(100, 0x22)));
  r.loop.ProcessMessages();
  ASSERT_EQ(r.events.reads.size(), 1u);
  EXPECT_EQ(r.events.reads[0].channel, 2);
  EXPECT_EQ(r.events.reads[0].size, 512);
  EXPECT_EQ(r.events.reads[0].buffer, r.buffer);
  EXPECT_EQ(r.events.reads[0].thread, link.CurrentDevice()->BulkThread.get_id());
  EXPECT_EQ(r.buffer[99], 0x22);
  EXPECT_EQ(r.buffer[100], 0);
  ASSERT_EQ(r.events.sends.size(), 1u);
  EXPECT_EQ(r.events.sends[0].channel, 1);
  EXPECT_EQ(r.events.sends[0].size, 512);
  EXPECT_EQ(r.events.sends[0].buffer, frame);
  EXPECT_NE(r.events.reads[0].ticket, 0u);
  EXPECT_TRUE(link.EventCurrent(r.events.reads[0].ticket));
}

TEST(UsbLink, SendProcessesPendingMessagesBeforeItsPause) {
  LinkRig r;
  auto& link = r.Connect();
  std::int64_t ranAt = -1;
  r.loop.Post([&] { ranAt = r.loop.NowMs(); });
  const std::int64_t before = r.loop.NowMs();
  link.SendBuffer(1, 512, r.buffer);
  EXPECT_EQ(ranAt, before);
}

TEST(UsbLink, FailedTransfersRaiseTheErrorEvents) {
  LinkRig r;
  r.driver.completeWrites = false;
  auto& link = r.Connect();
  link.ReadBuffer(2, 512, r.buffer);
  link.SendBuffer(1, 512, r.buffer);
  ASSERT_TRUE(r.driver.Complete(1, kErrorIoDevice, 0));
  ASSERT_TRUE(r.driver.Complete(0, kErrorSemTimeout, 0));
  r.loop.ProcessMessages();
  EXPECT_EQ(r.events.readErrors, (std::vector<std::pair<int, int>>{{2, -1}}));
  EXPECT_EQ(r.events.sendErrors, (std::vector<std::pair<int, int>>{{1, -1}}));
  EXPECT_TRUE(r.events.reads.empty());
  EXPECT_TRUE(r.events.sends.empty());
}

TEST(UsbLink, ChannelsWithoutAPipe) {
  {
    // The second pipe failed to open: no endpoint has a pipe.
    LinkRig r;
    r.scanner.failingPipeOpens.insert({1, 1});
    auto& link = r.Connect();
    ASSERT_TRUE(link.Active());
    EXPECT_EQ(link.CurrentDevice()->endpointCount, 0u);
    EXPECT_TRUE(link.ReadBuffer(2, 512, r.buffer));
    r.loop.ProcessMessages();
    EXPECT_EQ(r.events.readErrors, (std::vector<std::pair<int, int>>{{2, -1}}));
    EXPECT_TRUE(r.driver.Started().empty());
  }
  {
    LinkRig r;
    auto& link = r.Connect();
    EXPECT_FALSE(link.ReadBuffer(0, 512, r.buffer));
    EXPECT_FALSE(link.ReadBuffer(31, 512, r.buffer));
    EXPECT_FALSE(link.SendBuffer(-1, 512, r.buffer));
    EXPECT_TRUE(link.ReadBuffer(30, 512, r.buffer));
    r.loop.ProcessMessages();
    EXPECT_EQ(r.events.readErrors, (std::vector<std::pair<int, int>>{{30, -1}}));
  }
}

TEST(UsbLink, EventPropertyGatesOnlyTheBufferEvents) {
  LinkRig r;
  r.link->Event = false;
  auto& link = r.Connect();
  EXPECT_EQ(r.events.connects, 1);
  link.ReadBuffer(2, 512, r.buffer);
  link.SendBuffer(1, 512, r.buffer);
  ASSERT_TRUE(r.driver.Complete(1, kErrorSuccess, 512));
  r.loop.ProcessMessages();
  EXPECT_TRUE(r.events.reads.empty());
  EXPECT_TRUE(r.events.sends.empty());
  link.SetActive(false);
  EXPECT_EQ(r.events.disconnects, 1);
}

TEST(UsbLink, ReadPendingAtTheCloseRaisesNothing) {
  LinkRig r;
  auto& link = r.Connect();
  link.ReadBuffer(2, 512, r.buffer);
  r.loop.ProcessMessages();
  ASSERT_EQ(r.driver.Pending().size(), 1u);
  // OnDisconnect comes before any transfer is cancelled.
  int cancelsAtDisconnect = -1;
  link.OnDisconnect = [&] { cancelsAtDisconnect = r.driver.Cancels(); };
  link.SetActive(false);
  EXPECT_EQ(cancelsAtDisconnect, 0);
  EXPECT_GT(r.driver.Cancels(), 0);
  r.loop.ProcessMessages();
  EXPECT_TRUE(r.driver.Pending().empty());
  EXPECT_FALSE(r.driver.Complete(1, kErrorSuccess, 512));
  EXPECT_TRUE(r.events.reads.empty());
  EXPECT_TRUE(r.events.readErrors.empty());
  EXPECT_EQ(r.loop.inFlight().Count(), 0);
}

TEST(UsbLink, ReadCompletingAfterDeactivationRaisesNothing) {
  LinkRig r;
  r.driver.completeWrites = false;
  auto& link = r.Connect();
  // The bulk thread is held inside a send completion while the scanner's
  // answer to the read arrives behind it, and the link closes meanwhile.
  std::mutex m;
  std::condition_variable cv;
  bool entered = false;
  bool release = false;
  link.OnSendBufferEnd = [&](int, int, std::uint8_t*) {
    std::unique_lock lock(m);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  };
  link.ReadBuffer(2, 512, r.buffer);
  link.SendBuffer(1, 512, r.buffer);
  ASSERT_TRUE(r.driver.Complete(0, kErrorSuccess, 512));
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
  }
  ASSERT_TRUE(r.driver.Complete(1, kErrorSuccess, 512, Bytes8(512, 7)));
  link.SetActive(false);
  EXPECT_EQ(r.layer->ParkedCount(), 1u);  // not waited for: it is inside a handler
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  r.layer->JoinParked();
  EXPECT_TRUE(r.events.reads.empty());
  EXPECT_TRUE(r.events.readErrors.empty());
  EXPECT_EQ(r.loop.inFlight().Count(), 0);
}

TEST(UsbLink, Registers) {
  LinkRig r;
  auto& link = r.Connect();
  r.driver.SetRegisterValue(0x21, 0xCAFEF00D);
  EXPECT_EQ(link.GetRegister(0x121), 0xCAFEF00Du);  // the low 8 bits name the register
  link.SetRegister(0x09, 0x12345678);
  r.loop.ProcessMessages();
  const auto controls = r.driver.ControlRequests();
  ASSERT_GE(controls.size(), 2u);
  const auto& read = controls[controls.size() - 2];
  const auto& write = controls.back();
  EXPECT_EQ(read.setup, (std::array<std::uint8_t, 8>{0xC0, 0x21, 0, 0, 0, 0, 4, 0}));
  EXPECT_EQ(read.thread, std::this_thread::get_id());
  EXPECT_EQ(write.setup, (std::array<std::uint8_t, 8>{0x40, 0x09, 0x78, 0x56, 0x34, 0x12, 4, 0}));
  EXPECT_EQ(write.thread, link.CurrentDevice()->ControlThread.get_id());
  // The data stage carries the buffer as it stands: the last value read.
  EXPECT_EQ(write.data, (Bytes8{0x0D, 0xF0, 0xFE, 0xCA}));
  EXPECT_EQ(r.driver.Register(0x09), 0x12345678u);

  // A failed read returns what the buffer held.
  r.driver.SetFailure(r.scanner.path, "vendor-in", kErrorGenFailure);
  EXPECT_EQ(link.GetRegister(0x21), 0xCAFEF00Du);
}

TEST(UsbLink, ResetWithPowerSave) {
  LinkRig r;
  auto& link = r.Connect();
  link.ResetUSB_PowerSave();
  r.loop.ProcessMessages();
  EXPECT_EQ(r.driver.Resets(), 1);
  EXPECT_EQ(r.driver.Register(0), 0x58u);
  r.driver.SetFailure(r.scanner.path, "reset", kErrorGenFailure);
  link.ResetUSB_PowerSave();
  EXPECT_TRUE(r.trace.Contains("DeviceIoControl(): IOCTL_NCBULK_RESET_DEVICE fail"));
}

TEST(UsbLink, DescriptorStrings) {
  LinkRig r;
  auto& link = r.Connect();
  EXPECT_STREQ(link.GetDescripterString(3), "00000000051B");
  EXPECT_STREQ(link.GetDescripterString(1), "Tavix");
  EXPECT_EQ(link.GetDescripterString(0), nullptr);
  EXPECT_EQ(link.GetDescripterString(10), nullptr);
  EXPECT_EQ(link.GetDescripterString(-1), nullptr);
}

TEST(UsbLink, TicketsGoStaleWhenTheLinkClosesOrReopens) {
  LinkRig r;
  auto& link = r.Connect();
  link.ReadBuffer(2, 512, r.buffer);
  r.loop.ProcessMessages();
  ASSERT_TRUE(r.driver.Complete(1, kErrorSuccess, 512));
  r.loop.ProcessMessages();
  ASSERT_EQ(r.events.reads.size(), 1u);
  const std::uint64_t ticket = r.events.reads[0].ticket;
  EXPECT_TRUE(link.EventCurrent(ticket));
  EXPECT_EQ(EventTicket(), 0u);  // outside an event
  link.SetActive(false);
  EXPECT_FALSE(link.EventCurrent(ticket));
  link.SetActive(true);
  ASSERT_TRUE(link.Active());
  EXPECT_FALSE(link.EventCurrent(ticket));
}

TEST(UsbLink, DestroyingAnActiveLinkClosesWithoutOnDisconnect) {
  LinkRig r;
  r.Connect();
  r.link->ReadBuffer(2, 512, r.buffer);
  r.loop.ProcessMessages();
  r.link.reset();
  EXPECT_EQ(r.events.disconnects, 0);
  EXPECT_EQ(r.driver.OpenHandles(), 0);
  EXPECT_FALSE(r.layer->DeviceConnected);
  EXPECT_FALSE(r.driver.HasSink());
  EXPECT_EQ(r.loop.inFlight().Count(), 0);
}

TEST(UsbLink, DestroyingTheLinkTearsDownScannersThatWereRefused) {
  LinkRig r;
  auto refused = ScriptedDriver::Scanner("00000000051D");
  refused.strings[3] = StringBytes("other");
  r.driver.Attach(refused);
  r.link->SetActive(true);
  EXPECT_FALSE(r.link->Active());
  EXPECT_GT(r.driver.OpenHandles(), 0);
  r.link.reset();
  EXPECT_EQ(r.driver.OpenHandles(), 0);
}

}  // namespace
}  // namespace nimbrel::testing
