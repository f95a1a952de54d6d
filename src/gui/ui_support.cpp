#include "gui/ui_support.h"

#include <QStringList>

#include <array>

#include "app/text_table.h"

namespace vellumark::gui {

namespace {

struct FontStandIn {
  const char* tableName;
  std::array<const char*, 3> families;
};

// Fonts of Debian's fonts-noto-cjk, fonts-wqy-microhei and fonts-dejavu standing for the
// Windows fonts the table names.
constexpr std::array<FontStandIn, 4> kStandIns{{
    {"宋体", {"Noto Sans CJK SC", "WenQuanYi Micro Hei", "DejaVu Sans"}},
    {"細明體", {"Noto Sans CJK TC", "WenQuanYi Micro Hei", "DejaVu Sans"}},
    {"Tahoma", {"DejaVu Sans", "Noto Sans", "Liberation Sans"}},
    {"Courier New", {"DejaVu Sans Mono", "Liberation Mono", "Noto Sans Mono"}},
}};

}  // namespace

QString text(int entry) {
  const std::string_view t = uiText(entry);
  return QString::fromUtf8(t.data(), static_cast<qsizetype>(t.size()));
}

QStringList familiesFor(const QString& tableFontName) {
  QStringList families{tableFontName};
  for (const FontStandIn& s : kStandIns) {
    if (tableFontName != QString::fromUtf8(s.tableName)) continue;
    for (const char* f : s.families) families << QString::fromUtf8(f);
  }
  return families;
}

QFont uiFont() {
  const std::string_view name = uiFontName();
  QFont font;
  font.setFamilies(familiesFor(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()))));
  font.setPixelSize(13);
  return font;
}

QFont hexFont() {
  QFont font;
  font.setFamilies(familiesFor(QStringLiteral("Courier New")));
  font.setStyleHint(QFont::Monospace);
  font.setFixedPitch(true);
  font.setPixelSize(12);
  return font;
}

}  // namespace vellumark::gui
