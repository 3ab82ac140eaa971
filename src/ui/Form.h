#pragma once
// The window itself: a fixed-size dialog frame with a caption, an outer
// size and a visible flag.

#include <functional>
#include <string>

namespace nimbrel::ui {

class TForm {
 public:
  // The frame of a fixed dialog window around its client area (borders and
  // caption bar), in pixels.
  static constexpr int kFrameWidth = 6;
  static constexpr int kFrameHeight = 29;

  TForm(int clientWidth, int clientHeight)
      : width_(clientWidth + kFrameWidth), height_(clientHeight + kFrameHeight) {}
  virtual ~TForm() = default;

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string c) {
    caption_ = std::move(c);
    Changed();
  }
  // Outer size, frame included.
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetWidth(int w) {
    width_ = w;
    Changed();
  }
  void SetHeight(int h) {
    height_ = h;
    Changed();
  }
  int ClientWidth() const { return width_ > kFrameWidth ? width_ - kFrameWidth : 0; }
  int ClientHeight() const { return height_ > kFrameHeight ? height_ - kFrameHeight : 0; }

  bool Visible() const { return visible_; }
  void SetVisible(bool v) {
    visible_ = v;
    Changed();
  }

  void SetChangeListener(std::function<void()> l) { listener_ = std::move(l); }

 private:
  void Changed() const {
    if (listener_) listener_();
  }
  std::string caption_;
  int width_, height_;
  bool visible_ = true;
  std::function<void()> listener_;
};

}  // namespace nimbrel::ui
