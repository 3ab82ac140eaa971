// The USB/IP wire code of the updater: the layouts against the protocol's
// offsets, round trips, and the stream parsers on whole, split and broken input.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UsbipSupport.h"
#include "usb/Driver.h"
#include "usb/UsbipDriver.h"
#include "usb/UsbipWire.h"

namespace nimbrel::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Be32At(const Bytes& b, std::size_t at) {
  return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 | std::uint32_t(b[at + 2]) << 8 | b[at + 3];
}

uip::DeviceRecord TwoInterfaceDevice() {
  uip::DeviceRecord d;
  d.path = "/sys/devices/pci0000:00/usb3/3-2";
  d.busId = "3-2";
  d.busnum = 3;
  d.devnum = 7;
  d.speed = 3;
  d.idVendor = 0x1209;
  d.idProduct = 0x0001;
  d.bcdDevice = 0x0100;
  d.bDeviceClass = 0xEF;
  d.bDeviceSubClass = 2;
  d.bDeviceProtocol = 1;
  d.bConfigurationValue = 1;
  d.bNumConfigurations = 1;
  d.bNumInterfaces = 2;
  d.interfaces = {{0xFF, 1, 2}, {0x08, 6, 0x50}};
  return d;
}

TEST(UsbipWire, OperationLayoutsFollowTheProtocol) {
  EXPECT_EQ(uip::DevlistRequest(), (Bytes{0x01, 0x11, 0x80, 0x05, 0, 0, 0, 0}));

  const Bytes import = uip::ImportRequest("1-1.4");
  ASSERT_EQ(import.size(), 40u);
  EXPECT_EQ(Bytes(import.begin(), import.begin() + 4), (Bytes{0x01, 0x11, 0x80, 0x03}));
  EXPECT_EQ(std::string(import.begin() + 8, import.begin() + 13), "1-1.4");
  EXPECT_EQ(import[13], 0);

  Bytes record;
  uip::PutDeviceRecord(record, TwoInterfaceDevice(), true);
  ASSERT_EQ(record.size(), 312u + 2 * 4);
  EXPECT_EQ(Be32At(record, 288), 3u);  // busnum after the 256-byte path and 32-byte bus id
  EXPECT_EQ(Be32At(record, 292), 7u);
  EXPECT_EQ(Be32At(record, 296), 3u);
  EXPECT_EQ(record[300], 0x12);  // idVendor, big-endian
  EXPECT_EQ(record[301], 0x09);
  EXPECT_EQ(record[311], 2);     // bNumInterfaces
  EXPECT_EQ(Bytes(record.begin() + 312, record.end()), (Bytes{0xFF, 1, 2, 0, 0x08, 6, 0x50, 0}));
}

TEST(UsbipWire, DeviceRecordRoundTrip) {
  const uip::DeviceRecord d = TwoInterfaceDevice();
  Bytes record;
  uip::PutDeviceRecord(record, d, false);
  ASSERT_EQ(record.size(), uip::kDeviceRecordSize);
  const auto back = uip::ParseDeviceRecord(record);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->path, d.path);
  EXPECT_EQ(back->busId, d.busId);
  EXPECT_EQ(back->DevId(), 0x00030007u);
  EXPECT_EQ(back->idVendor, d.idVendor);
  EXPECT_EQ(back->idProduct, d.idProduct);
  EXPECT_EQ(back->bcdDevice, d.bcdDevice);
  EXPECT_EQ(back->bDeviceClass, d.bDeviceClass);
  EXPECT_EQ(back->bNumInterfaces, 2);

  // A record one byte short is not parsed; a bus id that fills its field is taken whole.
  EXPECT_FALSE(uip::ParseDeviceRecord(std::span(record).first(311)));
  uip::DeviceRecord full = d;
  full.busId = std::string(40, 'b');
  Bytes cut;
  uip::PutDeviceRecord(cut, full, false);
  EXPECT_EQ(uip::ParseDeviceRecord(cut)->busId, std::string(32, 'b'));
}

TEST(UsbipWire, UrbHeaderLayoutsAndRoundTrips) {
  const uip::SetupPacket setup{0xC0, 0x09, 0x34, 0x12, 0x78, 0x56, 4, 0};
  struct Case {
    const char* name;
    uip::UrbHeader header;
    std::vector<std::pair<std::size_t, std::uint32_t>> words;  // offset, big-endian value
  };
  const Case cases[] = {
      {"control IN submit", uip::CmdSubmit(7, 0x00010002, true, 0, 4, setup),
       {{0, 1}, {4, 7}, {8, 0x00010002}, {12, 1}, {16, 0}, {20, 0x200}, {24, 4}, {32, 0}}},
      {"bulk OUT submit", uip::CmdSubmit(8, 0x00010002, false, 1, 512000),
       {{0, 1}, {12, 0}, {16, 1}, {20, 0}, {24, 512000}}},
      {"unlink", uip::CmdUnlink(9, 0x00010002, 7), {{0, 2}, {4, 9}, {20, 7}}},
      {"submit answered", uip::RetSubmit(7, -32, 3), {{0, 3}, {4, 7}, {20, 0xFFFFFFE0}, {24, 3}}},
      {"unlink answered", uip::RetUnlink(9, -104), {{0, 4}, {4, 9}, {20, 0xFFFFFF98}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b;
    uip::PutUrbHeader(b, c.header);
    ASSERT_EQ(b.size(), 48u);
    for (const auto& [at, value] : c.words) EXPECT_EQ(Be32At(b, at), value) << "offset " << at;
    const auto back = uip::ParseUrbHeader(b);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->command, c.header.command);
    EXPECT_EQ(back->seqnum, c.header.seqnum);
    EXPECT_EQ(back->devid, c.header.devid);
    EXPECT_EQ(back->direction, c.header.direction);
    EXPECT_EQ(back->ep, c.header.ep);
    EXPECT_EQ(back->word, c.header.word);
    EXPECT_EQ(back->setup, c.header.setup);
    EXPECT_FALSE(uip::ParseUrbHeader(std::span(b).first(47)));
  }
  // The setup packet travels as its own (little-endian) bytes at the end.
  Bytes b;
  uip::PutUrbHeader(b, uip::CmdSubmit(1, 0, true, 0, 4, setup));
  EXPECT_EQ(Bytes(b.begin() + 40, b.end()), Bytes(setup.begin(), setup.end()));
}

// ---- DevlistParser ----

Bytes DevlistBytes(std::uint32_t claimed, const std::vector<uip::DeviceRecord>& devices, std::uint16_t version = uip::kVersion,
                   std::uint16_t code = uip::OP_REP_DEVLIST, std::uint32_t status = uip::ST_OK) {
  Bytes out;
  uip::PutOpHeader(out, {version, code, status});
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(std::uint8_t(claimed >> shift));
  for (const auto& d : devices) uip::PutDeviceRecord(out, d, true);
  return out;
}

TEST(UsbipDevlistParser, CompleteRepliesWholeAndByteByByte) {
  uip::DeviceRecord one = ScriptedUsbipServer::Device();
  uip::DeviceRecord none = one;
  none.busId = "2-1";
  none.bNumInterfaces = 0;
  none.interfaces.clear();
  const std::vector<std::vector<uip::DeviceRecord>> lists{{}, {one}, {TwoInterfaceDevice(), none, one}};
  for (const auto& devices : lists) {
    SCOPED_TRACE(devices.size());
    const Bytes reply = DevlistBytes(std::uint32_t(devices.size()), devices);
    for (bool split : {false, true}) {
      uip::DevlistParser p;
      if (split) {
        for (std::uint8_t b : reply) p.Feed(std::span(&b, 1));
      } else {
        EXPECT_EQ(p.Feed(reply), reply.size());
      }
      ASSERT_EQ(p.state(), uip::DevlistParser::State::Complete) << p.error();
      ASSERT_EQ(p.devices().size(), devices.size());
      for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(p.devices()[i].busId, devices[i].busId);
        ASSERT_EQ(p.devices()[i].interfaces.size(), devices[i].interfaces.size());
        for (std::size_t k = 0; k < devices[i].interfaces.size(); ++k)
          EXPECT_EQ(p.devices()[i].interfaces[k].bInterfaceClass, devices[i].interfaces[k].bInterfaceClass);
      }
    }
  }
  // Bytes after a complete reply are not taken.
  Bytes extra = DevlistBytes(1, {one});
  const std::size_t size = extra.size();
  extra.insert(extra.end(), {1, 2, 3});
  uip::DevlistParser p;
  EXPECT_EQ(p.Feed(extra), size);
}

TEST(UsbipDevlistParser, BrokenReplies) {
  uip::DeviceRecord three = ScriptedUsbipServer::Device();
  three.bNumInterfaces = 3;  // carries one
  const Bytes twoClaimedOneCarried = DevlistBytes(2, {ScriptedUsbipServer::Device()});
  const Bytes moreInterfaces = DevlistBytes(1, {three});
  struct Case {
    const char* name;
    Bytes reply;
    const char* error;
  };
  const Case cases[] = {
      {"more devices than carried", twoClaimedOneCarried, "devlist claims 2 devices and carries 1"},
      {"more interfaces than carried", moreInterfaces, "devlist device 1 claims 3 interfaces and carries 1"},
      {"short header", Bytes{0x01, 0x11, 0x00}, "devlist reply ends after 3 bytes of its header"},
      {"no device count", Bytes{0x01, 0x11, 0x00, 0x05, 0, 0, 0, 0, 0}, "devlist reply ends after 9 bytes of its header"},
      {"other version", DevlistBytes(0, {}, 0x0106), "devlist reply of protocol version 0106"},
      {"other operation", DevlistBytes(0, {}, uip::kVersion, uip::OP_REP_IMPORT), "devlist answered with operation 0003"},
      {"refused", DevlistBytes(0, {}, uip::kVersion, uip::OP_REP_DEVLIST, uip::ST_NA), "devlist refused with status 1"},
      {"absurd count", DevlistBytes(0xFFFFFFFF, {}), "devlist claims 4294967295 devices"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uip::DevlistParser p;
    p.Feed(c.reply);
    p.End();
    EXPECT_EQ(p.state(), uip::DevlistParser::State::Failed);
    EXPECT_EQ(p.error(), c.error);
  }
}

// ---- ReplyParser ----

// What the client has outstanding in these cases.
uip::Expected Outstanding(std::uint32_t seq) {
  switch (seq) {
    case 1: return {uip::Expected::Kind::Submit, true, 512};   // bulk IN
    case 2: return {uip::Expected::Kind::Submit, false, 512};  // bulk OUT
    case 3: return {uip::Expected::Kind::Unlink, false, 0};
    case 4: return {uip::Expected::Kind::Submit, true, 0};     // IN with no room
    default: return {};
  }
}

Bytes Header(const uip::UrbHeader& h) {
  Bytes b;
  uip::PutUrbHeader(b, h);
  return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct Seen {
  std::uint32_t command, seqnum;
  std::int32_t status;
  std::uint32_t actual;
  Bytes data;
  bool operator==(const Seen&) const = default;
};

TEST(UsbipReplyParser, RepliesWholeAndSplitAtEveryByte) {
  const Bytes data = Pattern(300);
  const Bytes stream = Concat({Header(uip::RetSubmit(2, 0, 512)), Header(uip::RetSubmit(1, 0, 300)), data,
                               Header(uip::RetUnlink(3, -104)), Header(uip::RetSubmit(1, -32, 0))});
  const std::vector<Seen> expected{{3, 2, 0, 512, {}}, {3, 1, 0, 300, data}, {4, 3, -104, 0, {}}, {3, 1, -32, 0, {}}};
  for (std::size_t cut = 0; cut <= stream.size(); cut += (cut < 60 ? 1 : 37)) {
    SCOPED_TRACE(cut);
    uip::ReplyParser p;
    std::vector<Seen> seen;
    auto handler = [&](const uip::Reply& r) {
      seen.push_back({r.command, r.seqnum, r.status, r.actualLength, Bytes(r.data.begin(), r.data.end())});
    };
    ASSERT_TRUE(p.Feed(std::span(stream).first(cut), Outstanding, handler)) << p.error();
    ASSERT_TRUE(p.Feed(std::span(stream).subspan(cut), Outstanding, handler)) << p.error();
    EXPECT_TRUE(p.End());
    EXPECT_EQ(seen, expected);
  }
}

TEST(UsbipReplyParser, RepliesItCannotTake) {
  uip::UrbHeader unknown = uip::RetSubmit(1, 0, 0);
  unknown.command = 9;
  uip::UrbHeader iso = uip::RetSubmit(1, 0, 4);
  iso.word[3] = 2;
  struct Case {
    const char* name;
    Bytes stream;
    const char* error;  // from Feed, or from End when Feed took it
  };
  const Case cases[] = {
      {"unknown command", Header(unknown), "unknown command 0x00000009 in a reply header"},
      {"a command instead of a reply", Header(uip::CmdSubmit(1, 0, true, 2, 512)),
       "unknown command 0x00000001 in a reply header"},
      {"unknown sequence number", Header(uip::RetSubmit(77, 0, 0)), "RET_SUBMIT for unknown sequence number 77"},
      {"unlink answer for a submit", Header(uip::RetUnlink(1, 0)), "RET_UNLINK for unknown sequence number 1"},
      {"submit answer for an unlink", Header(uip::RetSubmit(3, 0, 0)), "RET_SUBMIT for unknown sequence number 3"},
      {"beyond the buffer", Concat({Header(uip::RetSubmit(1, 0, 513)), Pattern(513)}),
       "RET_SUBMIT for sequence number 1 moves 513 bytes, beyond the 512-byte buffer submitted"},
      {"beyond an empty buffer", Header(uip::RetSubmit(4, 0, 1)),
       "RET_SUBMIT for sequence number 4 moves 1 bytes, beyond the 0-byte buffer submitted"},
      {"isochronous packets", Header(iso), "RET_SUBMIT for sequence number 1 carries 2 isochronous packets"},
      {"short header", Bytes(20, 0), "connection ended after 20 of 48 bytes of a reply header"},
      {"closed mid-reply", Concat({Header(uip::RetSubmit(1, 0, 512)), Pattern(100)}),
       "connection ended after 100 of 512 data bytes of the reply to sequence number 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uip::ReplyParser p;
    int handled = 0;
    const bool fed = p.Feed(c.stream, Outstanding, [&](const uip::Reply&) { ++handled; });
    if (fed) {
      EXPECT_FALSE(p.End());
    }
    EXPECT_TRUE(p.failed());
    EXPECT_EQ(p.error(), c.error);
    EXPECT_EQ(handled, 0);
    // Nothing more is taken once it failed.
    EXPECT_FALSE(p.Feed(Header(uip::RetSubmit(2, 0, 0)), Outstanding, [&](const uip::Reply&) { ++handled; }));
    EXPECT_EQ(handled, 0);
  }
}

TEST(UsbipStatus, MappedToSystemErrorsAndUsbdStatus) {
  struct Case {
    std::int32_t status;
    std::uint32_t error, usbd;
  };
  const Case cases[] = {
      {0, usb::kErrorSuccess, usb::USBD_STATUS_SUCCESS},
      {-32, usb::kErrorGenFailure, usb::USBD_STATUS_STALL_PID},
      {-104, usb::kErrorOperationAborted, usb::USBD_STATUS_CANCELED},
      {-2, usb::kErrorOperationAborted, usb::USBD_STATUS_CANCELED},
      {-108, usb::kErrorDeviceNotConnected, usb::USBD_STATUS_DEV_NOT_RESPONDING},
      {-19, usb::kErrorDeviceNotConnected, usb::USBD_STATUS_DEV_NOT_RESPONDING},
      {-110, usb::kErrorSemTimeout, usb::USBD_STATUS_DEV_NOT_RESPONDING},
      {-71, usb::kErrorIoDevice, usb::USBD_STATUS_CRC},
      {-75, usb::kErrorIoDevice, usb::USBD_STATUS_DATA_OVERRUN},
      {-22, usb::kErrorInvalidParameter, usb::USBD_STATUS_INVALID_PARAMETER},
      {-5, usb::kErrorIoDevice, usb::USBD_STATUS_REQUEST_FAILED},
  };
  for (const Case& c : cases) {
    const auto m = usb::MapUsbipStatus(c.status);
    EXPECT_EQ(m.error, c.error) << c.status;
    EXPECT_EQ(m.usbd, c.usbd) << c.status;
  }
}

}  // namespace
}  // namespace nimbrel::testing
