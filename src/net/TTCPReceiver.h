#pragma once
// The receive thread of the Ethernet link: it polls the TCP client, cuts the
// byte stream into 512-byte frames and hands each one, in arrival order, to
// the main window on the UI thread.
//
// Hand-over: frames (and then the end of the stream) go into a mailbox that
// one pump item in the event loop empties, one delivery per run; the next
// delivery is posted only after the previous one has returned, so
// deliveries never nest, not even when one processes pending events. The
// thread never waits for the UI thread: it goes on reading while a delivery
// runs. A delivery that sends over the link and pauses (the greeting's
// System Info request) therefore finds the scanner's answer taken off the
// socket meanwhile instead of left unread until the delivery ends.
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
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/FrameCutter.h"
#include "platform/EventLoop.h"
#include "platform/Sockets.h"
#include "protocol/ControlFrame.h"

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
  // one poll period, after queuing the frames of the poll under way.
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
    explicit Gate(app::TfrmMain* f, platform::EventLoop& l) : form(f), loop(l) {}
    app::TfrmMain* form;
    platform::EventLoop& loop;
    bool open = true;  // read and written on the UI thread only

    struct Item {
      protocol::Frame frame{};
      bool ended = false;  // the end of the stream, after the frames before it
    };
    std::mutex mutex;  // items and pumpScheduled
    std::deque<Item> items;
    bool pumpScheduled = false;
  };

  void Execute();
  // Takes the complete frames out of the input buffer into the mailbox and,
  // when the stream has ended, the disconnected event after them (released
  // with `endUnits` more units); false when the loop no longer accepts work.
  bool DeliverFrames(bool ended, std::int64_t endUnits = 0);
  // Queues the items, releasing `release` units in the same step.
  static bool Deliver(const std::shared_ptr<Gate>& gate, std::vector<Gate::Item> items, std::int64_t release);
  // UI thread: one delivery, then the next run is posted while items are left.
  static void Pump(const std::shared_ptr<Gate>& gate);
  void ReleaseBuffered();

  app::TfrmMain* form_;
  platform::TcpClient* client_;
  std::shared_ptr<Gate> gate_;

  FrameCutter cutter_;

  std::atomic<bool> terminated_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool finished_ = false;
  bool terminateOwed_ = false;  // the terminate request's unit is in flight
  std::thread thread_;
};

}  // namespace nimbrel::net
