// Sending side: the USB send bracket, the choice of link, chunked sends and
// the framing of uploads.

#include <algorithm>
#include <cstring>

#include "app/TfrmMain.h"

namespace nimbrel::app {

namespace {

constexpr int kBlock = 512;
constexpr int kChunk = 512000;
constexpr int kLongPauseFromBlocks = 2048;  // 1,048,576 bytes and more
constexpr int kLongPauseMs = 1000;
constexpr int kShortPauseMs = 200;

}  // namespace

void TfrmMain::LowerPendingSends() {
  std::int32_t n = pendingSends.load();
  while (n > 0 && !pendingSends.compare_exchange_weak(n, n - 1)) {
  }
}

void TfrmMain::UsbSendEnd(int, int, std::uint8_t*) { LowerPendingSends(); }

void TfrmMain::UsbSend(std::uint8_t* buffer, int size) {
  sendMarker = 3;
  usb->SendBuffer(1, size, buffer);
  sendMarker = 2;
}

void TfrmMain::TransportSend(std::uint8_t* buffer, int size) {
  if (usb && usb->Active()) {
    UsbSend(buffer, size);
  } else if (TCP && TCP->Connected()) {
    TCPSendBuffer(buffer, size);
  }
}

void TfrmMain::SendChunked(std::uint8_t* buffer, int size) {
  if (keepAliveTimer) keepAliveTimer->SetEnabled(false);
  const int blocks = size / kBlock;
  // The first block always goes; a buffer shorter than a block is not read
  // beyond its end.
  if (size > 0) TransportSend(buffer, std::min(size, kBlock));
  if (blocks >= 2) {
    loop().Sleep(blocks > kLongPauseFromBlocks - 1 ? kLongPauseMs : kShortPauseMs);
    const int rest = size - kBlock;
    const int n = rest / kChunk;
    for (int i = 0; i < n; ++i) TransportSend(buffer + kBlock + i * kChunk, kChunk);
    if (rest > n * kChunk) TransportSend(buffer + kBlock + n * kChunk, rest - n * kChunk);
  }
  if (keepAliveTimer) keepAliveTimer->SetEnabled(true);
}

void TfrmMain::SendTransfer(std::uint8_t* announcement, std::uint8_t* data) {
  const std::int32_t length = protocol::ControlFrame(announcement).transferLength();
  pendingSends = static_cast<std::int32_t>((static_cast<std::int64_t>(length) + kChunk - 1) / kChunk + 1);
  SendChunked(announcement, kBlock);
  loop().ProcessMessages();
  SendChunked(data, length);
  LogLine("upload...");
}

void TfrmMain::SendUpload(std::int32_t command, const std::uint8_t* payload, std::int64_t size) {
  constexpr auto kMaxPayload = static_cast<std::int64_t>(kLargeBufferSize) - kBlock;
  if (!stagingBuffer || size < 0 || size > kMaxPayload || (size > 0 && !payload)) {
    LogLine("upload refused: a payload of " + std::to_string(size) + " bytes does not fit the staging buffer of " +
            std::to_string(kMaxPayload) + " bytes");
    pendingSends = 0;
    payloadBuffer.reset();
    return;
  }
  std::uint8_t* staged = stagingBuffer.get();
  const std::int64_t padded = protocol::PaddedLength(size);
  std::memset(staged, 0, kBlock);
  if (size > 0) std::memmove(staged + kBlock, payload, static_cast<std::size_t>(size));
  std::memset(staged + kBlock + size, 0, static_cast<std::size_t>(padded - kBlock - size));

  const protocol::UploadHeader header(staged);
  header.setMagic(protocol::kMagicCDb);
  header.setCommand(command);
  header.setSize(static_cast<std::int32_t>(size));
  header.setTimestamp(protocol::MakeTimestamp(loop().LocalNow()));

  PrepareRequest(command, announceFrame);
  protocol::FrameView(announceFrame).setTransferLength(static_cast<std::int32_t>(padded));
  protocol::UploadChecksum(padded, staged);
  SendTransfer(announceFrame.data(), staged);
  payloadBuffer.reset();
}

void TfrmMain::PrepareRequest(std::int32_t command, protocol::Frame& frame) {
  protocol::PrepareRequestFrame(command, protocol::FrameView(frame));
  bulkTotal = 0;
  bulkReceived = 0;
  bulkCommand = command;
  receivePosition = frameBuffer.data();
}

}  // namespace nimbrel::app
