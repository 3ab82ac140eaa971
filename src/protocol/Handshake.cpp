// Connect handshake. (Placeholder: the Connect action does nothing yet.)

#include "app/TfrmMain.h"

namespace nimbrel::app {

void TfrmMain::ConnectClick(TControl*) {}
void TfrmMain::UsbConnected() {}
void TfrmMain::UsbDisconnected() {}
void TfrmMain::TCPConnected() {}
void TfrmMain::TCPDisconnected() {}

}  // namespace nimbrel::app
