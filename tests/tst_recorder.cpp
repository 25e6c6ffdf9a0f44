// The recorder window's states and transitions, failures and closing, driven
// through its buttons and timer with the fake sound system; no real time passes.
#include "support/fake.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstring>

namespace {

// Plays a person's actions, and the sound server's: s = Start, t = Stop after
// 0.2 s of sound, e = Stop with nothing recorded, l = Stop with the last 0.01 s
// still on its way, a = that comes, m = it never comes, i = the server goes
// away after 0.2 s of sound, h = it stops answering before any sound came,
// r = 0.2 s of sound has come, n = one timer tick, v = Save under a new name,
// c = Save but cancel the dialog, w = Save, the window closed while the dialog
// is open, x = close the window, k = the program is killed and started again,
// d = a damaged take is left over. Digits repeat the next step: "18n".
void play(fake::Rig &rig, const QString &steps, const QString &folder)
{
    int saves = 0, repeat = 0;
    for (const QChar c : steps) {
        if (c.isDigit()) {
            repeat = repeat * 10 + c.digitValue();
            continue;
        }
        const char step = c.toLatin1();
        for (int i = 0; i < std::max(repeat, 1); ++i) {
            if (step == 's') {
                rig.find("cmdStartRec")->click();
            } else if (std::strchr("tel", step)) {
                rig.audio->captured = step == 'e' ? 0 : 4410;
                rig.audio->late = step == 'l' ? 220 : 0;
                rig.find("cmdStopRec")->click();
            } else if (std::strchr("amih", step)) {
                if (step == 'a')
                    rig.audio->arrive();
                else
                    rig.audio->endTake(step == 'h' ? 0 : 4410, QStringLiteral("连接中断"));
                QCoreApplication::processEvents();
                // A Save clicked meanwhile goes on by itself.
                QVERIFY(QTest::qWaitFor([&] { return rig.dialog->script.isEmpty(); }, 1000));
            } else if (step == 'r') {
                rig.audio->captured = 4410;
            } else if (step == 'n') {
                rig.tick();
            } else if (step == 'k') {
                rig.audio->capturing = false; // its capture went with it
                rig.start();
                rig.load();
                QCoreApplication::processEvents();
            } else if (step == 'd') {
                QVERIFY(
                    QFile(rig.recovery.filePath(QStringLiteral("take-1-1.wav"))).open(QIODevice::WriteOnly));
            } else if (std::strchr("vcw", step)) {
                rig.dialog->closeOwner = step == 'w';
                rig.dialog->script << (step == 'c'
                                           ? std::nullopt
                                           : std::optional(QDir(folder).filePath(QString::number(++saves))));
                rig.find("cmdSaveToFile")->click();
            } else if (step == 'x') {
                rig.window->close();
            }
        }
        repeat = 0;
    }
}

} // namespace

class tst_Recorder : public QObject
{
    Q_OBJECT

private slots:
    void steps_data();
    void steps();
};

void tst_Recorder::steps_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("failing"); // an operation that fails throughout
    QTest::addColumn<QString>("looks"); // enabled buttons, timer | seconds label
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("files");
    QTest::addColumn<QString>("said"); // in the last message box, if any
    QTest::addColumn<QString>("ended"); // the exit status, once told to end
    QTest::addColumn<int>("kept"); // files in the recovery folder

    const QString none,
        stop = QStringLiteral("cmdStopRec"), save = QStringLiteral("cmdSaveToFile"),
        start = QStringLiteral("cmdStartRec"),
        cut = QStringLiteral("录音被中断：连接中断\n\n已经录下的 0.2 秒声音仍然保留，可以保存到文件。"),
        lost = QStringLiteral("录音被中断：连接中断\n\n没有录下任何声音。"),
        short_ = QStringLiteral("录音没有完整收到：连接中断\n\n已经录下的 0.2 秒声音仍然保留");
    auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
    row("started up") << "" << none << "StartRec | " << start << 0 << none << none << 0;
    row("recording") << "s" << none << "StopRec timer | 0秒" << stop << 0 << none << none << 1;
    row("eighteenth tick") << "s18n" << none << "StopRec timer | 18秒" << stop << 0 << none << none << 1;
    // The 19th stops the recording and leaves the label as it was.
    row("nineteenth tick") << "s19n" << none << "StartRec SaveToFile | 18秒" << save << 0 << none << none
                           << 0;
    row("stop before a tick") << "st" << none << "StartRec SaveToFile | 0秒" << save << 0 << none << none
                              << 1;
    row("start after stop") << "s2nts" << none << "StopRec timer | 0秒" << stop << 0 << none << none << 1;
    row("count restarts") << "s2ntsn" << none << "StopRec timer | 1秒" << stop << 0 << none << none << 1;
    row("saved") << "sntv" << none << "StartRec | 1秒" << start << 1 << none << none << 0;
    row("next recording saved") << "stvstv" << none << "StartRec | 0秒" << start << 2 << none << none << 0;
    row("cancel keeps it") << "stc" << none << "StartRec SaveToFile | 0秒" << start << 0 << none << none << 1;
    row("saved after a cancel") << "stcv" << none << "StartRec | 0秒" << start << 1 << none << none << 0;
    // Nothing recorded: no dialog, Save stays offered.
    row("empty recording") << "sev" << none << "StartRec SaveToFile | 0秒" << save << 0 << none << none << 0;
    // The server going away stops the recording as Stop would, and says so.
    row("interrupted") << "s3ni" << none << "StartRec SaveToFile | 3秒" << save << 0 << cut << none << 1;
    row("interrupted, saved") << "s3niv" << none << "StartRec | 3秒" << start << 1 << cut << none << 0;
    row("after an interruption") << "snisn" << none << "StopRec timer | 1秒" << stop << 0 << cut << none << 1;
    // A server that stops answering before any sound came: nothing to save,
    // and the program goes on.
    row("hung at start") << "snh" << none << "StartRec | 1秒" << start << 0 << lost << none << 0;
    row("after a hang") << "shsn" << none << "StopRec timer | 1秒" << stop << 0 << lost << none << 1;
    // Saving waits, without holding up the window, for the end of the take,
    // and keeps only the sound that came.
    row("saved once the end came") << "slva" << none << "StartRec | 0秒" << start << 1 << none << none << 0;
    row("the end never came") << "slm" << none << "StartRec SaveToFile | 0秒" << save << 0 << short_ << none
                              << 1;
    row("saved without the end") << "slvm" << none << "StartRec | 0秒" << start << 1 << short_ << none << 0;
    // A failing Stop at the 19th tick is swallowed: the count goes on, up to its limit.
    row("stop failing on a tick") << "s19n32748n3n"
                                  << "DirectSoundCaptureBuffer.Stop"
                                  << "StopRec timer | 32767秒" << stop << 0 << none << none << 1;
    // No sound devices end the program at start-up; everything else that fails
    // ends it after a report naming it.
    for (const auto &[steps, operation] : {std::pair{"", "DirectX7.DirectSoundCaptureCreate"},
                                           {"", "DirectX7.DirectSoundCreate"},
                                           {"s", "DirectSoundCapture.GetCaps"},
                                           {"s", "DirectSoundCapture.CreateCaptureBuffer"},
                                           {"s", "DirectSoundCaptureBuffer.Start"},
                                           {"st", "DirectSoundCaptureBuffer.Stop"},
                                           {"stv", "DirectSoundCaptureBuffer.GetCurrentPosition"},
                                           {"stv", "DirectSound.CreateSoundBuffer"},
                                           {"stv", "DirectSoundCaptureBuffer.ReadBuffer"},
                                           {"stv", "DirectSoundBuffer.WriteBuffer"}})
        row(operation) << steps << operation << none << none << 0
                       << (*steps ? QString::fromLatin1(operation)
                                  : QStringLiteral("无法初始化声卡，退出程序"))
                       << (*steps ? "3" : "1") << (strlen(steps) > 1 ? 1 : 0);
    // Closing never asks, writes nothing more and releases everything.
    row("closed idle") << "x" << none << none << none << 0 << none << "0" << 0;
    row("closed recording") << "s3nx" << none << none << none << 0 << none << "0" << 0;
    row("closed unsaved") << "stx" << none << none << none << 0 << none << "0" << 0;
    row("closed saved") << "stvx" << none << none << none << 1 << none << "0" << 0;
    row("closed in the dialog") << "stw" << none << none << none << 0 << none << "0" << 0;
    // A take that was never saved comes back after a crash, the way it was.
    const QString back = QStringLiteral("找到上次运行时没有保存的录音（0.2 秒），现在可以保存到文件。");
    row("killed recording, saved") << "srnkv" << none << "StartRec | 0秒" << start << 1 << back << none << 0;
    row("killed stopped") << "stk" << none << "StartRec SaveToFile | 0秒" << save << 0 << back << none << 1;
    row("killed, recorded over") << "stks" << none << "StopRec timer | 0秒" << stop << 0 << back << none << 1;
    row("killed before any sound") << "snk" << none << "StartRec | " << start << 0 << none << none << 0;
    row("damaged, set aside") << "dk" << none << "StartRec | " << start << 0 << "无法恢复：文件太短" << none
                              << 1;
}

void tst_Recorder::steps()
{
    QFETCH(QString, steps);
    QFETCH(QString, failing);
    QFETCH(QString, looks);
    QFETCH(QString, focus);
    QFETCH(int, files);
    QFETCH(QString, said);
    QFETCH(QString, ended);
    QFETCH(int, kept);
    QTemporaryDir dir;
    fake::Rig rig;
    if (!failing.isEmpty())
        rig.audio->failing << failing;
    if (rig.load() && (steps.contains(QLatin1Char('x')) || steps.contains(QLatin1Char('w'))))
        rig.window->show();
    play(rig, steps, dir.path());

    QStringList endings;
    for (int status : rig.desktop->ended)
        endings << QString::number(status);
    QCOMPARE(endings.join(' '), ended);
    QVERIFY2(said.isEmpty() ? rig.desktop->said.isEmpty() : rig.desktop->said.last().contains(said),
             qPrintable(rig.desktop->said.join(' ')));
    const QFileInfoList saved = QDir(dir.path()).entryInfoList(QDir::Files);
    QCOMPARE(saved.size(), files);
    for (const QFileInfo &file : saved) // the sound that came, and no more
        QCOMPARE(fake::contents(file.filePath()).mid(44), fake::samples(rig.audio->captured));
    // Windows removes a file once its writer has closed it, a moment after,
    // and a listing made while a new take's file gets its name may show
    // neither (Wine): counted once no file is still to be renamed. Waited
    // for without the event loop, which would let the window go on.
    const auto recovering = [&] {
        const QStringList names = QDir(rig.recovery.path()).entryList({QStringLiteral("*.wav")}, QDir::Files);
        return names.filter(QStringLiteral("new-")).isEmpty() ? names.size() : -1;
    };
    for (QDeadlineTimer deadline(5000); recovering() != kept && !deadline.hasExpired();)
        QThread::msleep(10);
    QCOMPARE(recovering(), kept);
    QCOMPARE(rig.dialog->shown.size(), steps.count(QLatin1Char('c')) + steps.count(QLatin1Char('w')) + files);
    for (const QString &shown : rig.dialog->shown)
        QCOMPARE(shown, QStringLiteral("保存音频文件 *.wav"));
    QVERIFY(rig.desktop->questions.isEmpty());
    if (ended == QLatin1String("0"))
        QCOMPARE(rig.audio->captureBuffers + rig.audio->soundBuffers, 0);
    if (!ended.isEmpty())
        return;
    QCOMPARE(rig.looks(), looks);
    QCOMPARE(rig.window->focusWidget()->objectName(), focus);
    QCOMPARE(rig.audio->capturing, looks.contains(QLatin1String("timer")));
    QVERIFY(rig.audio->captureBuffers <= 1); // a new Start dropped the old one
}

QTEST_MAIN(tst_Recorder)
#include "tst_recorder.moc"
