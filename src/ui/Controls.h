#pragma once
// Toolkit-neutral models of the form's controls.
//
// They carry the state that the handlers read and write (captions, items,
// selection, enabled and visible flags, positions) with the form library's
// semantics, and tell an attached view when something changed. A view (the
// Qt widgets in the program, nothing in tests) only mirrors a model and
// forwards the operator's input to it.
//
// Texts are 8-bit code-page-949 texts, byte for byte as the form holds them.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/EventLoop.h"

namespace nimbrel::ui {

struct Bounds {
  int left = 0, top = 0, width = 0, height = 0;
};

class TControl {
 public:
  TControl(std::string name, Bounds bounds) : name_(std::move(name)), bounds_(bounds) {}
  virtual ~TControl() = default;
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

  const std::string& Name() const { return name_; }
  const Bounds& GetBounds() const { return bounds_; }
  void SetBounds(Bounds b);

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);

  // A view registers here to hear of every change of the model.
  void SetChangeListener(std::function<void()> listener) { listener_ = std::move(listener); }

 protected:
  void Changed() const {
    if (listener_) listener_();
  }

 private:
  std::string name_;
  Bounds bounds_;
  std::string caption_;
  bool enabled_ = true;
  bool visible_ = true;
  std::function<void()> listener_;
};

using TNotifyEvent = std::function<void()>;

class TLabel final : public TControl {
 public:
  using TControl::TControl;
};

class TGroupBox final : public TControl {
 public:
  using TControl::TControl;
};

class TButton final : public TControl {
 public:
  using TControl::TControl;
  TNotifyEvent OnClick;
  // The operator's click: runs OnClick when the button is enabled and visible.
  void Click();
};

class TCheckBox final : public TControl {
 public:
  using TControl::TControl;
  bool Checked() const { return checked_; }
  void SetChecked(bool checked);

 private:
  bool checked_ = false;
};

class TEdit final : public TControl {
 public:
  using TControl::TControl;
  const std::string& Text() const { return text_; }
  void SetText(std::string text);

 private:
  std::string text_;
};

// The operator log: lines are only ever appended.
class TMemo final : public TControl {
 public:
  using TControl::TControl;
  const std::vector<std::string>& Lines() const { return lines_; }
  void Append(std::string line);

 private:
  std::vector<std::string> lines_;
};

// A progress bar: how far of a whole, and a text shown on the bar.
class TProgressBar final : public TControl {
 public:
  using TControl::TControl;
  std::int64_t Position() const { return position_; }
  std::int64_t Max() const { return max_; }
  // Position is kept within 0..max; a change that moves nothing is not one.
  void SetProgress(std::int64_t position, std::int64_t max);
  const std::string& Text() const { return text_; }
  void SetText(std::string text);

 private:
  std::int64_t position_ = 0;
  std::int64_t max_ = 0;
  std::string text_;
};

// A radio group. ItemIndex -1 means no item is selected. Setting an index
// beyond the last item selects the last item; one below -1 selects nothing.
// OnClick runs only when the selection really changes, whoever changes it
// (the operator or the program).
class TRadioGroup final : public TControl {
 public:
  TRadioGroup(std::string name, Bounds bounds, std::string caption, std::vector<std::string> items,
              int itemIndex, int columns = 1);

  const std::vector<std::string>& Items() const { return items_; }
  int Columns() const { return columns_; }
  int ItemIndex() const { return itemIndex_; }
  void SetItemIndex(int index);

  TNotifyEvent OnClick;

 private:
  std::vector<std::string> items_;
  int itemIndex_;
  int columns_;
};

// A window timer bound to the event loop: Enabled starts and stops it.
class TTimer final {
 public:
  TTimer(platform::EventLoop& loop, int intervalMs);
  int Interval() const { return timer_->Interval(); }
  void SetInterval(int ms) { timer_->SetInterval(ms); }
  bool Enabled() const { return timer_->Running(); }
  void SetEnabled(bool enabled);

  TNotifyEvent OnTimer;

 private:
  std::unique_ptr<platform::Timer> timer_;
};

}  // namespace nimbrel::ui
