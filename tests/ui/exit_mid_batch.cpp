// Closes the real program in the middle of a batch whose workers are all waiting on the
// service. The program must end at once with code 0: ctest checks the code and its time-out.
#include <QTimer>
#include <cstdlib>
#include <string>

#include "stub_server.h"
#include "ui/app.h"
#include "ui/main_window.h"

int main(int argc, char** argv) {
  static ostrevan::stub::StubServer stub;
  ostrevan::stub::StubOptions options;
  options.reply_delay_ms = 60'000;
  if (!stub.Start(options)) {
    return 2;
  }
  std::string proxy = "http://127.0.0.1:" + std::to_string(stub.Port());
  setenv("http_proxy", proxy.c_str(), 1);
  ostrevan::RunProgram(argc, argv, [](ostrevan::MainWindow& window) {
    QString numbers;
    for (int i = 0; i < 300; ++i) {
      numbers += QString::number(20000 + i) + QLatin1Char('\n');
    }
    window.编辑框_输入框->setPlainText(numbers);
    window.选择框_昵称->click();
    window.按钮_提取->click();
    QTimer::singleShot(1500, &window, [&window] { window.close(); });
  });
}
