// Silent-mode timer and the close of the window.

#include "app/TfrmMain.h"
#include "net/TTCPReceiver.h"

namespace nimbrel::app {

void TfrmMain::tmSilenceModeTimer(TControl*) {
  tmSilenceMode.SetEnabled(false);
  switch (silentState) {
    case 1:
      if (hiddenMode) SetVisible(false);
      ConnectClick(nullptr);
      break;
    case 2:
      btnAutoUploadClick(nullptr);
      break;
    case 99:
      trace().Debug("close by iSilentMode\n");
      Close();
      break;
    default:
      break;
  }
}

void TfrmMain::FormCloseQuery() {
  closing = true;
  // Nothing of the teardown may reach the protocol handlers.
  usb->OnConnect = nullptr;
  usb->OnDisconnect = nullptr;
  usb->OnReadBufferEnd = nullptr;
  usb->OnSendBufferEnd = nullptr;
  SendEndOfSession();
  usb->SetActive(false);
  if (TCP && TCP->Connected()) {
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
  // A receive thread that did not end in time delivers nothing more, so
  // nothing it received can reach the buffers released below.
  if (receiverThread) receiverThread->Detach();
  stagingBuffer.reset();
  bulkBuffer.reset();
  receivePosition = nullptr;
  dentalMutex.reset();
  flashMutex.reset();
}

}  // namespace nimbrel::app
