#pragma once
// The device core of the scanner simulator: it consumes the byte stream that
// the updater sends and produces the bytes the scanner sends back. It knows
// nothing of sockets; the link adapters (Net.h, and any other transport)
// feed it and carry its output.
//
// Thread-safety: every public member may be called from any thread. The link
// side (LinkUp, Feed, LinkDown) is meant to be driven by one thread per link;
// tests read the records and change the options from their own threads.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nimbrel_sim/Protocol.h"

namespace nimbrel::sim {

// Where the core puts what the scanner sends. Implemented by a link adapter.
// Both calls come with the scanner's lock held: they must only queue (never
// block on the link) and must not call back into the Scanner. The adapter
// does the work-in-flight Add for what it queues (WorkTracker.h).
class LinkOutput {
 public:
  virtual ~LinkOutput() = default;
  // Queues bytes for the updater, after everything queued before.
  virtual void Send(std::vector<std::uint8_t> bytes) = 0;
  // Ends the link once the bytes queued so far are out (a restarting scanner).
  virtual void Drop() = 0;
};

enum class EventKind {
  LinkUp,              // a link (connection) opened
  LinkDown,            // the updater closed the link, or it failed
  LinkDropped,         // the scanner dropped the link
  Wake,                // UDP datagram "RsS"
  Datagram,            // any other UDP datagram
  SessionStart,        // "SwS"
  ConnectRequest,      // "SoF", value 0, no transfer
  SystemInfoRequest,   // "SoF", command 0x00300000, value not 0, no transfer
  UploadStart,         // "SoF" announcing a transfer
  UploadEnd,           // the transfer completed, or was cut off (Upload::complete)
  KeepAlive,           // "SoF", command -6
  EndSession,          // "SoF", command -1 (end of session over USB)
  EthernetEndSession,  // "SoS"
  RegisterWrite,       // "SeT", param = register, value
  Unknown,             // any other frame
};

const char* ToString(EventKind kind);

struct Event {
  EventKind kind = EventKind::Unknown;
  // Fields of the frame or datagram (zero for link events).
  std::uint32_t magic = 0;
  std::int32_t param = 0;
  std::int32_t value = 0;
  std::int32_t command = 0;
  std::int32_t transferLength = 0;
  Frame frame{};          // the frame as received; of a datagram its first 512 bytes
  std::size_t size = 0;   // bytes received: 512 for a frame, the datagram's length
  std::size_t upload = 0; // UploadStart, UploadEnd: index into Scanner::Uploads()
  std::string text;       // one line describing the event
};

// One upload as the scanner received and checked it.
struct Upload {
  Frame announcement{};
  std::int32_t command = 0;         // announcement's command
  std::int32_t param = 0;           // announcement's param
  std::int32_t value = 0;           // announcement's value
  std::int32_t transferLength = 0;  // announced length of the data

  // Upload header (the first 512 bytes of the data); zero where not received.
  Frame header{};
  std::uint32_t headerMagic = 0;
  std::int32_t headerCommand = 0;
  std::int32_t headerSize = 0;
  std::uint32_t headerChecksum = 0;
  double timestamp = 0;  // days since 1899-12-30, time of day as the fraction

  std::uint32_t computedChecksum = 0;  // what the data sum to
  std::uint64_t received = 0;          // data bytes that arrived after the announcement
  bool complete = false;               // all transferLength bytes arrived
  // The received data (header, payload, padding); at most kMaxStoredUpload
  // bytes are kept, the checks cover all of them.
  std::shared_ptr<const std::vector<std::uint8_t>> data;

  // Verdicts; meaningful when complete.
  bool announcementOk = false;  // value 0 and param 0
  bool headerMagicOk = false;   // "CDb"
  bool headerCommandOk = false; // header command equals the announcement's
  bool sizeOk = false;          // transferLength == size rounded up to 512, plus 512
  bool checksumOk = false;      // header checksum equals computedChecksum
  bool paddingZero = false;     // bytes after the payload, up to transferLength, are zero

  bool Ok() const {
    return complete && announcementOk && headerMagicOk && headerCommandOk && sizeOk && checksumOk &&
           paddingZero;
  }
  // The payload bytes (header size, as far as received and kept).
  std::span<const std::uint8_t> Payload() const;
};

inline constexpr std::size_t kMaxStoredUpload = 64u * 1024u * 1024u;

struct Options {
  // Answer System Info requests with an announced transfer (announcement
  // "SoF", command 0x00300000, transferLength 512, then the record) instead
  // of a plain frame.
  bool systemInfoAsTransfer = false;
  // Magic of the greeting, replies and announcements: "SoF" or "SYS".
  std::uint32_t replyMagic = magic::kSoF;
  // Drop the link after a completed upload, as a restarting scanner does;
  // only after uploads with these codes when the list is not empty.
  bool dropAfterUpload = false;
  std::vector<std::int32_t> dropAfterUploadCommands;
  // With dropAfterUpload: the drop waits until the scanner has answered
  // this many System Info requests after the upload, as a unit that reports
  // on its new data before it restarts (0: at once).
  int repliesBeforeDrop = 0;
  // A completed System Info upload (command 0x00300000) replaces the record,
  // so later greetings and replies carry what was written.
  bool applySystemInfoUploads = false;

  // Faults.
  bool silent = false;                     // record everything, answer nothing
  int badMagicFrames = 0;                  // frames with badMagicWord sent in answer to a connect request
  bool badMagicInsteadOfGreeting = false;  // ...then no greeting
  std::uint32_t badMagicWord = 0x01466F53; // "SoF" with a non-zero fourth byte
  bool announceBeforeGreeting = false;     // answer a connect request with a System Info transfer
  std::int32_t imageBeforeReply = 0;       // > 0: image transfer of this length before each System Info reply
  // >= 0: drop the link once this many data bytes of an upload have arrived
  // (only when fewer than the announced length). Fires once, then resets to -1.
  std::int64_t dropUploadAfter = -1;
  // Drop the link instead of answering the next System Info request (a
  // scanner restarting in the middle of the exchange). Fires once.
  bool dropAtSystemInfoRequest = false;
};

class Scanner {
 public:
  explicit Scanner(const Frame& systemInfo = DefaultSystemInfo());
  ~Scanner();
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // Identity: the System Info record that greetings and replies carry.
  Frame SystemInfo() const;
  void SetSystemInfo(const Frame& record);
  // Texts are written with a terminating zero when they are shorter than the
  // 20-byte field (longer ones are cut to 20 bytes, without terminator); the
  // field's bytes after the terminator are left as they were.
  void SetPartNumber(std::string_view pn);
  void SetFirmwareVersion(std::uint32_t version);
  void SetUnitMode(std::string_view text);
  void SetTsCode(std::int32_t tsCode);
  void SetProductionDay(std::int32_t day);
  void SetWord(std::size_t offset, std::uint32_t word);  // any 32-bit field of the record

  Options GetOptions() const;
  void SetOptions(const Options& options);
  void Configure(const std::function<void(Options&)>& change);

  // Link side. LinkUp starts a new connection (the stream starts at a frame
  // boundary); Feed hands over received bytes; LinkDown ends the connection.
  // After the scanner dropped the link, Feed ignores everything until the next LinkUp.
  void LinkUp(LinkOutput& output);
  void Feed(std::span<const std::uint8_t> bytes);
  void LinkDown();
  void Datagram(std::span<const std::uint8_t> bytes);

  // Sending on a test's request, on the open link; false when there is none.
  bool SendRaw(std::vector<std::uint8_t> bytes);
  // Announcement ("SoF" or replyMagic, command, transferLength = data size), then the data.
  bool SendTransfer(std::int32_t command, std::vector<std::uint8_t> data);
  // Image transfer (command 0x30000000) of `length` bytes counting up from 0.
  bool SendImageTransfer(std::size_t length);
  bool DropLink();

  // Records (snapshots, in arrival order).
  std::vector<Event> Events() const;
  std::size_t EventCount() const;
  std::size_t Count(EventKind kind) const;
  std::vector<Frame> SystemInfoRequests() const;
  std::vector<Upload> Uploads() const;  // finished or cut off, in order
  std::vector<Upload> UploadsFor(std::int32_t command) const;
  std::optional<Frame> LastGreeting() const;
  bool LinkIsUp() const;
  // What the scanner has been through, for a person: per upload its command
  // code, size and checksum verdict, then the System Info record it holds
  // now (its identity fields and all 512 bytes).
  std::string Summary() const;
  std::size_t LinkCount() const;  // links opened so far
  void ClearRecords();            // events, requests, uploads and the last greeting

  // Called for each recorded event, in order, on the thread that caused it,
  // after the scanner's lock is released: it may read the records and change
  // the options, but must not feed, drop or open links.
  void SetObserver(std::function<void(const Event&)> observer);

  // Waits in real time until pred() holds; pred may read the records. Returns pred().
  bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const;

 private:
  struct UploadInProgress;

  void HandleFrame(const Frame& frame);
  void AnswerConnect();
  void AnswerSystemInfo();
  void StartUpload(const Frame& frame);
  std::size_t TakeUploadBytes(std::span<const std::uint8_t> bytes);
  void FinishUpload(bool complete);
  void DropLocked();
  void SendLocked(std::vector<std::uint8_t> bytes);
  void SendTransferLocked(std::int32_t command, std::vector<std::uint8_t> data);
  Frame ReplyFrame(std::int32_t command) const;
  void Record(Event event);
  Event FrameEvent(EventKind kind, const Frame& frame) const;
  void Notify();

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::uint64_t generation_ = 0;

  Frame record_;
  Options options_;

  LinkOutput* link_ = nullptr;
  bool dropped_ = false;
  std::size_t links_ = 0;
  Frame rx_{};
  std::size_t rxFill_ = 0;
  std::unique_ptr<UploadInProgress> upload_;
  int repliesUntilDrop_ = 0;  // > 0: a drop is due after this many more replies

  std::vector<Event> events_;
  std::vector<Upload> uploads_;
  std::optional<Frame> lastGreeting_;

  std::function<void(const Event&)> observer_;
  std::vector<Event> toNotify_;
  std::mutex notifyMutex_;  // keeps observer calls in order
};

}  // namespace nimbrel::sim
