#include "net/TTCPReceiver.h"

#include <algorithm>

#include "app/TfrmMain.h"

namespace nimbrel::net {

namespace {
constexpr std::int64_t kFrame = 512;
}

TTCPReceiver::TTCPReceiver(app::TfrmMain& form, platform::TcpClient& client)
    : form_(&form), client_(&client), gate_(std::make_shared<Gate>(&form)) {
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
    unreleased_ += static_cast<std::int64_t>(poll.appended);
    // What arrived before the end of the stream is still handed on.
    if (poll.connected || poll.ended || poll.failed) accepting = DeliverFrames();
    if (poll.ended || poll.failed) {
      // The bytes of an incomplete last frame go with the link.
      client_->Disconnect();
      ReleaseBuffered();
      // An orderly end is the peer's unit of work; a broken link is not.
      loop.Post(
          [gate = gate_] {
            if (gate->open) gate->form->TCPDisconnected();
          },
          poll.ended ? 1 : 0);
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

bool TTCPReceiver::DeliverFrames() {
  platform::EventLoop& loop = form_->loop();
  protocol::Frame frame;
  while (client_->InputBufferSize() >= static_cast<std::size_t>(kFrame) &&
         client_->ReadBytes(frame.data(), frame.size())) {
    const std::int64_t release = std::min(unreleased_, kFrame - partialReleased_);
    unreleased_ -= release;
    partialReleased_ = 0;
    // One frame at a time: the next is taken only once this one has run.
    const bool ran = loop.Invoke(
        [gate = gate_, frame] {
          if (!gate->open) return;
          app::TfrmMain& form = *gate->form;
          if (form.tcpFrameSink) {
            form.tcpFrameSink(frame.data(), static_cast<int>(frame.size()));
          } else {
            form.DispatchFrame(frame.data(), static_cast<int>(frame.size()));
          }
        },
        release);
    if (!ran) return false;
  }
  // Bytes of an incomplete frame count as dealt with once buffered.
  const auto buffered = static_cast<std::int64_t>(client_->InputBufferSize());
  partialReleased_ = std::min(partialReleased_, buffered);
  const std::int64_t release = std::min(unreleased_, buffered - partialReleased_);
  if (release > 0) loop.inFlight().Done(release);
  unreleased_ -= release;
  partialReleased_ += release;
  return true;
}

void TTCPReceiver::ReleaseBuffered() {
  if (unreleased_ > 0) form_->loop().inFlight().Done(unreleased_);
  unreleased_ = 0;
  partialReleased_ = 0;
}

}  // namespace nimbrel::net
