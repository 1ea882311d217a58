// The tool end to end: the real window, the engine and HttpGet against the stand-in service.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine/batch.h"
#include "net/http_get.h"
#include "open_box.h"
#include "runtime/files.h"
#include "stub_server.h"
#include "ui/code_page.h"
#include "ui/main_window.h"
#include "ui/message_boxes.h"

namespace ostrevan {
namespace {

namespace fs = std::filesystem;

const std::vector<Text> kNumbers{"10001", "123456", "1514134242"};

Text ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Text(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

class EndToEndTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void initTestCase() {
    HttpGlobalInit();
    InitBatchState();
    QVERIFY(stub_.Start());
    qputenv("http_proxy", QByteArray("http://127.0.0.1:") + QByteArray::number(stub_.Port()));
    qunsetenv("no_proxy");
    qunsetenv("NO_PROXY");
    folder_ = fs::temp_directory_path() / ("ostrevan-e2e-" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    SetRunDirectoryForTesting(folder_.string());
    InstallMessageBoxes();
  }
  void cleanupTestCase() {
    stub_.Stop();
    fs::remove_all(folder_);
  }
  void init() {
    window_ = LoadMainWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window_));
  }
  void cleanup() {
    delete window_;
    window_ = nullptr;
  }

  void nicknameBatch() {
    window_->选择框_昵称->click();
    window_->按钮_提取->click();
    CloseTheBoxSaying(u"昵称获取完毕！");

    std::vector<Text> expected;
    QTreeWidget* list = window_->超级列表框1;
    QCOMPARE(list->topLevelItemCount(), 3);
    for (int i = 0; i < 3; ++i) {
      const Text& number = kNumbers[static_cast<std::size_t>(i)];
      QTreeWidgetItem* row = list->topLevelItem(i);
      QCOMPARE(row->text(kColumnIndex), QString::number(i + 1));
      QCOMPARE(row->text(kColumnNumber), FromCodePage(number));
      QCOMPARE(row->text(kColumnNickname), FromCodePage(stub::NicknameFor(number)));
      QCOMPARE(row->text(kColumnStatus), QString::fromUtf16(u"获取完毕"));
      expected.push_back(number + "----" + stub::NicknameFor(number) + "\r\n");
    }
    // Lines stand in the order the rows finished; their bytes are the service's.
    Text file = ReadFile(folder_ / "name.txt");
    std::vector<Text> lines;
    for (std::size_t start = 0, end; (end = file.find("\r\n", start)) != Text::npos;
         start = end + 2) {
      lines.push_back(file.substr(start, end + 2 - start));
    }
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    QCOMPARE(lines, expected);
    std::size_t total = 0;
    for (const Text& line : expected) {
      total += line.size();
    }
    QCOMPARE(file.size(), total);
  }

  void avatarBatch() {
    window_->选择框_头像->click();
    window_->按钮_提取->click();
    CloseTheBoxSaying(u"头像获取完毕！");
    QTreeWidget* list = window_->超级列表框1;
    QCOMPARE(list->topLevelItemCount(), 3);
    for (int i = 0; i < 3; ++i) {
      const Text& number = kNumbers[static_cast<std::size_t>(i)];
      QCOMPARE(list->topLevelItem(i)->text(kColumnNickname), QStringLiteral("-"));
      QCOMPARE(list->topLevelItem(i)->text(kColumnStatus), QString::fromUtf16(u"获取完毕"));
      QVERIFY(ReadFile(folder_ / "头像" / (number + ".jpg")) == stub::AvatarImageFor(number));
    }
  }

 private:
  void CloseTheBoxSaying(const char16_t* text) {
    QTRY_VERIFY_WITH_TIMEOUT(OpenBox() != nullptr, 20000);
    QMessageBox* box = OpenBox();
    QCOMPARE(box->text(), QString::fromUtf16(text));
    box->button(QMessageBox::Ok)->click();
  }

  stub::StubServer stub_;
  fs::path folder_;
  MainWindow* window_ = nullptr;
};

}  // namespace ostrevan

QTEST_MAIN(ostrevan::EndToEndTest)
#include "end_to_end_test.moc"
