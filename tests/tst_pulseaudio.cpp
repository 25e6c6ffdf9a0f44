// The real sound backend against a private sound server (PulseAudio or
// PipeWire) that plays a 440 Hz tone into its default source, with a silent
// decoy source listed first.
#include "sound/systemaudio.h"
#include "support/fake.h"
#include "support/tone.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

#include <time.h>

namespace {

bool setDefaultSource(const char *source)
{
    return QProcess::execute(QStringLiteral("pactl"),
                             {QStringLiteral("set-default-source"), QString::fromLatin1(source)})
        == 0;
}

// Hangs (STOP) or frees (CONT) this session's sound server, as a stuck
// machine or a debugger would.
void signalServer(const char *signal)
{
    QProcess::execute(
        QStringLiteral("sh"),
        {QStringLiteral("-c"),
         QStringLiteral("for p in $(pgrep -x 'pulseaudio|pipewire|pipewire-pulse|wireplumber'); do "
                        "grep -qzx \"SESSION_DIR=$SESSION_DIR\" /proc/$p/environ && kill -%1 $p; done")
             .arg(QLatin1String(signal))});
}

} // namespace

class tst_PulseAudio : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recordsTheDefaultSourceExactly_data();
    void recordsTheDefaultSourceExactly();
    void alignsWithTheClicks_data();
    void alignsWithTheClicks();
    void aFullBufferStopsFilling();
    void clientFaultsAreTold_data();
    void clientFaultsAreTold();
    void neverHoldsTheEventLoop_data();
    void neverHoldsTheEventLoop();
    void manyTakesCostNothing();

private:
    std::shared_ptr<audio::DirectX7> m_dx;
    std::shared_ptr<audio::DirectSoundCapture> m_capture;
    std::shared_ptr<audio::DirectSound> m_sound;
    std::shared_ptr<audio::DirectSoundCaptureBuffer> m_buffer;
};

void tst_PulseAudio::initTestCase()
{
    m_dx = audio::createSystemAudio();
    QVERIFY(m_dx->DirectSoundCaptureCreate(QString(), m_capture).ok);
    QVERIFY(m_dx->DirectSoundCreate(QString(), m_sound).ok);
}

// Each Start records from the default source of that moment, which the
// person may change while the program runs, monitors of what the computer
// plays included: exactly as long as asked, and the sound itself up to the
// very end, never made-up silence.
void tst_PulseAudio::recordsTheDefaultSourceExactly_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<int>("ms");
    QTest::newRow("the silent decoy") << QByteArray("aaa_decoy") << 1000;
    QTest::newRow("a monitor") << QByteArray("rec_sink.monitor") << 1000;
    QTest::newRow("a moment") << QByteArray("rec_mic") << 300;
    QTest::newRow("three seconds") << QByteArray("rec_mic") << 3000;
}

void tst_PulseAudio::recordsTheDefaultSourceExactly()
{
    QFETCH(QByteArray, source);
    QFETCH(int, ms);
    QVERIFY(setDefaultSource(source.constData()));
    const tone::Take take = tone::record(*m_capture, m_buffer, ms);
    qInfo("recorded %lld bytes over %.1f ms: %+.2f ms", qlonglong(take.samples.size()), take.elapsedMs,
          take.errorMs());
    QVERIFY2(std::abs(take.errorMs()) <= 5, qPrintable(QString::number(take.errorMs())));
    // The silent decoy records silence; the others, the tone to the very end.
    // A monitor linked afresh begins with the server's own silence (PipeWire
    // 1.4 sends a quantum of it), which is sound as the server has it.
    if (source == "aaa_decoy")
        QCOMPARE(take.samples.count('\x80'), take.samples.size());
    else
        QCOMPARE(tone::fault(take.samples.sliced(source.endsWith(".monitor") ? 2205 : 0)), QString());
}

// A microphone fed by a writer at a device's pace, with a click 0.6 s before
// the Stop: the take ends with the sound of the Stop's moment, also when the
// device wakes late, and the beginning it missed is told.
void tst_PulseAudio::alignsWithTheClicks_data()
{
    QTest::addColumn<double>("late"); // seconds from Start to the device's first sound
    QTest::addColumn<QString>("told");
    QTest::newRow("an ordinary device") << 0.0 << QString();
    QTest::newRow("a device slow to start") << 1.2 << QStringLiteral("秒后才送来声音");
}

void tst_PulseAudio::alignsWithTheClicks()
{
    QFETCH(double, late);
    QFETCH(QString, told);
    if (qEnvironmentVariable("MOLAN_SOUND_SERVER") == QLatin1String("pipewire"))
        QSKIP("PipeWire's pipe source plays silence of its own until the writer starts, and holds 20-30 ms "
              "of its own; no device does either");
    const auto monotonic = [] {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now); // the writer's clock
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    };
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("mic"));
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"),
                {QStringLiteral("load-module"), QStringLiteral("module-pipe-source"),
                 QStringLiteral("source_name=paced_mic"), QStringLiteral("file=") + fifo,
                 QStringLiteral("format=u8"), QStringLiteral("rate=22050"), QStringLiteral("channels=1")});
    QVERIFY(pactl.waitForFinished() && pactl.exitCode() == 0);
    const QString module = QString::fromLatin1(pactl.readAll().trimmed());
    const auto unplugged = qScopeGuard([&] {
        QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("unload-module"), module});
        setDefaultSource("rec_mic");
    });
    QVERIFY(setDefaultSource("paced_mic"));
    QProcess writer;
    writer.start(QStringLiteral("python3"),
                 {QStringLiteral(MOLAN_PACED_TONE), fifo, QString::number(late), QStringLiteral("4"),
                  QStringLiteral("2.4")});
    QVERIFY(writer.waitForStarted());
    QTest::qWait(300); // the writer ready, at the FIFO
    QString said;
    const double started = monotonic();
    writer.write("\n");
    writer.waitForBytesWritten();
    const tone::Take take = tone::record(*m_capture, m_buffer, 3000, &said);
    const double stopped = started + take.elapsedMs / 1e3;
    QVERIFY(writer.canReadLine() || writer.waitForReadyRead(3000));
    const double clicked = writer.readLine().trimmed().toDouble();
    const qsizetype click = take.samples.indexOf('\xff');
    QVERIFY2(click > 0, "no click in the take");
    const double errorMs = (double(take.samples.size() - click) / 22.05) - (stopped - clicked) * 1e3;
    qInfo("%lld bytes, the click %.1f ms before the end, %+.2f ms off; told: %s",
          qlonglong(take.samples.size()), double(take.samples.size() - click) / 22.05, errorMs,
          qPrintable(said));
    QVERIFY2(std::abs(errorMs) <= 5, qPrintable(QString::number(errorMs)));
    QCOMPARE(tone::fault(take.samples.first(click)), QString());
    if (told.isEmpty())
        QCOMPARE(said, QString());
    else
        QVERIFY2(said.contains(told) && !said.contains(QStringLiteral("没有从声音服务器送到")),
                 qPrintable(said));
    writer.kill();
    writer.waitForFinished();
}

void tst_PulseAudio::aFullBufferStopsFilling()
{
    std::shared_ptr<audio::DirectSoundCaptureBuffer> buffer;
    QVERIFY(m_capture->CreateCaptureBuffer(tone::recorderDesc(2205), buffer).ok);
    QVERIFY(buffer->Start(0).ok);
    audio::DSCURSORS cursors;
    QVERIFY(QTest::qWaitFor([&] { return buffer->GetCurrentPosition(cursors).ok && cursors.lWrite == 2205u; },
                            3000));
    QVERIFY(buffer->Stop().ok);
    QVERIFY(buffer->GetCurrentPosition(cursors).ok);
    QCOMPARE(cursors.lWrite, 2205u);
}

// A client library that cannot work is reported with its reason, and start-up
// ends with the program's message rather than an abort.
void tst_PulseAudio::clientFaultsAreTold_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no loop thread") << QByteArray("loop-thread")
                                    << QStringLiteral("无法启动声音服务的客户端线程");
    QTest::newRow("device list refused")
        << QByteArray("device-list") << QStringLiteral("声音服务器无法列出设备");
}

void tst_PulseAudio::clientFaultsAreTold()
{
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QLatin1String("failing_pulse")))
        QSKIP("needs the failing client library preloaded");
    QFETCH(QByteArray, fault);
    QFETCH(QString, reason);
    qputenv("MOLAN_PULSE_FAULT", fault);
    const auto restored = qScopeGuard([] { qunsetenv("MOLAN_PULSE_FAULT"); });
    std::shared_ptr<audio::DirectSoundCapture> capture;
    const audio::Status opened = audio::createSystemAudio()->DirectSoundCaptureCreate({}, capture);
    QVERIFY(!opened);
    QVERIFY2(opened.reason.contains(reason), qPrintable(opened.reason));
    fake::Rig rig(audio::createSystemAudio);
    QVERIFY(!rig.load());
    QCOMPARE(rig.desktop->said, QStringList{QStringLiteral("无法初始化声卡，退出程序")});
    QCOMPARE(rig.desktop->ended, QList<int>{1});
}

// Start-up, Start, then Stop with Save right after it, of the real window,
// each run from the event loop, while a 5 ms timer measures how long the loop
// is kept from running; also with the server hung from start-up or from
// Start on. A step that blocks does so every time; a busy machine only now
// and then, so the best of three rounds counts.
void tst_PulseAudio::neverHoldsTheEventLoop_data()
{
    QTest::addColumn<int>("hungFrom"); // the step from which the server is hung
    QTest::addColumn<QString>("told");
    QTest::newRow("server answering") << 3 << QString();
    QTest::newRow("server hung at start-up") << 0 << QStringLiteral("无法初始化声卡，退出程序");
    QTest::newRow("server hung from Start") << 1 << QStringLiteral("没有录下任何声音");
}

void tst_PulseAudio::neverHoldsTheEventLoop()
{
    QFETCH(int, hungFrom);
    QFETCH(QString, told);
    qint64 best = std::numeric_limits<qint64>::max();
    for (int round = 0; round < 3 && best > 50'000'000; ++round) {
        QTemporaryDir dir;
        fake::Rig rig(audio::createSystemAudio);
        rig.dialog->script << dir.filePath(QStringLiteral("take"));
        const auto freed = qScopeGuard([] { signalServer("CONT"); });
        fake::LoopGaps gaps;
        const std::function<void()> steps[] = {[&] { rig.load(); }, [&] { rig.find("cmdStartRec")->click(); },
                                               [&] {
                                                   rig.find("cmdStopRec")->click();
                                                   rig.find("cmdSaveToFile")->click();
                                               }};
        // After a failed start-up there is no window to go on with.
        for (int step = 0; step < (hungFrom == 0 ? 1 : 3); ++step) {
            if (step == hungFrom)
                signalServer("STOP");
            QTimer::singleShot(0, steps[step]);
            gaps.start();
            QTest::qWait(step < hungFrom ? 400 : 2500);
            gaps.stop();
        }
        signalServer("CONT");
        const qint64 longest = gaps.longestNs();
        qInfo("longest gap %.1f ms", double(longest) / 1e6);
        best = std::min(best, longest);
        if (!told.isEmpty()) { // told, within the time a person would wait, and nothing saved
            QVERIFY2(rig.desktop->said.join(' ').contains(told), qPrintable(rig.desktop->said.join(' ')));
        } else {
            QVERIFY2(rig.desktop->said.isEmpty(), qPrintable(rig.desktop->said.join(' ')));
            QVERIFY(
                QTest::qWaitFor([&] { return QFileInfo::exists(dir.filePath(QStringLiteral("take.wav"))); }));
            QVERIFY(QFileInfo(dir.filePath(QStringLiteral("take.wav"))).size() > 44 + 8000);
        }
    }
    QVERIFY2(best <= 50'000'000, qPrintable(QString::number(double(best) / 1e6)));
}

// Start, Stop and Save many times over: memory and file descriptors stay flat.
void tst_PulseAudio::manyTakesCostNothing()
{
    auto resident = [] {
        QFile statm(QStringLiteral("/proc/self/statm"));
        return statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ').value(1).toLongLong() * 4096 : -1;
    };
    auto descriptors = [] {
        return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size();
    };
    QTemporaryDir dir;
    fake::Rig rig(audio::createSystemAudio);
    QVERIFY(rig.load());
    qint64 memoryBefore = 0;
    qsizetype descriptorsBefore = 0;
    for (int n = 0; n < 35; ++n) {
        if (n == 5) { // the first takes fill caches and pools that are meant to stay
            memoryBefore = resident();
            descriptorsBefore = descriptors();
        }
        rig.find("cmdStartRec")->click();
        QTest::qWait(100);
        rig.find("cmdStopRec")->click();
        rig.dialog->script << dir.filePath(QStringLiteral("take"));
        rig.find("cmdSaveToFile")->click();
        QVERIFY(QTest::qWaitFor([&] { return QFile::remove(dir.filePath(QStringLiteral("take.wav"))); }));
        QVERIFY2(rig.desktop->said.isEmpty(), qPrintable(rig.desktop->said.join(' ')));
    }
    qInfo("30 takes: resident memory %+lld KiB, descriptors %lld -> %lld", (resident() - memoryBefore) / 1024,
          qlonglong(descriptorsBefore), qlonglong(descriptors()));
#if !defined(__SANITIZE_ADDRESS__) // freed memory sits in quarantine there
    QVERIFY(resident() - memoryBefore < 1024 * 1024);
#endif
    QCOMPARE(descriptors(), descriptorsBefore);
}

QTEST_MAIN(tst_PulseAudio)
#include "tst_pulseaudio.moc"
