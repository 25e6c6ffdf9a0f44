#include "desktop.h"

#include "toolkit.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QStandardPaths>

#include <cstdio>

namespace ui {

namespace {

class QtDesktop final : public Desktop
{
public:
    void critical(QWidget *parent, const QString &text) override
    {
        // Also for whoever started the program from a terminal or a script.
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(text));
        QMessageBox box(QMessageBox::Critical, applicationTitle(), text, QMessageBox::Ok, parent);
        box.setTextFormat(Qt::PlainText); // file names are not markup
        box.exec();
    }

    bool question(QWidget *parent, const QString &text) override
    {
        QMessageBox box(QMessageBox::Question, applicationTitle(), text, QMessageBox::Yes | QMessageBox::No,
                        parent);
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    }

    void unhandledError(QWidget *parent, const QString &what) override
    {
        critical(parent, QStringLiteral("程序发生未处理的错误，即将退出。\n\n%1").arg(what));
        endProgram(3);
    }

    void endProgram(int status) override
    {
        // Hidden first so no window takes another event before the loop ends.
        for (QWidget *window : QApplication::topLevelWidgets())
            window->hide();
        QCoreApplication::exit(status);
    }
};

class QtSaveDialog final : public SaveDialog
{
public:
    bool ShowSave(QWidget *parent) override
    {
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
        if (m_dialog->exec() != QDialog::Accepted || m_dialog->selectedFiles().isEmpty())
            return false;
        FileName = m_dialog->selectedFiles().constFirst();
        return true;
    }

    ~QtSaveDialog() override { delete m_dialog; }

private:
    QPointer<QFileDialog> m_dialog;
};

} // namespace

std::unique_ptr<Desktop> createQtDesktop()
{
    return std::make_unique<QtDesktop>();
}

std::unique_ptr<SaveDialog> createQtSaveDialog()
{
    return std::make_unique<QtSaveDialog>();
}

} // namespace ui
