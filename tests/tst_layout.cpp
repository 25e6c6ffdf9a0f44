// What a person sees of both windows: every control's text, font and room
// for its text, controls that do not cover each other, the windows' frames,
// the order of the keyboard focus and the access keys.
#include "about/frma.h"
#include "support/fake.h"

#include <QFontInfo>
#include <QTest>

class tst_Layout : public QObject
{
    Q_OBJECT

private slots:
    void controls_data();
    void controls();
    void windows();
};

void tst_Layout::controls_data()
{
    QTest::addColumn<bool>("about");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qreal>("points");
    QTest::addColumn<bool>("bold");
    auto main = [](const char *name) -> QTestData & { return QTest::newRow(name) << false << name; };
    main("cmdStartRec") << "开始录音(&K)" << 9.0 << false;
    main("cmdStopRec") << "停止录音(T)" << 9.0 << false;
    main("cmdSaveToFile") << "保存到文件(&S)" << 9.0 << false;
    // The widest seconds text of a recording that stops by itself.
    main("lblTIME") << "18秒" << 14.25 << true;
    main("lblLTime") << "已录音时间：" << 9.0 << false;
    main("Command1") << "关于(&A)" << 9.0 << false;
    main("Picture1") << QString() << 9.0 << false;
    auto about = [](const char *name) -> QTestData & {
        return QTest::addRow("About %s", name) << true << name;
    };
    about("Label1") << "墨岚录音软件v1.0\n" << 10.5 << false;
    about("Label2") << "墨岚录音软件v1.0\n官方网站：https://example.com" << 9.0 << false;
    about("Command1") << "确定(&Q)" << 9.0 << false;
}

void tst_Layout::controls()
{
    QFETCH(bool, about);
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(qreal, points);
    QFETCH(bool, bold);
    fake::Rig rig;
    FrmA aboutWindow;
    QVERIFY(rig.load());
    rig.find("cmdStartRec")->click();
    for (int i = 0; i < 19; ++i)
        rig.tick();
    auto *w = (about ? static_cast<QWidget *>(&aboutWindow) : rig.window.get())->findChild<QWidget *>(name);
    QVERIFY(w);
    if (auto *label = qobject_cast<QLabel *>(w); label && !label->pixmap().isNull()) {
        QCOMPARE(label->pixmap().devicePixelRatio(), w->devicePixelRatio() > 1 ? 2.0 : 1.0); // the @2x file
        QCOMPARE(label->alignment(), Qt::AlignLeft | Qt::AlignTop);
        QCOMPARE(label->frameShadow(), QFrame::Sunken);
        return;
    }
    const auto *button = qobject_cast<QAbstractButton *>(w);
    QCOMPARE(button ? button->text() : qobject_cast<QLabel *>(w)->text(), text);
    QCOMPARE(w->font().pointSizeF(), points);
    QCOMPARE(w->font().bold(), bold);
    const QString face = QFontInfo(w->font()).family();
    QVERIFY2(face.contains(QLatin1String("Ming")) || face.contains(QLatin1String("SimSun")),
             qPrintable(face));
    // Every line fits, every character has a glyph.
    const QFontMetrics metrics(w->font());
    const QStringList lines = text.remove(QLatin1Char('&')).trimmed().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        QVERIFY2(metrics.horizontalAdvance(line) + (button ? 8 : 0) <= w->width(), qPrintable(line));
        for (const QChar c : line)
            QVERIFY2(metrics.inFont(c), qPrintable(QString(c)));
    }
    QVERIFY(metrics.lineSpacing() * lines.size() <= w->height() + 1);
}

void tst_Layout::windows()
{
    fake::Rig rig;
    QVERIFY(rig.load());
    FrmMain &main = *rig.window;
    QCOMPARE(main.windowTitle(), QStringLiteral("墨岚录音软件V1.0"));
    QCOMPARE(main.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint),
             Qt::WindowMinimizeButtonHint);
    const QList<QSize> icons{QSize(48, 48), QSize(96, 96)}; // the second from 150% up
    QCOMPARE(main.windowIcon().availableSizes(), icons.first(main.devicePixelRatio() > 1 ? 2 : 1));
    FrmA about;
    QCOMPARE(about.windowTitle(), main.windowTitle());
    QCOMPARE(about.minimumSize(), about.maximumSize()); // not to be resized
    QCOMPARE(about.windowType(), Qt::Tool); // a narrow title bar
    QVERIFY(!(about.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(about.windowIcon().isNull());

    // Every control is in its window and none covers another (frames may share an edge).
    for (QWidget *window : {static_cast<QWidget *>(&main), static_cast<QWidget *>(&about)}) {
        const QList<QWidget *> controls = window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
        for (const QWidget *a : controls) {
            QVERIFY2(window->rect().contains(a->geometry()), qPrintable(a->objectName()));
            for (const QWidget *b : controls)
                QVERIFY2(a == b || !a->geometry().adjusted(1, 1, -1, -1).intersects(b->geometry()),
                         qPrintable(a->objectName() + QLatin1Char(' ') + b->objectName()));
        }
    }
    // Tab walks the buttons in their order, from Start.
    QStringList order;
    for (QWidget *w = main.focusWidget(); order.size() < 4; w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus)
            order << w->objectName();
    QCOMPARE(order, QStringList({"cmdStartRec", "cmdStopRec", "cmdSaveToFile", "Command1"}));
    // Alt and the underlined letter press a button.
    main.show();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_K, Qt::AltModifier);
    const auto recording = [&] { return rig.looks() == QStringLiteral("StopRec timer | 0秒"); };
    QVERIFY2(QTest::qWaitFor(recording), qPrintable(rig.looks())); // after an animated click
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::AltModifier);
    QVERIFY(QTest::qWaitFor([] { return qobject_cast<FrmA *>(QApplication::activeWindow()); }));
}

QTEST_MAIN(tst_Layout)
#include "tst_layout.moc"
