// Saving a recording: what lands on disk, read back by libsndfile (the
// end-to-end tests read it with Python's wave module too), replacing a file,
// and what happens when the disk says no.
#include "sound/recovery.h"
#include "support/fake.h"

#include <QDir>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <thread>

#ifndef Q_OS_WIN
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN // for file names beyond the ANSI code page
#include <windows.h>
#define ENABLE_SNDFILE_WINDOWS_PROTOTYPES 1
#endif
#include <sndfile.h>

namespace {

// The format and samples as libsndfile reads them, or why it cannot.
QString readBack(const QString &path, QByteArray &samples)
{
    SF_INFO info{};
#ifdef Q_OS_WIN
    SNDFILE *sound = sf_wchar_open(reinterpret_cast<LPCWSTR>(path.utf16()), SFM_READ, &info);
#else
    SNDFILE *sound = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
#endif
    if (!sound)
        return QString::fromLocal8Bit(sf_strerror(nullptr));
    samples.resize(qsizetype(info.frames));
    sf_read_raw(sound, samples.data(), info.frames);
    sf_close(sound);
    return QStringLiteral("%1 %2 %3").arg(info.format, 0, 16).arg(info.channels).arg(info.samplerate);
}

} // namespace

class tst_Saving : public QObject
{
    Q_OBJECT

private slots:
    void saving_data();
    void saving();
    void recoveryFile_data();
    void recoveryFile();
};

void tst_Saving::saving_data()
{
    QTest::addColumn<QString>("typed"); // in the dialog, within the folder saved into
    QTest::addColumn<QString>("before"); // what is in the folder
    QTest::addColumn<uint>("bytes");
    QTest::addColumn<bool>("replace"); // the answer when asked
    QTest::addColumn<QString>("written"); // the file that holds the recording, if any

    const QString nothing, older = QStringLiteral("older:"), longest(251, QLatin1Char('n'));
    QTest::newRow("odd length, padded") << "x" << nothing << 4411u << true << "x.wav";
    QTest::newRow(".wav added again") << "x.wav" << nothing << 22050u << true << "x.wav.wav";
    QTest::newRow("chinese and spaces") << "我的 录音 1" << nothing << 1u << true << "我的 录音 1.wav";
    QTest::newRow("the whole buffer") << "full" << nothing << 441000u << true << "full.wav";
#ifndef Q_OS_WIN // Windows limits the whole path to 260 characters
    QTest::newRow("longest name") << longest << nothing << 418950u << true << longest + ".wav";
#endif
    QTest::newRow("replaced") << "old" << older + "old.wav" << 64u << true << "old.wav";
    QTest::newRow("not replaced") << "old" << older + "old.wav" << 64u << false << nothing;
#ifndef Q_OS_WIN
    // No room beside it for a temporary name made from this one.
    QTest::newRow("replaced, longest name")
        << longest << older + longest + ".wav" << 64u << true << longest + ".wav";
#endif
    // Each way a save fails: the file cannot be made, the backend fails, the disk fills.
    QTest::newRow("missing folder") << "no/such/x" << nothing << 2000u << true << nothing;
    QTest::newRow("backend fails") << "x"
                                   << "fail" << 2000u << true << nothing;
    // Needs the small file system that with_small_disks.sh mounts.
    QTest::newRow("disk full") << "x" << older + "x.wav" << 400000u << true << nothing;
    // Nowhere to keep a take against a crash: it is saved all the same.
    QTest::newRow("recovery on a read-only disk") << "x" << nothing << 2000u << true << "x.wav";
    QTest::newRow("recovery on a full disk") << "x" << nothing << 400000u << true << "x.wav";
}

void tst_Saving::saving()
{
    QFETCH(QString, typed);
    QFETCH(QString, before);
    QFETCH(uint, bytes);
    QFETCH(bool, replace);
    QFETCH(QString, written);
    QTemporaryDir scratch, elsewhere;
    QDir folder(scratch.path());
    const QLatin1String tag(QTest::currentDataTag());
    const char *small = tag.endsWith(QLatin1String("read-only disk"))                   ? "MOLAN_READONLY_DIR"
        : tag.endsWith(QLatin1String("full disk")) || tag == QLatin1String("disk full") ? "MOLAN_FULL_DIR"
                                                                                        : nullptr;
    if (small && !qEnvironmentVariableIsSet(small))
        QSKIP("needs a small file system: run through with_small_disks.sh");
    fake::Rig rig;
    if (tag.startsWith(QLatin1String("recovery"))) {
        rig.recoveryFolder = qEnvironmentVariable(small);
        rig.start();
    } else if (small) {
        folder.setPath(qEnvironmentVariable(small));
    }
    QVERIFY(rig.load());
    rig.desktop->answer = replace;
    if (before == QLatin1String("fail"))
        rig.audio->failing << QStringLiteral("DirectSoundBuffer.SaveToFile");
    const QString old = folder.filePath(before.mid(6));
    if (before.startsWith(QLatin1String("older:"))) {
        QFile f(old);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("an older recording");
    }
    const QStringList there = folder.entryList(QDir::Files | QDir::Hidden);

    rig.find("cmdStartRec")->click();
    rig.audio->captured = bytes;
    rig.find("cmdStopRec")->click();
    rig.dialog->script << folder.filePath(typed);
    rig.find("cmdSaveToFile")->click();

    const QString target = folder.filePath(typed + QStringLiteral(".wav"));
    QCOMPARE(rig.desktop->questions.size(),
             before.startsWith(QLatin1String("older:")) && target == old ? 1 : 0);
    if (!written.isEmpty()) {
        QVERIFY2(rig.desktop->said.isEmpty(), qPrintable(rig.desktop->said.join(' ')));
        QCOMPARE(rig.looks(), QStringLiteral("StartRec | 0秒"));
        QCOMPARE(folder.entryList(QDir::Files | QDir::Hidden).size(),
                 there.size() + !there.contains(written));
        // RIFF chunks are padded to even sizes.
        QCOMPARE(QFileInfo(folder.filePath(written)).size(), qint64(44 + bytes + (bytes & 1)));
        QByteArray samples;
        QCOMPARE(readBack(folder.filePath(written), samples), QStringLiteral("10005 1 22050"));
        QVERIFY(samples == fake::samples(bytes));
        return;
    }
    // Not saved: Save is offered again, nothing partial is left, an older file is untouched.
    QCOMPARE(rig.looks(), QStringLiteral("StartRec SaveToFile | 0秒"));
    QCOMPARE(folder.entryList(QDir::Files | QDir::Hidden), there);
    if (before.startsWith(QLatin1String("older:")))
        QCOMPARE(fake::contents(old), QByteArray("an older recording"));
    QCOMPARE(rig.desktop->said.size(), replace ? 1 : 0);
    if (replace) {
        QVERIFY2(rig.desktop->said.first().contains(QDir::toNativeSeparators(target))
                     && rig.desktop->said.first().contains(QStringLiteral("录音仍然保留")),
                 qPrintable(rig.desktop->said.first()));
        // The same recording goes through once the target is sane.
        rig.audio->failing.clear();
        rig.dialog->script << QDir(elsewhere.path()).filePath(QStringLiteral("rescued"));
        rig.find("cmdSaveToFile")->click();
        QCOMPARE(fake::contents(QDir(elsewhere.path()).filePath(QStringLiteral("rescued.wav"))).mid(44),
                 fake::samples(bytes));
    }
    if (folder.path() != scratch.path())
        QFile::remove(old);
}

// A take's recovery file as the next run finds it, after its writer, in a
// process of its own, was killed while it wrote or once it had written (its
// lock left behind), or exited with the take kept or removed; or the file
// cut short or damaged since. Reading never deletes it, and a file that a
// running program holds is never taken.
void tst_Saving::recoveryFile_data()
{
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<QByteArray>("left"); // bytes put over the written file, or null to keep it
    QTest::addColumn<int>("samples"); // -1: as many as the file holds past the header
    QTest::addColumn<QString>("why");
    const QByteArray behind =
        QByteArray("RIFF\x28\0\0\0WAVEfmt \x10\0\0\0\1\0\1\0\x22\x56\0\0\x22\x56\0\0\1\0\x08\0"
                   "data\4\0\0\0",
                   44);
    const QByteArray kept;
    QTest::newRow("killed while writing") << QByteArray("kill") << kept << -1 << QString();
    QTest::newRow("killed, its lock left") << QByteArray("kill idle") << kept << 3000 << QString();
    QTest::newRow("exited") << QByteArray("exit") << kept << 3000 << QString();
    QTest::newRow("exited, removed") << QByteArray("exit removed") << kept << 0 << QString();
    QTest::newRow("header behind the sound")
        << QByteArray("exit") << behind + fake::samples(1000) << 1000 << QString();
    QTest::newRow("empty") << QByteArray("exit") << QByteArray("") << 0 << QStringLiteral("文件太短");
    QTest::newRow("cut in the header")
        << QByteArray("exit") << behind.first(20) << 0 << QStringLiteral("文件太短");
    QTest::newRow("not a recording") << QByteArray("exit") << QByteArray(100, 'x') << 0
                                     << QStringLiteral("文件已损坏");
    QTest::newRow("unknown format") << QByteArray("exit") << QByteArray(behind).replace(20, 1, "\x03") << 0
                                    << QStringLiteral("不支持的音频格式");
}

void tst_Saving::recoveryFile()
{
    QFETCH(QByteArray, ending);
    QFETCH(QByteArray, left);
    QFETCH(int, samples);
    QFETCH(QString, why);
    QTemporaryDir dir;
    audio::WAVEFORMATEX format{audio::FormatPcm, 1, 22050, 22050, 1, 8};
    const bool streaming = ending == "kill";
    const qint64 killAt = 44 + (streaming ? QRandomGenerator::global()->bounded(20000, 80000) : 3000);
    // A recorder's take, 1000 bytes a millisecond while it streams.
    const auto take = [&] {
        QString failure;
        auto file = audio::RecoveryFile::create(dir.path(), format, failure);
        for (std::uint32_t at = 0; file && at < (streaming ? 10'000'000u : 3000u); at += 1000) {
            file->append(fake::samples(1000, at));
            if (streaming)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (ending == "exit removed")
            file->remove();
        return file;
    };
#ifdef Q_OS_WIN
    if (!ending.startsWith("exit"))
        QSKIP("a writer killed in a process of its own needs fork()");
    take().reset();
#else
    const pid_t writer = fork();
    if (writer == 0) {
        auto file = take();
        if (ending.startsWith("exit")) {
            file.reset();
            std::exit(0); // the way a program ends, its last writes and all
        }
        std::this_thread::sleep_for(std::chrono::seconds(30)); // until killed
        _exit(1);
    }
    const auto taken = qScopeGuard([&] { kill(writer, SIGKILL), waitpid(writer, nullptr, 0); });
    if (ending.startsWith("kill")) {
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QFileInfoList files = QDir(dir.path()).entryInfoList({QStringLiteral("take-*.wav")});
                return !files.isEmpty() && files.first().size() >= killAt;
            },
            10000));
        QVERIFY(!audio::RecoveryFile::leftOver(dir.path())); // held by its program
        kill(writer, SIGKILL);
    }
    QCOMPARE(waitpid(writer, nullptr, 0), writer);
#endif
    const qsizetype remaining = ending == "exit removed" ? 0
        : ending.startsWith("kill")                      ? 2
                                                         : 1; // a lock left too
    // A writer of this process renames its file, and lets go of it, a moment after.
    QStringList files;
    (void)QTest::qWaitFor([&] {
        files = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        return files.size() == remaining
            && (remaining != 1 || files.first().startsWith(QLatin1String("take-")));
    });
    QCOMPARE(files.size(), remaining);
    if (files.isEmpty())
        return;
    const QString path = dir.filePath(files.filter(QStringLiteral(".wav")).first());
    if (samples < 0) // what was written when it was killed, at least what had been seen
        QVERIFY((samples = int(QFileInfo(path).size() - 44)) >= killAt - 44);
#ifndef Q_OS_WIN
    QCOMPARE(QFileInfo(path).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
#endif
    QByteArray read;
    if (ending == "exit" && left.isNull()) { // a reader that knows nothing of recovery accepts it
        QCOMPARE(readBack(path, read), QStringLiteral("10005 1 22050"));
        QCOMPARE(read, fake::samples(3000));
    } else if (!left.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(left) == left.size());
    }
    auto found = audio::RecoveryFile::leftOver(dir.path());
    QVERIFY(found);
    QString said;
    QCOMPARE(found->read(format, read, said), why.isEmpty());
    QCOMPARE(said, why);
    if (why.isEmpty())
        QCOMPARE(read, fake::samples(samples));
    QVERIFY(QFileInfo::exists(path));
    // Nowhere to write: the take goes on without one, and says why.
    QString failure;
    QVERIFY(!audio::RecoveryFile::create(path + QStringLiteral("/below"), format, failure));
    QVERIFY(!failure.isEmpty());
}

QTEST_MAIN(tst_Saving)
#include "tst_saving.moc"
