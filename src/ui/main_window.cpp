#include "ui/main_window.h"

#include <QApplication>
#include <QFontDatabase>
#include <QHeaderView>
#include <QIcon>
#include <QScreen>
#include <QShortcut>

#include "engine/batch.h"
#include "runtime/program_texts.h"
#include "ui/code_page.h"
#include "ui/output_commands.h"

// Resources of a static library are registered by hand; the macro works only outside any
// namespace.
static void RegisterResources() {
  Q_INIT_RESOURCE(ui);
}

namespace ostrevan {
namespace {

// The size of the window with the frame of the desktop the layout was drawn on; it centres the
// window as that desktop did.
constexpr int kOuterWidth = 671;
constexpr int kOuterHeight = 369;
constexpr int kClientWidth = 655;
constexpr int kClientHeight = 330;

struct ColumnSpec {
  const char16_t* title;
  int width;
  Qt::Alignment alignment;
};
const ColumnSpec kColumns[kColumnCount] = {
    {u"序号", 40, Qt::AlignLeft | Qt::AlignVCenter},
    {u"号码", 100, Qt::AlignCenter},
    {u"昵称", 150, Qt::AlignCenter},
    {u"状态", 80, Qt::AlignCenter},
};

template <typename Control>
Control* Place(QWidget* parent, const char16_t* name, const char16_t* caption, int left, int top,
               int width, int height) {
  auto* control = new Control(parent);
  control->setObjectName(QString::fromUtf16(name));
  if constexpr (requires { control->setText(QString()); }) {
    control->setText(QString::fromUtf16(caption));
  }
  control->setGeometry(left, top, width, height);
  return control;
}

QPushButton* PlaceButton(QWidget* parent, const char16_t* name, const char16_t* caption, int left,
                         int top, int width, int height) {
  auto* button = Place<QPushButton>(parent, name, caption, left, top, width, height);
  // No default button: Enter never clicks anything.
  button->setAutoDefault(false);
  button->setDefault(false);
  return button;
}

QTreeWidgetItem* NewRow(const Cells& cells) {
  auto* item = new QTreeWidgetItem;
  for (int column = 0; column < kColumnCount; ++column) {
    item->setTextAlignment(column, kColumns[column].alignment);
  }
  for (const Cell& cell : cells) {
    if (cell.column >= 0 && cell.column < kColumnCount) {
      item->setText(cell.column, FromCodePage(cell.text));
    }
  }
  return item;
}

void CentreOnPrimaryScreen(QWidget* window) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) {
    return;
  }
  QRect area = screen->geometry();
  window->move(area.x() + (area.width() - kOuterWidth) / 2,
               area.y() + (area.height() - kOuterHeight) / 2);
}

}  // namespace

WindowProxy::WindowProxy(MainWindow* window)
    : bridge_(QCoreApplication::instance()), window_(window) {}

RowId WindowProxy::InsertRows(const std::vector<Cells>& rows) {
  RowId first = kNoRow;
  bridge_.Call([&] {
    if (window_ != nullptr) {
      first = window_->InsertRowsHere(rows);
    }
  });
  return first;
}

void WindowProxy::SetCells(RowId row, const Cells& cells) {
  bridge_.Call([&] {
    if (window_ != nullptr) {
      window_->SetCellsHere(row, cells);
    }
  });
}

void WindowProxy::ClearRows() {
  bridge_.Call([&] {
    if (window_ != nullptr) {
      window_->ClearRowsHere();
    }
  });
}

int WindowProxy::ReadChecked(ModeBox box) {
  int checked = 0;
  bridge_.Call([&] {
    if (window_ != nullptr) {
      checked = window_->ReadChecked(box);
    }
  });
  return checked;
}

Text WindowProxy::ReadInputText() {
  Text text;
  bridge_.Call([&] {
    if (window_ != nullptr) {
      text = window_->ReadInputTextHere();
    }
  });
  return text;
}

void WindowProxy::Detach() {
  window_ = nullptr;
  bridge_.Close();
}

MainWindow::MainWindow()
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      // Deliberately never freed: workers may call it after the window has gone.
      proxy_(new WindowProxy(this)) {
  setWindowTitle(QStringLiteral("Ostrevan"));
  RegisterResources();
  setWindowIcon(QIcon(QStringLiteral(":/ostrevan/ostrevan.svg")));
  setFixedSize(kClientWidth, kClientHeight);
  setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
  QPalette face = palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  setPalette(face);
  setAutoFillBackground(true);
  BuildControls();
  ConnectCommands();
  new QShortcut(QKeySequence(Qt::Key_Escape), this, this, &QWidget::close);
  CentreOnPrimaryScreen(this);
}

MainWindow::~MainWindow() {
  proxy_->Detach();
}

void MainWindow::BuildControls() {
  编辑框_输入框 = Place<QPlainTextEdit>(this, u"编辑框_输入框", u"", 15, 8, 200, 256);
  编辑框_输入框->setPlainText(QStringLiteral("10001\n123456\n1514134242\n"));
  编辑框_输入框->setTabChangesFocus(true);
  编辑框_输入框->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  编辑框_输入框->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  编辑框_输入框->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  编辑框_输入框->moveCursor(QTextCursor::Start);

  按钮_提取 = PlaceButton(this, u"按钮_提取", u"提取", 15, 277, 98, 32);

  超级列表框1 = Place<QTreeWidget>(this, u"超级列表框1", u"", 232, 8, 415, 256);
  超级列表框1->setColumnCount(kColumnCount);
  超级列表框1->setRootIsDecorated(false);
  超级列表框1->setItemsExpandable(false);
  超级列表框1->setUniformRowHeights(true);
  超级列表框1->setSortingEnabled(false);
  超级列表框1->setSelectionMode(QAbstractItemView::SingleSelection);
  超级列表框1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  auto* header_item = new QTreeWidgetItem;
  for (int column = 0; column < kColumnCount; ++column) {
    header_item->setText(column, QString::fromUtf16(kColumns[column].title));
    header_item->setTextAlignment(column, kColumns[column].alignment);
  }
  超级列表框1->setHeaderItem(header_item);
  QHeaderView* header = 超级列表框1->header();
  header->setSectionsMovable(false);
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(false);
  header->setStretchLastSection(false);
  for (int column = 0; column < kColumnCount; ++column) {
    超级列表框1->setColumnWidth(column, kColumns[column].width);
  }

  按钮_清空 = PlaceButton(this, u"按钮_清空", u"清空列表", 119, 277, 98, 32);
  选择框_昵称 = Place<QCheckBox>(this, u"选择框_昵称", u"昵称", 19, 314, 48, 16);
  选择框_头像 = Place<QCheckBox>(this, u"选择框_头像", u"头像", 66, 314, 48, 16);
  按钮_查看头像 = PlaceButton(this, u"按钮_查看头像", u"查看头像", 548, 277, 97, 32);
  按钮_清空头像 = PlaceButton(this, u"按钮_清空头像", u"清空头像", 461, 277, 85, 32);
  按钮_清空昵称 = PlaceButton(this, u"按钮_清空昵称", u"清空昵称", 240, 277, 91, 32);
  按钮_查看昵称 = PlaceButton(this, u"按钮_查看昵称", u"查看昵称", 332, 277, 83, 32);

  QWidget* order[] = {编辑框_输入框, 按钮_提取,     超级列表框1,   按钮_清空,     选择框_昵称,
                      选择框_头像,   按钮_查看头像, 按钮_清空头像, 按钮_清空昵称, 按钮_查看昵称};
  for (QWidget* control : order) {
    control->setFocusPolicy(Qt::StrongFocus);
  }
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
    setTabOrder(order[i], order[i + 1]);
  }
}

void MainWindow::ConnectCommands() {
  connect(按钮_提取, &QPushButton::clicked, this, [] { ExtractCommand(); });
  connect(按钮_清空, &QPushButton::clicked, this, [this] { ClearResultsList(Proxy()); });
  connect(按钮_查看头像, &QPushButton::clicked, this, [] { ViewAvatarFolder(); });
  connect(按钮_清空头像, &QPushButton::clicked, this, [] { EmptyAvatarFolder(); });
  connect(按钮_清空昵称, &QPushButton::clicked, this, [] { EmptyNicknameFile(); });
  connect(按钮_查看昵称, &QPushButton::clicked, this, [] { ViewNicknameFile(); });
  // The boxes exclude each other; unchecking the other one raises no click of its own.
  connect(选择框_昵称, &QCheckBox::clicked, this, [this] {
    if (ReadChecked(ModeBox::Nickname) == 1) {
      WriteChecked(ModeBox::Avatar, 0);
    }
  });
  connect(选择框_头像, &QCheckBox::clicked, this, [this] {
    if (ReadChecked(ModeBox::Avatar) == 1) {
      WriteChecked(ModeBox::Nickname, 0);
    }
  });
}

QCheckBox* MainWindow::BoxOf(ModeBox box) const {
  return box == ModeBox::Nickname ? 选择框_昵称 : 选择框_头像;
}

RowId MainWindow::InsertRowsHere(const std::vector<Cells>& rows) {
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(rows.size()));
  for (const Cells& cells : rows) {
    items.append(NewRow(cells));
  }
  超级列表框1->addTopLevelItems(items);
  return row_ids_.Append(static_cast<int>(rows.size()));
}

void MainWindow::SetCellsHere(RowId row, const Cells& cells) {
  int position = row_ids_.PositionOf(row);
  QTreeWidgetItem* item = position < 0 ? nullptr : 超级列表框1->topLevelItem(position);
  if (item == nullptr) {
    return;
  }
  for (const Cell& cell : cells) {
    if (cell.column >= 0 && cell.column < kColumnCount) {
      item->setText(cell.column, FromCodePage(cell.text));
    }
  }
}

void MainWindow::ClearRowsHere() {
  超级列表框1->clear();
  row_ids_.Clear();
}

int MainWindow::ReadChecked(ModeBox box) const {
  return BoxOf(box)->isChecked() ? 1 : 0;
}

void MainWindow::WriteChecked(ModeBox box, int checked) {
  BoxOf(box)->setChecked(checked != 0);
}

Text MainWindow::ReadInputTextHere() const {
  QString text = 编辑框_输入框->toPlainText();
  text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  return ToCodePage(text);
}

MainWindow* LoadMainWindow() {
  if (QGuiApplication::primaryScreen() == nullptr) {
    FatalRuntimeError(0, texts::kWindowNotLoaded);
  }
  auto* window = new MainWindow;
  SetWindowPort(&window->Proxy());
  OnWindowCreated();
  window->show();
  window->activateWindow();
  window->编辑框_输入框->setFocus();
  return window;
}

void RunMessageLoop() {
  QApplication::exec();
}

}  // namespace ostrevan
