#pragma once
// Texts of the table as Qt strings, and the table's font names mapped to fonts this system has.

#include <QFont>
#include <QString>

namespace vellumark::gui {

// Entry n of the selected text set.
[[nodiscard]] QString text(int entry);

// The user-interface font of the selected set at the window's 13-pixel height.
[[nodiscard]] QFont uiFont();

// The hex view's fixed-pitch font ("Courier New" at 12 pixels, or what stands for it).
[[nodiscard]] QFont hexFont();

// The font families installed here that stand for a font name of the table; the name itself
// comes first so a system that has it uses it.
[[nodiscard]] QStringList familiesFor(const QString& tableFontName);

}  // namespace vellumark::gui
