#pragma once
// IPv4 sockets for the Ethernet link: a TCP client with an input buffer and
// a UDP client that sends single datagrams.
//
// Work-in-flight contract (see InFlight in EventLoop.h): a client made with
// an InFlight calls Add(n) before it puts n bytes on the wire, and releases
// again what it then could not send. Bytes appended to the input buffer
// belong to whoever reads them, who releases them. Bytes that Disconnect
// reads from the socket and throws away were never handed out; it releases
// them itself.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/EventLoop.h"

namespace nimbrel::platform {

// What one connected-state poll saw.
struct TcpPoll {
  bool connected = false;     // the link is up after the poll
  std::size_t appended = 0;   // bytes this poll added to the input buffer
  bool ended = false;         // this poll found the end of the stream (the peer closed)
  bool failed = false;        // this poll found the link broken (an error, not an orderly close)
};

// One TCP connection, opened as a client.
//
// Thread-safety: every member may be called from any thread; the receive
// side (Poll, InputBufferSize, ReadBytes) is meant for one reader thread and
// Write for one sending thread. The events are assigned while no operation
// runs and are raised on the thread doing the operation.
class TcpClient {
 public:
  virtual ~TcpClient() = default;

  // Raised inside Connect once the link is up, before Connect returns.
  std::function<void()> OnConnected;
  // Raised before and after each Write.
  std::function<void()> OnWorkBegin;
  std::function<void()> OnWorkEnd;

  // Connects to host (IPv4 dotted address or name) and port, waiting at most
  // timeoutMs. False, with the reason in *error, when refused, timed out,
  // unresolvable or already connected.
  virtual bool Connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string* error) = 0;

  // The connected-state poll: takes whatever has arrived into the input
  // buffer without waiting, and notices the end of the link.
  virtual TcpPoll Poll() = 0;
  // The state as the last poll, connect or disconnect left it; no I/O.
  virtual bool IsConnected() const = 0;

  virtual std::size_t InputBufferSize() const = 0;
  // Takes exactly n bytes from the front of the input buffer; false (and
  // nothing taken) when fewer are buffered.
  virtual bool ReadBytes(std::uint8_t* out, std::size_t n) = 0;

  // Puts all n bytes on the stream, continuing partial sends; false, with
  // the reason in *error, when the link is not up or fails meanwhile.
  virtual bool Write(const std::uint8_t* data, std::size_t n, std::string* error) = 0;

  // Tells the peer (end of our stream) when the link is up, then closes the
  // socket; the input buffer is emptied. Nothing happens without a socket.
  virtual void Disconnect() = 0;
};

// One TCP connection for a protocol that waits for its peer on a thread of
// its own (the USB/IP link): waiting reads, complete writes, and a shutdown
// that wakes a waiting reader.
//
// Thread-safety: one thread reads (ReadSome) while others write (Write, one
// at a time; callers serialise whole messages themselves) and any thread may
// call Shutdown. Close ends the socket; no other call may run then.
class TcpStream {
 public:
  enum class Io {
    Ok,        // bytes were taken
    Ended,     // the stream ended: the peer closed it, or Shutdown was called
    Failed,    // the link broke (an error, not an orderly end)
    TimedOut,  // nothing arrived within the time given
  };

  virtual ~TcpStream() = default;

  // Connects to host (IPv4 dotted address or name) and port, waiting at most
  // timeoutMs. False, with the reason in *error.
  virtual bool Connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string* error) = 0;

  // Waits at most timeoutMs (-1: without limit) for bytes and takes up to
  // `max` of them into `out`; *got is how many.
  virtual Io ReadSome(std::uint8_t* out, std::size_t max, std::size_t* got, int timeoutMs, std::string* error) = 0;

  // Puts all n bytes on the stream; false, with the reason in *error, when
  // the link is not up, fails, or takes nothing for 5 s.
  virtual bool Write(const std::uint8_t* data, std::size_t n, std::string* error) = 0;

  // Ends the link in both directions; a waiting ReadSome returns Ended and
  // later writes fail. Safe to call more than once and after Close.
  virtual void Shutdown() = 0;
  // Ends our direction only: the peer sees the end of the stream, and what
  // it still sends can be read until it ends its own.
  virtual void ShutdownWrite() = 0;
  virtual void Close() = 0;
};

// Sends single datagrams; no answer is read.
class UdpClient {
 public:
  virtual ~UdpClient() = default;
  virtual bool Send(const std::string& host, std::uint16_t port, const std::uint8_t* data, std::size_t n,
                    std::string* error) = 0;
};

// The POSIX implementations. inFlight may be null (no accounting).
std::unique_ptr<TcpClient> MakeTcpClient(InFlight* inFlight);
std::unique_ptr<UdpClient> MakeUdpClient(InFlight* inFlight);
// Work in flight as for TcpClient: Write adds what it puts on the wire;
// whoever takes bytes from ReadSome releases them.
std::unique_ptr<TcpStream> MakeTcpStream(InFlight* inFlight);

}  // namespace nimbrel::platform
