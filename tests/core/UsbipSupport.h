#pragma once
// Pieces for the USB/IP tests: a raw client that speaks the protocol with
// the updater's wire code (no driver, no engine), and a scripted server on a
// loopback port that behaves until a test tells it to misbehave.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "NetSupport.h"
#include "nimbrel_sim/WorkTracker.h"
#include "usb/UsbipWire.h"

namespace nimbrel::testing {

namespace uip = usb::usbip;

// Bounds each wait for a peer on loopback (a stuck peer fails the test).
inline constexpr int kSocketWaitMs = 10000;

inline uip::SetupPacket SetupOf(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                              std::uint16_t length) {
  return {type,
          request,
          std::uint8_t(value),
          std::uint8_t(value >> 8),
          std::uint8_t(index),
          std::uint8_t(index >> 8),
          std::uint8_t(length),
          std::uint8_t(length >> 8)};
}

// Counts the simulator's work in flight against a raw client's share.
class CountingTracker final : public sim::WorkTracker {
 public:
  void Add(std::int64_t n) override {
    std::lock_guard lock(mutex_);
    count_ += n;
  }
  void Done(std::int64_t n) override {
    std::lock_guard lock(mutex_);
    count_ -= n;
    if (count_ < 0) wentNegative_ = true;
    if (count_ == 0) zero_.notify_all();
  }
  // Waits (bounded) until nothing is in flight; false when something stays.
  bool WaitZero() {
    std::unique_lock lock(mutex_);
    return zero_.wait_for(lock, std::chrono::milliseconds(kSocketWaitMs), [this] { return count_ == 0; });
  }
  std::int64_t Count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }
  bool WentNegative() const {
    std::lock_guard lock(mutex_);
    return wentNegative_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable zero_;
  std::int64_t count_ = 0;
  bool wentNegative_ = false;
};

// A blocking TCP socket on 127.0.0.1 with exact reads.
class LoopbackSocket {
 public:
  LoopbackSocket() = default;
  explicit LoopbackSocket(int fd) : fd_(fd) {}
  ~LoopbackSocket() { Close(); }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  bool Connect(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  bool Write(const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += std::size_t(n);
    }
    return true;
  }
  // Exactly n bytes; nothing when the stream ends first or nothing comes in time.
  std::optional<std::vector<std::uint8_t>> Read(std::size_t n) {
    std::vector<std::uint8_t> out(n);
    std::size_t have = 0;
    while (have < n) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, kSocketWaitMs) != 1) return std::nullopt;
      const ssize_t k = ::recv(fd_, out.data() + have, n - have, 0);
      if (k <= 0) return std::nullopt;
      have += std::size_t(k);
    }
    return out;
  }
  // True once the peer has ended the stream (nothing else arrives first).
  bool SeesEnd() {
    std::uint8_t b;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, kSocketWaitMs) != 1) return false;
    return ::recv(fd_, &b, 1, 0) == 0;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// A client that speaks USB/IP with the updater's wire code, one step at a time.
//
// With a tracker it does the client's share of the work-in-flight accounting:
// what it sends is added before it goes out, what it reads is released.
class RawUsbipClient {
 public:
  explicit RawUsbipClient(std::uint16_t port, sim::WorkTracker* tracker = nullptr) : port_(port), tracker_(tracker) {}

  // A devlist on a connection of its own; the parser as the reply left it.
  uip::DevlistParser Devlist() {
    LoopbackSocket s;
    uip::DevlistParser parser;
    if (!s.Connect(port_) || !Write(s, uip::DevlistRequest())) return parser;
    while (parser.state() == uip::DevlistParser::State::NeedMore) {
      auto b = Read(s, 1);
      if (!b) {
        parser.End();
        break;
      }
      parser.Feed(*b);
    }
    return parser;
  }

  // Sends an import request; the status of the reply (nothing when there is none).
  std::optional<std::uint32_t> Import(const std::string& busId) {
    if (!socket_.Connect(port_) || !Write(socket_, uip::ImportRequest(busId))) return std::nullopt;
    auto header = Read(socket_, uip::kOpHeaderSize);
    if (!header) return std::nullopt;
    const auto h = *uip::ParseOpHeader(*header);
    if (h.version != uip::kVersion || h.code != uip::OP_REP_IMPORT) return std::nullopt;
    if (h.status == uip::ST_OK) {
      auto record = Read(socket_, uip::kDeviceRecordSize);
      if (!record) return std::nullopt;
      device = *uip::ParseDeviceRecord(*record);
    }
    return h.status;
  }

  bool SendRaw(const std::vector<std::uint8_t>& bytes) { return Write(socket_, bytes); }
  bool Submit(std::uint32_t seq, bool in, std::uint32_t ep, std::uint32_t length, const uip::SetupPacket& setup = {},
              const std::vector<std::uint8_t>& data = {}) {
    uip::Bytes msg;
    uip::PutUrbHeader(msg, uip::CmdSubmit(seq, device.DevId(), in, ep, length, setup));
    msg.insert(msg.end(), data.begin(), data.end());
    return Write(socket_, msg);
  }
  bool Unlink(std::uint32_t seq, std::uint32_t victim) {
    uip::Bytes msg;
    uip::PutUrbHeader(msg, uip::CmdUnlink(seq, device.DevId(), victim));
    return Write(socket_, msg);
  }

  struct Answer {
    uip::UrbHeader header;
    std::vector<std::uint8_t> data;
  };
  // The next reply; `inLength` bytes of data are allowed for an IN submit.
  std::optional<Answer> Next(bool inSubmit) {
    auto raw = Read(socket_, uip::kUrbHeaderSize);
    if (!raw) return std::nullopt;
    Answer a{*uip::ParseUrbHeader(*raw), {}};
    if (a.header.command == uip::USBIP_RET_SUBMIT && inSubmit && a.header.actualLength() > 0) {
      auto data = Read(socket_, a.header.actualLength());
      if (!data) return std::nullopt;
      a.data = *data;
    }
    return a;
  }

  // A control transfer, answered: status and data.
  std::optional<Answer> Control(std::uint32_t seq, const uip::SetupPacket& setup,
                                const std::vector<std::uint8_t>& out = {}) {
    const bool in = (setup[0] & 0x80) != 0;
    const std::uint32_t length = std::uint32_t(setup[6] | setup[7] << 8);
    if (!Submit(seq, in, 0, length, setup, out)) return std::nullopt;
    return Next(in);
  }

  // The server ended the imported connection; closing our end answers it.
  bool SeesEnd() {
    const bool end = socket_.SeesEnd();
    socket_.Close();
    return end;
  }

  LoopbackSocket& socket() { return socket_; }
  uip::DeviceRecord device;

 private:
  bool Write(LoopbackSocket& s, const std::vector<std::uint8_t>& bytes) {
    if (tracker_) tracker_->Add(std::int64_t(bytes.size()));
    return s.Write(bytes);
  }
  std::optional<std::vector<std::uint8_t>> Read(LoopbackSocket& s, std::size_t n) {
    auto b = s.Read(n);
    if (b && tracker_) tracker_->Done(std::int64_t(n));
    return b;
  }

  std::uint16_t port_;
  sim::WorkTracker* tracker_;
  LoopbackSocket socket_;
};

// A USB/IP server on 127.0.0.1 that lists one vendor-specific device, lets
// it be imported, answers the descriptor requests of an import, completes
// bulk OUT submits and hands each bulk IN submit to `onRead`, which may
// answer it properly or not at all. `onDevlist` may replace the devlist reply.
class ScriptedUsbipServer {
 public:
  struct Peer {
    LoopbackSocket& socket;
    std::uint32_t seqnum;  // of the IN submit
    std::uint32_t length;  // its buffer
  };
  std::function<void(Peer&)> onRead;
  std::function<uip::Bytes()> onDevlist;
  // True: the control request gets no answer at all.
  std::function<bool(const uip::SetupPacket&)> ignoreControl;
  std::string serial = "00000000051B";

  ScriptedUsbipServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 8);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~ScriptedUsbipServer() {
    stop_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listen_);
  }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  std::uint16_t Port() const { return port_; }
  int Imports() const { return imports_; }

  static uip::DeviceRecord Device() {
    uip::DeviceRecord d;
    d.path = "/sys/devices/scripted/usb1/1-1";
    d.busId = "1-1";
    d.busnum = 1;
    d.devnum = 2;
    d.speed = 3;
    d.bConfigurationValue = 1;
    d.bNumConfigurations = 1;
    d.bNumInterfaces = 1;
    d.interfaces = {{0xFF, 0, 0}};
    return d;
  }
  static uip::Bytes DevlistReply(std::uint32_t claimed, const std::vector<uip::DeviceRecord>& devices) {
    uip::Bytes out;
    uip::PutOpHeader(out, {uip::kVersion, uip::OP_REP_DEVLIST, uip::ST_OK});
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(std::uint8_t(claimed >> shift));
    for (const auto& d : devices) uip::PutDeviceRecord(out, d, true);
    return out;
  }

 private:
  void Run() {
    while (!stop_) {
      const int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      LoopbackSocket s(fd);
      auto header = s.Read(uip::kOpHeaderSize);
      if (!header) continue;
      const auto op = *uip::ParseOpHeader(*header);
      if (op.code == uip::OP_REQ_DEVLIST) {
        s.Write(onDevlist ? onDevlist() : DevlistReply(1, {Device()}));
        continue;
      }
      if (!s.Read(uip::kBusIdSize)) continue;
      uip::Bytes reply;
      uip::PutOpHeader(reply, {uip::kVersion, uip::OP_REP_IMPORT, uip::ST_OK});
      uip::PutDeviceRecord(reply, Device(), false);
      s.Write(reply);
      ++imports_;
      ServeUrbs(s);
    }
  }

  void ServeUrbs(LoopbackSocket& s) {
    for (;;) {
      auto raw = s.Read(uip::kUrbHeaderSize);
      if (!raw) return;
      const auto h = *uip::ParseUrbHeader(*raw);
      if (h.command != uip::USBIP_CMD_SUBMIT) continue;
      const bool in = h.direction == uip::USBIP_DIR_IN;
      if (!in && h.transferBufferLength() > 0 && !s.Read(h.transferBufferLength())) return;
      uip::Bytes reply;
      if (h.ep == 0 && ignoreControl && ignoreControl(h.setup)) continue;
      if (h.ep == 0) {
        const auto data = Descriptor(h.setup);
        const std::size_t n = std::min<std::size_t>(data.size(), h.transferBufferLength());
        uip::PutUrbHeader(reply, uip::RetSubmit(h.seqnum, data.empty() ? uip::status::kPipe : 0, std::uint32_t(n)));
        reply.insert(reply.end(), data.begin(), data.begin() + std::ptrdiff_t(n));
      } else if (!in) {
        uip::PutUrbHeader(reply, uip::RetSubmit(h.seqnum, 0, h.transferBufferLength()));
      } else {
        Peer peer{s, h.seqnum, h.transferBufferLength()};
        if (onRead) onRead(peer);
        if (s.fd() < 0) return;
        continue;
      }
      if (!s.Write(reply)) return;
    }
  }

  std::vector<std::uint8_t> Descriptor(const uip::SetupPacket& setup) const {
    if (setup[0] != 0x80 || setup[1] != 6) return {};
    switch (setup[3]) {
      case 1: return {18, 1, 0, 2, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x00, 0, 1, 1, 2, 3, 1};
      case 2: return {9, 2, 32, 0, 1, 1, 0, 0xC0, 50, 9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
                      7, 5, 0x01, 2, 0, 2, 0, 7, 5, 0x82, 2, 0, 2, 0};
      case 3: {
        if (setup[2] == 0) return {4, 3, 0x09, 0x04};
        std::vector<std::uint8_t> d{std::uint8_t(2 + 2 * serial.size()), 3};
        for (char c : serial) {
          d.push_back(std::uint8_t(c));
          d.push_back(0);
        }
        return d;
      }
      default: return {};
    }
  }

  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> imports_{0};
  std::thread thread_;
};

}  // namespace nimbrel::testing
