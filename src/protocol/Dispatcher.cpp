// Receive dispatcher. (Placeholder: received blocks are dropped.)

#include "app/TfrmMain.h"

namespace nimbrel::app {

void TfrmMain::UsbReadEnd(int, int, std::uint8_t*) {}
void TfrmMain::DispatchFrame(const std::uint8_t*, int) {}

}  // namespace nimbrel::app
