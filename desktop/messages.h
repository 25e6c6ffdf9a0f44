// Message boxes, questions and ending the program: the recorder reaches them
// only through here, so tests can answer in a person's place.
#pragma once

#include <QString>

#include <memory>

class QWidget;

namespace ui {

class Desktop
{
public:
    virtual ~Desktop() = default;

    // Modal, with the stop icon and a single OK button.
    virtual void critical(QWidget *parent, const QString &text) = 0;
    // Modal, with the warning icon and a single OK button.
    virtual void warning(QWidget *parent, const QString &text) = 0;
    // Modal, with the information icon and a single OK button.
    virtual void information(QWidget *parent, const QString &text) = 0;
    // Modal yes/no; true for yes.
    virtual bool question(QWidget *parent, const QString &text) = 0;
    // Tells of an error nobody handled, then ends the program with a failure status.
    virtual void unhandledError(QWidget *parent, const QString &what) = 0;
    // Ends the program once control is back in the event loop, without further events.
    virtual void endProgram(int status) = 0;
};

std::unique_ptr<Desktop> createQtDesktop();

} // namespace ui
