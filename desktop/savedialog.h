#pragma once

#include <QString>

#include <memory>

class QWidget;

namespace ui {

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

std::unique_ptr<SaveDialog> createQtSaveDialog();
// Windows only: the platform's common save dialog.
std::unique_ptr<SaveDialog> createCommonSaveDialog();

} // namespace ui
