// The window shows and takes text in Unicode; the program holds it in its code page, GBK.
#pragma once

#include <QString>

#include "runtime/text.h"

namespace ostrevan {

QString FromCodePage(const Text& text);
Text ToCodePage(const QString& text);

}  // namespace ostrevan
