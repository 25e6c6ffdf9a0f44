// What screen readers learn about the windows beyond what Qt tells them by
// itself: what kind of window each one is, and notices that are spoken as
// they come without moving the keyboard focus.
#pragma once

#include <QAccessible>
#include <QObject>
#include <QString>

class QWidget;

namespace ui {

// Tells assistive tools what kind of window `window` is: QAccessible::Window
// for a main window, Dialog for a dialog box. Call it first thing in the
// window's constructor, before the tools first ask about the window.
void setAccessibleRole(QWidget *window, QAccessible::Role role);

// A notification of its window: screen readers speak each text as it is
// announced, wherever the focus is. Nothing of it is drawn.
class Announcer : public QObject
{
    Q_OBJECT

public:
    explicit Announcer(QWidget *window);

    void announce(const QString &text);
    QString text() const { return m_text; }

private:
    QString m_text;
};

} // namespace ui
