#include "ui/Controls.h"

namespace nimbrel::ui {

void TControl::SetBounds(Bounds b) {
  bounds_ = b;
  Changed();
}

void TControl::SetCaption(std::string caption) {
  caption_ = std::move(caption);
  Changed();
}

void TControl::SetEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  Changed();
}

void TControl::SetVisible(bool visible) {
  if (visible_ == visible) return;
  visible_ = visible;
  Changed();
}

void TButton::Click() {
  if (Enabled() && OnClick) OnClick();
}

void TCheckBox::SetChecked(bool checked) {
  if (checked_ == checked) return;
  checked_ = checked;
  Changed();
}

void TEdit::SetText(std::string text) {
  text_ = std::move(text);
  Changed();
}

void TMemo::Append(std::string line) {
  lines_.push_back(std::move(line));
  Changed();
}

void TProgressBar::SetProgress(std::int64_t position, std::int64_t max) {
  if (max < 0) max = 0;
  if (position > max) position = max;
  if (position < 0) position = 0;
  if (position == position_ && max == max_) return;
  position_ = position;
  max_ = max;
  Changed();
}

void TProgressBar::SetText(std::string text) {
  if (text == text_) return;
  text_ = std::move(text);
  Changed();
}

TRadioGroup::TRadioGroup(std::string name, Bounds bounds, std::string caption, std::vector<std::string> items,
                         int itemIndex, int columns)
    : TControl(std::move(name), bounds), items_(std::move(items)), itemIndex_(itemIndex), columns_(columns) {
  SetCaption(std::move(caption));
}

void TRadioGroup::SetItemIndex(int index) {
  const int last = static_cast<int>(items_.size()) - 1;
  if (index > last) index = last;
  if (index < -1) index = -1;
  if (index == itemIndex_) return;
  itemIndex_ = index;
  Changed();
  if (OnClick) OnClick();
}

TTimer::TTimer(platform::EventLoop& loop, int intervalMs)
    : timer_(loop.CreateTimer([this] {
        if (OnTimer) OnTimer();
      })) {
  timer_->SetInterval(intervalMs);
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == timer_->Running()) return;
  if (enabled) {
    timer_->Start();
  } else {
    timer_->Stop();
  }
}

}  // namespace nimbrel::ui
