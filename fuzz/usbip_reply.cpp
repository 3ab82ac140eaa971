// The USB/IP client's parsers of what a server sends: the URB reply stream
// of an imported device, the devlist reply and the import reply. Each reply
// handed on is copied into a buffer of exactly the size that was submitted,
// as the driver does, so that a length the parser let through shows as an
// overflow.
//
// Input: the first byte says where the stream is cut into two deliveries;
// the rest is the stream.

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "usb/UsbipWire.h"

namespace {

using namespace nimbrel::usb::usbip;

// What the client has outstanding.
Expected Outstanding(std::uint32_t seq) {
  switch (seq) {
    case 1: return {Expected::Kind::Submit, true, 512};
    case 2: return {Expected::Kind::Submit, false, 512000};
    case 3: return {Expected::Kind::Unlink, false, 0};
    case 4: return {Expected::Kind::Submit, true, 0};
    case 5: return {Expected::Kind::Submit, true, 18};
    default: return {};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> stream(data + 1, size - 1);
  const std::size_t cut = stream.empty() ? 0 : data[0] % (stream.size() + 1);

  ReplyParser replies;
  auto handler = [](const Reply& r) {
    const Expected e = Outstanding(r.seqnum);
    if (r.command != USBIP_RET_SUBMIT || !e.in) return;
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[e.length ? e.length : 1]);
    if (!r.data.empty()) std::memcpy(buffer.get(), r.data.data(), r.data.size());
  };
  if (replies.Feed(stream.first(cut), Outstanding, handler) && replies.Feed(stream.subspan(cut), Outstanding, handler))
    replies.End();

  DevlistParser list;
  list.Feed(stream.first(cut));
  list.Feed(stream.subspan(cut));
  list.End();
  for (const DeviceRecord& d : list.devices()) {
    if (d.interfaces.size() != d.bNumInterfaces) __builtin_trap();
  }

  if (auto h = ParseOpHeader(stream); h && h->status == ST_OK) ParseDeviceRecord(stream.subspan(kOpHeaderSize));
  return 0;
}
