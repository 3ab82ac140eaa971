// Keep-alive and device commands. (Placeholder: the tick does nothing.)

#include "app/TfrmMain.h"

namespace nimbrel::app {

void TfrmMain::KeepAliveTick() {}
void TfrmMain::SendEndOfSession() {}

}  // namespace nimbrel::app
