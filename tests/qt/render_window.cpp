// Renders the main window to a PNG file: render_window OUT.png [factory|upload]
// Runs in a temporary working folder; "factory" puts a factory marker there,
// "upload" runs the update against the simulated scanner and renders the
// window in the middle of the GUI-resource upload.

#include <QApplication>
#include <QPixmap>
#include <cstdio>
#include <memory>

#include "../core/Harness.h"
#include "../core/sequence_support.h"
#include "qt/MainWindowView.h"

namespace {

int RenderMidUpload(const QString& out) {
  nimbrel::testing::SimUsbHarness h;
  std::unique_ptr<nimbrel::qt::MainWindowView> view;
  bool saved = false;
  bool done = false;
  auto env = h.MakeEnvironment();
  env.progressEcho = [&](std::string_view line) {
    if (done || line.find("GUI resources: 40%") == std::string_view::npos) return;
    done = true;
    QApplication::processEvents();
    saved = view->grab().save(out);
  };
  h.form = std::make_unique<nimbrel::app::TfrmMain>(std::move(env));
  view = std::make_unique<nimbrel::qt::MainWindowView>(*h.form);
  view->show();
  h.StartConnected();
  h.form->btnAutoUpload.Click();
  h.loop.RunUntil([&] { return done; });
  view.reset();
  return saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.png [factory|upload]\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  const QString mode = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
  if (mode == QLatin1String("upload")) return RenderMidUpload(QString::fromLocal8Bit(argv[1]));
  nimbrel::testing::Harness h;
  if (mode == QLatin1String("factory")) h.workDir.Touch("factory_mode");
  auto& form = h.Start();
  form.LogLine("USB Connected");
  nimbrel::qt::MainWindowView view(form);
  view.show();
  app.processEvents();
  return view.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
