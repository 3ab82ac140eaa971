#pragma once
// A main window on the virtual clock whose Ethernet link points at a
// LoopbackPeer on 127.0.0.1, with a RecordingTcp as its TCP client.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "Harness.h"
#include "LoopbackPeer.h"
#include "RecordingTcp.h"

namespace nimbrel::testing {

inline constexpr const char* kLoopback = "127.0.0.1";

// Waits in real time for something another thread does outside the
// work-in-flight accounting (the peer noticing a close).
inline bool Eventually(const std::function<bool()>& pred) {
  for (int i = 0; i < 5000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

class NetTest : public ::testing::Test {
 protected:
  // Starts the window with the Ethernet link chosen and pointed at the
  // peer, and a RecordingTcp as its TCP client.
  app::TfrmMain& StartWindow() {
    app::TfrmMain& f = h.Start();
    f.rgConnection.SetItemIndex(1);
    f.editAddress.SetText(kLoopback);
    f.ethernetPort = peer.Port();
    auto client = std::make_unique<RecordingTcp>(h.loop, platform::MakeTcpClient(&h.loop.inFlight()));
    tcp = client.get();
    f.TCP = std::move(client);
    return f;
  }

  // Starts the window and runs the Connect action; afterwards the records
  // of the peer and the client start after the connect request.
  app::TfrmMain& Connect() {
    app::TfrmMain& f = StartWindow();
    EXPECT_EQ(f.editAddress.Text(), kLoopback);
    f.ConnectClick(&f.Connect);
    EXPECT_TRUE(f.linkEstablished);
    h.loop.ProcessMessages();
    baseline = peer.Received().size();
    tcp->Reset();
    return f;
  }

  // What the peer received since Connect.
  std::vector<std::uint8_t> Received() const {
    const auto all = peer.Received();
    return std::vector<std::uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(baseline), all.end());
  }

  app::TfrmMain& form() { return *h.form; }

  Harness h;
  LoopbackPeer peer{&h.loop.inFlight()};
  RecordingTcp* tcp = nullptr;
  std::size_t baseline = 0;
};

// Bytes that differ from block to block and within each block.
inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed = 1) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + i / 512 + seed);
  return v;
}

}  // namespace nimbrel::testing
