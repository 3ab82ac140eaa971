#pragma once
// Cuts what a TCP client has buffered into 512-byte frames, and keeps the
// work-in-flight account of the bytes (see InFlight in EventLoop.h): every
// byte the client appends is released once, either with the frame it ends
// up in or, while its frame is incomplete, as soon as it is buffered; the
// bytes of an incomplete last frame are released with the end of the
// stream. After each Take everything appended so far has been released.
//
// Used by one reader thread at a time.

#include <cstdint>
#include <vector>

#include "platform/Sockets.h"
#include "protocol/ControlFrame.h"

namespace nimbrel::net {

class FrameCutter {
 public:
  // A poll appended n bytes to the client's input buffer.
  void Appended(std::size_t n) { unreleased_ += static_cast<std::int64_t>(n); }

  // Takes every complete frame out of the client's input buffer, in stream
  // order, onto `frames`; with `ended` the bytes of an incomplete last frame
  // are given up (the client's Disconnect empties its buffer). Returns the
  // units of work released by this step.
  std::int64_t Take(platform::TcpClient& client, bool ended, std::vector<protocol::Frame>& frames);

  // Releases whatever is left unreleased (the reader stops); returns it.
  std::int64_t TakeUnreleased();

 private:
  std::int64_t unreleased_ = 0;       // appended, not yet released
  std::int64_t partialReleased_ = 0;  // bytes of the incomplete frame already released
};

}  // namespace nimbrel::net
