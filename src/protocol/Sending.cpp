// Sending side. (Placeholder.)

#include "app/TfrmMain.h"

namespace nimbrel::app {

void TfrmMain::UsbSendEnd(int, int, std::uint8_t*) {}

}  // namespace nimbrel::app
