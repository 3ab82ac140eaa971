// Silent-mode timer and the close of the window.

#include "app/TfrmMain.h"

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

void TfrmMain::EndSilentRun() {
  silentState = 99;
  tmSilenceMode.SetEnabled(true);
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
  CloseEthernetLink();
  stagingBuffer.reset();
  bulkBuffer.reset();
  receivePosition = nullptr;
  dentalMutex.reset();
  flashMutex.reset();
}

}  // namespace nimbrel::app
