// Small helpers for laying out the windows the way they were drawn: in twips,
// in the Song typeface, with Chinese standard texts.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>

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

// Places a top-level window, frame and all, in the middle of the primary screen.
void centreOnScreen(QWidget *window);

// Keeps a window out of the taskbar, where the desktop has one. Windows leaves
// tool windows out by itself; X11 window managers need telling.
void keepOutOfTaskbar(QWidget *window);

// 宋体 at `points`, or the nearest installed Song/Ming face where SimSun is missing.
QFont songFont(qreal points, bool bold = false);

} // namespace ui
