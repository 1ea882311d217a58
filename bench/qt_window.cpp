#include <QApplication>
#include <QMetaObject>
#include <thread>

#include "bench_window.h"
#include "engine/batch.h"
#include "ui/code_page.h"
#include "ui/main_window.h"

namespace ostrevan {

int RunWithQtWindow(int argc, char** argv, const std::function<void(BenchWindow&)>& scenarios) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication application(argc, argv);
  MainWindow* window = LoadMainWindow();
  auto on_window = [window](auto&& call) {
    QMetaObject::invokeMethod(window, call, Qt::BlockingQueuedConnection);
  };
  BenchWindow bench{&window->Proxy(),
                    [&](const Text& text) {
                      on_window([&] {
                        QString lines = FromCodePage(text);
                        lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
                        window->编辑框_输入框->setPlainText(lines);
                      });
                    },
                    [&] {
                      int failed = 0;
                      on_window([&] {
                        QString done = FromCodePage(kStatusDone);
                        for (int i = 0; i < window->超级列表框1->topLevelItemCount(); ++i) {
                          failed +=
                              window->超级列表框1->topLevelItem(i)->text(kColumnStatus) != done;
                        }
                      });
                      return failed;
                    },
                    [] { return 0LL; }};
  std::thread driver([&] {
    scenarios(bench);
    QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
  });
  QApplication::exec();
  driver.join();
  return 0;
}

}  // namespace ostrevan
