#include "net/FrameCutter.h"

#include <algorithm>

namespace nimbrel::net {

namespace {
constexpr std::int64_t kFrame = static_cast<std::int64_t>(protocol::kFrameSize);
}

std::int64_t FrameCutter::Take(platform::TcpClient& client, bool ended, std::vector<protocol::Frame>& frames) {
  std::int64_t release = 0;
  protocol::Frame frame;
  while (client.InputBufferSize() >= protocol::kFrameSize && client.ReadBytes(frame.data(), frame.size())) {
    // Part of the frame may have been released while it was incomplete.
    const std::int64_t share = std::min(unreleased_, kFrame - partialReleased_);
    unreleased_ -= share;
    partialReleased_ = 0;
    release += share;
    frames.push_back(frame);
  }
  if (ended) {
    release += unreleased_;
    unreleased_ = 0;
    partialReleased_ = 0;
    return release;
  }
  // Bytes of an incomplete frame count as dealt with once buffered.
  const auto buffered = static_cast<std::int64_t>(client.InputBufferSize());
  partialReleased_ = std::min(partialReleased_, buffered);
  const std::int64_t partial = std::min(unreleased_, buffered - partialReleased_);
  unreleased_ -= partial;
  partialReleased_ += partial;
  release += partial;
  return release;
}

std::int64_t FrameCutter::TakeUnreleased() {
  const std::int64_t left = unreleased_;
  unreleased_ = 0;
  partialReleased_ = 0;
  return left;
}

}  // namespace nimbrel::net
