// The Ethernet link. (Placeholder: the link never comes up.)

#include "app/TfrmMain.h"
#include "protocol/Counters.h"

namespace nimbrel::app {

void TfrmMain::OpenEthernetLink() {}
bool TfrmMain::TcpIsConnected() { return false; }
void TfrmMain::TCPSendBuffer(const std::uint8_t*, int) { protocol::CountDown(pendingSends); }
void TfrmMain::TCPWorkBegin() { trace().Debug("work begin"); }
void TfrmMain::TCPWorkEnd() { trace().Debug("work end"); }
void TfrmMain::CloseEthernetLink() {}

}  // namespace nimbrel::app
