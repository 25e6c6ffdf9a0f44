#include "savedialog.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QStandardPaths>

namespace ui {

namespace {

class QtSaveDialog final : public SaveDialog
{
public:
    bool ShowSave(QWidget *parent) override
    {
        // One dialog, kept hidden between saves: a new one each time costs
        // its file system model and icons anew, and memory grows with every take.
        if (!m_dialog) {
            m_dialog = new QFileDialog(parent);
            m_dialog->setAcceptMode(QFileDialog::AcceptSave);
            m_dialog->setFileMode(QFileDialog::AnyFile);
            // The caller asks about the file it really writes, which has ".wav" added.
            m_dialog->setOption(QFileDialog::DontConfirmOverwrite);
            // Qt's own dialog: the same on every desktop, in Chinese, and scriptable.
            m_dialog->setOption(QFileDialog::DontUseNativeDialog);
            // Recordings belong with the user's music, not wherever the program was started.
            QString start = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
            if (start.isEmpty() || !QFileInfo(start).isDir())
                start = QDir::homePath();
            m_dialog->setDirectory(start);
        }
        m_dialog->setWindowTitle(DialogTitle);
        m_dialog->setNameFilter(Filter);
        m_dialog->setWindowModality(Qt::ApplicationModal);
        const bool accepted = m_dialog->exec() == QDialog::Accepted && !m_dialog->selectedFiles().isEmpty();
        forgetTypedName();
        if (!accepted)
            return false;
        FileName = m_dialog->selectedFiles().constFirst();
        return true;
    }

    ~QtSaveDialog() override { delete m_dialog; }

private:
    // The name completer finishes looking up a folder in the background and
    // then shows its list for what was last typed, even with the dialog
    // hidden; that list would grab the pointer and eat the next click in the
    // window. With nothing left to complete it stays down.
    void forgetTypedName()
    {
        for (auto *edit : m_dialog->findChildren<QLineEdit *>()) {
            if (QCompleter *completer = edit->completer()) {
                completer->setCompletionPrefix(QString());
                completer->popup()->hide();
            }
        }
    }

    QPointer<QFileDialog> m_dialog;
};

} // namespace

std::unique_ptr<SaveDialog> createQtSaveDialog()
{
    return std::make_unique<QtSaveDialog>();
}

} // namespace ui
