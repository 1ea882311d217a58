// Finds the message box the program has open, if any.
#pragma once

#include <QApplication>
#include <QMessageBox>

namespace ostrevan {

inline QMessageBox* OpenBox() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) {
      return box;
    }
  }
  return nullptr;
}

}  // namespace ostrevan
