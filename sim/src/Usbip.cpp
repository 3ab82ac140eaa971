#include "nimbrel_sim/Usbip.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "UsbipFrames.h"

namespace nimbrel::sim {

using usbip::Bytes;

namespace {

constexpr std::size_t kMaxPacket = 512;
constexpr std::uint32_t kEpOut = 1;
constexpr std::uint32_t kEpIn = 2;
// OUT data of a control transfer beyond this is read and dropped, and the
// request refused.
constexpr std::uint64_t kMaxControlData = 4096;
constexpr std::uint32_t kMaxIsoPackets = 1024;

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

void Signal(int writeEnd) {
  const char c = 1;
  [[maybe_unused]] auto n = ::write(writeEnd, &c, 1);  // a full pipe is as good as a wake-up
}

void DrainPipe(int readEnd) {
  char buf[64];
  while (::read(readEnd, buf, sizeof buf) > 0) {
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Bytes StringDescriptor(const std::string& text) {
  Bytes d{std::uint8_t(2 + 2 * text.size()), 3};
  for (char c : text) {
    d.push_back(std::uint8_t(c));
    d.push_back(0);
  }
  return d;
}

std::uint16_t SetupWord(const std::array<std::uint8_t, 8>& s, int at) {
  return std::uint16_t(s[std::size_t(at)] | s[std::size_t(at) + 1] << 8);
}

std::string SetupText(const std::array<std::uint8_t, 8>& s) {
  return Format("%02X %02X %04X %04X %04X", s[0], s[1], SetupWord(s, 2), SetupWord(s, 4), SetupWord(s, 6));
}

// One client connection.
struct Conn {
  int fd = -1;
  bool closed = false;
  // Under the link's mutex:
  bool holder = false;          // this connection has imported the device
  bool dropping = false;        // the device left: URBs are read and dropped
  bool halfClosed = false;      // our end is closed; the drop's unit waits for the client's end
  bool closeAfterWrite = false; // an operation was answered: the connection ends once that is out
  struct Item {
    Bytes bytes;
    std::size_t sent = 0;
    bool drop = false;
    bool outDone = false;  // the completion of the bulk OUT transfer being fed to the core
  };
  std::deque<Item> out;

  // The I/O thread's own parse state.
  Bytes in;
  bool haveUrb = false;
  usbip::Urb urb;
  std::uint64_t dataLeft = 0;   // OUT data of the current submit still to come
  std::uint64_t extraLeft = 0;  // isochronous descriptors after it, dropped
  Bytes controlData;
};

}  // namespace

class UsbipLink::Impl {
 public:
  Impl(Scanner& scanner, WorkTracker* tracker) : scanner_(scanner), tracker_(tracker), output_(*this) {}

  // What the core sends goes to the IN endpoint; a drop ends the import.
  class Output final : public LinkOutput {
   public:
    explicit Output(Impl& impl) : impl_(impl) {}
    void Send(std::vector<std::uint8_t> bytes) override { impl_.CoreSend(std::move(bytes)); }
    void Drop() override { impl_.CoreDrop(); }

   private:
    Impl& impl_;
  };

  Scanner& scanner_;
  WorkTracker* tracker_;
  Output output_;

  int listenFd_ = -1;
  int wakeRead_ = -1, wakeWrite_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::list<Conn> conns_;  // the I/O thread's

  mutable std::mutex mutex_;
  UsbSerial serial_ = UsbSerial::Unit51B;
  bool exported_ = true;
  std::int64_t restartMs_ = 2000;
  std::function<std::int64_t()> clock_ = SteadyMs;
  bool away_ = false;
  bool leaving_ = false;  // a restart waits for the IN endpoint to be read empty
  std::int64_t awayUntil_ = 0;
  std::map<std::uint8_t, std::uint32_t> registers_;
  Conn* holder_ = nullptr;                                         // the importing connection
  std::deque<Bytes> fifo_;                                         // the IN endpoint's queue
  std::size_t fifoHead_ = 0;                                       // bytes of fifo_.front() taken
  std::deque<std::pair<std::uint32_t, std::uint32_t>> pendingIn_;  // IN submits waiting: seqnum, length
  std::vector<ControlRecord> controls_;
  std::vector<RegisterAccess> registerLog_;
  std::vector<std::string> refusals_;
  std::size_t devlists_ = 0;
  std::size_t imports_ = 0;
  std::function<void(const std::string&)> observer_;
  std::vector<std::string> lines_;
  std::mutex notifyMutex_;  // keeps observer calls in order

  // ---- with mutex_ held ----

  bool PresentLocked() {
    if (!exported_) return false;
    if (away_ && clock_() >= awayUntil_) away_ = false;
    return !away_;
  }

  void Line(std::string text) {
    if (observer_) lines_.push_back(std::move(text));
  }

  void Refuse(std::string text) {
    Line("refused: " + text);
    refusals_.push_back(std::move(text));
  }

  void Queue(Conn& c, Bytes bytes) {
    if (bytes.empty()) return;
    if (tracker_) tracker_->Add(std::int64_t(bytes.size()));
    c.out.push_back({std::move(bytes), 0, false});
  }

  // IN submits take what waits in the endpoint, in order.
  void ServeInLocked() {
    if (!holder_ || holder_->dropping) return;
    while (!pendingIn_.empty() && !fifo_.empty()) {
      const auto [seq, length] = pendingIn_.front();
      pendingIn_.pop_front();
      Bytes data;
      while (data.size() < length && !fifo_.empty()) {
        const Bytes& m = fifo_.front();
        const std::size_t n = std::min<std::size_t>(m.size() - fifoHead_, length - data.size());
        data.insert(data.end(), m.begin() + std::ptrdiff_t(fifoHead_), m.begin() + std::ptrdiff_t(fifoHead_ + n));
        fifoHead_ += n;
        if (fifoHead_ < m.size()) break;
        // A message that ends in a short packet ends the transfer.
        const bool shortPacket = m.size() % kMaxPacket != 0;
        fifo_.pop_front();
        fifoHead_ = 0;
        if (shortPacket) break;
      }
      Bytes reply;
      usbip::PutRetSubmit(reply, seq, 0, std::uint32_t(data.size()));
      reply.insert(reply.end(), data.begin(), data.end());
      Queue(*holder_, std::move(reply));
    }
    if (leaving_ && fifo_.empty()) GoAwayLocked();
  }

  void CoreSend(std::vector<std::uint8_t> bytes) {
    {
      std::lock_guard lock(mutex_);
      if (!holder_ || holder_->dropping || bytes.empty()) return;
      fifo_.push_back(std::move(bytes));
      ServeInLocked();
    }
    Signal(wakeWrite_);
  }

  // The scanner restarts once what it has sent has been read: a reply it
  // queued just before is not lost with the restart.
  void CoreDrop() {
    {
      std::lock_guard lock(mutex_);
      if (holder_ && !holder_->dropping && !fifo_.empty()) {
        leaving_ = true;
      } else {
        GoAwayLocked();
      }
    }
    Signal(wakeWrite_);
  }

  // The device leaves: the import ends once what is queued is out, and the
  // device is away for the restart time.
  void GoAwayLocked() {
    leaving_ = false;
    away_ = true;
    awayUntil_ = clock_() + restartMs_;
    Line(Format("device restarts: away for %lld ms", static_cast<long long>(restartMs_)));
    fifo_.clear();
    fifoHead_ = 0;
    pendingIn_.clear();
    if (!holder_ || holder_->dropping) return;
    holder_->dropping = true;
    if (tracker_) tracker_->Add(1);
    holder_->out.push_back({{}, 0, true});
  }

  // ---- descriptors ----

  std::string SerialLocked() const { return SerialText(serial_); }

  static std::string SerialText(UsbSerial s) {
    switch (s) {
      case UsbSerial::Unit51B:
      case UsbSerial::String3LacksUnitId: return "00000000051B";
      case UsbSerial::Unit51D: return "00000000051D";
      case UsbSerial::NoUnitId: return "000000000520";
    }
    return {};
  }

  Bytes DeviceDescriptorLocked() const {
    const std::uint8_t iSerial = serial_ == UsbSerial::String3LacksUnitId ? 4 : 3;
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64,
            std::uint8_t(kVendorId & 0xFF), std::uint8_t(kVendorId >> 8),
            std::uint8_t(kProductId & 0xFF), std::uint8_t(kProductId >> 8),
            0x00, 0x01, 1, 2, iSerial, 1};
  }

  Bytes ConfigurationLocked() const {
    const std::uint8_t iInterface = serial_ == UsbSerial::String3LacksUnitId ? 3 : 0;
    return {9, 2, 32, 0, 1, 1, 0, 0xC0, 50,                         // configuration 1, self-powered
            9, 4, 0, 0, 2, 0xFF, 0, 0, iInterface,                  // interface 0: vendor-specific, 2 endpoints
            7, 5, std::uint8_t(kEpOut), 2, 0x00, 0x02, 0,           // bulk OUT, 512
            7, 5, std::uint8_t(0x80 | kEpIn), 2, 0x00, 0x02, 0};    // bulk IN, 512
  }

  bool StringLocked(std::uint8_t index, Bytes& out) const {
    switch (index) {
      case 0: out = {4, 3, 0x09, 0x04}; return true;
      case 1: out = StringDescriptor("Tavix"); return true;
      case 2: out = StringDescriptor("Imaging Plate Scanner"); return true;
      case 3:
        out = StringDescriptor(serial_ == UsbSerial::String3LacksUnitId ? "Scanner Interface" : SerialLocked());
        return true;
      case 4:
        if (serial_ != UsbSerial::String3LacksUnitId) return false;
        out = StringDescriptor(SerialLocked());
        return true;
      default: return false;
    }
  }

  usbip::Exported ExportedLocked() const {
    usbip::Exported d;
    d.path = "/sys/devices/platform/nimbrel-scanner-sim/usb1/1-1";
    d.busId = kBusId;
    d.idVendor = kVendorId;
    d.idProduct = kProductId;
    d.bcdDevice = 0x0100;
    d.interfaces = {{0xFF, 0, 0}};
    return d;
  }

  // A request on endpoint 0: the status and, for IN, the data.
  std::int32_t ControlLocked(const std::array<std::uint8_t, 8>& setup, const Bytes& outData, Bytes& inData) {
    const std::uint8_t type = setup[0], request = setup[1];
    const std::uint16_t value = SetupWord(setup, 2), index = SetupWord(setup, 4), length = SetupWord(setup, 6);
    std::int32_t status = 0;
    inData.clear();
    auto stall = [&](const std::string& why) {
      Refuse(why + ": " + SetupText(setup));
      status = usbip::kEpipe;
    };
    if (type == 0x80 && request == 6) {  // GET_DESCRIPTOR
      const std::uint8_t kind = std::uint8_t(value >> 8), which = std::uint8_t(value);
      if (kind == 1 && which == 0) {
        inData = DeviceDescriptorLocked();
      } else if (kind == 2 && which == 0) {
        inData = ConfigurationLocked();
      } else if (kind != 3 || !StringLocked(which, inData)) {
        stall("no such descriptor");
      }
    } else if (type == 0x80 && request == 0) {  // GET_STATUS
      inData = {1, 0};
    } else if (type == 0x80 && request == 8) {  // GET_CONFIGURATION
      inData = {1};
    } else if (type == 0x00 && request == 9 && value <= 1) {  // SET_CONFIGURATION
    } else if (type == 0x81 && request == 10) {  // GET_INTERFACE
      inData = {0};
    } else if (type == 0x01 && request == 11 && value == 0 && index == 0) {  // SET_INTERFACE
    } else if ((type == 0x02 || type == 0x00) && request == 1) {            // CLEAR_FEATURE
    } else if (type == 0x23 && request == 3 && value == 4) {                // port reset
      Line("device reset");
    } else if (type == 0xC0) {  // register read
      RegisterAccess a;
      a.reg = request;
      a.value = registers_[request];
      registerLog_.push_back(a);
      inData = {std::uint8_t(a.value), std::uint8_t(a.value >> 8), std::uint8_t(a.value >> 16),
                std::uint8_t(a.value >> 24)};
      Line(Format("register read 0x%02X = 0x%08X", a.reg, a.value));
    } else if (type == 0x40) {  // register write
      RegisterAccess a;
      a.write = true;
      a.reg = request;
      a.value = std::uint32_t(value) | std::uint32_t(index) << 16;
      std::copy_n(outData.begin(), std::min<std::size_t>(outData.size(), 4), a.data.begin());
      registers_[request] = a.value;
      registerLog_.push_back(a);
      Line(Format("register write 0x%02X := 0x%08X", a.reg, a.value));
    } else {
      stall("unsupported request");
    }
    if (inData.size() > length) inData.resize(length);
    ControlRecord r;
    r.setup = setup;
    r.status = status;
    r.data = outData;
    controls_.push_back(std::move(r));
    return status;
  }

  // ---- the I/O thread ----

  void Notify() {
    std::lock_guard order(notifyMutex_);
    std::vector<std::string> batch;
    std::function<void(const std::string&)> observer;
    {
      std::lock_guard lock(mutex_);
      batch.swap(lines_);
      observer = observer_;
    }
    if (!observer) return;
    for (const auto& line : batch) observer(line);
  }

  void Run() {
    std::vector<std::uint8_t> buf(256 * 1024);
    while (!stop_) {
      std::vector<pollfd> fds{{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
      {
        std::lock_guard lock(mutex_);
        for (Conn& c : conns_) {
          const bool pending = !c.out.empty();
          fds.push_back({c.fd, short(POLLIN | (pending ? POLLOUT : 0)), 0});
        }
      }
      if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
      DrainPipe(wakeRead_);
      if (stop_) break;

      std::size_t i = 2;
      for (Conn& c : conns_) {
        const short revents = i < fds.size() ? fds[i].revents : 0;
        ++i;
        // Reading first: a client that closed is noticed before more is written.
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
          const ssize_t n = ::recv(c.fd, buf.data(), buf.size(), MSG_DONTWAIT);
          if (n > 0) {
            c.in.insert(c.in.end(), buf.data(), buf.data() + n);
            Process(c);
            if (tracker_) tracker_->Done(n);
          } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            EndConn(c);
            continue;
          }
        }
      }
      Notify();  // what the requests did is told before their answers go out
      for (Conn& c : conns_)
        if (!c.closed) Write(c);
      if (fds[0].revents & POLLIN) Accept();
      conns_.remove_if([](const Conn& c) { return c.closed; });
      Notify();
    }
    for (Conn& c : conns_) EndConn(c);
    conns_.clear();
    Notify();
  }

  void Accept() {
    const int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return;
    SetNonBlocking(fd);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard lock(mutex_);
    conns_.emplace_back();
    conns_.back().fd = fd;
  }

  // Puts as much of the connection's queue on its socket as it takes.
  void Write(Conn& c) {
    bool endImport = false;
    bool close = false;
    {
      std::lock_guard lock(mutex_);
      while (!c.out.empty() && !c.halfClosed) {
        Conn::Item& item = c.out.front();
        if (item.drop) {
          // The device is gone: the client sees the end of the stream and
          // releases the drop's unit by closing its end.
          c.out.pop_front();
          ::shutdown(c.fd, SHUT_WR);
          c.halfClosed = true;
          endImport = c.holder;
          break;
        }
        const ssize_t n = ::send(c.fd, item.bytes.data() + item.sent, item.bytes.size() - item.sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
          if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
          close = true;
          break;
        }
        item.sent += std::size_t(n);
        if (item.sent == item.bytes.size()) c.out.pop_front();
      }
      if (c.out.empty() && c.closeAfterWrite) close = true;
    }
    if (endImport) ReleaseDevice(c);
    if (close) EndConn(c);
  }

  // The connection that held the device no longer does.
  void ReleaseDevice(Conn& c) {
    {
      std::lock_guard lock(mutex_);
      if (!c.holder) return;
      c.holder = false;
      holder_ = nullptr;
      leaving_ = false;
      fifo_.clear();
      fifoHead_ = 0;
      pendingIn_.clear();
      Line("device released");
    }
    scanner_.LinkDown();
  }

  void EndConn(Conn& c) {
    if (c.closed) return;
    ReleaseDevice(c);
    {
      std::lock_guard lock(mutex_);
      // What never reached the socket is settled here; so is the unit of a
      // drop whose end the client has now seen and answered.
      std::int64_t owed = c.halfClosed ? 1 : 0;
      for (const Conn::Item& item : c.out) owed += item.drop ? 1 : std::int64_t(item.bytes.size() - item.sent);
      c.out.clear();
      if (tracker_ && owed > 0) tracker_->Done(owed);
      c.closed = true;
    }
    ::close(c.fd);
    c.fd = -1;
  }

  // Takes every complete message (and streamed bulk data) from c.in.
  void Process(Conn& c) {
    std::size_t at = 0;
    for (;;) {
      bool holder, dropping, answered;
      {
        std::lock_guard lock(mutex_);
        holder = c.holder;
        dropping = c.dropping;
        answered = c.closeAfterWrite;
      }
      const std::size_t have = c.in.size() - at;
      if (answered || (dropping && !holder)) {  // nothing more is taken on this connection
        at = c.in.size();
        break;
      }
      if (!holder && !dropping) {
        const std::size_t used = TakeOperation(c, std::span(c.in).subspan(at));
        if (used == 0) break;
        at += used;
        continue;
      }
      const std::size_t used = TakeUrbBytes(c, std::span(c.in).subspan(at), dropping);
      if (used == 0 || used > have) break;
      at += used;
    }
    c.in.erase(c.in.begin(), c.in.begin() + std::ptrdiff_t(at));
  }

  // An operation request (devlist or import): bytes used, 0 when incomplete.
  std::size_t TakeOperation(Conn& c, std::span<const std::uint8_t> b) {
    if (b.size() < usbip::kOpHeader) return 0;
    const std::uint16_t version = usbip::Be16(b.data());
    const std::uint16_t code = usbip::Be16(b.data() + 2);
    Bytes reply;
    std::unique_lock lock(mutex_);
    if (code == usbip::kReqImport) {
      if (b.size() < usbip::kOpHeader + usbip::kBusIdSize) return 0;
      const auto field = b.subspan(usbip::kOpHeader, usbip::kBusIdSize);
      const std::string busId(field.begin(), std::find(field.begin(), field.end(), std::uint8_t{0}));
      std::uint32_t status = usbip::kStatusOk;
      if (version != usbip::kVersion) {
        Refuse(Format("import of protocol version %04X", version));
        status = usbip::kStatusFailed;
      } else if (busId != kBusId || !PresentLocked()) {
        Line("import refused: no device " + busId);
        status = usbip::kStatusNoDevice;
      } else if (holder_) {
        Line("import refused: busy");
        status = usbip::kStatusBusy;
      }
      usbip::PutOp(reply, usbip::kRepImport, status);
      if (status == usbip::kStatusOk) {
        usbip::PutExported(reply, ExportedLocked(), false);
        holder_ = &c;
        c.holder = true;
        ++imports_;
        Line("imported " + busId);
      } else {
        c.closeAfterWrite = true;
      }
      Queue(c, std::move(reply));
      if (status == usbip::kStatusOk) {
        // The core's lock is never taken with ours held.
        lock.unlock();
        scanner_.LinkUp(output_);
      }
      return usbip::kOpHeader + usbip::kBusIdSize;
    }
    c.closeAfterWrite = true;
    if (code == usbip::kReqDevlist && version == usbip::kVersion) {
      ++devlists_;
      const bool present = PresentLocked();
      usbip::PutOp(reply, usbip::kRepDevlist, usbip::kStatusOk);
      usbip::PutBe32(reply, present ? 1 : 0);
      if (present) usbip::PutExported(reply, ExportedLocked(), true);
      Line(Format("device list: %d device%s", present ? 1 : 0, present ? "" : "s"));
    } else {
      Refuse(Format("operation %04X of protocol version %04X", code, version));
      usbip::PutOp(reply, std::uint16_t(code & 0x7FFF), usbip::kStatusFailed);
    }
    Queue(c, std::move(reply));
    return usbip::kOpHeader;
  }

  // URB traffic of the importing connection: bytes used, 0 when nothing can be taken yet.
  std::size_t TakeUrbBytes(Conn& c, std::span<const std::uint8_t> b, bool dropping) {
    if (!c.haveUrb) {
      if (b.size() < usbip::kUrbHeader) return 0;
      c.urb = usbip::ReadUrb(b.data());
      c.haveUrb = true;
      c.dataLeft = 0;
      c.extraLeft = 0;
      c.controlData.clear();
      if (c.urb.command == usbip::kCmdSubmit) {
        const std::int32_t length = std::int32_t(c.urb.word[1]);
        if (c.urb.direction == usbip::kDirOut && length > 0) c.dataLeft = std::uint64_t(length);
        const std::uint32_t packets = c.urb.word[3];
        if (packets != 0 && packets != 0xFFFFFFFFu && packets <= kMaxIsoPackets)
          c.extraLeft = std::uint64_t(packets) * usbip::kIsoDescriptor;
      }
      if (c.dataLeft == 0 && c.extraLeft == 0) FinishUrb(c, dropping);
      return usbip::kUrbHeader;
    }
    if (b.empty()) return 0;
    if (c.dataLeft > 0) {
      const std::size_t n = std::size_t(std::min<std::uint64_t>(c.dataLeft, b.size()));
      c.dataLeft -= n;
      const auto piece = b.first(n);
      const bool last = c.dataLeft == 0 && c.extraLeft == 0;
      if (c.urb.ep == kEpOut && !dropping && ValidBulk(c.urb, false)) {
        // The transfer completes as its last bytes arrive, before the scanner
        // acts on them: its answer follows the OUT completion. Unless the
        // scanner restarts on them: then it never completes.
        if (last) FinishUrb(c, dropping);
        scanner_.Feed(piece);
        if (last) RetractOutDone(c);
      } else {
        if (c.urb.ep == 0 && c.controlData.size() < kMaxControlData + 1) {
          const std::size_t keep = std::min<std::size_t>(n, kMaxControlData + 1 - c.controlData.size());
          c.controlData.insert(c.controlData.end(), piece.begin(), piece.begin() + std::ptrdiff_t(keep));
        }
        if (last) FinishUrb(c, dropping);
      }
      return n;
    }
    const std::size_t n = std::size_t(std::min<std::uint64_t>(c.extraLeft, b.size()));
    c.extraLeft -= n;
    if (c.extraLeft == 0) FinishUrb(c, dropping);
    return n;
  }

  void RetractOutDone(Conn& c) {
    std::lock_guard lock(mutex_);
    for (auto it = c.out.begin(); it != c.out.end(); ++it) {
      if (!it->outDone) continue;
      if (c.dropping && it->sent == 0) {
        if (tracker_) tracker_->Done(std::int64_t(it->bytes.size()));
        c.out.erase(it);
      } else {
        it->outDone = false;
      }
      return;
    }
  }

  static bool ValidBulk(const usbip::Urb& u, bool in) {
    const std::uint32_t packets = u.word[3];
    return u.direction == (in ? usbip::kDirIn : usbip::kDirOut) && std::int32_t(u.word[1]) >= 0 &&
           (packets == 0 || packets == 0xFFFFFFFFu);
  }

  // The current URB is complete: answer it.
  void FinishUrb(Conn& c, bool dropping) {
    const usbip::Urb u = c.urb;
    c.haveUrb = false;
    if (dropping) return;
    std::lock_guard lock(mutex_);
    if (c.dropping || !c.holder) return;
    Bytes reply;
    if (u.command == usbip::kCmdUnlink) {
      const std::uint32_t victim = u.word[0];
      auto it = std::find_if(pendingIn_.begin(), pendingIn_.end(), [&](const auto& p) { return p.first == victim; });
      std::int32_t status = 0;
      if (it != pendingIn_.end()) {
        pendingIn_.erase(it);
        status = usbip::kEconnreset;
      }
      usbip::PutRetUnlink(reply, u.seqnum, status);
      Queue(c, std::move(reply));
      return;
    }
    if (u.command != usbip::kCmdSubmit) {
      Refuse(Format("unknown command %u", u.command));
      return;
    }
    const std::int32_t length = std::int32_t(u.word[1]);
    const std::uint32_t packets = u.word[3];
    const std::uint32_t devid = 1u << 16 | 2u;
    auto refuse = [&](const std::string& why) {
      Refuse(Format("submit %u: %s", u.seqnum, why.c_str()));
      usbip::PutRetSubmit(reply, u.seqnum, usbip::kEinval, 0);
      Queue(c, std::move(reply));
    };
    if (u.devid != devid) return refuse(Format("device id %08X", u.devid));
    if (length < 0) return refuse(Format("length %d", length));
    if (packets != 0 && packets != 0xFFFFFFFFu) return refuse(Format("%u isochronous packets", packets));
    if (u.ep == 0) {
      const bool in = (u.setup[0] & 0x80) != 0;
      if (in != (u.direction == usbip::kDirIn)) return refuse("direction differs from the setup packet");
      if (!in && c.controlData.size() > kMaxControlData) return refuse("control data too long");
      Bytes data;
      const std::int32_t status = ControlLocked(u.setup, c.controlData, data);
      if (in && data.size() > std::size_t(length)) data.resize(std::size_t(length));
      usbip::PutRetSubmit(reply, u.seqnum, status, in ? std::uint32_t(data.size()) : std::uint32_t(c.controlData.size()));
      reply.insert(reply.end(), data.begin(), data.end());
      Queue(c, std::move(reply));
      return;
    }
    if (u.ep == kEpOut && ValidBulk(u, false)) {
      usbip::PutRetSubmit(reply, u.seqnum, 0, std::uint32_t(length));
      Queue(c, std::move(reply));
      c.out.back().outDone = length > 0;
      return;
    }
    if (u.ep == kEpIn && ValidBulk(u, true)) {
      pendingIn_.emplace_back(u.seqnum, std::uint32_t(length));
      ServeInLocked();
      return;
    }
    refuse(Format("endpoint %u %s", u.ep, u.direction == usbip::kDirIn ? "in" : "out"));
  }
};

// ---- UsbipLink ----

UsbipLink::UsbipLink(Scanner& scanner, WorkTracker* tracker) : impl_(std::make_unique<Impl>(scanner, tracker)) {}

UsbipLink::~UsbipLink() { Stop(); }

bool UsbipLink::Start(std::uint16_t port, std::string* error) {
  Stop();
  Impl& m = *impl_;
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    CloseFd(m.listenFd_);
    return false;
  };
  m.listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (m.listenFd_ < 0) return fail("socket");
  const int on = 1;
  ::setsockopt(m.listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(m.listenFd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(m.listenFd_, 8) != 0)
    return fail("usbip listen");
  int fds[2];
  if (::pipe(fds) != 0) return fail("pipe");
  m.wakeRead_ = fds[0];
  m.wakeWrite_ = fds[1];
  SetNonBlocking(m.wakeRead_);
  SetNonBlocking(m.wakeWrite_);
  SetNonBlocking(m.listenFd_);
  socklen_t len = sizeof a;
  ::getsockname(m.listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
  m.port_ = ntohs(a.sin_port);
  m.stop_ = false;
  m.thread_ = std::thread([&m] { m.Run(); });
  return true;
}

void UsbipLink::Stop() {
  Impl& m = *impl_;
  if (m.thread_.joinable()) {
    m.stop_ = true;
    Signal(m.wakeWrite_);
    m.thread_.join();
  }
  CloseFd(m.listenFd_);
  CloseFd(m.wakeRead_);
  CloseFd(m.wakeWrite_);
}

std::uint16_t UsbipLink::Port() const { return impl_->port_; }

void UsbipLink::SetSerial(UsbSerial serial) {
  std::lock_guard lock(impl_->mutex_);
  impl_->serial_ = serial;
}

std::string UsbipLink::SerialText(UsbSerial serial) { return Impl::SerialText(serial); }

void UsbipLink::SetRestartTime(std::int64_t ms) {
  std::lock_guard lock(impl_->mutex_);
  impl_->restartMs_ = ms;
}

void UsbipLink::SetClock(std::function<std::int64_t()> nowMs) {
  std::lock_guard lock(impl_->mutex_);
  impl_->clock_ = nowMs ? std::move(nowMs) : SteadyMs;
}

void UsbipLink::SetExported(bool exported) {
  std::lock_guard lock(impl_->mutex_);
  impl_->exported_ = exported;
}

void UsbipLink::Restart() {
  Impl& m = *impl_;
  // With the device imported the core's link drops, which ends the import.
  // It does not wait for its IN endpoint to be read.
  const bool dropped = m.scanner_.DropLink();
  {
    std::lock_guard lock(m.mutex_);
    if (!dropped || m.leaving_) m.GoAwayLocked();
  }
  if (m.wakeWrite_ >= 0) Signal(m.wakeWrite_);
  m.Notify();
}

bool UsbipLink::Present() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->PresentLocked();
}

bool UsbipLink::Imported() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->holder_ != nullptr;
}

void UsbipLink::SetRegister(std::uint8_t reg, std::uint32_t value) {
  std::lock_guard lock(impl_->mutex_);
  impl_->registers_[reg] = value;
}

std::vector<ControlRecord> UsbipLink::ControlRequests() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->controls_;
}

std::vector<RegisterAccess> UsbipLink::RegisterAccesses() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->registerLog_;
}

std::vector<std::string> UsbipLink::Refusals() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->refusals_;
}

std::size_t UsbipLink::DevlistRequests() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->devlists_;
}

std::size_t UsbipLink::Imports() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->imports_;
}

void UsbipLink::ClearRecords() {
  std::lock_guard lock(impl_->mutex_);
  impl_->controls_.clear();
  impl_->registerLog_.clear();
  impl_->refusals_.clear();
  impl_->devlists_ = 0;
  impl_->imports_ = 0;
}

void UsbipLink::SetObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard lock(impl_->mutex_);
  impl_->observer_ = std::move(observer);
}

// ---- UsbipSimulator ----

UsbipSimulator::UsbipSimulator(WorkTracker* tracker, const Frame& systemInfo)
    : scanner_(systemInfo), link_(scanner_, tracker) {}

UsbipSimulator::~UsbipSimulator() { Stop(); }

}  // namespace nimbrel::sim
