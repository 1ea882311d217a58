#include "ui/message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <semaphore>

#include "runtime/threads.h"
#include "ui/code_page.h"
#include "ui/window_bridge.h"

namespace ostrevan {
namespace {

WindowBridge* g_bridge = nullptr;

QMessageBox* NewBox(const Text& caption, const Text& message, BoxIcon icon) {
  auto* box =
      new QMessageBox(icon == BoxIcon::Error ? QMessageBox::Critical : QMessageBox::Information,
                      FromCodePage(caption), FromCodePage(message), QMessageBox::Ok);
  box->setAttribute(Qt::WA_DeleteOnClose);
  return box;
}

// On the window's thread the box is modal to the application, as its clicks would otherwise
// start new commands under it; the window still serves the workers' updates meanwhile. For a
// worker the box is modeless: only that worker waits, and the window stays usable.
void Present(const Text& caption, const Text& message, BoxIcon icon) {
  if (g_bridge == nullptr || g_bridge->IsClosed()) {
    return;
  }
  if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
    QMessageBox* box = NewBox(caption, message, icon);
    box->setWindowModality(Qt::ApplicationModal);
    box->exec();
    return;
  }
  std::binary_semaphore closed{0};
  bool shown = g_bridge->Call([&] {
    QMessageBox* box = NewBox(caption, message, icon);
    box->setWindowModality(Qt::NonModal);
    QObject::connect(box, &QMessageBox::finished, [&closed] { closed.release(); });
    box->show();
  });
  if (shown) {
    closed.acquire();
  }
}

}  // namespace

void InstallMessageBoxes() {
  if (g_bridge == nullptr) {
    // Never freed: workers may ask for a box while the program ends.
    g_bridge = new WindowBridge(QCoreApplication::instance());
  }
  SetMessagePresenter(&Present);
}

void CloseMessageBoxes() {
  if (g_bridge != nullptr) {
    g_bridge->Close();
  }
}

}  // namespace ostrevan
