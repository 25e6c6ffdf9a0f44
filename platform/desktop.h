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
    // Modal yes/no; true for yes.
    virtual bool question(QWidget *parent, const QString &text) = 0;
    // Tells of an error nobody handled, then ends the program with a failure status.
    virtual void unhandledError(QWidget *parent, const QString &what) = 0;
    // Ends the program once control is back in the event loop, without further events.
    virtual void endProgram(int status) = 0;
};

// The save-file dialog, used the way the old common dialog control was:
// set Filter and DialogTitle, ShowSave, then read FileName back. One object
// serves every save, so it remembers the folder and name last chosen.
class SaveDialog
{
public:
    virtual ~SaveDialog() = default;

    QString Filter;
    QString DialogTitle;
    QString FileName;

    // Modal. False when the person cancelled; FileName is then unchanged.
    virtual bool ShowSave(QWidget *parent) = 0;
};

std::unique_ptr<Desktop> createQtDesktop();
std::unique_ptr<SaveDialog> createQtSaveDialog();
// Windows only: the platform's common save dialog.
std::unique_ptr<SaveDialog> createCommonSaveDialog();

} // namespace ui
