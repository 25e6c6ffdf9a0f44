#include "savedialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

namespace ui {

namespace {

class QtSaveDialog final : public SaveDialog
{
public:
    // A dialog of its own each time: its file name completer looks up what
    // is typed in the background, and a dialog kept hidden for the next
    // save would still pop up its list once that comes in, taking the
    // person's next click in the window with it. The folder is kept.
    bool ShowSave(QWidget *parent) override
    {
        QFileDialog dialog(parent);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        // The caller asks about the file it really writes, which has ".wav" added.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        // Qt's own dialog: the same on every desktop, in Chinese, and scriptable.
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        if (m_folder.isEmpty()) {
            // Recordings belong with the user's music, not wherever the program was started.
            m_folder = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
            if (m_folder.isEmpty() || !QFileInfo(m_folder).isDir())
                m_folder = QDir::homePath();
        }
        dialog.setDirectory(m_folder);
        dialog.setWindowTitle(DialogTitle);
        dialog.setNameFilter(Filter);
        dialog.setWindowModality(Qt::ApplicationModal);
        const bool accepted = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
        m_folder = dialog.directory().absolutePath();
        if (!accepted)
            return false;
        FileName = dialog.selectedFiles().constFirst();
        return true;
    }

private:
    QString m_folder;
};

} // namespace

std::unique_ptr<SaveDialog> createQtSaveDialog()
{
    return std::make_unique<QtSaveDialog>();
}

} // namespace ui
