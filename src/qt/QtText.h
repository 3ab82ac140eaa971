#pragma once
// Helpers of the views: the core's 8-bit code-page-949 texts as Qt strings,
// and model positions on widgets.

#include <QString>
#include <QWidget>
#include <string>

#include "platform/Text.h"
#include "ui/Controls.h"

namespace nimbrel::qt {

inline QString FromLocal8(const std::string& text) {
  return QString::fromStdString(platform::Cp949ToUtf8(text));
}

// Puts a widget where its model says, with the model's visible and enabled flags.
inline void Place(QWidget* w, const ui::TControl& c) {
  const ui::Bounds& b = c.GetBounds();
  w->setGeometry(b.left, b.top, b.width, b.height);
  w->setVisible(c.Visible());
  w->setEnabled(c.Enabled());
}

}  // namespace nimbrel::qt
