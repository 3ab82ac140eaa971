// The receive dispatcher fed arbitrary block sequences, through the USB
// read path (blocks land in the armed read, as the transport puts them) or
// the Ethernet path (each block copied from a buffer of exactly its size).
//
// Input: one byte choosing the link (bit 0: Ethernet), then operations:
//   a 16-bit little-endian word w, and
//   w == 0xFFFF  the link drops and comes back (disconnect, connect request)
//   w == 0xFFFE  an upload of a few bytes goes out (its announcement resets
//                the receive state)
//   otherwise    a block: w < 0xF000 gives w % 2048 bytes, else
//                (w & 0x0FFF) * 512 (up to 2 MB, to reach deep into a
//                transfer); its content is the next bytes of the input,
//                zeros where the input has run out.
// Blocks stop once an input has delivered 16 MB, to keep runs fast.
// After every operation the receive state must be one the dispatcher can
// continue from.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzWindow.h"
#include "platform/Sockets.h"

namespace {

using namespace nimbrel;

// A TCP link that is up and takes every write.
class NullTcpClient final : public platform::TcpClient {
 public:
  bool Connect(const std::string&, std::uint16_t, int, std::string*) override {
    connected_ = true;
    if (OnConnected) OnConnected();
    return true;
  }
  platform::TcpPoll Poll() override { return {connected_, 0, false, false}; }
  bool IsConnected() const override { return connected_; }
  std::size_t InputBufferSize() const override { return 0; }
  bool ReadBytes(std::uint8_t*, std::size_t n) override { return n == 0; }
  bool Write(const std::uint8_t*, std::size_t, std::string*) override { return connected_; }
  void Disconnect() override { connected_ = false; }

 private:
  bool connected_ = true;
};

fuzz::FuzzWindow& Window() {
  static fuzz::FuzzWindow window;
  return window;
}

void CheckReceiveState(app::TfrmMain& f) {
  const std::uint8_t* frameStart = f.frameBuffer.data();
  const std::uint8_t* bulkStart = f.bulkBuffer.get();
  NIMBREL_FUZZ_CHECK(f.bulkTotal >= 0);
  NIMBREL_FUZZ_CHECK(f.bulkReceived >= 0);
  if (f.bulkTotal == 0) {
    // Outside a transfer the next block goes to the frame buffer and is
    // tested as a frame.
    NIMBREL_FUZZ_CHECK(f.receivePosition == frameStart);
    NIMBREL_FUZZ_CHECK(!f.bulkDiscard);
  } else {
    NIMBREL_FUZZ_CHECK(f.bulkReceived < f.bulkTotal);
    NIMBREL_FUZZ_CHECK(f.receivePosition >= bulkStart && f.receivePosition <= bulkStart + app::kLargeBufferSize);
    if (!f.bulkDiscard) NIMBREL_FUZZ_CHECK(f.receivePosition == bulkStart + f.bulkReceived ||
                                           f.receivePosition == bulkStart + app::kLargeBufferSize);
  }
}

// The transport writes all 512 bytes of a read where it was armed.
void CheckReadFits(app::TfrmMain& f, const testing::FakeUsb::Read& read) {
  const std::uint8_t* frameStart = f.frameBuffer.data();
  const std::uint8_t* bulkStart = f.bulkBuffer.get();
  NIMBREL_FUZZ_CHECK(read.size == 512);
  NIMBREL_FUZZ_CHECK(read.buffer == frameStart ||
                     (read.buffer >= bulkStart && read.buffer + 512 <= bulkStart + app::kLargeBufferSize));
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}
  bool Empty() const { return left_ == 0; }
  std::uint8_t Byte() { return left_ ? (--left_, *p_++) : 0; }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
  // n bytes of content, zeros where the input has run out.
  void Fill(std::uint8_t* out, std::size_t n) {
    const std::size_t k = std::min(n, left_);
    if (k) std::memcpy(out, p_, k);
    std::memset(out + k, 0, n - k);
    p_ += k;
    left_ -= k;
  }

 private:
  const std::uint8_t* p_;
  std::size_t left_;
};

void Reconnect(app::TfrmMain& f, fuzz::FuzzWindow& w, bool ethernet) {
  if (ethernet) {
    f.TCPDisconnected();
    f.TCPConnected();
  } else {
    w.usb().SetActive(false);
    w.usb().SetActive(true);
  }
}

void Upload(app::TfrmMain& f) {
  std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[16]());
  f.SendUpload(0x00300000, std::move(payload), 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzWindow& w = Window();
  app::TfrmMain& f = w.Next();
  Input in(data, size);
  const bool ethernet = in.Byte() & 1;

  // A known state: the previous input's link is gone, this one's is up and
  // has sent its connect request.
  f.badFrameCount = 0;
  w.usb().SetActive(false);
  if (f.TCP) f.TCPDisconnected();
  f.TCP = ethernet ? std::make_unique<NullTcpClient>() : nullptr;
  if (ethernet) {
    f.TCPConnected();
  } else {
    w.usb().SetActive(true);
  }

  constexpr std::size_t kBlockBudget = 16u << 20;
  std::size_t delivered = 0;
  int operations = 0;
  while (!in.Empty() && ++operations <= 256) {
    const std::uint16_t op = in.Word();
    if (op == 0xFFFF) {
      Reconnect(f, w, ethernet);
    } else if (op == 0xFFFE) {
      Upload(f);
    } else {
      const std::size_t length = op < 0xF000 ? op % 2048u : static_cast<std::size_t>(op & 0x0FFF) * 512;
      delivered += length;
      if (delivered > kBlockBudget) break;
      // Exactly `length` bytes, so that a read past the block is seen.
      std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[length ? length : 1]);
      in.Fill(block.get(), length);
      if (ethernet) {
        f.DispatchFrame(block.get(), static_cast<int>(length));
      } else {
        // A link the dispatch closed (an unsupported unit, bad frames) comes back.
        if (!w.usb().ReadArmed()) {
          w.usb().SetActive(false);
          w.usb().SetActive(true);
        }
        if (w.usb().ReadArmed()) {
          CheckReadFits(f, w.usb().reads.back());
          w.usb().CompleteRead(std::vector<std::uint8_t>(block.get(), block.get() + length));
        }
      }
    }
    w.loop().ProcessMessages();
    CheckReceiveState(f);
  }
  w.usb().sends.clear();
  w.usb().reads.clear();
  return 0;
}
