// Many Start, Stop and Save cycles in one run must not cost memory or file
// descriptors. With MOLAN_REAL_AUDIO set, the cycles go through the real
// sound server too.
#include "platform/systemaudio.h"
#include "support/rig.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using fake::Rig;

namespace {

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

qsizetype openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

} // namespace

class tst_Soak : public QObject
{
    Q_OBJECT

private slots:
    void cycles();

private:
    void cycle(Rig &rig, const QString &dir, int n, bool real);
};

void tst_Soak::cycle(Rig &rig, const QString &dir, int n, bool real)
{
    rig.window->cmdStartRec_Click();
    if (real)
        QTest::qWait(100);
    else
        rig.audio->captured = 22050 + std::uint32_t(n % 7);
    for (int i = 0; i < n % 3; ++i)
        rig.window->tmrCount_Timer();
    rig.window->cmdStopRec_Click();
    const QString name = QDir(dir).filePath(QStringLiteral("take"));
    rig.dialog->script << name;
    rig.window->cmdSaveToFile_Click();
    QVERIFY2(rig.desktop->criticals.isEmpty() && rig.desktop->unhandled.isEmpty(),
             qPrintable(rig.desktop->criticals.join(' ') + rig.desktop->unhandled.join(' ')));
    QCOMPARE(rig.window->state(), RecorderState::Saved);
    QVERIFY(QFileInfo(name + QStringLiteral(".wav")).size() > 44);
    QVERIFY(QFile::remove(name + QStringLiteral(".wav")));
}

void tst_Soak::cycles()
{
    const bool real = qEnvironmentVariableIsSet("MOLAN_REAL_AUDIO");
    const int count = real ? 30 : 300;
    QTemporaryDir dir;
    Rig rig;
    if (real)
        rig.useRealAudio(audio::createSystemAudio);
    QVERIFY(rig.load());

    // The first cycles fill caches and pools that are meant to stay.
    for (int n = 0; n < 5; ++n)
        cycle(rig, dir.path(), n, real);
    const qint64 memoryBefore = residentBytes();
    const qsizetype descriptorsBefore = openDescriptors();
    for (int n = 0; n < count; ++n) {
        cycle(rig, dir.path(), n, real);
        if (QTest::currentTestFailed())
            return;
    }
    const qint64 growth = residentBytes() - memoryBefore;
    qInfo("%d cycles: resident memory %+lld KiB, descriptors %lld -> %lld", count, growth / 1024,
          qlonglong(descriptorsBefore), qlonglong(openDescriptors()));
#if defined(__SANITIZE_ADDRESS__)
    Q_UNUSED(growth) // freed memory sits in quarantine; leaks are the sanitizer's to find
#else
    QVERIFY2(growth < 1024 * 1024, qPrintable(QString::number(growth)));
#endif
    QCOMPARE(openDescriptors(), descriptorsBefore);
}

QTEST_MAIN(tst_Soak)
#include "tst_soak.moc"
