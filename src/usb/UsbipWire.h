#pragma once
// The USB/IP protocol as Linux documents it (version 0x0111, every field
// big-endian): the operation messages that list and import a server's
// devices, and the URB messages that carry transfers on an imported device.
//
// Layouts are declared here once. Every parse takes the bytes it is given
// and never reads past them; the stream parsers keep what they still need
// and say what was wrong when the peer sends something they cannot take.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace nimbrel::usb::usbip {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t kVersion = 0x0111;
inline constexpr std::uint16_t kDefaultPort = 3240;

// Operation codes.
inline constexpr std::uint16_t OP_REQ_DEVLIST = 0x8005;
inline constexpr std::uint16_t OP_REP_DEVLIST = 0x0005;
inline constexpr std::uint16_t OP_REQ_IMPORT = 0x8003;
inline constexpr std::uint16_t OP_REP_IMPORT = 0x0003;

// Operation status.
inline constexpr std::uint32_t ST_OK = 0;
inline constexpr std::uint32_t ST_NA = 1;
inline constexpr std::uint32_t ST_DEV_BUSY = 2;
inline constexpr std::uint32_t ST_DEV_ERR = 3;
inline constexpr std::uint32_t ST_NODEV = 4;
inline constexpr std::uint32_t ST_ERROR = 5;

// URB commands.
inline constexpr std::uint32_t USBIP_CMD_SUBMIT = 1;
inline constexpr std::uint32_t USBIP_CMD_UNLINK = 2;
inline constexpr std::uint32_t USBIP_RET_SUBMIT = 3;
inline constexpr std::uint32_t USBIP_RET_UNLINK = 4;

inline constexpr std::uint32_t USBIP_DIR_OUT = 0;
inline constexpr std::uint32_t USBIP_DIR_IN = 1;

// transfer_flags of a submit: the URB reads from the device.
inline constexpr std::uint32_t USBIP_URB_DIR_IN = 0x0200;

// URB status values as they travel: Linux error numbers, negated.
namespace status {
inline constexpr std::int32_t kOk = 0;
inline constexpr std::int32_t kNoEntry = -2;        // -ENOENT: unlinked
inline constexpr std::int32_t kNoMemory = -12;      // -ENOMEM
inline constexpr std::int32_t kNoDevice = -19;      // -ENODEV
inline constexpr std::int32_t kInvalid = -22;       // -EINVAL
inline constexpr std::int32_t kPipe = -32;          // -EPIPE: the endpoint stalled
inline constexpr std::int32_t kTime = -62;          // -ETIME
inline constexpr std::int32_t kNoStreams = -63;     // -ENOSR: buffer error
inline constexpr std::int32_t kComm = -70;          // -ECOMM: buffer error
inline constexpr std::int32_t kProtocol = -71;      // -EPROTO: bit stuffing, CRC, no answer
inline constexpr std::int32_t kOverflow = -75;      // -EOVERFLOW: babble
inline constexpr std::int32_t kIllegalSeq = -84;    // -EILSEQ: CRC
inline constexpr std::int32_t kConnReset = -104;    // -ECONNRESET: unlinked
inline constexpr std::int32_t kShutdown = -108;     // -ESHUTDOWN: the device is gone
inline constexpr std::int32_t kTimedOut = -110;     // -ETIMEDOUT
inline constexpr std::int32_t kRemoteIo = -121;     // -EREMOTEIO: short packet
}  // namespace status

inline constexpr std::size_t kOpHeaderSize = 8;
inline constexpr std::size_t kPathSize = 256;
inline constexpr std::size_t kBusIdSize = 32;
inline constexpr std::size_t kDeviceRecordSize = 312;
inline constexpr std::size_t kInterfaceRecordSize = 4;
inline constexpr std::size_t kUrbHeaderSize = 48;
inline constexpr std::size_t kImportRequestSize = kOpHeaderSize + kBusIdSize;

// A devlist naming more devices than this is not believed.
inline constexpr std::uint32_t kMaxListedDevices = 1024;

// Operation header: version, code, status.
struct OpHeader {
  std::uint16_t version = kVersion;
  std::uint16_t code = 0;
  std::uint32_t status = ST_OK;
};

struct InterfaceRecord {
  std::uint8_t bInterfaceClass = 0;
  std::uint8_t bInterfaceSubClass = 0;
  std::uint8_t bInterfaceProtocol = 0;
};

// An exported device as the devlist and the import reply describe it; the
// interfaces come with the devlist only.
struct DeviceRecord {
  std::string path;   // the server's sysfs path (at most 256 bytes)
  std::string busId;  // at most 32 bytes
  std::uint32_t busnum = 0;
  std::uint32_t devnum = 0;
  std::uint32_t speed = 0;
  std::uint16_t idVendor = 0;
  std::uint16_t idProduct = 0;
  std::uint16_t bcdDevice = 0;
  std::uint8_t bDeviceClass = 0;
  std::uint8_t bDeviceSubClass = 0;
  std::uint8_t bDeviceProtocol = 0;
  std::uint8_t bConfigurationValue = 0;
  std::uint8_t bNumConfigurations = 0;
  std::uint8_t bNumInterfaces = 0;
  std::vector<InterfaceRecord> interfaces;

  // The device id of URB headers: bus number and device number.
  std::uint32_t DevId() const { return busnum << 16 | (devnum & 0xFFFFu); }
};

// The setup packet of a control transfer, as raw bytes (little-endian fields).
using SetupPacket = std::array<std::uint8_t, 8>;

// The URB header, 48 bytes. The words after the basic header mean:
//  CMD_SUBMIT: transfer_flags, transfer_buffer_length, start_frame, number_of_packets, interval, setup
//  RET_SUBMIT: status, actual_length, start_frame, number_of_packets, error_count
//  CMD_UNLINK: the sequence number to unlink
//  RET_UNLINK: status
struct UrbHeader {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::uint32_t devid = 0;
  std::uint32_t direction = USBIP_DIR_OUT;
  std::uint32_t ep = 0;
  std::array<std::uint32_t, 5> word{};
  SetupPacket setup{};

  // Named access to the words.
  std::uint32_t transferFlags() const { return word[0]; }
  std::uint32_t transferBufferLength() const { return word[1]; }
  std::int32_t status() const { return static_cast<std::int32_t>(word[0]); }
  std::uint32_t actualLength() const { return word[1]; }
  std::uint32_t numberOfPackets() const { return word[3]; }
  std::uint32_t unlinkSeqnum() const { return word[0]; }
};

// ---- encoding ----

void PutOpHeader(Bytes& out, const OpHeader& header);
Bytes DevlistRequest();
Bytes ImportRequest(const std::string& busId);
// A device record of 312 bytes (plus the interface records when withInterfaces).
void PutDeviceRecord(Bytes& out, const DeviceRecord& device, bool withInterfaces);
void PutUrbHeader(Bytes& out, const UrbHeader& header);

UrbHeader CmdSubmit(std::uint32_t seqnum, std::uint32_t devid, bool in, std::uint32_t ep, std::uint32_t length,
                    const SetupPacket& setup = {});
UrbHeader CmdUnlink(std::uint32_t seqnum, std::uint32_t devid, std::uint32_t victim);
UrbHeader RetSubmit(std::uint32_t seqnum, std::int32_t status, std::uint32_t actualLength);
UrbHeader RetUnlink(std::uint32_t seqnum, std::int32_t status);

// ---- parsing of exact-size pieces ----

// Each needs at least the named size and reads no more of it.
std::optional<OpHeader> ParseOpHeader(std::span<const std::uint8_t> bytes);
std::optional<DeviceRecord> ParseDeviceRecord(std::span<const std::uint8_t> bytes);
std::optional<InterfaceRecord> ParseInterfaceRecord(std::span<const std::uint8_t> bytes);
std::optional<UrbHeader> ParseUrbHeader(std::span<const std::uint8_t> bytes);

// ---- the reply to OP_REQ_DEVLIST, as it arrives ----

class DevlistParser {
 public:
  enum class State { NeedMore, Complete, Failed };

  // Takes bytes as they arrive; returns how many it used (bytes after a
  // complete reply are not used).
  std::size_t Feed(std::span<const std::uint8_t> bytes);
  // The stream ended here: a reply that is not complete yet fails.
  void End();

  State state() const { return state_; }
  // The devices read completely so far (all of them once Complete).
  const std::vector<DeviceRecord>& devices() const { return devices_; }
  // What went wrong, when Failed.
  const std::string& error() const { return error_; }

 private:
  enum class Piece { Header, Count, Record, Interfaces, Done };
  std::size_t PieceSize() const;
  void TakePiece();
  void Fail(std::string text);

  State state_ = State::NeedMore;
  Piece piece_ = Piece::Header;
  Bytes buffer_;
  std::uint32_t claimed_ = 0;
  DeviceRecord current_;                // the device whose interfaces are being read
  std::vector<DeviceRecord> devices_;   // complete ones only
  std::string error_;
};

// ---- the URB replies on an imported device's connection, as they arrive ----

// What the client sent under a sequence number, as far as reading its reply
// needs it.
struct Expected {
  enum class Kind { None, Submit, Unlink };
  Kind kind = Kind::None;
  bool in = false;           // Submit: data follows the reply
  std::uint32_t length = 0;  // Submit: the buffer that was submitted
};

struct Reply {
  std::uint32_t command = 0;  // USBIP_RET_SUBMIT or USBIP_RET_UNLINK
  std::uint32_t seqnum = 0;
  std::int32_t status = 0;
  std::uint32_t actualLength = 0;       // RET_SUBMIT
  std::span<const std::uint8_t> data;   // RET_SUBMIT of an IN transfer: actualLength bytes
};

class ReplyParser {
 public:
  using Lookup = std::function<Expected(std::uint32_t seqnum)>;
  using Handler = std::function<void(const Reply&)>;

  // Takes bytes as they arrive and hands each complete reply to `handler`.
  // `lookup` says what was sent under a sequence number, once its header is
  // in. False, with error() set, on the first reply that cannot be taken;
  // the parser takes nothing after that.
  bool Feed(std::span<const std::uint8_t> bytes, const Lookup& lookup, const Handler& handler);

  // The stream ended here: false, with error() set, when it ended within a reply.
  bool End();

  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

 private:
  bool Fail(std::string text);

  Bytes buffer_;                // the reply being collected
  std::optional<UrbHeader> header_;
  std::uint32_t dataLength_ = 0;  // data bytes that follow header_
  bool failed_ = false;
  std::string error_;
};

// Text for a URB status ("-32 (stall)").
std::string StatusText(std::int32_t status);

}  // namespace nimbrel::usb::usbip
