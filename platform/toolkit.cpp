#include "toolkit.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QScreen>
#include <QTranslator>
#include <QWidget>

namespace ui {

QString applicationTitle()
{
    return QStringLiteral("墨岚录音软件");
}

QRect twipsRect(int left, int top, int width, int height)
{
    return {twips(left), twips(top), twips(width), twips(height)};
}

void placeTwips(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(twipsRect(left, top, width, height));
}

void centreOnScreen(QWidget *window)
{
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame({}, window->size());
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
}

QFont songFont(qreal points, bool bold)
{
    QFont font;
    // SimSun where it exists; on Linux the AR PL and Noto Song faces look the part.
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("NSimSun"),
                      QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL SungtiL GB"),
                      QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Source Han Serif SC")});
    font.setStyleHint(QFont::Serif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

void setUpApplication(QApplication &app)
{
    QApplication::setApplicationName(QStringLiteral("molan-recorder"));
    QApplication::setApplicationVersion(QStringLiteral("1.00"));
    // Lets the desktop match windows to the installed entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.example.molan_recorder"));
    QApplication::setFont(songFont(9));

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

} // namespace ui
