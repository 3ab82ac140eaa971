// The receive dispatcher: every block from the scanner, over either link,
// passes through DispatchFrame on the UI thread, one block at a time.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "app/TfrmMain.h"
#include "protocol/Counters.h"
#include "unit/PartNumber.h"

namespace nimbrel::app {

using namespace protocol;

namespace {

constexpr std::uint32_t kOldKeepAliveAfter = 0x01000069;   // versions strictly between
constexpr std::uint32_t kOldKeepAliveBefore = 0x01000078;  // these need keep-alives
constexpr std::int32_t kBadFramesIgnored = 20;

}  // namespace

void TfrmMain::UsbReadEnd(int, int size, std::uint8_t* buffer) {
  CountDown(sendMarker);
  DispatchFrame(buffer, size);
  // The next read goes where the dispatch left receivePosition; an inactive
  // link (the dispatch may have closed it) queues nothing.
  if (usb) usb->ReadBuffer(2, 512, receivePosition);
}

void TfrmMain::StoreSystemInfoCopy() { systemInfoCopy = frameBuffer; }

void TfrmMain::ResetReceiveState() {
  bulkTotal = 0;
  bulkReceived = 0;
  bulkDiscard = false;
  receivePosition = frameBuffer.data();
}

void TfrmMain::DispatchFrame(const std::uint8_t* block, int length) {
  if (length <= 0 || !receivePosition) return;

  // 1. Store the block at receivePosition, never past the buffer it points
  // into. Outside a transfer that is the frame buffer.
  if (bulkTotal == 0) receivePosition = frameBuffer.data();
  std::uint8_t* const frameStart = frameBuffer.data();
  std::uint8_t* const bulkStart = bulkBuffer.get();
  std::size_t room = 0;
  if (receivePosition >= frameStart && receivePosition < frameStart + kFrameSize) {
    room = static_cast<std::size_t>(frameStart + kFrameSize - receivePosition);
  } else if (bulkStart && receivePosition >= bulkStart && receivePosition < bulkStart + kLargeBufferSize) {
    room = static_cast<std::size_t>(bulkStart + kLargeBufferSize - receivePosition);
  }
  const std::size_t stored = std::min(room, static_cast<std::size_t>(length));
  if (!bulkDiscard && stored > 0 && block != receivePosition) std::memmove(receivePosition, block, stored);

  // 2. Announced transfer: collect.
  if (bulkTotal != 0) {
    bulkReceived += length;
    if (!bulkDiscard) receivePosition += stored;
    if (bulkReceived < bulkTotal) return;
    if (bulkDiscard) {
      PrepareRequest(CommandSystemInfo, FrameView(frameBuffer));
      return;
    }
    LogLine("something get");
    if (bulkCommand == CommandSystemInfo) {
      // The System Info frame is the first 512 bytes received, and only bytes
      // that were received.
      const std::size_t received = std::min<std::size_t>(
          static_cast<std::size_t>(receivePosition - bulkStart), kFrameSize);
      std::memcpy(frameBuffer.data(), bulkStart, received);
      StoreSystemInfoCopy();
      ++replyCount;
      replyDue = true;
    }
    PrepareRequest(CommandSystemInfo, FrameView(frameBuffer));
    return;
  }

  // 3. Only "SoF" and "SYS" frames are the scanner's.
  if (stored < 4 || !IsDeviceMagic(frameBuffer)) {
    ++badFrameCount;
    if (badFrameCount <= kBadFramesIgnored) return;
    LogLine("unknown model");
    LogLine("please restart device and program");
    usb->SetActive(false);
    return;
  }

  // 4., 5. The first valid frame after a connect request is the greeting.
  const bool greeting = awaitingGreeting;
  awaitingGreeting = false;
  if (greeting) {
    HandleGreeting();
    return;
  }

  const ConstControlFrame frame = FrameView(std::as_const(frameBuffer));
  // 6. A plain frame: a reply to a System Info request.
  if (frame.transferLength() <= 0) {
    StoreSystemInfoCopy();
    ++replyCount;
    replyDue = true;
    return;
  }

  // 7. An announcement: the next transferLength bytes are its data.
  bulkTotal = frame.transferLength();
  bulkCommand = frame.command();
  bulkReceived = 0;
  receivePosition = bulkStart;
  StoreSystemInfoCopy();
  if (static_cast<std::size_t>(bulkTotal) > kLargeBufferSize) {
    bulkDiscard = true;
    char line[96];
    std::snprintf(line, sizeof line, "recv refused[%08X][%d]: longer than the receive buffer",
                  static_cast<unsigned>(bulkCommand), bulkTotal);
    LogLine(line);
    return;
  }
  if (bulkCommand == CommandImage) {
    LogLine("image recieving");
  } else {
    char line[64];
    std::snprintf(line, sizeof line, "recv start[%08X][%d]", static_cast<unsigned>(bulkCommand), bulkTotal);
    LogLine(line);
  }
}

void TfrmMain::HandleGreeting() {
  const GreetingRecord g(frameBuffer);
  // 1. A first block that announces a transfer is not a greeting.
  if (g.command() != 0 && g.transferLength() != 0) {
    LogLine("before greeting data");
  } else {
    // 2.-6.
    if (silentState < 1) btnAutoUpload.SetEnabled(true);
    LogLine("Greeting::" + g.unitMode());
    const unit::PnField pn = unit::PnField::FromRecord(frameBuffer);
    greetingPn = pn;
    LogLine("PN::" + unit::FormatPnForLog(pn, g.productionDay()).text);
    scannerVersion = static_cast<std::int32_t>(g.firmwareVersion());
    char line[64];
    std::snprintf(line, sizeof line, "scanner version:%d.%d.%d.%d", frameBuffer[131], frameBuffer[130],
                  frameBuffer[129], frameBuffer[128]);
    LogLine(line);
    trace().Debugf("cur version %08X", static_cast<unsigned>(scannerVersion));
    const bool needsKeepAlive =
        (scannerVersion > static_cast<std::int32_t>(kOldKeepAliveAfter) &&
         scannerVersion < static_cast<std::int32_t>(kOldKeepAliveBefore)) ||
        scannerVersion == 0;
    trace().Debug(needsKeepAlive ? "old keepalive version fw" : "not old keepalive version fw");
    oldKeepAlive = needsKeepAlive;

    // 7.-9. Identification, whatever its outcome.
    IdentifyUnit(frameBuffer);
    ParseTsCode(g.tsCode());
    connectTsCode = MakeTsCode();
    trace().Debugf("old tsCode : 0x%09X", static_cast<unsigned>(connectTsCode));
    unitSupported = IsSupportedUnit(pn);

    // 10.
    if (!unitSupported) {
      LogLine("----------------------");
      LogLine("Updater is not supposed to support this unit");
      LogLine(std::string("Please use to ") + "ZK Scanner" + " only");
      LogLine("----------------------");
      runResult = kExitUnitRefused;
      usb->SetActive(false);
      return;
    }
    // 11.
    if (silentState > 0) {
      runResult = kExitSequenceStopped;  // until the update has run
      silentState = 2;
      tmSilenceMode.SetEnabled(true);
    }
  }

  // 12. The System Info request, built over the greeting.
  receivePosition = frameBuffer.data();
  StoreSystemInfoCopy();
  PrepareRequest(CommandSystemInfo, FrameView(frameBuffer));
  FrameView(frameBuffer).setValue(512);
  SendChunked(frameBuffer.data(), 512);
}

}  // namespace nimbrel::app
