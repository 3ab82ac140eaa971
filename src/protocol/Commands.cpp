// Keep-alive, end of session and register write: single frames of fixed
// content.

#include "app/TfrmMain.h"

namespace nimbrel::app {

using namespace protocol;

void TfrmMain::KeepAliveTick() {
  if (!linkEstablished || sendMarker != 0) return;
  keepAliveTimer->SetEnabled(false);
  if (!oldKeepAlive) {
    // Left stopped: the next chunked send starts the timer again.
    trace().Debug("not OldKeepAlive");
    return;
  }
  keepAliveFrame = MakeKeepAliveFrame();
  UsbSend(keepAliveFrame.data(), 512);
  trace().Debug("sendKeepAlive");
  keepAliveTimer->SetEnabled(true);
}

void TfrmMain::SendEndOfSession() {
  if (usb && usb->Active()) {
    loop().Sleep(100);
    endSessionFrame = MakeEndSessionFrame();
    UsbSend(endSessionFrame.data(), 512);
  }
  if (TcpIsConnected()) {
    Frame sos = MakeMagicOnlyFrame(kMagicSoS);
    TCPSendBuffer(sos.data(), 512);
  }
  loop().Sleep(100);
}

void TfrmMain::WriteRegister(std::int32_t reg, std::int32_t value) {
  loop().Sleep(150);
  registerFrame = MakeRegisterFrame(reg, value);
  trace().Debugf("reg[0x%X][%d]\n", static_cast<unsigned>(reg), value);
  // Over an Ethernet link nothing goes out: the USB link is inactive.
  UsbSend(registerFrame.data(), 512);
}

}  // namespace nimbrel::app
