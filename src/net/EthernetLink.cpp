// The Ethernet link of the main window: wake datagram, TCP connect, the
// receive thread, sending in 512-byte passes, and the TCP client's events.

#include <cstring>
#include <vector>

#include "app/TfrmMain.h"
#include "net/TTCPReceiver.h"
#include "protocol/Counters.h"

namespace nimbrel::app {

namespace {

constexpr int kWakeToConnectMs = 150;
constexpr int kConnectTimeoutMs = 500;
constexpr std::size_t kPassSize = 512;
constexpr int kPassPauseMs = 50;
// Consecutive failed passes after which a send gives up on the link.
constexpr int kMaxFailedPasses = 5;

}  // namespace

void TfrmMain::OpenEthernetLink() {
  platform::InFlight* inFlight = &loop().inFlight();

  protocol::Frame wake = protocol::MakeWakeFrame();
  if (!UDP) UDP = platform::MakeUdpClient(inFlight);
  const platform::SendResult sent = UDP->SendTo(editAddress.Text(), ethernetPort, wake.data(), wake.size());
  if (!sent.ok()) trace().Debugf("wake datagram: %s", sent.error.c_str());

  loop().Sleep(kWakeToConnectMs);

  if (!TCP) TCP = platform::MakeTcpClient(inFlight);
  // A receiver left polling by a connect that failed serves again: two of
  // them on one client would split the stream between them.
  if (!tcpReceiver.load()) {
    receiverThread.reset();
    net::ReceiverTarget target;
    target.frame = [this](const std::uint8_t* block, int length) { DispatchFrame(block, length); };
    target.peerClosed = [this] {
      TCP->Disconnect();
      TCPDisconnected();
    };
    receiverThread.reset(new net::TTCPReceiver(loop(), trace(), *TCP, std::move(target), [this](net::TTCPReceiver* r) {
      net::TTCPReceiver* expected = r;
      tcpReceiver.compare_exchange_strong(expected, nullptr);
    }));
    tcpReceiver = receiverThread.get();
  }

  try {
    TCP->Connect(editAddress.Text(), ethernetPort, kConnectTimeoutMs);
  } catch (const platform::SocketError& e) {
    // The Connect action reports the link that did not come up.
    trace().Debugf("TCP connect: %s", e.what());
    return;
  }
  TCPConnected();
}

bool TfrmMain::TcpIsConnected() { return TCP && TCP->Connected(); }

void TfrmMain::TCPSendBuffer(const std::uint8_t* data, int size, platform::TcpClient* client) {
  trace().Debugf("TCPsendBuffer[%d]", size);
  const std::size_t length = size > 0 ? static_cast<std::size_t>(size) : 0;
  std::vector<std::uint8_t> buffer((length + kPassSize - 1) / kPassSize * kPassSize, 0);
  if (length > 0) std::memcpy(buffer.data(), data, length);
  if (!client) client = TCP.get();

  // A failed pass is sent again from where the socket stopped, so nothing
  // of the data is lost; a link that keeps failing ends the send.
  std::size_t position = 0;
  int failures = 0;
  while (position < buffer.size()) {
    const std::size_t passEnd = (position / kPassSize + 1) * kPassSize;
    platform::SendResult result;
    if (client) {
      TCPWorkBegin();
      result = client->Send(buffer.data() + position, passEnd - position);
      TCPWorkEnd();
    } else {
      result.error = "Not Connected.";
    }
    position += result.sent;
    if (result.ok()) {
      failures = 0;
    } else {
      LogLine("error in TCPSendBuffer" + result.error);
      if (++failures >= kMaxFailedPasses || !client || !client->Connected()) {
        const std::size_t unsent = position < length ? length - position : 0;
        LogLine("TCPSendBuffer stopped: " + std::to_string(unsent) + " of " + std::to_string(length) +
                " bytes not sent");
        break;
      }
    }
    loop().Sleep(kPassPauseMs);
  }
  protocol::CountDown(pendingSends);
}

void TfrmMain::TCPWorkBegin() { trace().Debug("work begin"); }
void TfrmMain::TCPWorkEnd() { trace().Debug("work end"); }

void TfrmMain::CloseEthernetLink() {
  if (TcpIsConnected()) {
    if (net::TTCPReceiver* receiver = tcpReceiver.load()) {
      receiver->Terminate();
      // The receiver is woken by the request and ends at once; a pause of
      // no length lets it do so before the first look (on the virtual clock
      // it waits for exactly that), so the pauses below are the exception.
      loop().Sleep(0);
    }
    for (int i = 0; i < 19 && tcpReceiver.load(); ++i) loop().Sleep(100);
    trace().Debug("delete pReceiver\n");
    TCP->Disconnect();
    TCPDisconnected();
  }
  // A receive thread that did not end in time (or was not asked to, its
  // link being down) delivers nothing more, so nothing it receives can
  // reach the buffers that the close releases next.
  if (receiverThread) receiverThread->Detach();
}

}  // namespace nimbrel::app
