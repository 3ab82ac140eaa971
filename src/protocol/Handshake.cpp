// The connect handshake: the Connect action, the connect request on either
// link, and what the links' connected and disconnected events do.

#include "app/TfrmMain.h"

namespace nimbrel::app {

using namespace protocol;

void TfrmMain::ConnectClick(TControl*) {
  // The first link that opens stays the session's link; reopening USB after
  // a scanner restart is the update sequence's job.
  if (linkEstablished) return;
  if (rgConnection.ItemIndex() == 0) {
    if (usb->Active()) return;
    usb->SetActive(true);  // the connect request goes out inside, on OnConnect
    if (usb->Active()) {
      linkEstablished = true;
      return;
    }
  } else {
    OpenEthernetLink();
    if (TcpIsConnected()) {
      linkEstablished = true;
      return;
    }
  }
  // No scanner on the chosen link.
  if (silentState > 0) {
    Close();
  } else {
    MessageBox("can't connect Scanner", "Check connection", ui::MsgIcon::Error);
  }
}

void TfrmMain::UsbConnected() {
  LogLine("USB Connected");
  SendConnectRequest(Link::Usb);
}

void TfrmMain::TCPConnected() {
  LogLine("TCP Connected");
  SendConnectRequest(Link::Ethernet);
}

void TfrmMain::SendConnectRequest(Link link) {
  awaitingGreeting = true;
  ControlFrame request = FrameView(frameBuffer);
  // Only these fields are rewritten: the rest of the frame buffer still holds
  // the last frame received or built there.
  request.setMagic(kMagicSoF);
  request.setValue(0);
  request.setTransferLength(0);
  // A transfer cut off by a disconnect ends here, so that the new
  // connection's frames are not taken for its data.
  ResetReceiveState();

  if (link == Link::Usb) {
    UsbSend(frameBuffer.data(), 512);
    loop().ProcessMessages();
    usb->ReadBuffer(2, 512, receivePosition);
  } else {
    Frame sessionStart = MakeMagicOnlyFrame(kMagicSwS);
    TCPSendBuffer(sessionStart.data(), 512);
    loop().Sleep(150);
    TCPSendBuffer(frameBuffer.data(), 512);
  }
  btnBackup.SetEnabled(true);
  sessionOpen = true;
}

void TfrmMain::UsbDisconnected() {
  LogLine("USB Disconnected");
  ResetSessionUi();
  pendingSends = 0;
  if (silentState > 0) {
    silentState = 99;
    tmSilenceMode.SetEnabled(true);
    trace().Debug("tmSilenceMode->Enabled = true2");
  }
}

void TfrmMain::TCPDisconnected() {
  LogLine("TCP Disconnected");
  ResetSessionUi();
}

void TfrmMain::ResetSessionUi() {
  rgMode.SetEnabled(false);
  btnUpload.SetEnabled(false);
  btnAutoUpload.SetEnabled(false);
  rgMode.SetItemIndex(-1);
  btnBackup.SetEnabled(false);
  sessionOpen = false;
  unitSupported = false;
}

}  // namespace nimbrel::app
