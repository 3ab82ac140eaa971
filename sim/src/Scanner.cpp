#include "nimbrel_sim/Scanner.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Wire.h"

namespace nimbrel::sim {

using wire::Get32;
using wire::GetI32;
using wire::Put32;

namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string Verdict(const Upload& u) {
  if (!u.complete) return Format("cut off after %" PRIu64 " of %d bytes", u.received, u.transferLength);
  if (u.Ok()) return "ok";
  std::string s;
  auto add = [&s](bool ok, const char* what) {
    if (ok) return;
    if (!s.empty()) s += ", ";
    s += what;
  };
  add(u.announcementOk, "announcement param/value not 0");
  add(u.headerMagicOk, "bad header magic");
  add(u.headerCommandOk, "header command differs");
  add(u.sizeOk, "size does not match length");
  add(u.checksumOk, "bad checksum");
  add(u.paddingZero, "padding not zero");
  return s;
}

}  // namespace

const char* ToString(EventKind kind) {
  switch (kind) {
    case EventKind::LinkUp: return "link-up";
    case EventKind::LinkDown: return "link-down";
    case EventKind::LinkDropped: return "link-dropped";
    case EventKind::Wake: return "wake";
    case EventKind::Datagram: return "datagram";
    case EventKind::SessionStart: return "session-start";
    case EventKind::ConnectRequest: return "connect-request";
    case EventKind::SystemInfoRequest: return "system-info-request";
    case EventKind::UploadStart: return "upload-start";
    case EventKind::UploadEnd: return "upload-end";
    case EventKind::KeepAlive: return "keep-alive";
    case EventKind::EndSession: return "end-session";
    case EventKind::EthernetEndSession: return "ethernet-end-session";
    case EventKind::RegisterWrite: return "register-write";
    case EventKind::Unknown: return "unknown";
  }
  return "?";
}

std::span<const std::uint8_t> Upload::Payload() const {
  if (!data || data->size() <= kFrameSize) return {};
  const std::size_t size = headerSize > 0 ? std::size_t(headerSize) : 0;
  return {data->data() + kFrameSize, std::min(size, data->size() - kFrameSize)};
}

struct Scanner::UploadInProgress {
  Upload up;
  std::size_t index = 0;
  std::vector<std::uint8_t> data;
  std::uint32_t sum = 0;  // the data's words from offset 512 on
  bool headerParsed = false;
  bool paddingZero = true;
};

Scanner::Scanner(const Frame& systemInfo) : record_(systemInfo) {}

Scanner::~Scanner() = default;

// ---- identity and options ----

Frame Scanner::SystemInfo() const {
  std::lock_guard lock(mutex_);
  return record_;
}

void Scanner::SetSystemInfo(const Frame& record) {
  std::lock_guard lock(mutex_);
  record_ = record;
}

void Scanner::SetPartNumber(std::string_view pn) {
  std::lock_guard lock(mutex_);
  wire::PutText(record_.data() + offset::kPartNumber, kTextFieldSize, pn);
}

void Scanner::SetFirmwareVersion(std::uint32_t version) { SetWord(offset::kFirmwareVersion, version); }

void Scanner::SetUnitMode(std::string_view text) {
  std::lock_guard lock(mutex_);
  wire::PutText(record_.data() + offset::kUnitMode, kTextFieldSize, text);
}

void Scanner::SetTsCode(std::int32_t tsCode) { SetWord(offset::kTsCode, std::uint32_t(tsCode)); }
void Scanner::SetProductionDay(std::int32_t day) { SetWord(offset::kProductionDay, std::uint32_t(day)); }

void Scanner::SetWord(std::size_t at, std::uint32_t word) {
  if (at > kFrameSize - 4) return;
  std::lock_guard lock(mutex_);
  Put32(record_.data() + at, word);
}

Options Scanner::GetOptions() const {
  std::lock_guard lock(mutex_);
  return options_;
}

void Scanner::SetOptions(const Options& options) {
  std::lock_guard lock(mutex_);
  options_ = options;
}

void Scanner::Configure(const std::function<void(Options&)>& change) {
  std::lock_guard lock(mutex_);
  change(options_);
}

void Scanner::SetObserver(std::function<void(const Event&)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

// ---- link side ----

void Scanner::LinkUp(LinkOutput& output) {
  {
    std::lock_guard lock(mutex_);
    if (link_ && upload_) FinishUpload(false);
    link_ = &output;
    dropped_ = false;
    rxFill_ = 0;
    repliesUntilDrop_ = 0;
    ++links_;
    Event e;
    e.kind = EventKind::LinkUp;
    e.text = "link up";
    Record(std::move(e));
  }
  Notify();
}

void Scanner::LinkDown() {
  {
    std::lock_guard lock(mutex_);
    if (!link_) return;
    if (upload_) FinishUpload(false);
    if (!dropped_) {
      Event e;
      e.kind = EventKind::LinkDown;
      e.text = "link down";
      Record(std::move(e));
    }
    link_ = nullptr;
    rxFill_ = 0;
  }
  Notify();
}

void Scanner::Feed(std::span<const std::uint8_t> bytes) {
  {
    std::lock_guard lock(mutex_);
    while (!bytes.empty() && !dropped_) {
      if (upload_) {
        bytes = bytes.subspan(TakeUploadBytes(bytes));
        continue;
      }
      const std::size_t n = std::min(kFrameSize - rxFill_, bytes.size());
      std::memcpy(rx_.data() + rxFill_, bytes.data(), n);
      rxFill_ += n;
      bytes = bytes.subspan(n);
      if (rxFill_ == kFrameSize) {
        rxFill_ = 0;
        HandleFrame(rx_);
      }
    }
    ++generation_;
  }
  changed_.notify_all();
  Notify();
}

void Scanner::Datagram(std::span<const std::uint8_t> bytes) {
  {
    std::lock_guard lock(mutex_);
    Frame f{};
    std::memcpy(f.data(), bytes.data(), std::min(bytes.size(), kFrameSize));
    Event e = FrameEvent(EventKind::Datagram, f);
    e.size = bytes.size();
    if (bytes.size() >= 4 && e.magic == magic::kRsS) {
      e.kind = EventKind::Wake;
      e.text = Format("wake param=%d value=%d size=%zu", e.param, e.value, e.size);
    } else {
      e.text = Format("datagram magic=0x%08X size=%zu", e.magic, e.size);
    }
    Record(std::move(e));
  }
  Notify();
}

void Scanner::HandleFrame(const Frame& f) {
  const std::uint32_t m = Get32(f.data() + offset::kMagic);
  const std::int32_t param = GetI32(f.data() + offset::kParam);
  const std::int32_t value = GetI32(f.data() + offset::kValue);
  const std::int32_t cmd = GetI32(f.data() + offset::kCommand);
  const std::int32_t length = GetI32(f.data() + offset::kTransferLength);

  if (m == magic::kSoF) {
    if (length > 0) {
      StartUpload(f);
    } else if (value == 0) {
      // The connect request is written over whatever the updater's frame
      // buffer held, so only magic, value and transferLength identify it.
      Event e = FrameEvent(EventKind::ConnectRequest, f);
      e.text = Format("connect request param=%d command=0x%08X", param, std::uint32_t(cmd));
      Record(std::move(e));
      AnswerConnect();
    } else if (cmd == command::kSystemInfo) {
      Event e = FrameEvent(EventKind::SystemInfoRequest, f);
      e.text = Format("system info request param=%d value=%d", param, value);
      Record(std::move(e));
      if (options_.dropAtSystemInfoRequest) {
        options_.dropAtSystemInfoRequest = false;
        DropLocked();
        return;
      }
      AnswerSystemInfo();
    } else if (cmd == command::kKeepAlive) {
      Event e = FrameEvent(EventKind::KeepAlive, f);
      e.text = Format("keep-alive param=%d value=%d", param, value);
      Record(std::move(e));
    } else if (cmd == command::kEndSession) {
      Event e = FrameEvent(EventKind::EndSession, f);
      e.text = Format("end of session param=%d value=%d", param, value);
      Record(std::move(e));
    } else {
      Event e = FrameEvent(EventKind::Unknown, f);
      e.text = Format("unknown request param=%d value=%d command=0x%08X", param, value, std::uint32_t(cmd));
      Record(std::move(e));
    }
    return;
  }
  Event e;
  switch (m) {
    case magic::kSwS:
      e = FrameEvent(EventKind::SessionStart, f);
      e.text = "session start";
      break;
    case magic::kSoS:
      e = FrameEvent(EventKind::EthernetEndSession, f);
      e.text = "end of session (ethernet)";
      break;
    case magic::kSeT:
      e = FrameEvent(EventKind::RegisterWrite, f);
      e.text = Format("register write 0x%X := %d", std::uint32_t(param), value);
      break;
    default:
      e = FrameEvent(EventKind::Unknown, f);
      e.text = Format("unknown frame magic=0x%08X param=%d value=%d command=0x%08X length=%d", m, param, value,
                      std::uint32_t(cmd), length);
      break;
  }
  Record(std::move(e));
}

// ---- answers ----

Frame Scanner::ReplyFrame(std::int32_t cmd) const {
  Frame r = record_;
  Put32(r.data() + offset::kMagic, options_.replyMagic);
  Put32(r.data() + offset::kCommand, std::uint32_t(cmd));
  Put32(r.data() + offset::kTransferLength, 0);
  return r;
}

void Scanner::AnswerConnect() {
  if (options_.silent) return;
  const Frame greeting = ReplyFrame(0);
  for (int i = 0; i < options_.badMagicFrames; ++i) {
    Frame bad = greeting;
    Put32(bad.data() + offset::kMagic, options_.badMagicWord);
    SendLocked({bad.begin(), bad.end()});
  }
  if (options_.badMagicInsteadOfGreeting) return;
  if (options_.announceBeforeGreeting) {
    const Frame record = ReplyFrame(command::kSystemInfo);
    SendTransferLocked(command::kSystemInfo, {record.begin(), record.end()});
    return;
  }
  SendLocked({greeting.begin(), greeting.end()});
  lastGreeting_ = greeting;
}

void Scanner::AnswerSystemInfo() {
  if (options_.silent) return;
  if (options_.imageBeforeReply > 0) {
    std::vector<std::uint8_t> image(std::size_t(options_.imageBeforeReply));
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = std::uint8_t(i);
    SendTransferLocked(command::kImage, std::move(image));
  }
  const Frame reply = ReplyFrame(command::kSystemInfo);
  if (options_.systemInfoAsTransfer)
    SendTransferLocked(command::kSystemInfo, {reply.begin(), reply.end()});
  else
    SendLocked({reply.begin(), reply.end()});
  if (repliesUntilDrop_ > 0 && --repliesUntilDrop_ == 0) DropLocked();
}

void Scanner::SendLocked(std::vector<std::uint8_t> bytes) {
  if (link_ && !dropped_ && !bytes.empty()) link_->Send(std::move(bytes));
}

void Scanner::SendTransferLocked(std::int32_t cmd, std::vector<std::uint8_t> data) {
  Frame announce{};
  Put32(announce.data() + offset::kMagic, options_.replyMagic);
  Put32(announce.data() + offset::kCommand, std::uint32_t(cmd));
  Put32(announce.data() + offset::kTransferLength, std::uint32_t(data.size()));
  SendLocked({announce.begin(), announce.end()});
  SendLocked(std::move(data));
}

bool Scanner::SendRaw(std::vector<std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  if (!link_ || dropped_) return false;
  SendLocked(std::move(bytes));
  return true;
}

bool Scanner::SendTransfer(std::int32_t cmd, std::vector<std::uint8_t> data) {
  std::lock_guard lock(mutex_);
  if (!link_ || dropped_) return false;
  SendTransferLocked(cmd, std::move(data));
  return true;
}

bool Scanner::SendImageTransfer(std::size_t length) {
  std::vector<std::uint8_t> image(length);
  for (std::size_t i = 0; i < length; ++i) image[i] = std::uint8_t(i);
  return SendTransfer(command::kImage, std::move(image));
}

bool Scanner::DropLink() {
  {
    std::lock_guard lock(mutex_);
    if (!link_ || dropped_) return false;
    DropLocked();
  }
  Notify();
  return true;
}

void Scanner::DropLocked() {
  if (dropped_) return;
  if (upload_) FinishUpload(false);
  dropped_ = true;
  Event e;
  e.kind = EventKind::LinkDropped;
  e.text = "link dropped";
  Record(std::move(e));
  if (link_) link_->Drop();
}

// ---- uploads ----

void Scanner::StartUpload(const Frame& f) {
  upload_ = std::make_unique<UploadInProgress>();
  UploadInProgress& u = *upload_;
  u.index = uploads_.size();
  u.up.announcement = f;
  u.up.param = GetI32(f.data() + offset::kParam);
  u.up.value = GetI32(f.data() + offset::kValue);
  u.up.command = GetI32(f.data() + offset::kCommand);
  u.up.transferLength = GetI32(f.data() + offset::kTransferLength);
  u.up.announcementOk = u.up.param == 0 && u.up.value == 0;
  u.data.reserve(std::min<std::size_t>(std::size_t(u.up.transferLength), kMaxStoredUpload));

  Event e = FrameEvent(EventKind::UploadStart, f);
  e.upload = u.index;
  e.text = Format("upload start command=0x%08X length=%d param=%d value=%d", std::uint32_t(u.up.command),
                  u.up.transferLength, u.up.param, u.up.value);
  Record(std::move(e));

  if (options_.dropUploadAfter == 0) {
    options_.dropUploadAfter = -1;
    DropLocked();
  }
}

std::size_t Scanner::TakeUploadBytes(std::span<const std::uint8_t> bytes) {
  UploadInProgress& u = *upload_;
  const std::uint64_t total = std::uint64_t(u.up.transferLength);
  std::uint64_t want = total - u.up.received;
  const std::int64_t dropAt = std::uint64_t(options_.dropUploadAfter) < total ? options_.dropUploadAfter : -1;
  if (dropAt >= 0) {
    if (std::uint64_t(dropAt) <= u.up.received) {  // set while this upload was already further on
      options_.dropUploadAfter = -1;
      DropLocked();
      return 0;
    }
    want = std::min(want, std::uint64_t(dropAt) - u.up.received);
  }
  const std::size_t n = std::size_t(std::min<std::uint64_t>(want, bytes.size()));

  std::uint64_t pos = u.up.received;
  std::size_t i = 0;
  for (; i < n && pos < kFrameSize; ++i, ++pos) u.up.header[pos] = bytes[i];
  if (!u.headerParsed && pos >= kFrameSize) {
    u.headerParsed = true;
    u.up.headerSize = GetI32(u.up.header.data() + offset::kHeaderSize);
  }
  // Every byte is summed into its word's place: the same as adding whole
  // 32-bit words, without caring where the chunks of the stream end.
  const std::uint64_t wordEnd = total / 4 * 4;
  const std::uint64_t padStart = kFrameSize + std::uint64_t(std::max(u.up.headerSize, 0));
  for (; i < n; ++i, ++pos) {
    const std::uint8_t b = bytes[i];
    if (pos < wordEnd) u.sum += std::uint32_t(b) << ((pos & 3) * 8);
    if (pos >= padStart && b != 0) u.paddingZero = false;
  }
  const std::size_t keep = std::min(n, kMaxStoredUpload - std::min(kMaxStoredUpload, u.data.size()));
  u.data.insert(u.data.end(), bytes.begin(), bytes.begin() + std::ptrdiff_t(keep));
  u.up.received += n;

  if (u.up.received == total) {
    FinishUpload(true);
  } else if (dropAt >= 0 && u.up.received == std::uint64_t(dropAt)) {
    options_.dropUploadAfter = -1;
    DropLocked();
  }
  return n;
}

void Scanner::FinishUpload(bool complete) {
  std::unique_ptr<UploadInProgress> taken = std::move(upload_);
  UploadInProgress& u = *taken;
  Upload& up = u.up;
  const std::uint8_t* h = up.header.data();
  up.complete = complete;
  up.headerMagic = Get32(h + offset::kHeaderMagic);
  up.headerCommand = GetI32(h + offset::kHeaderCommand);
  up.headerSize = GetI32(h + offset::kHeaderSize);
  up.headerChecksum = Get32(h + offset::kHeaderChecksum);
  up.timestamp = wire::GetDouble(h + offset::kHeaderTimestamp);
  up.computedChecksum = up.headerMagic + Get32(h + offset::kHeaderCommand) + Get32(h + offset::kHeaderSize) + u.sum;
  up.headerMagicOk = up.headerMagic == magic::kCDb;
  up.headerCommandOk = up.headerCommand == up.command;
  up.sizeOk = up.headerSize >= 0 && wire::PaddedLength(up.headerSize) == up.transferLength;
  up.checksumOk = up.headerChecksum == up.computedChecksum;
  up.paddingZero = u.paddingZero;
  up.data = std::make_shared<const std::vector<std::uint8_t>>(std::move(u.data));

  uploads_.push_back(up);
  Event e = FrameEvent(EventKind::UploadEnd, up.announcement);
  e.upload = u.index;
  e.text = Format("upload end command=0x%08X size=%d checksum=0x%08X (sum 0x%08X): ", std::uint32_t(up.command),
                  up.headerSize, up.headerChecksum, up.computedChecksum) +
           Verdict(up);
  Record(std::move(e));

  if (!complete) return;
  if (options_.applySystemInfoUploads && up.command == command::kSystemInfo && up.Ok()) {
    const auto payload = up.Payload();
    std::memcpy(record_.data(), payload.data(), std::min(payload.size(), kFrameSize));
  }
  const auto& codes = options_.dropAfterUploadCommands;
  if (options_.dropAfterUpload && (codes.empty() || std::find(codes.begin(), codes.end(), up.command) != codes.end())) {
    if (options_.repliesBeforeDrop > 0)
      repliesUntilDrop_ = options_.repliesBeforeDrop;
    else
      DropLocked();
  }
}

// ---- records ----

Event Scanner::FrameEvent(EventKind kind, const Frame& f) const {
  Event e;
  e.kind = kind;
  e.frame = f;
  e.size = kFrameSize;
  e.magic = Get32(f.data() + offset::kMagic);
  e.param = GetI32(f.data() + offset::kParam);
  e.value = GetI32(f.data() + offset::kValue);
  e.command = GetI32(f.data() + offset::kCommand);
  e.transferLength = GetI32(f.data() + offset::kTransferLength);
  return e;
}

void Scanner::Record(Event event) {
  if (observer_) toNotify_.push_back(event);
  events_.push_back(std::move(event));
  ++generation_;
  changed_.notify_all();
}

void Scanner::Notify() {
  std::lock_guard order(notifyMutex_);
  std::vector<Event> batch;
  std::function<void(const Event&)> observer;
  {
    std::lock_guard lock(mutex_);
    batch.swap(toNotify_);
    observer = observer_;
  }
  if (!observer) return;
  for (const Event& e : batch) observer(e);
}

std::string Scanner::Summary() const {
  std::lock_guard lock(mutex_);
  std::string out = Format("uploads received: %zu\n", uploads_.size());
  for (std::size_t i = 0; i < uploads_.size(); ++i) {
    const Upload& u = uploads_[i];
    out += Format("  upload %zu: command 0x%08X, %d bytes, checksum 0x%08X: ", i + 1, std::uint32_t(u.command),
                  u.headerSize, u.headerChecksum) +
           Verdict(u) + "\n";
  }
  const auto text = [this](std::size_t at) {
    const char* p = reinterpret_cast<const char*>(record_.data() + at);
    return std::string(p, strnlen(p, kTextFieldSize));
  };
  out += "system info now held: part number " + text(offset::kPartNumber) +
         Format(", firmware 0x%08X", Get32(record_.data() + offset::kFirmwareVersion)) + ", unit mode \"" +
         text(offset::kUnitMode) + "\"" +
         Format(", tsCode 0x%08X, production day %d\n", Get32(record_.data() + offset::kTsCode),
                GetI32(record_.data() + offset::kProductionDay));
  for (std::size_t row = 0; row < kFrameSize; row += 16) {
    out += Format("  %03zX:", row);
    for (std::size_t i = 0; i < 16; ++i) out += Format(" %02X", record_[row + i]);
    out += "\n";
  }
  return out;
}

std::vector<Event> Scanner::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::size_t Scanner::EventCount() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

std::size_t Scanner::Count(EventKind kind) const {
  std::lock_guard lock(mutex_);
  return std::size_t(std::count_if(events_.begin(), events_.end(), [kind](const Event& e) { return e.kind == kind; }));
}

std::vector<Frame> Scanner::SystemInfoRequests() const {
  std::lock_guard lock(mutex_);
  std::vector<Frame> out;
  for (const Event& e : events_)
    if (e.kind == EventKind::SystemInfoRequest) out.push_back(e.frame);
  return out;
}

std::vector<Upload> Scanner::Uploads() const {
  std::lock_guard lock(mutex_);
  return uploads_;
}

std::vector<Upload> Scanner::UploadsFor(std::int32_t cmd) const {
  std::lock_guard lock(mutex_);
  std::vector<Upload> out;
  for (const Upload& u : uploads_)
    if (u.command == cmd) out.push_back(u);
  return out;
}

std::optional<Frame> Scanner::LastGreeting() const {
  std::lock_guard lock(mutex_);
  return lastGreeting_;
}

bool Scanner::LinkIsUp() const {
  std::lock_guard lock(mutex_);
  return link_ != nullptr && !dropped_;
}

std::size_t Scanner::LinkCount() const {
  std::lock_guard lock(mutex_);
  return links_;
}

void Scanner::ClearRecords() {
  std::lock_guard lock(mutex_);
  events_.clear();
  uploads_.clear();
  lastGreeting_.reset();
  if (upload_) upload_->index = 0;
  ++generation_;
}

bool Scanner::WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::uint64_t seen;
    {
      std::lock_guard lock(mutex_);
      seen = generation_;
    }
    if (pred()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    // Also wake now and then: pred may look at more than the records.
    const auto until = std::min(deadline, now + std::chrono::milliseconds(10));
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, until, [&] { return generation_ != seen; });
  }
}

}  // namespace nimbrel::sim
