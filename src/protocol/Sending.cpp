// The sending side: which link carries a send, the USB send bracket, chunked
// sends and the framing of uploads.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/TfrmMain.h"
#include "protocol/Counters.h"

namespace nimbrel::app {

using namespace protocol;

namespace {

constexpr int kChunkSize = 512000;
// Sizes of 1,048,576 bytes (2048 blocks) and more get the longer pause
// before their chunks.
constexpr int kLongPauseBlocks = 2047;
// Uploads above this many bytes also report their progress in lines.
constexpr std::int64_t kProgressLinesAbove = 1048576;

}  // namespace

void TfrmMain::UsbSend(std::uint8_t* buffer, int size) {
  // 3 while the buffer is handed over, 2 afterwards: the keep-alive waits
  // until two blocks from the scanner have counted it down to 0.
  sendMarker = 3;
  usb->SendBuffer(1, size, buffer);
  sendMarker = 2;
}

void TfrmMain::TransportSend(std::uint8_t* buffer, int size) {
  if (usb && usb->Active()) {
    UsbSend(buffer, size);
  } else if (TcpIsConnected()) {
    TCPSendBuffer(buffer, size);
  }
}

void TfrmMain::SendChunked(std::uint8_t* buffer, int size) {
  keepAliveTimer->SetEnabled(false);
  const int blocks = size / 512;
  TransportSend(buffer, 512);
  if (blocks < 2) {
    keepAliveTimer->SetEnabled(true);
    return;
  }
  loop().Sleep(blocks > kLongPauseBlocks ? 1000 : 200);
  const int rest = size - 512;
  const int n = rest / kChunkSize;
  for (int i = 0; i < n; ++i) {
    TransportSend(buffer + 512 + i * kChunkSize, kChunkSize);
    RefreshUploadProgress();
  }
  if (rest > n * kChunkSize) TransportSend(buffer + 512 + n * kChunkSize, rest - n * kChunkSize);
  RefreshUploadProgress();
  keepAliveTimer->SetEnabled(true);
}

void TfrmMain::SendTransfer(Frame& announcement, std::uint8_t* data) {
  const std::int32_t length = FrameView(announcement).transferLength();
  pendingSends = static_cast<std::int32_t>((static_cast<std::int64_t>(length) + 511999) / kChunkSize + 1);
  BeginUploadProgress(512 + static_cast<std::int64_t>(length));
  SendChunked(announcement.data(), 512);
  loop().ProcessMessages();
  SendChunked(data, length);
  LogLine("upload...");
}

bool TfrmMain::SendUpload(std::int32_t command, std::unique_ptr<std::uint8_t[]> payload, std::int64_t size) {
  payloadBuffer = std::move(payload);
  // The staging buffer holds the header and the padded payload; a payload
  // that would not fit is refused rather than written past its end.
  if (size < 0 || PaddedLength(size) > static_cast<std::int64_t>(kLargeBufferSize) || !stagingBuffer) {
    char line[96];
    std::snprintf(line, sizeof line, "upload refused: %lld bytes do not fit the staging buffer",
                  static_cast<long long>(size));
    LogLine(line);
    payloadBuffer.reset();
    return false;
  }
  const std::int64_t padded = PaddedLength(size);
  std::uint8_t* staged = stagingBuffer.get();
  std::memset(staged, 0, 512);
  // The payload is summed as it is copied; the padding travels with the
  // data and would be summed too: it is zero.
  const std::uint32_t payloadSum =
      size > 0 ? CopySummingWords(staged + 512, payloadBuffer.get(), static_cast<std::size_t>(size)) : 0;
  std::memset(staged + 512 + size, 0, static_cast<std::size_t>(padded - 512 - size));

  UploadHeader header(staged);
  header.setMagic(kMagicCDb);
  header.setCommand(command);
  header.setSize(static_cast<std::int32_t>(size));
  header.setTimestamp(MakeTimestamp(loop().LocalNow()));
  header.setChecksum(header.magic() + static_cast<std::uint32_t>(command) + static_cast<std::uint32_t>(size) +
                     payloadSum);

  PrepareRequest(command, FrameView(announceFrame));
  FrameView(announceFrame).setTransferLength(static_cast<std::int32_t>(padded));
  SendTransfer(announceFrame, staged);
  payloadBuffer.reset();
  return true;
}

void TfrmMain::UsbSendEnd(int, int size, std::uint8_t*) {
  uploadSent += size;
  CountDown(pendingSends);
}

void TfrmMain::BeginUploadProgress(std::int64_t total) {
  uploadSent = 0;
  uploadTotal_ = total;
  uploadTenthsShown_ = 0;
  pbUpload.SetText(UploadCaption());
  pbUpload.SetProgress(0, total);
  pbUpload.SetVisible(true);
}

void TfrmMain::RefreshUploadProgress() {
  if (uploadTotal_ <= 0) return;
  const std::int64_t sent = std::min(uploadSent.load(), uploadTotal_);
  pbUpload.SetProgress(sent, uploadTotal_);
  if (uploadTotal_ <= kProgressLinesAbove || !env_.progressEcho) return;
  const int tenths = static_cast<int>(sent * 10 / uploadTotal_);
  for (; uploadTenthsShown_ < tenths; ++uploadTenthsShown_) {
    char line[160];
    std::snprintf(line, sizeof line, "%s: %d%% (%lld of %lld bytes)", pbUpload.Text().c_str(),
                  (uploadTenthsShown_ + 1) * 10, static_cast<long long>(sent), static_cast<long long>(uploadTotal_));
    env_.progressEcho(line);
  }
}

void TfrmMain::EndUploadProgress() {
  RefreshUploadProgress();
  uploadTotal_ = 0;
  pbUpload.SetVisible(false);
}

void TfrmMain::PrepareRequest(std::int32_t command, ControlFrame frame) {
  PrepareRequestFrame(command, frame);
  ResetReceiveState();
  bulkCommand = command;
}

}  // namespace nimbrel::app
