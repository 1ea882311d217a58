#include "ui/code_page.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace ostrevan {

QString FromCodePage(const Text& text) {
  if (IsAscii(text)) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  }
  QStringDecoder decoder("GBK");
  return decoder.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
}

Text ToCodePage(const QString& text) {
  QStringEncoder encoder("GBK");
  QByteArray bytes = encoder.encode(text);
  return BytesToText(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

}  // namespace ostrevan
