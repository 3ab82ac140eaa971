#pragma once
// The receive thread of the Ethernet link: it polls the TCP client, cuts the
// byte stream into 512-byte frames and hands each one, in arrival order, to
// the main window on the UI thread.
//
// Lifetime: the receiver runs from its construction until it is terminated
// (or the event loop shuts down); as its last acts it clears the window's
// tcpReceiver and traces "delete TTCPReceiver\n". Its owner destroys it only
// after Finished(); the destructor joins the thread. The window and the
// client must outlive it.
//
// Work in flight: the receiver releases every byte it takes from the client:
// a complete frame as its delivery is queued, bytes of an incomplete frame
// once buffered, and the end of the stream (one unit) with the disconnected
// event. A terminate request is one unit of work until the receiver has
// ended, so that a virtual clock waits for the end instead of racing it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Sockets.h"

namespace nimbrel::app {
class TfrmMain;
}

namespace nimbrel::net {

class TTCPReceiver {
 public:
  // Stores itself in form.tcpReceiver and starts polling at once.
  TTCPReceiver(app::TfrmMain& form, platform::TcpClient& client);
  ~TTCPReceiver();
  TTCPReceiver(const TTCPReceiver&) = delete;
  TTCPReceiver& operator=(const TTCPReceiver&) = delete;

  // The terminate request; any thread. The receiver leaves its loop within
  // one poll period, after handing on the frames of the poll under way.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }

  // From now on nothing more reaches the window: deliveries still queued on
  // the UI thread and the disconnected event are dropped. UI thread only.
  void StopDelivery();

  // Waits (real time) for the thread's run to end; true when it has.
  bool WaitFinished(std::chrono::milliseconds timeout);

  static constexpr int kPollPeriodMs = 3;

 private:
  // Shared with the work queued on the UI thread, which may run after the
  // receiver is gone.
  struct Gate {
    explicit Gate(app::TfrmMain* f) : form(f) {}
    app::TfrmMain* form;
    bool open = true;  // read and written on the UI thread only
  };

  void Execute();
  // Takes the complete frames out of the input buffer and delivers them;
  // false when the loop no longer accepts work.
  bool DeliverFrames();
  void ReleaseBuffered();

  app::TfrmMain* form_;
  platform::TcpClient* client_;
  std::shared_ptr<Gate> gate_;

  std::int64_t unreleased_ = 0;       // taken into the input buffer, not yet released
  std::int64_t partialReleased_ = 0;  // bytes of the incomplete frame already released

  std::atomic<bool> terminated_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool finished_ = false;
  bool terminateOwed_ = false;  // the terminate request's unit is in flight
  std::thread thread_;
};

}  // namespace nimbrel::net
