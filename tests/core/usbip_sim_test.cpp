// The simulator as a USB device on a USB/IP server, answered by a raw client
// that uses the updater's wire code (no driver, no engine): list, import,
// descriptors, register requests, bulk traffic to the device core, unlink,
// error statuses and restarts, with the client's share of the accounting.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "UsbipSupport.h"
#include "nimbrel_sim/Usbip.h"

namespace nimbrel::testing {
namespace {

using sim::EventKind;
using sim::UsbSerial;

constexpr std::uint32_t kSoF = 0x00466F53;

Bytes Frame(std::uint32_t magic, std::int32_t value, std::int32_t command, std::int32_t length) {
  Bytes f(512, 0);
  auto put = [&f](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
  };
  put(0, magic);
  put(8, std::uint32_t(value));
  put(504, std::uint32_t(command));
  put(508, std::uint32_t(length));
  return f;
}

std::string Utf16Text(const Bytes& d) {
  std::string s;
  for (std::size_t i = 2; i + 1 < d.size() && i < d[0]; i += 2) s.push_back(char(d[i]));
  return s;
}

class UsbipSim : public ::testing::Test {
 protected:
  void SetUp() override {
    link().SetClock([this] { return now.load(); });
    link().SetRestartTime(500);
    ASSERT_TRUE(sim.Start(0));
  }
  void TearDown() override {
    EXPECT_TRUE(tracker.WaitZero()) << tracker.Count();
    EXPECT_FALSE(tracker.WentNegative());
  }

  // An imported client; the device's first request numbers start at 1.
  std::unique_ptr<RawUsbipClient> Imported() {
    auto c = std::make_unique<RawUsbipClient>(sim.Port(), &tracker);
    const auto status = c->Import(sim::UsbipLink::kBusId);
    EXPECT_EQ(status, uip::ST_OK);
    return c;
  }

  sim::UsbipLink& link() { return sim.usb(); }
  sim::Scanner& scanner() { return sim.scanner(); }

  std::atomic<std::int64_t> now{0};
  CountingTracker tracker;
  sim::UsbipSimulator sim{&tracker};
};

TEST_F(UsbipSim, ListsTheScannerWhileExported) {
  RawUsbipClient client(sim.Port(), &tracker);
  auto list = client.Devlist();
  ASSERT_EQ(list.state(), uip::DevlistParser::State::Complete) << list.error();
  ASSERT_EQ(list.devices().size(), 1u);
  const uip::DeviceRecord& d = list.devices()[0];
  EXPECT_EQ(d.busId, "1-1");
  EXPECT_EQ(d.idVendor, sim::UsbipLink::kVendorId);
  EXPECT_EQ(d.idProduct, sim::UsbipLink::kProductId);
  EXPECT_EQ(d.speed, 3u);
  ASSERT_EQ(d.interfaces.size(), 1u);
  EXPECT_EQ(d.interfaces[0].bInterfaceClass, 0xFF);

  link().SetExported(false);
  list = client.Devlist();
  ASSERT_EQ(list.state(), uip::DevlistParser::State::Complete);
  EXPECT_TRUE(list.devices().empty());
  EXPECT_EQ(link().DevlistRequests(), 2u);
}

TEST_F(UsbipSim, OneImportAtATime) {
  auto first = Imported();
  EXPECT_EQ(first->device.busId, "1-1");
  EXPECT_EQ(first->device.DevId(), 0x00010002u);
  ASSERT_TRUE(scanner().WaitFor([&] { return scanner().LinkIsUp(); }, kPeerWait));
  EXPECT_TRUE(link().Imported());

  RawUsbipClient second(sim.Port(), &tracker);
  EXPECT_EQ(second.Import("1-1"), uip::ST_DEV_BUSY);
  RawUsbipClient unknown(sim.Port(), &tracker);
  EXPECT_EQ(unknown.Import("2-1"), uip::ST_NODEV);

  // Given back by closing the connection, the device can be imported again.
  first->socket().Close();
  ASSERT_TRUE(scanner().WaitFor([&] { return !scanner().LinkIsUp(); }, kPeerWait));
  auto again = Imported();
  EXPECT_EQ(link().Imports(), 2u);
  EXPECT_EQ(scanner().Count(EventKind::LinkUp), 2u);
  EXPECT_EQ(scanner().Count(EventKind::LinkDown), 1u);
}

TEST_F(UsbipSim, DescriptorsAndSerialNumberVariants) {
  struct Case {
    UsbSerial serial;
    std::uint8_t iSerial;
    std::string serialText;
    std::string string3;
  };
  const Case cases[] = {
      {UsbSerial::Unit51B, 3, "00000000051B", "00000000051B"},
      {UsbSerial::Unit51D, 3, "00000000051D", "00000000051D"},
      {UsbSerial::NoUnitId, 3, "000000000520", "000000000520"},
      {UsbSerial::String3LacksUnitId, 4, "00000000051B", "Scanner Interface"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serialText + " / " + c.string3);
    link().SetSerial(c.serial);
    auto client = Imported();
    auto device = client->Control(1, SetupOf(0x80, 6, 0x0100, 0, 18));
    ASSERT_TRUE(device);
    EXPECT_EQ(device->header.status(), 0);
    ASSERT_EQ(device->data.size(), 18u);
    EXPECT_EQ(device->data[16], c.iSerial);

    // The configuration as a short read first, then whole: OUT 0x01 first, IN 0x82 second.
    auto head = client->Control(2, SetupOf(0x80, 6, 0x0200, 0, 9));
    ASSERT_TRUE(head);
    ASSERT_EQ(head->data.size(), 9u);
    const std::uint16_t total = std::uint16_t(head->data[2] | head->data[3] << 8);
    auto config = client->Control(3, SetupOf(0x80, 6, 0x0200, 0, total));
    ASSERT_TRUE(config);
    ASSERT_EQ(config->data.size(), total);
    EXPECT_EQ(config->data[9 + 5], 0xFF);  // vendor-specific interface
    EXPECT_EQ(config->data[18 + 2], 0x01);
    EXPECT_EQ(config->data[18 + 3], 2);    // bulk
    EXPECT_EQ(config->data[25 + 2], 0x82);
    EXPECT_EQ(config->data[25 + 3], 2);

    auto serial = client->Control(4, SetupOf(0x80, 6, std::uint16_t(0x0300 | c.iSerial), 0x0409, 255));
    ASSERT_TRUE(serial);
    EXPECT_EQ(Utf16Text(serial->data), c.serialText);
    auto three = client->Control(5, SetupOf(0x80, 6, 0x0303, 0x0409, 255));
    ASSERT_TRUE(three);
    EXPECT_EQ(Utf16Text(three->data), c.string3);
    client->socket().Close();  // gives the device back
    ASSERT_TRUE(scanner().WaitFor([&] { return !link().Imported(); }, kPeerWait));
  }
}

TEST_F(UsbipSim, RegisterRequestsAreRecorded) {
  auto client = Imported();
  // SetRegister(9, 0x12345678): value in wValue (low) and wIndex (high), 4 data bytes.
  auto write = client->Control(1, SetupOf(0x40, 9, 0x5678, 0x1234, 4), {0xAA, 0xBB, 0xCC, 0xDD});
  ASSERT_TRUE(write);
  EXPECT_EQ(write->header.status(), 0);
  EXPECT_EQ(write->header.actualLength(), 4u);
  auto read = client->Control(2, SetupOf(0xC0, 9, 0, 0, 4));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->data, (Bytes{0x78, 0x56, 0x34, 0x12}));
  link().SetRegister(0x21, 0x01000078);
  read = client->Control(3, SetupOf(0xC0, 0x21, 0, 0, 4));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->data, (Bytes{0x78, 0x00, 0x00, 0x01}));

  const auto log = link().RegisterAccesses();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_TRUE(log[0].write);
  EXPECT_EQ(log[0].reg, 9);
  EXPECT_EQ(log[0].value, 0x12345678u);
  EXPECT_EQ(log[0].data, (std::array<std::uint8_t, 4>{0xAA, 0xBB, 0xCC, 0xDD}));
  EXPECT_FALSE(log[1].write);
  EXPECT_EQ(log[1].value, 0x12345678u);
  EXPECT_EQ(log[2].reg, 0x21);
}

TEST_F(UsbipSim, BulkTrafficReachesTheDeviceCore) {
  scanner().SetPartNumber("QV47-02HCAF-123456");
  auto client = Imported();
  // A read waits at the device until the scanner has something to send.
  ASSERT_TRUE(client->Submit(1, true, 2, 512));
  ASSERT_TRUE(client->Submit(2, false, 1, 512, {}, Frame(kSoF, 0, 0, 0)));  // connect request
  auto sent = client->Next(false);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->header.command, uip::USBIP_RET_SUBMIT);
  EXPECT_EQ(sent->header.seqnum, 2u);  // the OUT completes before its answer comes
  EXPECT_EQ(sent->header.actualLength(), 512u);
  auto greeting = client->Next(true);
  ASSERT_TRUE(greeting);
  EXPECT_EQ(greeting->header.seqnum, 1u);
  ASSERT_EQ(greeting->data.size(), 512u);
  EXPECT_EQ(std::string(greeting->data.begin() + 100, greeting->data.begin() + 118), "QV47-02HCAF-123456");
  EXPECT_EQ(scanner().Count(EventKind::ConnectRequest), 1u);

  // Data waiting in the endpoint goes to the next read; a read smaller than
  // a message takes part of it.
  ASSERT_TRUE(client->Submit(3, false, 1, 512, {}, Frame(kSoF, 512, 0x00300000, 0)));  // System Info request
  ASSERT_TRUE(client->Next(false));
  ASSERT_TRUE(client->Submit(4, true, 2, 100));
  auto part = client->Next(true);
  ASSERT_TRUE(part);
  EXPECT_EQ(part->data.size(), 100u);
  ASSERT_TRUE(client->Submit(5, true, 2, 512));
  auto rest = client->Next(true);
  ASSERT_TRUE(rest);
  EXPECT_EQ(rest->data.size(), 412u);  // the end of the message ends the transfer
}

TEST_F(UsbipSim, UnlinkCancelsAWaitingRead) {
  auto client = Imported();
  ASSERT_TRUE(client->Submit(1, true, 2, 512));
  ASSERT_TRUE(client->Unlink(2, 1));
  auto answer = client->Next(false);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->header.command, uip::USBIP_RET_UNLINK);
  EXPECT_EQ(answer->header.seqnum, 2u);
  EXPECT_EQ(answer->header.status(), uip::status::kConnReset);
  // Nothing is left to unlink now: answered with 0; and no RET_SUBMIT for 1 came between.
  ASSERT_TRUE(client->Unlink(3, 1));
  answer = client->Next(false);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->header.command, uip::USBIP_RET_UNLINK);
  EXPECT_EQ(answer->header.seqnum, 3u);
  EXPECT_EQ(answer->header.status(), 0);
  // The cancelled read took nothing: the greeting goes to the next one.
  ASSERT_TRUE(client->Submit(4, false, 1, 512, {}, Frame(kSoF, 0, 0, 0)));
  ASSERT_TRUE(client->Next(false));
  ASSERT_TRUE(client->Submit(5, true, 2, 512));
  auto greeting = client->Next(true);
  ASSERT_TRUE(greeting);
  EXPECT_EQ(greeting->header.seqnum, 5u);
  EXPECT_EQ(greeting->data.size(), 512u);
}

TEST_F(UsbipSim, BadOrUnsupportedRequestsGetAnErrorStatusAndTheLinkGoesOn) {
  auto client = Imported();
  struct Case {
    const char* name;
    uip::UrbHeader header;
    Bytes data;
    std::int32_t status;
  };
  auto with = [](uip::UrbHeader h, auto change) {
    change(h);
    return h;
  };
  const std::uint32_t dev = 0x00010002;
  const Case cases[] = {
      {"unknown descriptor", uip::CmdSubmit(10, dev, true, 0, 10, SetupOf(0x80, 6, 0x0600, 0, 10)), {}, -32},
      {"unknown string", uip::CmdSubmit(11, dev, true, 0, 255, SetupOf(0x80, 6, 0x0309, 0x0409, 255)), {}, -32},
      {"class request", uip::CmdSubmit(12, dev, true, 0, 1, SetupOf(0xA1, 0xFE, 0, 0, 1)), {}, -32},
      {"no such endpoint", uip::CmdSubmit(13, dev, true, 3, 512), {}, -22},
      {"read on the OUT endpoint", uip::CmdSubmit(14, dev, true, 1, 512), {}, -22},
      {"write on the IN endpoint", uip::CmdSubmit(15, dev, false, 2, 4), {1, 2, 3, 4}, -22},
      {"another device", uip::CmdSubmit(16, 0x00050001, true, 2, 512), {}, -22},
      {"isochronous packets", with(uip::CmdSubmit(17, dev, true, 2, 512), [](auto& h) { h.word[3] = 1; }),
       Bytes(16, 0), -22},
      {"negative length", with(uip::CmdSubmit(18, dev, true, 2, 0), [](auto& h) { h.word[1] = 0xFFFFFFFF; }), {}, -22},
      {"direction against the setup", uip::CmdSubmit(19, dev, false, 0, 0, SetupOf(0x80, 6, 0x0100, 0, 0)), {}, -22},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes msg;
    uip::PutUrbHeader(msg, c.header);
    msg.insert(msg.end(), c.data.begin(), c.data.end());
    ASSERT_TRUE(client->SendRaw(msg));
    auto answer = client->Next(c.header.direction == uip::USBIP_DIR_IN);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->header.command, uip::USBIP_RET_SUBMIT);
    EXPECT_EQ(answer->header.seqnum, c.header.seqnum);
    EXPECT_EQ(answer->header.status(), c.status);
  }
  // An unknown command is skipped; the link still answers.
  uip::UrbHeader odd = uip::CmdUnlink(30, dev, 1);
  odd.command = 7;
  Bytes msg;
  uip::PutUrbHeader(msg, odd);
  ASSERT_TRUE(client->SendRaw(msg));
  auto device = client->Control(31, SetupOf(0x80, 6, 0x0100, 0, 18));
  ASSERT_TRUE(device);
  EXPECT_EQ(device->header.seqnum, 31u);
  EXPECT_EQ(device->data.size(), 18u);
  EXPECT_EQ(link().Refusals().size(), std::size(cases) + 1);

  // An operation the server does not know is refused on its connection.
  LoopbackSocket other;
  ASSERT_TRUE(other.Connect(sim.Port()));
  tracker.Add(8);
  ASSERT_TRUE(other.Write({0x01, 0x11, 0x80, 0x09, 0, 0, 0, 0}));
  auto refused = other.Read(8);
  ASSERT_TRUE(refused);
  tracker.Done(8);
  const auto op = *uip::ParseOpHeader(*refused);
  EXPECT_EQ(op.code, 0x0009);
  EXPECT_EQ(op.status, uip::ST_NA);
  EXPECT_TRUE(other.SeesEnd());
}

TEST_F(UsbipSim, RestartEndsTheImportAndTheDeviceComesBackAfterTheRestartTime) {
  auto client = Imported();
  ASSERT_TRUE(client->Submit(1, true, 2, 512));  // outstanding when the device leaves
  link().Restart();
  EXPECT_TRUE(client->SeesEnd());
  ASSERT_TRUE(scanner().WaitFor([&] { return !link().Imported(); }, kPeerWait));
  EXPECT_EQ(scanner().Count(EventKind::LinkDropped), 1u);

  RawUsbipClient other(sim.Port(), &tracker);
  auto list = other.Devlist();
  ASSERT_EQ(list.state(), uip::DevlistParser::State::Complete);
  EXPECT_TRUE(list.devices().empty());
  EXPECT_EQ(other.Import("1-1"), uip::ST_NODEV);

  now = 499;
  EXPECT_FALSE(link().Present());
  now = 500;
  EXPECT_TRUE(link().Present());
  auto back = Imported();
  EXPECT_EQ(back->device.busId, "1-1");
}

TEST_F(UsbipSim, RestartInTheMiddleOfAnUpload) {
  auto client = Imported();
  scanner().Configure([](sim::Options& o) { o.dropUploadAfter = 600; });
  // The announcement, then the data in two writes: the device leaves after 600 bytes.
  ASSERT_TRUE(client->Submit(1, false, 1, 512, {}, Frame(kSoF, 0, 0x00100000, 1024)));
  ASSERT_TRUE(client->Next(false));
  ASSERT_TRUE(client->Submit(2, false, 1, 1024, {}, Bytes(1024, 0)));
  EXPECT_TRUE(client->SeesEnd());
  ASSERT_TRUE(scanner().WaitFor([&] { return !link().Imported(); }, kPeerWait));
  const auto uploads = scanner().Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_FALSE(uploads[0].complete);
  EXPECT_EQ(uploads[0].received, 600u);
  EXPECT_FALSE(link().Present());
}

TEST_F(UsbipSim, ScannerThatRestartsAfterItsReplyLeavesOnceTheReplyHasBeenRead) {
  // It restarts right after answering a System Info request, with no read
  // waiting: the answer stays in the endpoint and the device stays until
  // the host has read it (a reply is not lost to the restart).
  auto client = Imported();
  ASSERT_TRUE(client->Submit(1, false, 1, 512, {}, Frame(kSoF, 0, 0, 0)));  // connect request
  ASSERT_TRUE(client->Next(false));
  ASSERT_TRUE(client->Submit(2, true, 2, 512));
  ASSERT_TRUE(client->Next(true));  // the greeting
  scanner().Configure([](sim::Options& o) {
    o.dropAfterUpload = true;
    o.repliesBeforeDrop = 1;
  });
  // An upload, then the request its verification makes.
  ASSERT_TRUE(client->Submit(3, false, 1, 512, {}, Frame(kSoF, 0, 0x00100000, 1024)));
  ASSERT_TRUE(client->Next(false));
  Bytes data(1024, 0);
  data[0] = 'C';
  data[1] = 'D';
  data[2] = 'b';
  ASSERT_TRUE(client->Submit(4, false, 1, 1024, {}, data));
  ASSERT_TRUE(client->Next(false));
  ASSERT_TRUE(client->Submit(5, false, 1, 512, {}, Frame(kSoF, 512, 0x00300000, 0)));
  ASSERT_TRUE(client->Next(false));
  ASSERT_TRUE(scanner().WaitFor([&] { return scanner().Count(EventKind::LinkDropped) == 1; }, kPeerWait));
  EXPECT_TRUE(link().Imported());
  ASSERT_TRUE(client->Submit(6, true, 2, 512));
  auto reply = client->Next(true);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->header.seqnum, 6u);
  EXPECT_EQ(reply->data.size(), 512u);
  EXPECT_TRUE(client->SeesEnd());
  ASSERT_TRUE(scanner().WaitFor([&] { return !link().Imported(); }, kPeerWait));
  EXPECT_FALSE(link().Present());
}

}  // namespace
}  // namespace nimbrel::testing
