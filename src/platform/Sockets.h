#pragma once
// The updater's own small socket layer: an IPv4 TCP client with an input
// buffer, and a UDP client that sends single datagrams.
//
// Threads of a TcpClient:
//  - Connect, Send and Disconnect belong to one thread (the UI thread);
//  - Poll, InputBufferSize, ReadExact and WaitForInput belong to the one
//    thread that receives (the TCP receive thread);
//  - Connected and Wake may be called from any thread.
// The descriptor is only ever closed by the first group, so a Send never
// writes to a descriptor that another thread closed and reused.
//
// Work in flight (see InFlight): a client made with a counter adds the bytes
// of every send before they go on the socket and releases at once what it
// could not send. Releasing what was received is the receiving side's task:
// Poll reports how many bytes it read and whether it saw the stream end.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/EventLoop.h"

namespace nimbrel::platform {

// A connect that was refused, timed out or named no IPv4 address.
class SocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SendResult {
  std::size_t sent = 0;  // bytes that went on the socket, also when it failed
  std::string error;     // the socket layer's text; empty on success
  bool ok() const { return error.empty(); }
};

struct PollResult {
  std::size_t bytesRead = 0;  // appended to the input buffer by this poll
  bool peerClosed = false;    // the stream ended or failed; the client is no longer connected
};

class TcpClient {
 public:
  virtual ~TcpClient() = default;

  // Connects to `host` (IPv4, dotted form) and port; gives up after
  // timeoutMs. Throws SocketError on failure. A connection still open is
  // closed first. The input buffer starts empty.
  virtual void Connect(const std::string& host, std::uint16_t port, int timeoutMs) = 0;
  virtual bool Connected() const = 0;

  // Without waiting: appends whatever bytes have arrived to the input buffer.
  // Does nothing while not connected.
  virtual PollResult Poll() = 0;
  virtual std::size_t InputBufferSize() const = 0;
  // Takes exactly n bytes out of the input buffer; false, taking nothing,
  // when fewer are buffered.
  virtual bool ReadExact(std::uint8_t* out, std::size_t n) = 0;
  // Blocks until bytes (or the end of the stream) may be waiting on a
  // connected socket, or until Wake, Connect or Disconnect.
  virtual void WaitForInput() = 0;
  virtual void Wake() = 0;

  // Puts all n bytes on the stream, or reports the error that stopped it.
  virtual SendResult Send(const std::uint8_t* data, std::size_t n) = 0;
  // Tells the peer the stream ends, then closes. Harmless when not connected.
  virtual void Disconnect() = 0;
};

class UdpClient {
 public:
  virtual ~UdpClient() = default;
  // One datagram to host (IPv4, dotted form) and port.
  virtual SendResult SendTo(const std::string& host, std::uint16_t port, const std::uint8_t* data,
                            std::size_t n) = 0;
};

// POSIX implementations; inFlight may be null (no accounting).
std::unique_ptr<TcpClient> MakeTcpClient(InFlight* inFlight);
std::unique_ptr<UdpClient> MakeUdpClient(InFlight* inFlight);

}  // namespace nimbrel::platform
