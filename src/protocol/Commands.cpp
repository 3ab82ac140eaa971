// Keep-alive and device commands.

#include "app/TfrmMain.h"

namespace nimbrel::app {

void TfrmMain::KeepAliveTick() {
  if (!linkEstablished || sendMarker != 0) return;
  keepAliveTimer->SetEnabled(false);
  if (!oldKeepAlive) {
    // Left stopped: the next SendChunked starts it again.
    trace().Debug("not OldKeepAlive");
    return;
  }
  keepAliveFrame = protocol::MakeKeepAliveFrame();
  UsbSend(keepAliveFrame.data(), static_cast<int>(keepAliveFrame.size()));
  trace().Debug("sendKeepAlive");
  keepAliveTimer->SetEnabled(true);
}

void TfrmMain::SendEndOfSession() {
  if (usb && usb->Active()) {
    loop().Sleep(100);
    endSessionFrame = protocol::MakeEndSessionFrame();
    UsbSend(endSessionFrame.data(), static_cast<int>(endSessionFrame.size()));
  }
  if (TCP && TCP->Connected()) {
    protocol::Frame frame = protocol::MakeMagicOnlyFrame(protocol::kMagicSoS);
    TCPSendBuffer(frame.data(), static_cast<int>(frame.size()));
  }
  loop().Sleep(100);
}

void TfrmMain::WriteRegister(std::int32_t reg, std::int32_t value) {
  loop().Sleep(150);
  registerFrame = protocol::MakeRegisterFrame(reg, value);
  trace().Debugf("reg[0x%X][%d]\n", static_cast<unsigned>(reg), value);
  UsbSend(registerFrame.data(), static_cast<int>(registerFrame.size()));
}

}  // namespace nimbrel::app
