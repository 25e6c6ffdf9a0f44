#include "messages.h"

#include "toolkit.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace ui {

namespace {

class QtDesktop final : public Desktop
{
public:
    void critical(QWidget *parent, const QString &text) override
    {
        tell(QMessageBox::Critical, parent, text);
    }
    void warning(QWidget *parent, const QString &text) override { tell(QMessageBox::Warning, parent, text); }
    void information(QWidget *parent, const QString &text) override
    {
        tell(QMessageBox::Information, parent, text);
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

private:
    static void tell(QMessageBox::Icon icon, QWidget *parent, const QString &text)
    {
        // Also for whoever started the program from a terminal or a script.
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(text));
        QMessageBox box(icon, applicationTitle(), text, QMessageBox::Ok, parent);
        box.setTextFormat(Qt::PlainText); // file names are not markup
        box.exec();
    }
};

} // namespace

std::unique_ptr<Desktop> createQtDesktop()
{
    return std::make_unique<QtDesktop>();
}

} // namespace ui
