// Renders the main window to a PNG file: render_window OUT.png [factory]
// Runs in a temporary working folder; "factory" puts a factory marker there.

#include <QApplication>
#include <QPixmap>
#include <cstdio>

#include "../core/Harness.h"
#include "qt/MainWindowView.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.png [factory]\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  nimbrel::testing::Harness h;
  if (argc > 2 && QString::fromLocal8Bit(argv[2]) == QLatin1String("factory")) h.workDir.Touch("factory_mode");
  auto& form = h.Start();
  form.LogLine("USB Connected");
  nimbrel::qt::MainWindowView view(form);
  view.show();
  app.processEvents();
  return view.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
