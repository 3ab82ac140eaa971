#pragma once
// A tiny scanner stand-in on 127.0.0.1: a TCP listener and a UDP socket on
// one ephemeral port number, served by one thread. It records what the
// updater sends and keeps the work-in-flight contract of the link: what it
// reads is released once handled (after the replies it caused were added),
// what it sends is added before it goes out, and a drop adds one unit.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/EventLoop.h"

namespace nimbrel::testing {

class LoopbackPeer {
 public:
  explicit LoopbackPeer(platform::InFlight* inFlight);
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  // The one port number of the TCP listener and the UDP socket.
  std::uint16_t Port() const { return port_; }

  // Runs on the peer's thread for every complete 512-byte frame received;
  // what it returns goes back to the updater. Set it before the updater connects.
  std::function<std::vector<std::uint8_t>(const std::uint8_t* frame)> reply;

  // Sends to the updater on the open connection (waits for the connection
  // to be accepted). Any thread.
  void Send(const std::vector<std::uint8_t>& bytes);
  // Ends the stream towards the updater, as a restarting scanner does; goes
  // on reading (and releasing) what the updater still sends.
  void Drop();

  // Closes the TCP listener: connects are refused from now on, datagrams
  // still arrive. Waits until the peer's thread has done it.
  void StopListening();

  std::vector<std::uint8_t> Received() const;
  std::vector<std::vector<std::uint8_t>> Datagrams() const;
  int Connections() const;
  // The updater closed its side of the current connection.
  bool SawEnd() const;

 private:
  void Serve();
  bool WaitAccepted();
  void SendLocked(const std::uint8_t* data, std::size_t n);

  platform::InFlight* inFlight_;
  int listen_ = -1, udp_ = -1, wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int conn_ = -1;
  int connections_ = 0;
  bool sawEnd_ = false;
  bool stop_ = false;
  bool stopListening_ = false;
  std::vector<std::uint8_t> received_;
  std::vector<std::vector<std::uint8_t>> datagrams_;
  std::vector<std::uint8_t> partial_;

  std::mutex sendMutex_;
  std::thread thread_;
};

}  // namespace nimbrel::testing
