// The recorder window's states and transitions, driven through its handlers
// with the fake sound system; no real time passes.
#include "support/rig.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using fake::Rig;

Q_DECLARE_METATYPE(RecorderState)

namespace {

QPushButton *button(Rig &rig, const char *name)
{
    return rig.window->findChild<QPushButton *>(QLatin1String(name));
}

QString timeText(Rig &rig)
{
    return rig.window->findChild<QLabel *>(QStringLiteral("lblTIME"))->text();
}

QTimer *timer(Rig &rig)
{
    return rig.window->findChild<QTimer *>(QStringLiteral("tmrCount"));
}

void tick(Rig &rig, int times)
{
    for (int i = 0; i < times; ++i)
        rig.window->tmrCount_Timer();
}

} // namespace

class tst_Recorder : public QObject
{
    Q_OBJECT

private slots:
    void startup_data();
    void startup();
    void startDescribesTheCapture();
    void ticks_data();
    void ticks();
    void transitions_data();
    void transitions();
    void stopFailingAtTheAutomaticStop();
    void counterStopsAtItsLimit();
    void failuresEndTheProgramNamingTheOperation_data();
    void failuresEndTheProgramNamingTheOperation();
    void closing_data();
    void closing();
};

void tst_Recorder::startup_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<bool>("loads");
    QTest::newRow("both devices") << QString() << true;
    QTest::newRow("no capture device") << QStringLiteral("DirectX7.DirectSoundCaptureCreate") << false;
    QTest::newRow("no playback device") << QStringLiteral("DirectX7.DirectSoundCreate") << false;
}

void tst_Recorder::startup()
{
    QFETCH(QString, failing);
    QFETCH(bool, loads);
    Rig rig;
    if (!failing.isEmpty())
        rig.audio->failing << failing;

    QCOMPARE(rig.load(), loads);
    if (!loads) {
        QCOMPARE(rig.desktop->criticals, QStringList{QStringLiteral("无法初始化声卡，退出程序")});
        QCOMPARE(rig.desktop->ended, QList<int>{1});
        QVERIFY(!rig.window->isVisible());
        return;
    }
    QVERIFY(rig.desktop->criticals.isEmpty());
    QCOMPARE(rig.window->state(), RecorderState::Idle);
    QVERIFY(button(rig, "Command1")->isEnabled());
    QCOMPARE(timeText(rig), QString());
    QCOMPARE(rig.audio->calls,
             QStringList({"DirectX7.DirectSoundCaptureCreate", "DirectX7.DirectSoundCreate"}));
}

void tst_Recorder::startDescribesTheCapture()
{
    Rig rig;
    QVERIFY(rig.load());
    rig.window->cmdStartRec_Click();

    QCOMPARE(rig.audio->calls.mid(2),
             QStringList({"DirectSoundCapture.GetCaps", "DirectSoundCapture.CreateCaptureBuffer",
                          "DirectSoundCaptureBuffer.Start"}));
    const audio::DSCBUFFERDESC &desc = rig.audio->lastCaptureDesc;
    QCOMPARE(desc.lFlags, 0x80000000u);
    QCOMPARE(desc.lBufferBytes, 441000u);
    QCOMPARE(desc.fxFormat.wFormatTag, 1);
    QCOMPARE(desc.fxFormat.nChannels, 1);
    QCOMPARE(desc.fxFormat.nSamplesPerSec, 22050u);
    QCOMPARE(desc.fxFormat.nAvgBytesPerSec, 22050u);
    QCOMPARE(desc.fxFormat.nBlockAlign, 1);
    QCOMPARE(desc.fxFormat.wBitsPerSample, 8);
    QCOMPARE(desc.fxFormat.cbSize, 0);
    QVERIFY(rig.audio->captureRunning);
    QCOMPARE(timer(rig)->interval(), 1000);
    QCOMPARE(timer(rig)->timerType(), Qt::PreciseTimer);
    QCOMPARE(rig.window->state(), RecorderState::Recording);
    QCOMPARE(timeText(rig), QStringLiteral("0秒"));
}

void tst_Recorder::ticks_data()
{
    QTest::addColumn<int>("ticks");
    QTest::addColumn<QString>("label");
    QTest::addColumn<RecorderState>("state");
    QTest::newRow("none") << 0 << "0秒" << RecorderState::Recording;
    QTest::newRow("first") << 1 << "1秒" << RecorderState::Recording;
    QTest::newRow("tenth") << 10 << "10秒" << RecorderState::Recording;
    QTest::newRow("eighteenth") << 18 << "18秒" << RecorderState::Recording;
    // The 19th stops the recording and leaves the label alone.
    QTest::newRow("nineteenth") << 19 << "18秒" << RecorderState::Stopped;
}

void tst_Recorder::ticks()
{
    QFETCH(int, ticks);
    QFETCH(QString, label);
    QFETCH(RecorderState, state);
    Rig rig;
    QVERIFY(rig.load());
    rig.window->cmdStartRec_Click();
    tick(rig, ticks);

    QCOMPARE(timeText(rig), label);
    QCOMPARE(rig.window->state(), state);
    QCOMPARE(rig.audio->captureRunning, state == RecorderState::Recording);
    QCOMPARE(rig.window->secondsCounter(), state == RecorderState::Recording ? ticks : 0);
}

void tst_Recorder::transitions_data()
{
    // Steps: s = Start, t = Stop, n = one tick, v = save (named), c = save cancelled.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<RecorderState>("state");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("counter");
    QTest::newRow("stop before the first tick") << "st" << RecorderState::Stopped << "0秒" << 0;
    QTest::newRow("stop after three seconds") << "snnnt" << RecorderState::Stopped << "3秒" << 0;
    QTest::newRow("start again after stop") << "snnts" << RecorderState::Recording << "0秒" << 0;
    QTest::newRow("count restarts after stop") << "snntsn" << RecorderState::Recording << "1秒" << 0 + 1;
    QTest::newRow("saved") << "sntv" << RecorderState::Saved << "1秒" << 0;
    QTest::newRow("start after a save") << "sntvs" << RecorderState::Recording << "0秒" << 0;
    QTest::newRow("cancelled save keeps it") << "sntc" << RecorderState::Stopped << "1秒" << 0;
}

void tst_Recorder::transitions()
{
    QFETCH(QString, steps);
    QFETCH(RecorderState, state);
    QFETCH(QString, label);
    QFETCH(int, counter);
    QTemporaryDir dir;
    Rig rig;
    QVERIFY(rig.load());
    int saves = 0;
    for (QChar step : steps) {
        switch (step.toLatin1()) {
        case 's':
            rig.window->cmdStartRec_Click();
            break;
        case 't':
            rig.audio->captured = 4410;
            rig.window->cmdStopRec_Click();
            break;
        case 'n':
            tick(rig, 1);
            break;
        case 'v':
            rig.dialog->script << dir.filePath(QStringLiteral("take%1").arg(++saves));
            rig.window->cmdSaveToFile_Click();
            break;
        case 'c':
            rig.dialog->script << std::nullopt;
            rig.window->cmdSaveToFile_Click();
            break;
        }
    }
    QCOMPARE(rig.window->state(), state);
    QCOMPARE(timeText(rig), label);
    QCOMPARE(int(rig.window->secondsCounter()), counter);
    QCOMPARE(rig.audio->captureBuffersAlive, 1); // a new Start dropped the old one
    QVERIFY(rig.desktop->unhandled.isEmpty());
}

void tst_Recorder::stopFailingAtTheAutomaticStop()
{
    Rig rig;
    QVERIFY(rig.load());
    rig.window->cmdStartRec_Click();
    rig.audio->failing << QStringLiteral("DirectSoundCaptureBuffer.Stop");
    tick(rig, 19);

    // The tick swallows the failure: still recording, counting on past 19.
    QCOMPARE(rig.window->state(), RecorderState::Recording);
    QCOMPARE(rig.window->secondsCounter(), 19);
    QCOMPARE(timeText(rig), QStringLiteral("18秒"));
    tick(rig, 2);
    QCOMPARE(timeText(rig), QStringLiteral("21秒"));
    QVERIFY(rig.desktop->unhandled.isEmpty());
    QVERIFY(rig.desktop->ended.isEmpty());

    // Once Stop works again, the button ends it as usual.
    rig.audio->failing.clear();
    rig.window->cmdStopRec_Click();
    QCOMPARE(rig.window->state(), RecorderState::Stopped);
}

void tst_Recorder::counterStopsAtItsLimit()
{
    Rig rig;
    QVERIFY(rig.load());
    rig.window->cmdStartRec_Click();
    rig.audio->failing << QStringLiteral("DirectSoundCaptureBuffer.Stop");
    tick(rig, 32767);
    QCOMPARE(timeText(rig), QStringLiteral("32767秒"));
    tick(rig, 3);
    QCOMPARE(rig.window->secondsCounter(), 32767);
    QCOMPARE(timeText(rig), QStringLiteral("32767秒"));
    QVERIFY(rig.desktop->ended.isEmpty());
}

void tst_Recorder::failuresEndTheProgramNamingTheOperation_data()
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

void tst_Recorder::failuresEndTheProgramNamingTheOperation()
{
    QFETCH(QString, operation);
    QFETCH(QString, steps);
    Rig rig;
    QVERIFY(rig.load());
    rig.audio->failing << operation;
    for (QChar step : steps) {
        if (step == QLatin1Char('s')) {
            rig.window->cmdStartRec_Click();
        } else if (step == QLatin1Char('t')) {
            rig.audio->captured = 100;
            rig.window->cmdStopRec_Click();
        } else {
            rig.window->cmdSaveToFile_Click();
        }
    }
    QCOMPARE(rig.desktop->unhandled.size(), 1);
    QVERIFY2(rig.desktop->unhandled.first().contains(operation), qPrintable(rig.desktop->unhandled.first()));
    QCOMPARE(rig.desktop->ended, QList<int>{3});
    QVERIFY(rig.dialog->titles.isEmpty()); // never got as far as asking for a name
}

void tst_Recorder::closing_data()
{
    QTest::addColumn<QString>("steps");
    QTest::newRow("idle") << "";
    QTest::newRow("recording") << "s";
    QTest::newRow("stopped, unsaved") << "st";
}

void tst_Recorder::closing()
{
    QFETCH(QString, steps);
    Rig rig;
    QVERIFY(rig.load());
    rig.window->show();
    if (steps.contains(QLatin1Char('s')))
        rig.window->cmdStartRec_Click();
    if (steps.contains(QLatin1Char('t')))
        rig.window->cmdStopRec_Click();

    QVERIFY(rig.window->close());
    QCOMPARE(rig.desktop->ended, QList<int>{0});
    QVERIFY(rig.desktop->questions.isEmpty());
    QCOMPARE(rig.audio->captureBuffersAlive, 0);
    QVERIFY(!rig.audio->captureRunning);
    QVERIFY(!timer(rig)->isActive());
    QVERIFY(rig.dialog->titles.isEmpty());
}

QTEST_MAIN(tst_Recorder)
#include "tst_recorder.moc"
