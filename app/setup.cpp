#include "setup.h"

#include "desktop/toolkit.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

void setUpApplication(QApplication &app)
{
    QApplication::setApplicationName(QStringLiteral("molan-recorder"));
    QApplication::setApplicationVersion(QStringLiteral("1.00"));
    // Lets the desktop match windows to the installed entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.example.molan_recorder"));
    QApplication::setFont(ui::songFont(9));

    // Standard buttons and the file dialog speak Chinese whatever the locale.
    const QLocale chinese(QLocale::Chinese, QLocale::China);
    QLocale::setDefault(chinese);
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto *translator = new QTranslator(&app);
    if (translator->load(chinese, QStringLiteral("qtbase"), QStringLiteral("_"), dir))
        QApplication::installTranslator(translator);
    else
        delete translator;
}
