// Hardware configuration code and the option groups. (Placeholder.)

#include "app/TfrmMain.h"

namespace nimbrel::app {

void TfrmMain::rgFPGAClick(TControl*) {}
void TfrmMain::rgLOTClick(TControl*) {}
void TfrmMain::rgPowerBoardClick(TControl*) {}
void TfrmMain::rgMainBoardClick(TControl*) {}
void TfrmMain::btnTestTSCodeClick(TControl*) {}
void TfrmMain::btnMaketsCodeClick(TControl*) {}

}  // namespace nimbrel::app
