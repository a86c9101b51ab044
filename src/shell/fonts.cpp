#include "shell/fonts.h"

#include <QFile>
#include <QFontDatabase>
#include <QStringList>

namespace shell {

namespace {

const QString kTahoma = QStringLiteral("Tahoma");
constexpr double kControlPoints = 8.25;
constexpr double kTitlePoints = 14.25;

// Where Debian's Wine fonts put their Tahoma (regular and bold).
const char* const kTahomaFiles[] = {
    "/usr/share/wine/fonts/tahoma.ttf",
    "/usr/share/wine/fonts/tahomabd.ttf",
};

QFont Make(double points, int weight) {
  QFont font(EnsureTahoma() ? kTahoma : QStringLiteral("Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(points);
  font.setWeight(static_cast<QFont::Weight>(weight));
  return font;
}

}  // namespace

bool EnsureTahoma() {
  static const bool known = [] {
    if (QFontDatabase::families().contains(kTahoma, Qt::CaseInsensitive)) return true;
    for (const char* file : kTahomaFiles) {
      if (QFile::exists(QString::fromUtf8(file))) QFontDatabase::addApplicationFont(QString::fromUtf8(file));
    }
    return QFontDatabase::families().contains(kTahoma, Qt::CaseInsensitive);
  }();
  return known;
}

QFont ControlFont() { return Make(kControlPoints, QFont::Normal); }
QFont TitleFont() { return Make(kTitlePoints, QFont::Bold); }

}  // namespace shell
