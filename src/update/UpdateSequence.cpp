// The automatic update sequence. (Placeholder.)

#include "app/TfrmMain.h"

namespace nimbrel::app {

void TfrmMain::btnAutoUploadClick(TControl*) {}
void TfrmMain::Timer1Timer(TControl*) {}
void TfrmMain::Timer2Timer(TControl*) {}

}  // namespace nimbrel::app
