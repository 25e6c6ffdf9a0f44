// What a person sees: both windows' geometry, texts, fonts, focus order and
// frames, checked against the drawn layout. Also run with the screen scaled.
#include "about/frma.h"
#include "platform/toolkit.h"
#include "support/rig.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QWindow>

using fake::Rig;

namespace {

QString visibleText(QString text)
{
    return text.remove(QLatin1Char('&'));
}

QString textOf(QWidget *w)
{
    if (auto *b = qobject_cast<QAbstractButton *>(w))
        return b->text();
    return qobject_cast<QLabel *>(w)->text();
}

bool isSongFace(const QFont &font)
{
    const QString family = QFontInfo(font).family();
    for (const char *face : {"SimSun", "宋体", "Ming", "Song", "Sung"})
        if (family.contains(QString::fromUtf8(face), Qt::CaseInsensitive))
            return true;
    return false;
}

// Every line of the text fits inside the widget at its own font.
void verifyNotClipped(QWidget *w)
{
    const QFontMetrics metrics(w->font());
    // A trailing line break adds no visible line.
    const QStringList lines = visibleText(textOf(w)).trimmed().split(QLatin1Char('\n'));
    const int margin = qobject_cast<QPushButton *>(w) ? 8 : 0;
    for (const QString &line : lines) {
        QVERIFY2(metrics.horizontalAdvance(line) + margin <= w->width(),
                 qPrintable(QStringLiteral("%1 is clipped in %2").arg(line, w->objectName())));
        for (const QChar c : line)
            QVERIFY2(metrics.inFont(c), qPrintable(QStringLiteral("no glyph for %1").arg(c)));
    }
    QVERIFY2(metrics.lineSpacing() * lines.size() <= w->height() + 1,
             qPrintable(QStringLiteral("%1 lines do not fit %2").arg(lines.size()).arg(w->objectName())));
}

void addControlColumns()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qreal>("points");
    QTest::addColumn<bool>("bold");
}

void verifyControl(QWidget *window)
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    QFETCH(QString, text);
    QFETCH(qreal, points);
    QFETCH(bool, bold);
    auto *w = window->findChild<QWidget *>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(w->geometry(), ui::twipsRect(twips.x(), twips.y(), twips.width(), twips.height()));
    if (!text.isNull())
        QCOMPARE(textOf(w), text);
    QCOMPARE(w->font().pointSizeF(), points);
    QCOMPARE(w->font().bold(), bold);
    QVERIFY2(isSongFace(w->font()), qPrintable(QFontInfo(w->font()).family()));
    verifyNotClipped(w);
}

} // namespace

class tst_Layout : public QObject
{
    Q_OBJECT

private slots:
    void recorderControls_data();
    void recorderControls();
    void recorderWindow();
    void recorderFocusOrder();
    void aboutControls_data();
    void aboutControls();
    void aboutWindow();
    void scaledRendering();
};

void tst_Layout::recorderControls_data()
{
    addControlColumns();
    QTest::newRow("start") << "cmdStartRec" << QRect(240, 2760, 1335, 495) << "开始录音(&K)" << 9.0 << false;
    QTest::newRow("stop") << "cmdStopRec" << QRect(1560, 2760, 1335, 495) << "停止录音(T)" << 9.0 << false;
    QTest::newRow("save") << "cmdSaveToFile" << QRect(2880, 2760, 1335, 495) << "保存到文件(&S)" << 9.0
                          << false;
    // The widest text the seconds label shows in a normal recording.
    QTest::newRow("time") << "lblTIME" << QRect(2040, 2400, 1800, 330) << QString() << 14.25 << true;
    QTest::newRow("time caption") << "lblLTime" << QRect(840, 2520, 1155, 255) << "已录音时间：" << 9.0
                                  << false;
    QTest::newRow("about") << "Command1" << QRect(4200, 2760, 1095, 495) << "关于(&A)" << 9.0 << false;
}

void tst_Layout::recorderControls()
{
    Rig rig;
    QVERIFY(rig.load());
    rig.window->cmdStartRec_Click();
    for (int i = 0; i < 18; ++i)
        rig.window->tmrCount_Timer();
    verifyControl(rig.window.get());
}

void tst_Layout::recorderWindow()
{
    Rig rig;
    QVERIFY(rig.load());
    FrmMain &w = *rig.window;
    QCOMPARE(w.objectName(), QStringLiteral("frmMain"));
    QCOMPARE(w.windowTitle(), QStringLiteral("墨岚录音软件V1.0"));
    QCOMPARE(w.size(), QSize(361, 220));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(w.windowIcon().availableSizes().value(0), QSize(48, 48));
    QCOMPARE(QImage(QStringLiteral(":/molan-recorder.png")).colorCount() <= 256, true);

    auto *picture = w.findChild<QLabel *>(QStringLiteral("Picture1"));
    QCOMPARE(picture->geometry(), ui::twipsRect(0, 0, 5415, 2295));
    QCOMPARE(picture->pixmap().size(), QSize(360, 150));
    QCOMPARE(picture->frameShadow(), QFrame::Sunken);
    QVERIFY(picture->alignment() & Qt::AlignTop);
    QVERIFY(picture->alignment() & Qt::AlignLeft);

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QRect screen = w.screen()->availableGeometry();
    const QPoint offCentre = w.frameGeometry().center() - screen.center();
    QVERIFY2(offCentre.manhattanLength() <= 4,
             qPrintable(QStringLiteral("%1,%2").arg(offCentre.x()).arg(offCentre.y())));
}

void tst_Layout::recorderFocusOrder()
{
    Rig rig;
    QVERIFY(rig.load());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    QCOMPARE(rig.window->focusWidget()->objectName(), QStringLiteral("cmdStartRec"));

    QStringList order;
    QWidget *w = rig.window->focusWidget();
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            order << w->objectName();
        w = w->nextInFocusChain();
    } while (w != rig.window->focusWidget());
    QCOMPARE(order, QStringList({"cmdStartRec", "cmdStopRec", "cmdSaveToFile", "Command1"}));
}

void tst_Layout::aboutControls_data()
{
    addControlColumns();
    QTest::newRow("product") << "Label1" << QRect(840, 240, 2055, 255) << "墨岚录音软件v1.0\n"
                             << 10.5 << false;
    QTest::newRow("web site") << "Label2" << QRect(360, 840, 3135, 495)
                              << QStringLiteral("墨岚录音软件v1.0\n官方网站：") + FrmA::webSite() << 9.0
                              << false;
    QTest::newRow("ok") << "Command1" << QRect(720, 1440, 1935, 495) << "确定(&Q)" << 9.0 << false;
}

void tst_Layout::aboutControls()
{
    FrmA about;
    verifyControl(&about);
}

void tst_Layout::aboutWindow()
{
    FrmA about;
    QCOMPARE(about.windowTitle(), QStringLiteral("墨岚录音软件V1.0"));
    QCOMPARE(about.size(), QSize(233, 135));
    QCOMPARE(about.minimumSize(), about.maximumSize());
    QCOMPARE(about.windowType(), Qt::Tool); // narrow title bar, not in the taskbar
    QVERIFY(!(about.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(about.windowIcon().isNull());
    QVERIFY(FrmA::webSite().startsWith(QStringLiteral("https://example.com")));
}

void tst_Layout::scaledRendering()
{
    Rig rig;
    QVERIFY(rig.load());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    const qreal scale = rig.window->devicePixelRatioF();
    if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR"))
        QCOMPARE(scale, qEnvironmentVariable("QT_SCALE_FACTOR").toDouble());
    // The drawn window covers the whole scaled client area.
    const QPixmap shot = rig.window->grab();
    QCOMPARE(shot.size(), QSize(qRound(361 * scale), qRound(220 * scale)));
}

QTEST_MAIN(tst_Layout)
#include "tst_layout.moc"
