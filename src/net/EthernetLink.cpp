// The Ethernet link: wake datagram, TCP connect with its receive thread,
// sending in 512-byte passes, and the link's part of the close.

#include <cstring>
#include <vector>

#include "app/TfrmMain.h"
#include "protocol/Counters.h"

namespace nimbrel::app {

namespace {

constexpr int kPassSize = 512;
constexpr int kPassPauseMs = 50;
constexpr int kWakePauseMs = 150;
constexpr int kConnectTimeoutMs = 500;
constexpr int kClosePolls = 19;
constexpr int kClosePollMs = 100;

}  // namespace

void TfrmMain::EnsureEthernetClients() {
  if (!TCP) TCP = platform::MakeTcpClient(&loop().inFlight());
  if (!UDP) UDP = platform::MakeUdpClient(&loop().inFlight());
}

bool TfrmMain::OpenEthernetLink() {
  EnsureEthernetClients();
  TCP->OnConnected = [this] { TCPConnected(); };
  TCP->OnWorkBegin = [this] { TCPWorkBegin(); };
  TCP->OnWorkEnd = [this] { TCPWorkEnd(); };

  // Not acknowledged: a scanner that missed it shows only as a failing connect.
  const protocol::Frame wake = protocol::MakeWakeFrame();
  std::string error;
  if (!UDP->Send(editAddress.Text(), ethernetPort, wake.data(), wake.size(), &error)) {
    trace().Debugf("wake datagram: %s\n", error.c_str());
  }
  loop().Sleep(kWakePauseMs);

  // A receiver left polling after an earlier failed connect is stopped
  // rather than left running beside the new one.
  StopTcpReceiver();
  tcpReceiverThread_ = std::make_unique<net::TTCPReceiver>(*this, *TCP);

  if (!TCP->Connect(editAddress.Text(), ethernetPort, kConnectTimeoutMs, &error)) {
    trace().Debugf("TCP connect %s:%u: %s\n", editAddress.Text().c_str(), static_cast<unsigned>(ethernetPort),
                   error.c_str());
    return false;
  }
  if (TCP->IsConnected()) linkEstablished = true;
  return TCP->IsConnected();
}

bool TfrmMain::TcpIsConnected() { return TCP && TCP->IsConnected(); }

void TfrmMain::TCPSendBuffer(const std::uint8_t* data, int size, platform::TcpClient* client) {
  trace().Debugf("TCPsendBuffer[%d]", size);
  if (!client) {
    EnsureEthernetClients();
    client = TCP.get();
  }
  const int passes = size > 0 ? (size + kPassSize - 1) / kPassSize : 0;
  // Whole passes go on the wire; the filler of the last one is zero.
  std::vector<std::uint8_t> copy(static_cast<std::size_t>(passes) * kPassSize, 0);
  if (size > 0) std::memcpy(copy.data(), data, static_cast<std::size_t>(size));

  int sent = 0;
  int failures = 0;  // in a row
  std::string error;
  while (sent < passes) {
    if (client->Write(copy.data() + static_cast<std::size_t>(sent) * kPassSize, kPassSize, &error)) {
      ++sent;
      failures = 0;
    } else {
      // The same pass goes again, so a passing failure loses nothing.
      LogLine("error in TCPSendBuffer" + error);
      ++failures;
    }
    loop().Sleep(kPassPauseMs);
    if (failures > kTcpSendRetries) {
      trace().Debugf("TCPsendBuffer: gave up after %d of %d passes\n", sent, passes);
      break;
    }
  }
  uploadSent += static_cast<std::int64_t>(sent) * kPassSize;
  protocol::CountDown(pendingSends);
}

void TfrmMain::TCPWorkBegin() { trace().Debug("work begin"); }
void TfrmMain::TCPWorkEnd() { trace().Debug("work end"); }

void TfrmMain::CloseEthernetLink() {
  if (TcpIsConnected()) {
    if (net::TTCPReceiver* receiver = tcpReceiver.load()) {
      receiver->Terminate();
      // It waits for nothing of the UI thread's and ends within a poll
      // period; the pauses below are for a receiver that does not.
      if (tcpReceiverThread_.get() == receiver) {
        tcpReceiverThread_->WaitFinished(std::chrono::milliseconds(kClosePollMs));
      }
    }
    for (int i = 0; i < kClosePolls && tcpReceiver.load(); ++i) loop().Sleep(kClosePollMs);
    trace().Debug("delete pReceiver\n");
    TCP->Disconnect();
    TCPDisconnected();
  }
  // The buffers go next: whatever the receiver has still queued (frames of
  // its last poll, a receiver left after the peer ended the link) is
  // dropped from here on. The thread itself is joined with the window.
  if (tcpReceiverThread_) {
    tcpReceiverThread_->StopDelivery();
    tcpReceiverThread_->Terminate();
  }
}

void TfrmMain::StopTcpReceiver() {
  if (!tcpReceiverThread_) return;
  tcpReceiverThread_->StopDelivery();
  tcpReceiverThread_->Terminate();
  // It never waits for the UI thread; its queued deliveries are dropped
  // unseen when they run.
  while (!tcpReceiverThread_->WaitFinished(std::chrono::milliseconds(net::TTCPReceiver::kPollPeriodMs * 2))) {
    loop().ProcessMessages();
  }
  tcpReceiverThread_.reset();
}

}  // namespace nimbrel::app
