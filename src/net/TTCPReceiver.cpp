#include "net/TTCPReceiver.h"

#include <vector>

#include "app/TfrmMain.h"

namespace nimbrel::net {

TTCPReceiver::TTCPReceiver(app::TfrmMain& form, platform::TcpClient& client)
    : form_(&form), client_(&client), gate_(std::make_shared<Gate>(&form, form.loop())) {
  form.tcpReceiver = this;
  thread_ = std::thread([this] { Execute(); });
}

TTCPReceiver::~TTCPReceiver() {
  Terminate();
  if (thread_.joinable()) thread_.join();
}

void TTCPReceiver::Terminate() {
  {
    std::lock_guard lock(mutex_);
    if (terminated_.exchange(true) || finished_) return;
    terminateOwed_ = true;
    form_->loop().inFlight().Add(1);
  }
  wake_.notify_all();
}

void TTCPReceiver::StopDelivery() { gate_->open = false; }

bool TTCPReceiver::WaitFinished(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return wake_.wait_for(lock, timeout, [this] { return finished_; });
}

void TTCPReceiver::Execute() {
  platform::EventLoop& loop = form_->loop();
  platform::Trace& trace = form_->trace();
  bool accepting = true;  // the loop still takes work

  while (accepting && !terminated_) {
    const platform::TcpPoll poll = client_->Poll();
    cutter_.Appended(poll.appended);
    if (poll.ended || poll.failed) {
      // What arrived before the end of the stream is still handed on, and
      // the disconnected event after it; an orderly end is the peer's unit
      // of work, a broken link is not.
      accepting = DeliverFrames(true, poll.ended ? 1 : 0);
    } else if (poll.connected) {
      accepting = DeliverFrames(false);
    }
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(kPollPeriodMs), [this] { return terminated_.load(); });
  }

  ReleaseBuffered();
  client_ = nullptr;
  // A later receiver may have taken the window's reference meanwhile.
  TTCPReceiver* self = this;
  form_->tcpReceiver.compare_exchange_strong(self, nullptr);
  trace.Debug("delete TTCPReceiver\n");
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
    if (terminateOwed_) loop.inFlight().Done(1);
    terminateOwed_ = false;
  }
  wake_.notify_all();
}

bool TTCPReceiver::DeliverFrames(bool ended, std::int64_t endUnits) {
  std::vector<protocol::Frame> frames;
  std::int64_t release = cutter_.Take(*client_, ended, frames);
  std::vector<Gate::Item> items;
  items.reserve(frames.size() + 1);
  for (const protocol::Frame& f : frames) items.push_back(Gate::Item{f, false});
  if (ended) {
    // The disconnected event comes after the frames before the end.
    items.push_back(Gate::Item{{}, true});
    release += endUnits;
    // Disconnected before anything is released: once the UI thread may look,
    // the link is down and its input buffer empty.
    client_->Disconnect();
  }
  return Deliver(gate_, std::move(items), release);
}

bool TTCPReceiver::Deliver(const std::shared_ptr<Gate>& gate, std::vector<Gate::Item> items, std::int64_t release) {
  bool post = false;
  {
    std::lock_guard lock(gate->mutex);
    for (Gate::Item& i : items) gate->items.push_back(std::move(i));
    if (!gate->items.empty() && !gate->pumpScheduled) {
      gate->pumpScheduled = true;
      post = true;
    }
  }
  // A pump already posted or running takes the new items in turn.
  if (!post) {
    if (release != 0) gate->loop.inFlight().Done(release);
    return true;
  }
  return gate->loop.Post([gate] { Pump(gate); }, release);
}

void TTCPReceiver::Pump(const std::shared_ptr<Gate>& gate) {
  Gate::Item item;
  {
    std::lock_guard lock(gate->mutex);
    if (gate->items.empty()) {
      gate->pumpScheduled = false;
      return;
    }
    item = gate->items.front();
    gate->items.pop_front();
  }
  // Posted after the delivery has returned (or thrown), so that the loop
  // sees the next one as pending work and never runs it nested.
  struct Next {
    const std::shared_ptr<Gate>& gate;
    ~Next() {
      {
        std::lock_guard lock(gate->mutex);
        if (gate->items.empty()) {
          gate->pumpScheduled = false;
          return;
        }
      }
      auto again = gate;
      gate->loop.Post([again] { Pump(again); });
    }
  } next{gate};
  if (!gate->open) return;
  app::TfrmMain& form = *gate->form;
  if (item.ended) {
    form.TCPDisconnected();
  } else if (form.tcpFrameSink) {
    form.tcpFrameSink(item.frame.data(), static_cast<int>(item.frame.size()));
  } else {
    form.DispatchFrame(item.frame.data(), static_cast<int>(item.frame.size()));
  }
}

void TTCPReceiver::ReleaseBuffered() {
  const std::int64_t left = cutter_.TakeUnreleased();
  if (left > 0) form_->loop().inFlight().Done(left);
}

}  // namespace nimbrel::net
