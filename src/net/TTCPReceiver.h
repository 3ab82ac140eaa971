#pragma once
// The Ethernet receive thread: polls the TCP client, cuts the stream into
// 512-byte frames and hands them to the main window.
//
// Hand-over: frames go into a mailbox and are delivered on the UI thread by
// a single pump item in the event loop, one frame per run, in arrival order;
// the next frame is delivered only after the previous delivery has returned,
// so a delivery that processes pending events never runs the next one nested
// inside it. The thread itself never waits for the UI thread: it goes on
// reading while the UI is busy (for example pausing between send passes),
// so the scanner's replies never sit unread while the UI waits for them.
//
// Work in flight: the bytes of one poll (and one unit for the end of the
// stream) are released once their frames are in the mailbox and a pump is
// posted or running; bytes of a partial frame are released once buffered.
// After the loop's Shutdown the pump is dropped and nothing more is
// delivered.
//
// The thread touches none of the window's state: deliveries run on the UI
// thread, and after Detach they are dropped.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "net/TTCPReceiverFwd.h"
#include "platform/EventLoop.h"
#include "platform/Sockets.h"
#include "platform/Trace.h"

namespace nimbrel::net {

// What the receiver delivers to, on the UI thread.
struct ReceiverTarget {
  std::function<void(const std::uint8_t* block, int length)> frame;
  std::function<void()> peerClosed;  // after the frames that came before the end
};

class TTCPReceiver {
 public:
  static constexpr int kFrameSize = 512;

  // Starts polling at once. `ended` runs on the receiver's own thread as its
  // last act but one (before the trace line): it clears the window's
  // reference to this receiver.
  TTCPReceiver(platform::EventLoop& loop, platform::Trace& trace, platform::TcpClient& client,
               ReceiverTarget target, std::function<void(TTCPReceiver*)> ended);
  // Terminates, waits for the thread and detaches. UI thread.
  ~TTCPReceiver();
  TTCPReceiver(const TTCPReceiver&) = delete;
  TTCPReceiver& operator=(const TTCPReceiver&) = delete;

  // The terminate request; any thread. The thread ends after the poll it is
  // in. Counts as work in flight until the thread has ended, so that a
  // virtual clock waiting for the end sees it end at once.
  void Terminate();
  bool Terminated() const;
  // True once the thread's run has ended.
  bool Finished() const;

  // Drops the reference to the window: nothing more is delivered. UI thread.
  void Detach();

 private:
  struct Mailbox;

  void Execute();

  platform::EventLoop& loop_;
  platform::Trace& trace_;
  platform::TcpClient& client_;
  std::function<void(TTCPReceiver*)> ended_;
  std::shared_ptr<Mailbox> mailbox_;

  mutable std::mutex mutex_;
  bool terminateRequested_ = false;
  bool finished_ = false;

  std::thread thread_;
};

}  // namespace nimbrel::net
