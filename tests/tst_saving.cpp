// Saving a recording: what lands on disk, read back by libsndfile and by
// Python's wave module, and what happens when the disk says no.
#include "support/rig.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

using fake::Rig;

Q_DECLARE_METATYPE(RecorderState)

namespace {

QByteArray expectedSamples(std::uint32_t n)
{
    QByteArray bytes(qsizetype(n), Qt::Uninitialized);
    for (std::uint32_t i = 0; i < n; ++i)
        bytes[i] = char(fake::sampleAt(i));
    return bytes;
}

// Records `bytes` with the fake and presses Save, the dialog answering `name`.
void recordAndSave(Rig &rig, std::uint32_t bytes, const std::optional<QString> &name)
{
    rig.window->cmdStartRec_Click();
    rig.audio->captured = bytes;
    rig.window->cmdStopRec_Click();
    rig.dialog->script << name;
    rig.window->cmdSaveToFile_Click();
}

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class tst_Saving : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void names_data();
    void names();
    void replacing_data();
    void replacing();
    void failures_data();
    void failures();
};

void tst_Saving::roundTrip_data()
{
    QTest::addColumn<std::uint32_t>("bytes");
    QTest::newRow("one sample") << 1u;
    QTest::newRow("odd") << 4411u;
    QTest::newRow("even") << 22050u;
    QTest::newRow("automatic stop") << 418950u;
    QTest::newRow("whole buffer") << 441000u;
}

void tst_Saving::roundTrip()
{
    QFETCH(std::uint32_t, bytes);
    QTemporaryDir dir;
    Rig rig;
    QVERIFY(rig.load());
    recordAndSave(rig, bytes, dir.filePath(QStringLiteral("take")));
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    QVERIFY(rig.desktop->criticals.isEmpty());
    QCOMPARE(rig.window->state(), RecorderState::Saved);
    QCOMPARE(rig.audio->lastSoundDesc.lFlags, 0x82u);
    QCOMPARE(rig.audio->lastSoundDesc.lBufferBytes, bytes);

    // RIFF chunks are padded to even sizes.
    QCOMPARE(QFileInfo(path).size(), qint64(44 + bytes + (bytes & 1)));

    SF_INFO info{};
    SNDFILE *sound = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    QVERIFY2(sound, sf_strerror(nullptr));
    QCOMPARE(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
    QCOMPARE(info.channels, 1);
    QCOMPARE(info.samplerate, 22050);
    QCOMPARE(info.frames, sf_count_t(bytes));
    QByteArray read(qsizetype(bytes), Qt::Uninitialized);
    QCOMPARE(sf_read_raw(sound, read.data(), bytes), sf_count_t(bytes));
    sf_close(sound);
    QVERIFY(read == expectedSamples(bytes));

    // A reader nobody here wrote agrees.
    const char *check = "import sys, wave, hashlib\n"
                        "w = wave.open(sys.argv[1])\n"
                        "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes(),\n"
                        "      hashlib.sha256(w.readframes(w.getnframes())).hexdigest())\n";
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(check), path});
    if (!python.waitForFinished(30000))
        QSKIP("python3 is not available");
    const QString expected =
        QStringLiteral("1 1 22050 %1 %2\n")
            .arg(bytes)
            .arg(QString::fromLatin1(
                QCryptographicHash::hash(expectedSamples(bytes), QCryptographicHash::Sha256).toHex()));
    QCOMPARE(QString::fromUtf8(python.readAllStandardOutput()), expected);
}

void tst_Saving::names_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("written");
    QTest::newRow("plain") << "x"
                           << "x.wav";
    QTest::newRow("already .wav") << "x.wav"
                                  << "x.wav.wav";
    QTest::newRow("chinese and spaces") << "我的 录音 1"
                                        << "我的 录音 1.wav";
#ifndef Q_OS_WIN // Windows keeps double quotes out of names
    QTest::newRow("quotes") << "say \"hi\" 'there'"
                            << "say \"hi\" 'there'.wav";
#endif
    QTest::newRow("leading dash") << "-take"
                                  << "-take.wav";
#ifndef Q_OS_WIN // Windows limits the whole path to 260 characters
    QTest::newRow("longest name") << QString(251, QLatin1Char('n'))
                                  << QString(251, QLatin1Char('n')) + ".wav";
#endif
}

void tst_Saving::names()
{
    QFETCH(QString, typed);
    QFETCH(QString, written);
    QTemporaryDir dir;
    Rig rig;
    QVERIFY(rig.load());
    recordAndSave(rig, 100, dir.filePath(typed));
    QVERIFY2(rig.desktop->criticals.isEmpty(), qPrintable(rig.desktop->criticals.join(' ')));
    QCOMPARE(filesIn(dir.path()), QStringList{written});
    QCOMPARE(rig.dialog->titles, QStringList{QStringLiteral("保存音频文件")});
    QCOMPARE(rig.dialog->filters, QStringList{QStringLiteral("*.wav")});
}

void tst_Saving::replacing_data()
{
    QTest::addColumn<bool>("answer");
    QTest::newRow("declined") << false;
    QTest::newRow("accepted") << true;
}

void tst_Saving::replacing()
{
    QFETCH(bool, answer);
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("old.wav"));
    QFile old(target);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("an older recording");
    old.close();

    Rig rig;
    QVERIFY(rig.load());
    rig.desktop->answer = answer;
    recordAndSave(rig, 64, dir.filePath(QStringLiteral("old")));

    QCOMPARE(rig.desktop->questions.size(), 1);
    QVERIFY(rig.desktop->questions.first().contains(QDir::toNativeSeparators(target)));
    QVERIFY(rig.desktop->criticals.isEmpty());
    QCOMPARE(filesIn(dir.path()), QStringList{"old.wav"});
    if (answer) {
        QCOMPARE(contents(target).mid(44), expectedSamples(64));
        QCOMPARE(rig.window->state(), RecorderState::Saved);
    } else {
        QCOMPARE(contents(target), QByteArray("an older recording"));
        QCOMPARE(rig.window->state(), RecorderState::Stopped);
    }
}

void tst_Saving::failures_data()
{
    QTest::addColumn<QString>("name"); // relative to the folder saved into
    QTest::addColumn<QString>("prepare"); // what is there before
    QTest::newRow("missing folder") << "no/such/folder/x"
                                    << "";
    QTest::newRow("file for a folder") << "plain/x"
                                       << "file:plain";
    QTest::newRow("directory in the way") << "taken"
                                          << "dir:taken.wav";
    QTest::newRow("name too long") << QString(300, QLatin1Char('n')) << "";
    QTest::newRow("read-only folder") << "locked/x"
                                      << "readonly:locked";
    QTest::newRow("device reports failure") << "y"
                                            << "fail";
    // These two need the small file systems that with_small_disks.sh mounts.
    QTest::newRow("read-only file system") << "x"
                                           << "env:MOLAN_READONLY_DIR";
    QTest::newRow("disk full, older file kept") << "older"
                                                << "env:MOLAN_FULL_DIR";
}

void tst_Saving::failures()
{
    QFETCH(QString, name);
    QFETCH(QString, prepare);
    QTemporaryDir scratch;
    QTemporaryDir elsewhere;
    QDir root(scratch.path());
    std::uint32_t bytes = 2000;
    Rig rig;
    QVERIFY(rig.load());
    if (prepare.startsWith(QLatin1String("file:"))) {
        QFile f(root.filePath(prepare.mid(5)));
        QVERIFY(f.open(QIODevice::WriteOnly));
    } else if (prepare.startsWith(QLatin1String("dir:"))) {
        QVERIFY(root.mkdir(prepare.mid(4)));
    } else if (prepare.startsWith(QLatin1String("readonly:"))) {
#ifdef Q_OS_WIN
        QSKIP("a folder's read-only attribute does not keep new files out of it");
#else
        if (::geteuid() == 0)
            QSKIP("permissions do not bind root; the read-only file system case covers it");
#endif
        QVERIFY(root.mkdir(prepare.mid(9)));
        QFile::setPermissions(root.filePath(prepare.mid(9)), QFile::ReadOwner | QFile::ExeOwner);
    } else if (prepare == QLatin1String("fail")) {
        rig.audio->failing << QStringLiteral("DirectSoundBuffer.SaveToFile");
    } else if (prepare.startsWith(QLatin1String("env:"))) {
        const QString place = qEnvironmentVariable(qPrintable(prepare.mid(4)));
        if (place.isEmpty())
            QSKIP("needs a private mount namespace: run through with_small_disks.sh");
        root.setPath(place);
        bytes = 400000; // more than the small disk holds
    }
    const QString older = root.filePath(name + QStringLiteral(".wav"));
    if (root.exists(name + QStringLiteral(".wav")) && QFileInfo(older).isFile())
        QVERIFY(QFile::remove(older));
    if (prepare == QLatin1String("env:MOLAN_FULL_DIR")) {
        QFile f(older);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("an older recording");
    }
    const QStringList before = filesIn(root.path());

    recordAndSave(rig, bytes, root.filePath(name));

    QCOMPARE(rig.desktop->criticals.size(), 1);
    const QString message = rig.desktop->criticals.first();
    QVERIFY2(message.contains(QDir::toNativeSeparators(older)), qPrintable(message));
    QVERIFY(message.contains(QStringLiteral("录音仍然保留")));
    QVERIFY(rig.desktop->unhandled.isEmpty());
    QVERIFY(rig.desktop->ended.isEmpty());
    QCOMPARE(rig.window->state(), RecorderState::Stopped);
    QCOMPARE(filesIn(root.path()), before); // nothing partial left behind
    if (prepare == QLatin1String("env:MOLAN_FULL_DIR")) {
        QCOMPARE(contents(older), QByteArray("an older recording"));
        QVERIFY(QFile::remove(older));
    }

    // The same recording goes through once the target is sane.
    rig.audio->failing.clear();
    rig.dialog->script << QDir(elsewhere.path()).filePath(QStringLiteral("rescued"));
    rig.window->cmdSaveToFile_Click();
    QCOMPARE(contents(QDir(elsewhere.path()).filePath(QStringLiteral("rescued.wav"))).mid(44),
             expectedSamples(bytes));
}

QTEST_MAIN(tst_Saving)
#include "tst_saving.moc"
