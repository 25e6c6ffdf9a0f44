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
#include <QtEndian>

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
// process of its own, was killed once it had written (its lock left behind),
// or exited with the take kept or removed; or copied at any moment while it is
// written, within a header's rewriting too, as a crash or a power cut leaves
// it. Each reads back as the sound appended, all of it but the last second at
// most, whatever length the header says, or tells why not once damaged.
// Reading never deletes it, and a file that a running program holds is never
// taken.
void tst_Saving::recoveryFile_data()
{
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<int>("channels"); // of 8-bit sound, or 16-bit for two
    QTest::addColumn<int>("chunk"); // bytes an append, whole blocks or not
    QTest::newRow("killed, its lock left") << QByteArray("kill") << 1 << 1000;
    QTest::newRow("exited") << QByteArray("exit") << 1 << 1000;
    QTest::newRow("exited, removed") << QByteArray("exit removed") << 1 << 1000;
    QTest::newRow("copied while written, 8-bit mono") << QByteArray("copied") << 1 << 110;
    QTest::newRow("copied while written, 16-bit stereo") << QByteArray("copied") << 2 << 441;
}

void tst_Saving::recoveryFile()
{
    QFETCH(QByteArray, ending);
    QFETCH(int, channels);
    QFETCH(int, chunk);
    const auto align = quint16(channels * channels), bits = quint16(8 * channels);
    const qsizetype rate = 22050 * align; // bytes a second
    audio::WAVEFORMATEX format{audio::FormatPcm, quint16(channels), 22050, quint32(rate), align, bits};
    const QByteArray sound = fake::samples(quint32(ending == "copied" ? rate * 3 / 2 : 3000));
    QTemporaryDir dir, copies;
    QString why;
    std::vector<std::pair<QByteArray, qsizetype>> taken; // and how much had been appended
    // A recorder's take, appended as it comes.
    const auto take = [&] {
        auto file = audio::RecoveryFile::create(dir.path(), format, why);
        const auto started = std::chrono::steady_clock::now();
        for (qsizetype at = 0, next; file && at < sound.size(); at = next) {
            next = std::min<qsizetype>(at + chunk, sound.size());
            file->append(sound.sliced(at, next - at));
            // At any moment of the writer's work on it, or after.
            std::this_thread::sleep_for(std::chrono::microseconds(QRandomGenerator::global()->bounded(2000)));
            if (ending == "copied")
                taken.emplace_back(fake::contents(file->path()), next);
            std::this_thread::sleep_until(started + std::chrono::microseconds(next * 1'000'000 / rate));
        }
        if (ending == "exit removed" || ending == "copied")
            file->remove();
        return file;
    };
    if (ending == "copied")
        take();
    for (std::size_t i = 0; i < taken.size(); ++i) {
        auto &[bytes, appended] = taken[i];
        if (bytes.isEmpty() && appended < rate)
            continue; // not under its name yet, for a second at most
        QVERIFY(bytes.size() >= 44);
        // The header as copied, as the append before wrote it (within its
        // rewriting), past the sound; or the file damaged since.
        const QString damaged[] = {
            {}, {}, {}, QStringLiteral("文件已损坏"), QStringLiteral("不支持的音频格式")};
        if (i % 5 == 1 || i % 5 == 2)
            qToLittleEndian(quint32(i % 5 == 1 ? bytes.size() - 44 - chunk : -64), bytes.data() + 40);
        else if (i % 5)
            bytes[i % 5 == 3 ? 8 : 20] = 3; // no longer WAVE, or a format never recorded
        QFile left(copies.filePath(QStringLiteral("take-1-1.wav")));
        QVERIFY(left.open(QIODevice::WriteOnly) && left.write(bytes) == bytes.size() && left.flush());
        audio::WAVEFORMATEX read;
        QByteArray samples;
        QString said;
        const auto found = audio::RecoveryFile::leftOver(copies.path());
        QCOMPARE(found && found->read(read, samples, said) ? QString() : said, damaged[i % 5]);
        QVERIFY(QFile::exists(left.fileName()));
        if (!said.isEmpty())
            continue;
        QCOMPARE(std::memcmp(&read, &format, sizeof format), 0);
        QCOMPARE(samples, sound.first((bytes.size() - 44) / align * align));
        QVERIFY(samples.size() <= appended && samples.size() + rate >= appended);
    }
    if (ending == "copied")
        return;
#ifdef Q_OS_WIN
    if (!ending.startsWith("exit"))
        QSKIP("a writer killed in a process of its own needs fork()");
    take().reset();
#else
    const pid_t writer = fork();
    if (writer == 0) {
        auto file = take();
        if (ending.startsWith("exit"))
            file.reset(), std::exit(0); // the way a program ends, its last writes and all
        std::this_thread::sleep_for(std::chrono::seconds(30)); // until killed
        _exit(1);
    }
    const auto killed = qScopeGuard([&] { kill(writer, SIGKILL), waitpid(writer, nullptr, 0); });
    if (ending == "kill") {
        QVERIFY(QTest::qWaitFor(
            [&] {
                return QDir(dir.path()).entryInfoList({QStringLiteral("take-*.wav")}).value(0).size() >= 3044;
            },
            10000));
        QVERIFY(!audio::RecoveryFile::leftOver(dir.path())); // held by its program
        kill(writer, SIGKILL);
    }
    QCOMPARE(waitpid(writer, nullptr, 0), writer);
#endif
    const qsizetype remaining = ending == "exit removed" ? 0 : ending == "kill" ? 2 : 1; // a lock left too
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
#ifndef Q_OS_WIN
    QCOMPARE(QFileInfo(path).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
#endif
    QByteArray read;
    if (ending == "exit") { // a reader that knows nothing of recovery accepts it
        QCOMPARE(readBack(path, read), QStringLiteral("10005 1 22050"));
        QCOMPARE(read, sound);
    }
    auto found = audio::RecoveryFile::leftOver(dir.path());
    QVERIFY2(found && found->read(format, read, why), qPrintable(why));
    QCOMPARE(read, sound);
    QVERIFY(QFileInfo::exists(path));
    // Nowhere to write: the take goes on without one, and says why.
    QVERIFY(!audio::RecoveryFile::create(path + QStringLiteral("/below"), format, why) && !why.isEmpty());
}

QTEST_MAIN(tst_Saving)
#include "tst_saving.moc"
