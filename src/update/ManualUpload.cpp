// The upload step. (Placeholder.)

#include "app/TfrmMain.h"

namespace nimbrel::app {

void TfrmMain::rgModeClick(TControl*) {}
void TfrmMain::btnUploadClick(TControl*) {}

}  // namespace nimbrel::app
