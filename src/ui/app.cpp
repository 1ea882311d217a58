#include "ui/app.h"

#include <unistd.h>

#include <QApplication>
#include <cstdio>

#include "engine/batch.h"
#include "net/http_get.h"
#include "runtime/threads.h"
#include "ui/main_window.h"
#include "ui/message_boxes.h"

namespace ostrevan {

void RunProgram(int argc, char** argv, const std::function<void(MainWindow&)>& once_shown) {
  InitRuntimeServices();
  // Before any thread exists: the transport's global state is not safe to set up later.
  HttpGlobalInit();
  InitBatchState();

  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Ostrevan"));
  QApplication::setDesktopFileName(QStringLiteral("ostrevan"));
  InstallMessageBoxes();
  MainWindow* window = LoadMainWindow();
  if (once_shown) {
    once_shown(*window);
  }
  RunMessageLoop();

  // Workers may still be mid-request or waiting for the window. They are not joined: the doors
  // they knock on are closed, the clean-up runs once, and the process ends here, before any
  // static destructor or library clean-up could run under them.
  window->Proxy().Detach();
  CloseMessageBoxes();
  RunEndOfProgramCleanup();
  ShutdownRuntimeServices();
  std::fflush(nullptr);
  _exit(0);
}

}  // namespace ostrevan
