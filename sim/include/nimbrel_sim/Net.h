#pragma once
// The Ethernet side of the simulator: a TCP link adapter and a UDP wake
// listener around a Scanner, both bound to 127.0.0.1 only, each with one I/O
// thread. Work-in-flight accounting as WorkTracker.h describes.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "nimbrel_sim/Scanner.h"
#include "nimbrel_sim/WorkTracker.h"

namespace nimbrel::sim {

// Listens on 127.0.0.1, serves one connection at a time and accepts the next
// one after the updater closed the link or the scanner dropped it. After a
// drop the connection is half-closed (the updater sees the end of the stream)
// and whatever the updater still sends on it is read and discarded until it
// closes its end or opens a new connection.
class TcpLink {
 public:
  explicit TcpLink(Scanner& scanner, WorkTracker* tracker = nullptr);
  ~TcpLink();
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;

  // Binds 127.0.0.1:port (0: an ephemeral port) and starts serving.
  bool Start(std::uint16_t port, std::string* error = nullptr);
  // Stops serving; an open connection is closed (counted as a drop).
  void Stop();
  std::uint16_t Port() const { return port_; }

 private:
  class Connection;
  void Run();
  void Serve(int fd);

  Scanner& scanner_;
  WorkTracker* tracker_;
  int listenFd_ = -1;
  int wakeRead_ = -1, wakeWrite_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Receives datagrams on 127.0.0.1:port and hands them to the scanner.
class WakeListener {
 public:
  explicit WakeListener(Scanner& scanner, WorkTracker* tracker = nullptr);
  ~WakeListener();
  WakeListener(const WakeListener&) = delete;
  WakeListener& operator=(const WakeListener&) = delete;

  bool Start(std::uint16_t port, std::string* error = nullptr);
  void Stop();
  std::uint16_t Port() const { return port_; }

 private:
  void Run();

  Scanner& scanner_;
  WorkTracker* tracker_;
  int fd_ = -1;
  int wakeRead_ = -1, wakeWrite_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A scanner reachable over Ethernet: the Scanner with its TCP link and wake
// listener on the same port number.
class Simulator {
 public:
  explicit Simulator(WorkTracker* tracker = nullptr, const Frame& systemInfo = DefaultSystemInfo());
  ~Simulator();

  // Port 0 picks an ephemeral port that is free for both TCP and UDP.
  bool Start(std::uint16_t port = 8484, std::string* error = nullptr);
  void Stop();
  std::uint16_t Port() const { return tcp_.Port(); }

  Scanner& scanner() { return scanner_; }

 private:
  Scanner scanner_;
  TcpLink tcp_;
  WakeListener udp_;
};

}  // namespace nimbrel::sim
