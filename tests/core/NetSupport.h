#pragma once
// Pieces for the Ethernet link's tests: a window on the virtual clock wired
// to a simulated scanner on 127.0.0.1, a TCP client that injects faults, and
// a datagram sink that plays a scanner which has no TCP server.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Harness.h"
#include "SimTracker.h"
#include "nimbrel_sim/Net.h"
#include "platform/Sockets.h"

namespace nimbrel::testing {

using Bytes = std::vector<std::uint8_t>;

// Bounds the real-time waits for the simulator's threads (a stuck peer).
inline constexpr auto kPeerWait = std::chrono::seconds(10);

inline Bytes Pattern(std::size_t n, std::uint8_t seed = 0) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return b;
}

// Passes everything to a real client, and fails or alters chosen writes.
class FaultyTcpClient final : public platform::TcpClient {
 public:
  explicit FaultyTcpClient(std::unique_ptr<platform::TcpClient> inner) : inner_(std::move(inner)) {}

  std::set<int> failWrites;  // attempt numbers (from 0) that fail
  bool failAll = false;
  int corruptWrite = -1;     // attempt number whose first byte is flipped
  int Attempts() const { return attempts_; }
  // Numbers the attempts from 0 again (after the connect's own frames).
  void ResetAttempts() { attempts_ = 0; }

  bool Connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string* error) override {
    if (!inner_->Connect(host, port, timeoutMs, error)) return false;
    if (OnConnected) OnConnected();
    return true;
  }
  platform::TcpPoll Poll() override { return inner_->Poll(); }
  bool IsConnected() const override { return inner_->IsConnected(); }
  std::size_t InputBufferSize() const override { return inner_->InputBufferSize(); }
  bool ReadBytes(std::uint8_t* out, std::size_t n) override { return inner_->ReadBytes(out, n); }
  bool Write(const std::uint8_t* data, std::size_t n, std::string* error) override {
    const int attempt = attempts_++;
    if (failAll || failWrites.count(attempt)) {
      *error = "injected fault";
      return false;
    }
    if (attempt == corruptWrite) {
      Bytes altered(data, data + n);
      altered[0] ^= 0x5A;
      return inner_->Write(altered.data(), n, error);
    }
    return inner_->Write(data, n, error);
  }
  void Disconnect() override { inner_->Disconnect(); }

 private:
  std::unique_ptr<platform::TcpClient> inner_;
  int attempts_ = 0;  // written on the UI thread only
};

// A window whose Ethernet link points at a simulated scanner on loopback;
// frames the receive thread delivers are kept in `frames`.
class EthernetFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start(0));
    // The link's own tests look at raw frames: the scanner answers nothing
    // (the connected event still sends "SwS" and the connect request).
    scanner().Configure([](sim::Options& o) { o.silent = true; });
    form = &h.Start();
    form->editAddress.SetText("127.0.0.1");
    form->ethernetPort = sim.Port();
    form->tcpFrameSink = [this](const std::uint8_t* f, int n) { frames.emplace_back(f, f + n); };
  }

  // Replaces the window's TCP client with one that injects faults.
  FaultyTcpClient& InjectFaults() {
    auto faulty = std::make_unique<FaultyTcpClient>(platform::MakeTcpClient(&h.loop.inFlight()));
    FaultyTcpClient& ref = *faulty;
    form->TCP = std::move(faulty);
    return ref;
  }

  // Opens the link and waits until the simulator has taken the connection.
  void Open() {
    ASSERT_TRUE(form->OpenEthernetLink());
    ASSERT_TRUE(scanner().WaitFor([&] { return scanner().LinkIsUp(); }, kPeerWait));
    Settle();
  }

  // Runs what is pending once nothing is in flight, and checks the accounting.
  void Settle() {
    h.loop.ProcessMessages();
    EXPECT_EQ(h.loop.inFlight().Count(), 0);
  }

  std::vector<sim::Event> EventsOf(sim::EventKind kind) {
    std::vector<sim::Event> out;
    for (const sim::Event& e : scanner().Events())
      if (e.kind == kind) out.push_back(e);
    return out;
  }

  sim::Scanner& scanner() { return sim.scanner(); }

  std::vector<Bytes> frames;  // before the harness: the window goes first
  Harness h;
  SimTracker tracker{h.loop.inFlight()};
  sim::Simulator sim{&tracker};
  app::TfrmMain* form = nullptr;
};

// Receives datagrams on 127.0.0.1 and releases them; the same port number is
// bound for TCP without listening, so a connect there is refused.
class DatagramSink {
 public:
  explicit DatagramSink(platform::InFlight& inFlight) : inFlight_(inFlight) {
    for (int attempt = 0; attempt < 20 && port_ == 0; ++attempt) {
      tcp_ = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof a;
      ::bind(tcp_, reinterpret_cast<sockaddr*>(&a), sizeof a);
      ::getsockname(tcp_, reinterpret_cast<sockaddr*>(&a), &len);
      udp_ = ::socket(AF_INET, SOCK_DGRAM, 0);
      if (::bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        port_ = ntohs(a.sin_port);
      } else {
        ::close(udp_);
        ::close(tcp_);
      }
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~DatagramSink() {
    stop_ = true;
    thread_.join();
    if (port_ != 0) {
      ::close(udp_);
      ::close(tcp_);
    }
  }
  std::uint16_t Port() const { return port_; }
  int Received() const { return received_; }

 private:
  void Run() {
    std::uint8_t buf[2048];
    while (!stop_ && port_ != 0) {
      pollfd p{udp_, POLLIN, 0};
      if (::poll(&p, 1, 5) != 1) continue;
      const ssize_t n = ::recv(udp_, buf, sizeof buf, 0);
      if (n > 0) {
        ++received_;
        inFlight_.Done(n);
      }
    }
  }

  platform::InFlight& inFlight_;
  int tcp_ = -1, udp_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> received_{0};
  std::thread thread_;
};

}  // namespace nimbrel::testing
