// System Info backup and patch. (Placeholder.)

#include "app/TfrmMain.h"

namespace nimbrel::app {

void TfrmMain::btnBackupClick(TControl*) {}
void TfrmMain::btnPatchClick(TControl*) {}

}  // namespace nimbrel::app
