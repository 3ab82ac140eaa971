#include "usb/UsbipWire.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace nimbrel::usb::usbip {

namespace {

void Put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

void Put32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A fixed text field: the text, cut to the field, then zeros.
void PutText(Bytes& out, const std::string& text, std::size_t width) {
  const std::size_t n = std::min(text.size(), width);
  out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
  out.insert(out.end(), width - n, 0);
}

// Reads fields front to back from a span whose size the caller has checked.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint8_t U8() { return bytes_[at_++]; }
  std::uint16_t U16() {
    const auto v = static_cast<std::uint16_t>(bytes_[at_] << 8 | bytes_[at_ + 1]);
    at_ += 2;
    return v;
  }
  std::uint32_t U32() {
    const std::uint32_t v = std::uint32_t(bytes_[at_]) << 24 | std::uint32_t(bytes_[at_ + 1]) << 16 |
                            std::uint32_t(bytes_[at_ + 2]) << 8 | std::uint32_t(bytes_[at_ + 3]);
    at_ += 4;
    return v;
  }
  // A NUL-terminated text in a field of `width` bytes; a field without NUL
  // gives all of its bytes.
  std::string Text(std::size_t width) {
    const auto field = bytes_.subspan(at_, width);
    at_ += width;
    const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    return std::string(field.begin(), end);
  }
  void Copy(std::uint8_t* out, std::size_t n) {
    std::memcpy(out, bytes_.data() + at_, n);
    at_ += n;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

const char* CommandName(std::uint32_t command) {
  switch (command) {
    case USBIP_CMD_SUBMIT: return "CMD_SUBMIT";
    case USBIP_CMD_UNLINK: return "CMD_UNLINK";
    case USBIP_RET_SUBMIT: return "RET_SUBMIT";
    case USBIP_RET_UNLINK: return "RET_UNLINK";
    default: return "?";
  }
}

}  // namespace

// ---- encoding ----

void PutOpHeader(Bytes& out, const OpHeader& header) {
  Put16(out, header.version);
  Put16(out, header.code);
  Put32(out, header.status);
}

Bytes DevlistRequest() {
  Bytes out;
  PutOpHeader(out, {kVersion, OP_REQ_DEVLIST, ST_OK});
  return out;
}

Bytes ImportRequest(const std::string& busId) {
  Bytes out;
  PutOpHeader(out, {kVersion, OP_REQ_IMPORT, ST_OK});
  PutText(out, busId, kBusIdSize);
  return out;
}

void PutDeviceRecord(Bytes& out, const DeviceRecord& d, bool withInterfaces) {
  PutText(out, d.path, kPathSize);
  PutText(out, d.busId, kBusIdSize);
  Put32(out, d.busnum);
  Put32(out, d.devnum);
  Put32(out, d.speed);
  Put16(out, d.idVendor);
  Put16(out, d.idProduct);
  Put16(out, d.bcdDevice);
  out.push_back(d.bDeviceClass);
  out.push_back(d.bDeviceSubClass);
  out.push_back(d.bDeviceProtocol);
  out.push_back(d.bConfigurationValue);
  out.push_back(d.bNumConfigurations);
  out.push_back(d.bNumInterfaces);
  if (!withInterfaces) return;
  for (const InterfaceRecord& i : d.interfaces) {
    out.push_back(i.bInterfaceClass);
    out.push_back(i.bInterfaceSubClass);
    out.push_back(i.bInterfaceProtocol);
    out.push_back(0);
  }
}

void PutUrbHeader(Bytes& out, const UrbHeader& h) {
  Put32(out, h.command);
  Put32(out, h.seqnum);
  Put32(out, h.devid);
  Put32(out, h.direction);
  Put32(out, h.ep);
  for (std::uint32_t w : h.word) Put32(out, w);
  out.insert(out.end(), h.setup.begin(), h.setup.end());
}

UrbHeader CmdSubmit(std::uint32_t seqnum, std::uint32_t devid, bool in, std::uint32_t ep, std::uint32_t length,
                    const SetupPacket& setup) {
  UrbHeader h;
  h.command = USBIP_CMD_SUBMIT;
  h.seqnum = seqnum;
  h.devid = devid;
  h.direction = in ? USBIP_DIR_IN : USBIP_DIR_OUT;
  h.ep = ep;
  h.word = {in ? USBIP_URB_DIR_IN : 0u, length, 0, 0, 0};
  h.setup = setup;
  return h;
}

UrbHeader CmdUnlink(std::uint32_t seqnum, std::uint32_t devid, std::uint32_t victim) {
  UrbHeader h;
  h.command = USBIP_CMD_UNLINK;
  h.seqnum = seqnum;
  h.devid = devid;
  h.word = {victim, 0, 0, 0, 0};
  return h;
}

UrbHeader RetSubmit(std::uint32_t seqnum, std::int32_t status, std::uint32_t actualLength) {
  UrbHeader h;
  h.command = USBIP_RET_SUBMIT;
  h.seqnum = seqnum;
  h.word = {static_cast<std::uint32_t>(status), actualLength, 0, 0, 0};
  return h;
}

UrbHeader RetUnlink(std::uint32_t seqnum, std::int32_t status) {
  UrbHeader h;
  h.command = USBIP_RET_UNLINK;
  h.seqnum = seqnum;
  h.word = {static_cast<std::uint32_t>(status), 0, 0, 0, 0};
  return h;
}

// ---- parsing ----

std::optional<OpHeader> ParseOpHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kOpHeaderSize) return std::nullopt;
  Reader r(bytes);
  OpHeader h;
  h.version = r.U16();
  h.code = r.U16();
  h.status = r.U32();
  return h;
}

std::optional<DeviceRecord> ParseDeviceRecord(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kDeviceRecordSize) return std::nullopt;
  Reader r(bytes);
  DeviceRecord d;
  d.path = r.Text(kPathSize);
  d.busId = r.Text(kBusIdSize);
  d.busnum = r.U32();
  d.devnum = r.U32();
  d.speed = r.U32();
  d.idVendor = r.U16();
  d.idProduct = r.U16();
  d.bcdDevice = r.U16();
  d.bDeviceClass = r.U8();
  d.bDeviceSubClass = r.U8();
  d.bDeviceProtocol = r.U8();
  d.bConfigurationValue = r.U8();
  d.bNumConfigurations = r.U8();
  d.bNumInterfaces = r.U8();
  return d;
}

std::optional<InterfaceRecord> ParseInterfaceRecord(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kInterfaceRecordSize) return std::nullopt;
  return InterfaceRecord{bytes[0], bytes[1], bytes[2]};
}

std::optional<UrbHeader> ParseUrbHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kUrbHeaderSize) return std::nullopt;
  Reader r(bytes);
  UrbHeader h;
  h.command = r.U32();
  h.seqnum = r.U32();
  h.devid = r.U32();
  h.direction = r.U32();
  h.ep = r.U32();
  for (std::uint32_t& w : h.word) w = r.U32();
  r.Copy(h.setup.data(), h.setup.size());
  return h;
}

// ---- DevlistParser ----

std::size_t DevlistParser::PieceSize() const {
  switch (piece_) {
    case Piece::Header: return kOpHeaderSize;
    case Piece::Count: return 4;
    case Piece::Record: return kDeviceRecordSize;
    case Piece::Interfaces: return kInterfaceRecordSize * current_.bNumInterfaces;
    case Piece::Done: return 0;
  }
  return 0;
}

std::size_t DevlistParser::Feed(std::span<const std::uint8_t> bytes) {
  std::size_t used = 0;
  while (state_ == State::NeedMore) {
    const std::size_t want = PieceSize();
    const std::size_t take = std::min(want - buffer_.size(), bytes.size() - used);
    buffer_.insert(buffer_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(used),
                   bytes.begin() + static_cast<std::ptrdiff_t>(used + take));
    used += take;
    if (buffer_.size() < want) break;
    TakePiece();
    buffer_.clear();
  }
  return used;
}

void DevlistParser::TakePiece() {
  switch (piece_) {
    case Piece::Header: {
      const OpHeader h = *ParseOpHeader(buffer_);
      if (h.version != kVersion) return Fail(Format("devlist reply of protocol version %04x", h.version));
      if (h.code != OP_REP_DEVLIST) return Fail(Format("devlist answered with operation %04x", h.code));
      if (h.status != ST_OK) return Fail(Format("devlist refused with status %u", h.status));
      piece_ = Piece::Count;
      return;
    }
    case Piece::Count:
      claimed_ = std::uint32_t(buffer_[0]) << 24 | std::uint32_t(buffer_[1]) << 16 | std::uint32_t(buffer_[2]) << 8 |
                 std::uint32_t(buffer_[3]);
      if (claimed_ > kMaxListedDevices) return Fail(Format("devlist claims %u devices", claimed_));
      piece_ = claimed_ == 0 ? Piece::Done : Piece::Record;
      break;
    case Piece::Record:
      current_ = *ParseDeviceRecord(buffer_);
      if (current_.bNumInterfaces > 0) {
        piece_ = Piece::Interfaces;
        return;
      }
      devices_.push_back(std::move(current_));
      piece_ = devices_.size() < claimed_ ? Piece::Record : Piece::Done;
      break;
    case Piece::Interfaces:
      for (std::size_t i = 0; i < current_.bNumInterfaces; ++i)
        current_.interfaces.push_back(*ParseInterfaceRecord(std::span(buffer_).subspan(i * kInterfaceRecordSize)));
      devices_.push_back(std::move(current_));
      piece_ = devices_.size() < claimed_ ? Piece::Record : Piece::Done;
      break;
    case Piece::Done: break;
  }
  if (piece_ == Piece::Done) state_ = State::Complete;
}

void DevlistParser::End() {
  if (state_ != State::NeedMore) return;
  switch (piece_) {
    case Piece::Header:
    case Piece::Count:
      return Fail(Format("devlist reply ends after %zu bytes of its header", buffer_.size() +
                                                                                  (piece_ == Piece::Count ? 8 : 0)));
    case Piece::Record:
      return Fail(Format("devlist claims %u devices and carries %zu", claimed_, devices_.size()));
    case Piece::Interfaces:
      return Fail(Format("devlist device %zu claims %u interfaces and carries %zu", devices_.size() + 1,
                         current_.bNumInterfaces, buffer_.size() / kInterfaceRecordSize));
    case Piece::Done: return;
  }
}

void DevlistParser::Fail(std::string text) {
  state_ = State::Failed;
  error_ = std::move(text);
}

// ---- ReplyParser ----

bool ReplyParser::Fail(std::string text) {
  failed_ = true;
  error_ = std::move(text);
  buffer_.clear();
  header_.reset();
  return false;
}

bool ReplyParser::Feed(std::span<const std::uint8_t> bytes, const Lookup& lookup, const Handler& handler) {
  if (failed_) return false;
  std::size_t used = 0;
  for (;;) {
    const std::size_t want = header_ ? kUrbHeaderSize + dataLength_ : kUrbHeaderSize;
    const std::size_t take = std::min(want - buffer_.size(), bytes.size() - used);
    buffer_.insert(buffer_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(used),
                   bytes.begin() + static_cast<std::ptrdiff_t>(used + take));
    used += take;
    if (buffer_.size() < want) return true;

    if (!header_) {
      const UrbHeader h = *ParseUrbHeader(buffer_);
      if (h.command != USBIP_RET_SUBMIT && h.command != USBIP_RET_UNLINK)
        return Fail(Format("unknown command 0x%08x in a reply header", h.command));
      const Expected expected = lookup(h.seqnum);
      const bool submit = h.command == USBIP_RET_SUBMIT;
      if (expected.kind != (submit ? Expected::Kind::Submit : Expected::Kind::Unlink))
        return Fail(Format("%s for unknown sequence number %u", CommandName(h.command), h.seqnum));
      dataLength_ = 0;
      if (submit) {
        if (h.actualLength() > expected.length)
          return Fail(Format("RET_SUBMIT for sequence number %u moves %u bytes, beyond the %u-byte buffer submitted",
                             h.seqnum, h.actualLength(), expected.length));
        if (h.numberOfPackets() != 0 && h.numberOfPackets() != 0xFFFFFFFFu)
          return Fail(Format("RET_SUBMIT for sequence number %u carries %u isochronous packets", h.seqnum,
                             h.numberOfPackets()));
        if (expected.in) dataLength_ = h.actualLength();
      }
      header_ = h;
      if (dataLength_ > 0) continue;
    }

    Reply reply;
    reply.command = header_->command;
    reply.seqnum = header_->seqnum;
    reply.status = header_->status();
    if (reply.command == USBIP_RET_SUBMIT) {
      reply.actualLength = header_->actualLength();
      reply.data = std::span<const std::uint8_t>(buffer_).subspan(kUrbHeaderSize, dataLength_);
    }
    handler(reply);
    buffer_.clear();
    header_.reset();
    dataLength_ = 0;
    if (used == bytes.size()) return true;
  }
}

bool ReplyParser::End() {
  if (failed_) return false;
  if (!header_ && buffer_.empty()) return true;
  if (!header_) return Fail(Format("connection ended after %zu of %zu bytes of a reply header", buffer_.size(),
                                   kUrbHeaderSize));
  return Fail(Format("connection ended after %zu of %u data bytes of the reply to sequence number %u",
                     buffer_.size() - kUrbHeaderSize, dataLength_, header_->seqnum));
}

std::string StatusText(std::int32_t s) {
  const char* what = "";
  switch (s) {
    case status::kOk: what = " (ok)"; break;
    case status::kNoEntry:
    case status::kConnReset: what = " (unlinked)"; break;
    case status::kPipe: what = " (stall)"; break;
    case status::kShutdown:
    case status::kNoDevice: what = " (device gone)"; break;
    case status::kProtocol:
    case status::kIllegalSeq: what = " (protocol error)"; break;
    case status::kTime:
    case status::kTimedOut: what = " (timed out)"; break;
    case status::kOverflow: what = " (overflow)"; break;
    case status::kInvalid: what = " (invalid request)"; break;
    default: break;
  }
  return std::to_string(s) + what;
}

}  // namespace nimbrel::usb::usbip
