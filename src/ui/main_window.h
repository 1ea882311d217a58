// The tool's one window: the input box, the two mode boxes, the six buttons and the results list.
#pragma once

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QWidget>
#include <memory>

#include "engine/results_table.h"
#include "ui/window_bridge.h"

namespace ostrevan {

class MainWindow;

// The window as the engine reaches it from any thread. It outlives the window, so that a worker
// still running when the window has gone finds a closed door instead of a dangling pointer.
class WindowProxy : public WindowPort {
 public:
  explicit WindowProxy(MainWindow* window);

  RowId InsertRows(const std::vector<Cells>& rows) override;
  void SetCells(RowId row, const Cells& cells) override;
  void ClearRows() override;
  int ReadChecked(ModeBox box) override;
  Text ReadInputText() override;

  // Called by the window as it goes.
  void Detach();

 private:
  WindowBridge bridge_;
  MainWindow* window_;  // touched on the window's thread only
};

class MainWindow : public QWidget {
 public:
  MainWindow();
  ~MainWindow() override;

  // The engine's view of this window; stays valid after the window has been destroyed.
  WindowProxy& Proxy() { return *proxy_; }

  // The window's own side of the results list and the controls; window thread only.
  RowId InsertRowsHere(const std::vector<Cells>& rows);
  void SetCellsHere(RowId row, const Cells& cells);
  void ClearRowsHere();
  int ReadChecked(ModeBox box) const;
  void WriteChecked(ModeBox box, int checked);
  Text ReadInputTextHere() const;

  QPlainTextEdit* 编辑框_输入框;
  QPushButton* 按钮_提取;
  QTreeWidget* 超级列表框1;
  QPushButton* 按钮_清空;
  QCheckBox* 选择框_昵称;
  QCheckBox* 选择框_头像;
  QPushButton* 按钮_查看头像;
  QPushButton* 按钮_清空头像;
  QPushButton* 按钮_清空昵称;
  QPushButton* 按钮_查看昵称;

 private:
  void BuildControls();
  void ConnectCommands();
  QCheckBox* BoxOf(ModeBox box) const;

  RowIds row_ids_;
  WindowProxy* proxy_;
};

// Builds the window hidden, lets the engine create its lock, then shows it.
MainWindow* LoadMainWindow();
// Serves the window until it has been closed.
void RunMessageLoop();

}  // namespace ostrevan
