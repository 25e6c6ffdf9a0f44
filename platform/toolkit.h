// Small helpers for laying out the windows the way they were drawn: in twips,
// in the Song typeface, with Chinese standard texts.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>

class QApplication;
class QWidget;

namespace ui {

// Short application name: message boxes carry it as their title.
QString applicationTitle();

// 15 twips to a logical pixel; Qt scales logical pixels with the screen.
constexpr int twips(int value)
{
    return (value + (value >= 0 ? 7 : -7)) / 15;
}

QRect twipsRect(int left, int top, int width, int height);

// Places `widget` at a rectangle given in twips.
void placeTwips(QWidget *widget, int left, int top, int width, int height);

// Places a top-level window in the middle of the primary screen.
void centreOnScreen(QWidget *window);

// 宋体 at `points`, or the nearest installed Song/Ming face where SimSun is missing.
QFont songFont(qreal points, bool bold = false);

// Font, Chinese translations of Qt's own texts, names: everything the
// application object needs before the first window.
void setUpApplication(QApplication &app);

} // namespace ui
