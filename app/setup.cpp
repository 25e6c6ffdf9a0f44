#include "setup.h"

#include "desktop/toolkit.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#ifdef __GLIBC__
#include <malloc.h>
#endif

void setUpApplication(QApplication &app)
{
#ifdef __GLIBC__
    // Large blocks get mappings of their own, touched only as they are used
    // and given back when freed. Left to itself glibc raises this threshold
    // after the first such block, and a font table Qt reads once at the first
    // paint of a text then stays in the heap for good.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    // Threads started from here on (the sound server's client) share the
    // arenas already there instead of touching one each.
    mallopt(M_ARENA_MAX, 1);
#endif
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
