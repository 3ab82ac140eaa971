#pragma once
// The simulated scanner's device core behind the USB link double: what the
// updater sends on channel 1 is fed to the scanner, and what the scanner
// sends comes back in 512-byte blocks into the reads armed on channel 2, as
// the bulk pipes of a real unit carry it. A restart of the scanner (its
// drop of the link) is a removal; the unit is back for the next activation
// after a set time. Everything runs on the UI thread in virtual time.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "FakeUsb.h"
#include "Harness.h"
#include "nimbrel_sim/Scanner.h"

namespace nimbrel::testing {

class SimUsbLink final : public sim::LinkOutput {
 public:
  SimUsbLink(platform::EventLoop& loop, sim::Scanner& scanner) : loop_(loop), scanner_(scanner) {}
  ~SimUsbLink() override {
    *alive_ = false;
    if (usb_) Unbind();
    scanner_.LinkDown();
  }
  SimUsbLink(const SimUsbLink&) = delete;
  SimUsbLink& operator=(const SimUsbLink&) = delete;

  // How long a restarting scanner is away before an activation finds it again.
  int restartMs = 300;
  int Restarts() const { return restarts_; }

  // Puts the scanner behind this link double.
  void Bind(FakeUsb& usb) {
    usb_ = &usb;
    usb.onOpen = [this] {
      pending_.clear();
      dropDue_ = false;
      scanner_.LinkUp(*this);
    };
    usb.onClose = [this] {
      pending_.clear();
      dropDue_ = false;
      scanner_.LinkDown();
    };
    usb.onSend = [this](const std::uint8_t* bytes, std::size_t size) {
      scanner_.Feed(std::span<const std::uint8_t>(bytes, size));
    };
    usb.onReadArmed = [this] { Schedule(); };
  }

  // The link: called with the scanner's lock held, so both only queue.
  void Send(std::vector<std::uint8_t> bytes) override {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    Schedule();
  }
  void Drop() override {
    dropDue_ = true;
    Schedule();
  }

 private:
  void Unbind() {
    usb_->onOpen = nullptr;
    usb_->onClose = nullptr;
    usb_->onSend = nullptr;
    usb_->onReadArmed = nullptr;
    usb_ = nullptr;
  }

  // Delivery runs as posted work, as the bulk thread's completions would
  // come after the call that caused them.
  void Schedule() {
    if (scheduled_) return;
    scheduled_ = true;
    loop_.Post([this, alive = alive_] {
      if (!*alive) return;
      scheduled_ = false;
      Deliver();
    });
  }

  void Deliver() {
    if (!usb_ || !usb_->Active()) return;
    if (!pending_.empty()) {
      if (!usb_->ReadArmed()) return;  // the next ReadBuffer schedules again
      const std::size_t n = std::min<std::size_t>(pending_.size(), 512);
      const std::vector<std::uint8_t> block(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
      usb_->CompleteRead(block);
      if (!pending_.empty() || dropDue_) Schedule();
      return;
    }
    if (dropDue_) {
      // The unit restarts: it leaves the bus and comes back after a while.
      dropDue_ = false;
      ++restarts_;
      usb_->scannerAttached = false;
      usb_->Remove();
      back_ = loop_.CreateTimer([this] {
        back_->Stop();
        if (usb_) usb_->scannerAttached = true;
      });
      back_->SetInterval(restartMs);
      back_->Start();
    }
  }

  platform::EventLoop& loop_;
  sim::Scanner& scanner_;
  FakeUsb* usb_ = nullptr;
  std::deque<std::uint8_t> pending_;
  bool dropDue_ = false;
  bool scheduled_ = false;
  int restarts_ = 0;
  std::unique_ptr<platform::Timer> back_;
  // Posted deliveries may outlive the link: they look here first.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace nimbrel::testing
