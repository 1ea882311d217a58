// The window offscreen: its layout, keys and boxes, the thread contract of the results list, and
// the output commands on a scratch folder.
#include "ui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/batch.h"
#include "open_box.h"
#include "runtime/files.h"
#include "runtime/program_texts.h"
#include "runtime/threads.h"
#include "ui/code_page.h"
#include "ui/message_boxes.h"
#include "ui/output_commands.h"

namespace ostrevan {
namespace {

namespace fs = std::filesystem;

std::mutex g_log_mutex;
std::vector<Text> g_messages;
std::vector<std::pair<ShellVerb, Text>> g_shell_requests;

void RecordMessage(const Text&, const Text& message, BoxIcon) {
  std::lock_guard guard(g_log_mutex);
  g_messages.push_back(message);
}

void RecordShellRequest(ShellVerb verb, const Text& target) {
  std::lock_guard guard(g_log_mutex);
  g_shell_requests.emplace_back(verb, target);
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void initTestCase() {
    InitBatchState();
    folder_ = fs::temp_directory_path() / ("ostrevan-ui-" + std::to_string(getpid()));
  }

  void init() {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    SetRunDirectoryForTesting(folder_.string());
    g_messages.clear();
    g_shell_requests.clear();
    SetMessagePresenter(&RecordMessage);
    SetShellHandler(&RecordShellRequest);
    window_ = LoadMainWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window_));
  }

  void cleanup() {
    delete window_;
    window_ = nullptr;
    SetWindowPort(nullptr);
    SetMessagePresenter(nullptr);
    SetShellHandler(nullptr);
    fs::remove_all(folder_);
  }

  void windowIsFixedAndTitled() {
    QCOMPARE(window_->windowTitle(), QStringLiteral("Ostrevan"));
    QCOMPARE(window_->size(), QSize(655, 330));
    QCOMPARE(window_->minimumSize(), window_->maximumSize());
    QVERIFY(!(window_->windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(window_->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!window_->windowIcon().isNull());
  }

  void controlsAreLaidOut_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    const struct {
      const char16_t* name;
      QRect geometry;
      const char16_t* caption;
    } rows[] = {
        {u"编辑框_输入框", {15, 8, 200, 256}, u""},
        {u"按钮_提取", {15, 277, 98, 32}, u"提取"},
        {u"超级列表框1", {232, 8, 415, 256}, u""},
        {u"按钮_清空", {119, 277, 98, 32}, u"清空列表"},
        {u"选择框_昵称", {19, 314, 48, 16}, u"昵称"},
        {u"选择框_头像", {66, 314, 48, 16}, u"头像"},
        {u"按钮_查看头像", {548, 277, 97, 32}, u"查看头像"},
        {u"按钮_清空头像", {461, 277, 85, 32}, u"清空头像"},
        {u"按钮_清空昵称", {240, 277, 91, 32}, u"清空昵称"},
        {u"按钮_查看昵称", {332, 277, 83, 32}, u"查看昵称"},
    };
    for (const auto& row : rows) {
      QString name = QString::fromUtf16(row.name);
      QTest::newRow(name.toUtf8().constData())
          << name << row.geometry << QString::fromUtf16(row.caption);
    }
  }

  void controlsAreLaidOut() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    auto* control = window_->findChild<QWidget*>(name);
    QVERIFY(control != nullptr);
    QCOMPARE(control->geometry(), geometry);
    QVERIFY(control->isVisible() && control->isEnabled());
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
      QCOMPARE(button->text(), caption);
    }
  }

  void tabOrderFollowsTheTable() {
    const char16_t* order[] = {u"编辑框_输入框", u"按钮_提取",     u"超级列表框1",
                               u"按钮_清空",     u"选择框_昵称",   u"选择框_头像",
                               u"按钮_查看头像", u"按钮_清空头像", u"按钮_清空昵称",
                               u"按钮_查看昵称", u"编辑框_输入框"};
    QVERIFY(QTest::qWaitForWindowActive(window_));
    QTRY_COMPARE(QApplication::focusWidget(), window_->编辑框_输入框);
    for (std::size_t i = 1; i < std::size(order); ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromUtf16(order[i]));
    }
  }

  void resultsListIsAReportView() {
    QTreeWidget* list = window_->超级列表框1;
    const struct {
      const char16_t* title;
      int width;
      Qt::Alignment alignment;
    } columns[] = {{u"序号", 40, Qt::AlignLeft | Qt::AlignVCenter},
                   {u"号码", 100, Qt::AlignCenter},
                   {u"昵称", 150, Qt::AlignCenter},
                   {u"状态", 80, Qt::AlignCenter}};
    QCOMPARE(list->columnCount(), 4);
    for (int i = 0; i < 4; ++i) {
      QCOMPARE(list->headerItem()->text(i), QString::fromUtf16(columns[i].title));
      QCOMPARE(list->columnWidth(i), columns[i].width);
    }
    QCOMPARE(list->topLevelItemCount(), 0);
    QVERIFY(!list->header()->sectionsMovable());
    QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);

    WindowProxy& table = window_->Proxy();
    table.InsertRows({{{kColumnNumber, "2"}}, {{kColumnNumber, "1"}}});
    QTest::mouseClick(list->header()->viewport(), Qt::LeftButton, {},
                      QPoint(list->columnWidth(0) + 10, list->header()->height() / 2));
    QCOMPARE(list->topLevelItem(0)->text(kColumnNumber), QStringLiteral("2"));
    QCOMPARE(list->topLevelItem(0)->textAlignment(kColumnStatus), int(Qt::AlignCenter));
  }

  void modeBoxesExcludeEachOther() {
    QCheckBox* nickname = window_->选择框_昵称;
    QCheckBox* avatar = window_->选择框_头像;
    QSignalSpy avatar_clicks(avatar, &QCheckBox::clicked);
    QTest::mouseClick(nickname, Qt::LeftButton, {}, QPoint(6, nickname->height() / 2));
    QVERIFY(nickname->isChecked());
    QTest::mouseClick(avatar, Qt::LeftButton, {}, QPoint(6, avatar->height() / 2));
    QVERIFY(avatar->isChecked());
    QVERIFY(!nickname->isChecked());
    QTest::mouseClick(avatar, Qt::LeftButton, {}, QPoint(6, avatar->height() / 2));
    QVERIFY(!avatar->isChecked() && !nickname->isChecked());
    QCOMPARE(avatar_clicks.count(), 2);

    // Unchecking the other box is no click of its own.
    avatar->setFocus();
    QTest::keyClick(avatar, Qt::Key_Space);
    QVERIFY(avatar->isChecked());
    QSignalSpy nickname_clicks(nickname, &QCheckBox::clicked);
    window_->WriteChecked(ModeBox::Avatar, 0);
    QVERIFY(!avatar->isChecked());
    QCOMPARE(nickname_clicks.count(), 0);
  }

  void keysCloseTypeAndMove() {
    QVERIFY(QTest::qWaitForWindowActive(window_));
    QSignalSpy extract_clicks(window_->按钮_提取, &QPushButton::clicked);
    QPlainTextEdit* input = window_->编辑框_输入框;
    input->setFocus();
    QTest::keyClick(input, Qt::Key_Return);
    QCOMPARE(window_->ReadInputTextHere(), Text("\r\n10001\r\n123456\r\n1514134242\r\n"));
    window_->按钮_提取->setFocus();
    QTest::keyClick(window_->按钮_提取, Qt::Key_Return);
    QCOMPARE(extract_clicks.count(), 0);
    QTest::keyClick(window_->按钮_提取, Qt::Key_Space);
    QCOMPARE(extract_clicks.count(), 1);  // neither box ticked: the choice is asked for
    QCOMPARE(g_messages, std::vector<Text>{texts::kChooseFirst});
    QTest::keyClick(window_->超级列表框1, Qt::Key_Escape);
    QVERIFY(!window_->isVisible());
  }

  void inputIsReadInTheCodePage() {
    Text initial = window_->Proxy().ReadInputText();
    QCOMPARE(initial, Text("10001\r\n123456\r\n1514134242\r\n"));
    QCOMPARE(initial.size(), std::size_t{27});
    window_->编辑框_输入框->setPlainText(QString::fromUtf16(u"小明\n\n1"));
    QCOMPARE(window_->Proxy().ReadInputText(), Text("\xD0\xA1\xC3\xF7\r\n\r\n1"));
    window_->编辑框_输入框->clear();
    QCOMPARE(window_->Proxy().ReadInputText(), Text());
  }

  void cellsShowTheirCodePageBytes() {
    WindowProxy& table = window_->Proxy();
    RowId row = table.InsertRow({{kColumnNickname, "\xD0\xA1\xC3\xF7"}});
    table.SetCell(row, kColumnStatus, texts::kStatusDone);
    QCOMPARE(window_->超级列表框1->topLevelItem(0)->text(kColumnNickname),
             QString::fromUtf16(u"小明"));
    QCOMPARE(window_->超级列表框1->topLevelItem(0)->text(kColumnStatus),
             QString::fromUtf16(u"获取完毕"));
  }

  void thousandThreadsUpdateTheirOwnRows() {
    constexpr int kRows = 1000;
    WindowProxy& table = window_->Proxy();
    RowId first = table.InsertRows(std::vector<Cells>(kRows, Cells{{kColumnStatus, "wait"}}));
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kRows; ++i) {
      threads.emplace_back([&, i] {
        table.SetCells(first + i, {{kColumnNumber, std::to_string(i)}, {kColumnStatus, "ok"}});
        ++done;
      });
    }
    QTRY_COMPARE_WITH_TIMEOUT(done.load(), kRows, 30000);
    for (std::thread& t : threads) {
      t.join();
    }
    QTreeWidget* list = window_->超级列表框1;
    QCOMPARE(list->topLevelItemCount(), kRows);
    for (int i = 0; i < kRows; ++i) {
      QCOMPARE(list->topLevelItem(i)->text(kColumnNumber), QString::number(i));
      QCOMPARE(list->topLevelItem(i)->text(kColumnStatus), QStringLiteral("ok"));
    }
  }

  void updatesOfClearedRowsLandNowhere() {
    WindowProxy& table = window_->Proxy();
    RowId old_row = table.InsertRows({{{kColumnNumber, "old"}}, {{kColumnNumber, "old 2"}}});
    window_->按钮_清空->click();
    QCOMPARE(window_->超级列表框1->topLevelItemCount(), 0);
    RowId new_row = table.InsertRow({{kColumnNumber, "new"}});
    QVERIFY(new_row != old_row);
    std::atomic<bool> delivered{false};
    std::thread late([&] {
      table.SetCell(old_row, kColumnStatus, "late");
      delivered = true;
    });
    QTRY_VERIFY(delivered.load());
    late.join();
    QCOMPARE(window_->超级列表框1->topLevelItem(0)->text(kColumnStatus), QString());
    QCOMPARE(window_->超级列表框1->topLevelItem(0)->text(kColumnNumber), QStringLiteral("new"));
  }

  void callsAfterTheWindowHasGoneReturnAtOnce() {
    WindowProxy& table = window_->Proxy();
    delete window_;
    window_ = nullptr;
    std::thread worker([&] {
      table.InsertRow({{kColumnNumber, "x"}});
      table.SetCell(0, kColumnStatus, "y");
      table.ClearRows();
      table.ReadInputText();
    });
    worker.join();
  }

  void workersBoxLeavesTheWindowUsable() {
    InstallMessageBoxes();
    std::atomic<bool> returned{false};
    std::thread worker([&] {
      ShowInfo(texts::kNicknamesDone);
      returned = true;
    });
    QTRY_VERIFY(OpenBox() != nullptr);
    QMessageBox* box = OpenBox();
    QCOMPARE(box->text(), QString::fromUtf16(u"昵称获取完毕！"));
    QCOMPARE(box->windowTitle(), QString());
    QCOMPARE(box->icon(), QMessageBox::Information);
    QCOMPARE(box->windowModality(), Qt::NonModal);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    window_->选择框_昵称->click();
    QVERIFY(window_->选择框_昵称->isChecked());
    QVERIFY(!returned);
    box->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(returned.load());
    worker.join();
  }

  void windowThreadsBoxIsModalAndUpdatesStillGetThrough() {
    InstallMessageBoxes();
    WindowProxy& table = window_->Proxy();
    RowId row = table.InsertRow();
    std::thread worker;
    bool seen_modal = false;
    QTimer::singleShot(0, [&] {
      worker = std::thread([&] { table.SetCell(row, kColumnStatus, "during the box"); });
      QTRY_VERIFY(window_->超级列表框1->topLevelItem(0)->text(kColumnStatus) ==
                  QStringLiteral("during the box"));
      QMessageBox* box = OpenBox();
      QVERIFY(box != nullptr);
      seen_modal = box->windowModality() == Qt::ApplicationModal;
      box->button(QMessageBox::Ok)->click();
    });
    ShowInfo(texts::kDone);
    worker.join();
    QVERIFY(seen_modal);
  }

  void emptyingTheNicknameFile() {
    fs::path file = folder_ / "name.txt";
    window_->按钮_清空昵称->click();
    QVERIFY(fs::exists(file) && fs::file_size(file) == 0);
    std::ofstream(file) << "10001----x\r\n";
    window_->按钮_清空昵称->click();
    QCOMPARE(fs::file_size(file), std::uintmax_t{0});
    fs::remove(file);
    fs::create_directory(file);
    window_->按钮_清空昵称->click();
    QCOMPARE(g_messages.size(), std::size_t{3});
    QCOMPARE(g_messages[0], Text(texts::kDone));
    QCOMPARE(g_messages[1], Text(texts::kDone));
    QVERIFY(g_messages[2] != texts::kDone);
    QVERIFY(g_messages[2].find(file.string()) != Text::npos);
  }

  void emptyingTheAvatarFolder() {
    fs::path avatars = folder_ / "头像";
    window_->按钮_清空头像->click();  // missing: created
    QVERIFY(fs::is_directory(avatars));
    std::ofstream(avatars / "10001.jpg") << "image";
    fs::create_directory(avatars / "nested");
    window_->按钮_清空头像->click();
    QVERIFY(fs::is_directory(avatars) && fs::is_empty(avatars));
    std::ofstream(avatars / ".keep") << "kept";
    window_->按钮_清空头像->click();  // the folder survives with its dot file: still done
    QVERIFY(fs::exists(avatars / ".keep"));
    fs::remove_all(avatars);
    std::ofstream(avatars) << "a file in the way";
    window_->按钮_清空头像->click();
    QCOMPARE(g_messages.size(), std::size_t{4});
    for (int i = 0; i < 3; ++i) {
      QCOMPARE(g_messages[static_cast<std::size_t>(i)], Text(texts::kDone));
    }
    QVERIFY(g_messages[3].find(TextFromNative(avatars.string())) != Text::npos);
  }

  void viewingAsksTheDesktop() {
    window_->按钮_查看昵称->click();
    window_->按钮_查看头像->click();
    QCOMPARE(g_shell_requests.size(), std::size_t{2});
    QCOMPARE(g_shell_requests[0].first, ShellVerb::Open);
    QCOMPARE(g_shell_requests[0].second, (folder_ / "name.txt").string());
    QCOMPARE(g_shell_requests[1].first, ShellVerb::Explore);
    QCOMPARE(g_shell_requests[1].second, (folder_ / "头像").string());
    QVERIFY(g_messages.empty());
  }

 private:
  fs::path folder_;
  MainWindow* window_ = nullptr;
};

}  // namespace ostrevan

QTEST_MAIN(ostrevan::MainWindowTest)
#include "main_window_test.moc"
