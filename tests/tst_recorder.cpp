// The recorder window's states and transitions, driven through its handlers
// with the fake sound system; no real time passes.
#include "support/rig.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using fake::Rig;

Q_DECLARE_METATYPE(RecorderState)

namespace {

// As a person would: a disabled button does nothing.
void click(Rig &rig, const char *button)
{
    rig.window->findChild<QPushButton *>(QLatin1String(button))->click();
}

// Plays a person's actions: s = Start, t = Stop after 0.2 s of sound, e = Stop
// with nothing recorded, i = the sound server goes away after 0.2 s of sound,
// n = one timer tick, v = Save under a new name,
// c = Save but cancel the dialog, x = close the window. Digits repeat the
// next step, so "18n" is eighteen ticks.
void play(Rig &rig, const QString &steps, const QString &folder)
{
    int saves = 0;
    int repeat = 0;
    for (QChar step : steps) {
        if (step.isDigit()) {
            repeat = repeat * 10 + step.digitValue();
            continue;
        }
        for (int i = 0; i < std::max(repeat, 1); ++i) {
            switch (step.toLatin1()) {
            case 's':
                click(rig, "cmdStartRec");
                break;
            case 't':
            case 'e':
                rig.audio->captured = step == QLatin1Char('t') ? 4410 : 0;
                click(rig, "cmdStopRec");
                break;
            case 'i':
                rig.audio->captured = 4410;
                rig.audio->captureRunning = false;
                rig.audio->interrupt(QStringLiteral("连接中断"));
                break;
            case 'n':
                rig.window->tmrCount_Timer();
                break;
            case 'v':
            case 'c':
                rig.dialog->script << (step == QLatin1Char('c')
                                           ? std::nullopt
                                           : std::optional(QDir(folder).filePath(QString::number(++saves))));
                click(rig, "cmdSaveToFile");
                break;
            case 'x':
                rig.window->close();
                break;
            }
        }
        repeat = 0;
    }
}

QString timeText(Rig &rig)
{
    return rig.window->findChild<QLabel *>(QStringLiteral("lblTIME"))->text();
}

} // namespace

class tst_Recorder : public QObject
{
    Q_OBJECT

private slots:
    void startup_data();
    void startup();
    void transitions_data();
    void transitions();
    void stopFailingAtTheAutomaticStop();
    void failuresEndTheProgram_data();
    void failuresEndTheProgram();
    void closing_data();
    void closing();
};

void tst_Recorder::startup_data()
{
    QTest::addColumn<QString>("failing");
    QTest::newRow("both devices") << QString();
    QTest::newRow("no capture device") << QStringLiteral("DirectX7.DirectSoundCaptureCreate");
    QTest::newRow("no playback device") << QStringLiteral("DirectX7.DirectSoundCreate");
}

void tst_Recorder::startup()
{
    QFETCH(QString, failing);
    Rig rig;
    if (!failing.isEmpty())
        rig.audio->failing << failing;

    QCOMPARE(rig.load(), failing.isEmpty());
    if (!failing.isEmpty()) {
        QCOMPARE(rig.desktop->criticals, QStringList{QStringLiteral("无法初始化声卡，退出程序")});
        QCOMPARE(rig.desktop->ended, QList<int>{1});
        QVERIFY(!rig.window->isVisible());
        return;
    }
    QVERIFY(rig.desktop->criticals.isEmpty());
    QCOMPARE(rig.window->state(), RecorderState::Idle);
    QCOMPARE(timeText(rig), QString());
}

void tst_Recorder::transitions_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<RecorderState>("state");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("counter");
    QTest::addColumn<int>("files");
    // The focus follows the work from the button each step disables.
    QTest::addColumn<QString>("focus");
    QTest::newRow("started") << "s" << RecorderState::Recording << "0秒" << 0 << 0 << "cmdStopRec";
    QTest::newRow("first tick") << "sn" << RecorderState::Recording << "1秒" << 1 << 0 << "cmdStopRec";
    QTest::newRow("eighteenth tick") << "s18n" << RecorderState::Recording << "18秒" << 18 << 0
                                     << "cmdStopRec";
    // The 19th stops the recording and leaves the label as it was.
    QTest::newRow("nineteenth tick") << "s19n" << RecorderState::Stopped << "18秒" << 0 << 0
                                     << "cmdSaveToFile";
    QTest::newRow("stop before the first tick")
        << "st" << RecorderState::Stopped << "0秒" << 0 << 0 << "cmdSaveToFile";
    QTest::newRow("stop after three seconds")
        << "s3nt" << RecorderState::Stopped << "3秒" << 0 << 0 << "cmdSaveToFile";
    // Start clicked while Save has the focus.
    QTest::newRow("start again after stop")
        << "s2nts" << RecorderState::Recording << "0秒" << 0 << 0 << "cmdStopRec";
    QTest::newRow("count restarts after stop")
        << "s2ntsn" << RecorderState::Recording << "1秒" << 1 << 0 << "cmdStopRec";
    QTest::newRow("saved") << "sntv" << RecorderState::Saved << "1秒" << 0 << 1 << "cmdStartRec";
    QTest::newRow("saved once only") << "sntvv" << RecorderState::Saved << "1秒" << 0 << 1 << "cmdStartRec";
    QTest::newRow("start after a save")
        << "sntvs" << RecorderState::Recording << "0秒" << 0 << 1 << "cmdStopRec";
    QTest::newRow("next recording saved")
        << "stvstv" << RecorderState::Saved << "0秒" << 0 << 2 << "cmdStartRec";
    QTest::newRow("cancel keeps it") << "stc" << RecorderState::Stopped << "0秒" << 0 << 0 << "cmdStartRec";
    QTest::newRow("saved after a cancel")
        << "stcv" << RecorderState::Saved << "0秒" << 0 << 1 << "cmdStartRec";
    // Nothing recorded: no dialog, Save stays offered.
    QTest::newRow("empty recording") << "sev" << RecorderState::Stopped << "0秒" << 0 << 0 << "cmdSaveToFile";
    // The server going away stops the recording as Stop would, and says so.
    QTest::newRow("interrupted") << "s3ni" << RecorderState::Stopped << "3秒" << 0 << 0 << "cmdSaveToFile";
    QTest::newRow("interrupted, then saved")
        << "s3niv" << RecorderState::Saved << "3秒" << 0 << 1 << "cmdStartRec";
    QTest::newRow("recording after an interruption")
        << "snisn" << RecorderState::Recording << "1秒" << 1 << 0 << "cmdStopRec";
}

void tst_Recorder::transitions()
{
    QFETCH(QString, steps);
    QFETCH(RecorderState, state);
    QFETCH(QString, label);
    QFETCH(int, counter);
    QFETCH(int, files);
    QFETCH(QString, focus);
    QTemporaryDir dir;
    Rig rig;
    QVERIFY(rig.load());
    play(rig, steps, dir.path());

    QCOMPARE(rig.window->state(), state);
    QCOMPARE(timeText(rig), label);
    QCOMPARE(int(rig.window->secondsCounter()), counter);
    QCOMPARE(rig.window->focusWidget()->objectName(), focus);
    QCOMPARE(rig.audio->captureRunning, state == RecorderState::Recording);
    QCOMPARE(rig.audio->captureBuffersAlive, 1); // a new Start dropped the old one
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), files);
    QCOMPARE(rig.dialog->titles.size(), steps.count(QLatin1Char('c')) + files);
    QCOMPARE(rig.desktop->criticals.size(), steps.count(QLatin1Char('i')));
    for (const QString &said : rig.desktop->criticals)
        QVERIFY2(said.contains(QStringLiteral("录音被中断")) && said.contains(QStringLiteral("可以保存")),
                 qPrintable(said));
    QVERIFY(rig.desktop->unhandled.isEmpty());
}

void tst_Recorder::stopFailingAtTheAutomaticStop()
{
    Rig rig;
    QVERIFY(rig.load());
    play(rig, QStringLiteral("s"), QString());
    rig.audio->failing << QStringLiteral("DirectSoundCaptureBuffer.Stop");
    play(rig, QStringLiteral("19n"), QString());

    // The tick swallows the failure: still recording, counting on past 19.
    QCOMPARE(rig.window->state(), RecorderState::Recording);
    QCOMPARE(rig.window->secondsCounter(), 19);
    QCOMPARE(timeText(rig), QStringLiteral("18秒"));
    play(rig, QStringLiteral("2n"), QString());
    QCOMPARE(timeText(rig), QStringLiteral("21秒"));

    // ...up to the counter's limit, where it stays.
    play(rig, QStringLiteral("32748n"), QString());
    QCOMPARE(timeText(rig), QStringLiteral("32767秒"));
    play(rig, QStringLiteral("3n"), QString());
    QCOMPARE(rig.window->secondsCounter(), 32767);
    QCOMPARE(timeText(rig), QStringLiteral("32767秒"));
    QVERIFY(rig.desktop->unhandled.isEmpty());
    QVERIFY(rig.desktop->ended.isEmpty());

    // Once Stop works again, the button ends it as usual.
    rig.audio->failing.clear();
    play(rig, QStringLiteral("t"), QString());
    QCOMPARE(rig.window->state(), RecorderState::Stopped);
}

void tst_Recorder::failuresEndTheProgram_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("steps");
    QTest::newRow("caps") << "DirectSoundCapture.GetCaps"
                          << "s";
    QTest::newRow("create capture") << "DirectSoundCapture.CreateCaptureBuffer"
                                    << "s";
    QTest::newRow("start capture") << "DirectSoundCaptureBuffer.Start"
                                   << "s";
    QTest::newRow("stop button") << "DirectSoundCaptureBuffer.Stop"
                                 << "st";
    QTest::newRow("cursor") << "DirectSoundCaptureBuffer.GetCurrentPosition"
                            << "stv";
    QTest::newRow("create playback") << "DirectSound.CreateSoundBuffer"
                                     << "stv";
    QTest::newRow("read capture") << "DirectSoundCaptureBuffer.ReadBuffer"
                                  << "stv";
    QTest::newRow("write playback") << "DirectSoundBuffer.WriteBuffer"
                                    << "stv";
}

void tst_Recorder::failuresEndTheProgram()
{
    QFETCH(QString, operation);
    QFETCH(QString, steps);
    QTemporaryDir dir;
    Rig rig;
    QVERIFY(rig.load());
    rig.audio->failing << operation;
    play(rig, steps, dir.path());

    // Reported naming what failed, then the program ends with a failure status.
    QCOMPARE(rig.desktop->unhandled.size(), 1);
    QVERIFY2(rig.desktop->unhandled.first().contains(operation), qPrintable(rig.desktop->unhandled.first()));
    QCOMPARE(rig.desktop->ended, QList<int>{3});
    QVERIFY(rig.dialog->titles.isEmpty());
}

void tst_Recorder::closing_data()
{
    QTest::addColumn<QString>("steps");
    QTest::newRow("idle") << "x";
    QTest::newRow("recording") << "s3nx";
    QTest::newRow("stopped, unsaved") << "stx";
    QTest::newRow("saved") << "stvx";
}

void tst_Recorder::closing()
{
    QFETCH(QString, steps);
    QTemporaryDir dir;
    Rig rig;
    QVERIFY(rig.load());
    rig.window->show();
    play(rig, steps, dir.path());

    // No question, nothing written, everything released.
    QCOMPARE(rig.desktop->ended, QList<int>{0});
    QVERIFY(rig.desktop->questions.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), steps.count(QLatin1Char('v')));
    QCOMPARE(rig.audio->captureBuffersAlive, 0);
    QCOMPARE(rig.audio->soundBuffersAlive, 0);
    QVERIFY(!rig.window->findChild<QTimer *>(QStringLiteral("tmrCount"))->isActive());
}

QTEST_MAIN(tst_Recorder)
#include "tst_recorder.moc"
