#pragma once
// Lets the main window hold the receive thread without its full declaration.

namespace nimbrel::net {

class TTCPReceiver;

struct TTCPReceiverDeleter {
  void operator()(TTCPReceiver* receiver) const;
};

}  // namespace nimbrel::net
