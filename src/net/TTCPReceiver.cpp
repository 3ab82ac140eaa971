#include "net/TTCPReceiver.h"

#include <array>
#include <atomic>
#include <deque>
#include <vector>

namespace nimbrel::net {

struct TTCPReceiver::Mailbox {
  struct Item {
    std::array<std::uint8_t, kFrameSize> frame{};
    bool closed = false;  // the end of the stream instead of a frame
  };

  explicit Mailbox(platform::EventLoop& l, ReceiverTarget t) : loop(l), target(std::move(t)) {}

  // Receiver thread: queues the items of one poll and releases `release`
  // units of work in flight in the same step.
  static void Deliver(const std::shared_ptr<Mailbox>& self, std::vector<Item> items, std::int64_t release) {
    bool post = false;
    {
      std::lock_guard lock(self->mutex);
      for (Item& item : items) self->items.push_back(std::move(item));
      if (!self->items.empty() && !self->pumpScheduled) {
        self->pumpScheduled = true;
        post = true;
      }
    }
    if (post) {
      self->loop.Post([self] { Pump(self); }, release);
    } else if (release != 0) {
      self->loop.inFlight().Done(release);
    }
  }

  // UI thread: delivers one item, then schedules itself again while items
  // are left. Re-posting happens after the delivery has returned (also when
  // it threw), so deliveries never nest and the loop always sees the next
  // one as pending work.
  static void Pump(const std::shared_ptr<Mailbox>& self) {
    Item item;
    {
      std::lock_guard lock(self->mutex);
      if (self->items.empty()) {
        self->pumpScheduled = false;
        return;
      }
      item = self->items.front();
      self->items.pop_front();
    }
    struct Reschedule {
      const std::shared_ptr<Mailbox>& mb;
      ~Reschedule() {
        {
          std::lock_guard lock(mb->mutex);
          if (mb->items.empty()) {
            mb->pumpScheduled = false;
            return;
          }
        }
        auto again = mb;
        mb->loop.Post([again] { Pump(again); });
      }
    } reschedule{self};
    if (item.closed) {
      if (self->target.peerClosed) self->target.peerClosed();
    } else if (self->target.frame) {
      self->target.frame(item.frame.data(), kFrameSize);
    }
  }

  platform::EventLoop& loop;
  ReceiverTarget target;  // UI thread only
  std::atomic<bool> attached{true};

  std::mutex mutex;
  std::deque<Item> items;
  bool pumpScheduled = false;
};

TTCPReceiver::TTCPReceiver(platform::EventLoop& loop, platform::Trace& trace, platform::TcpClient& client,
                           ReceiverTarget target, std::function<void(TTCPReceiver*)> ended)
    : loop_(loop),
      trace_(trace),
      client_(client),
      ended_(std::move(ended)),
      mailbox_(std::make_shared<Mailbox>(loop, std::move(target))) {
  thread_ = std::thread([this] { Execute(); });
}

TTCPReceiver::~TTCPReceiver() {
  Terminate();
  if (thread_.joinable()) thread_.join();
  Detach();
}

void TTCPReceiver::Terminate() {
  {
    std::lock_guard lock(mutex_);
    if (terminateRequested_ || finished_) return;
    terminateRequested_ = true;
    loop_.inFlight().Add(1);
  }
  client_.Wake();
}

bool TTCPReceiver::Terminated() const {
  std::lock_guard lock(mutex_);
  return terminateRequested_;
}

bool TTCPReceiver::Finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

void TTCPReceiver::Detach() {
  mailbox_->attached = false;
  mailbox_->target = {};
}

void TTCPReceiver::Execute() {
  while (!Terminated()) {
    if (client_.Connected()) {
      const platform::PollResult polled = client_.Poll();
      std::vector<Mailbox::Item> items;
      while (client_.InputBufferSize() >= kFrameSize) {
        Mailbox::Item item;
        client_.ReadExact(item.frame.data(), kFrameSize);
        items.push_back(item);
      }
      if (polled.peerClosed) items.push_back(Mailbox::Item{{}, true});
      // Frames read while detached are taken off the stream and dropped.
      if (!mailbox_->attached) items.clear();
      const auto release = static_cast<std::int64_t>(polled.bytesRead) + (polled.peerClosed ? 1 : 0);
      Mailbox::Deliver(mailbox_, std::move(items), release);
    }
    if (Terminated()) break;
    client_.WaitForInput();
  }

  if (ended_) ended_(this);
  trace_.Debug("delete TTCPReceiver\n");
  bool release;
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
    release = terminateRequested_;
  }
  if (release) loop_.inFlight().Done(1);
}

void TTCPReceiverDeleter::operator()(TTCPReceiver* receiver) const { delete receiver; }

}  // namespace nimbrel::net
