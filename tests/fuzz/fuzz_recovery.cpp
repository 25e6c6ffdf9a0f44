// A left-over recovery file of any bytes, read back the way the next run does:
// a take of the file's whole blocks in a format the recorder records, or a
// reason; the file kept, or set aside, either way.
#include "sound/recovery.h"
#include "sound/wavefile.h"

#include <QFile>
#include <QTemporaryDir>

#define EXPECT(ok) ((ok) ? void() : qFatal("not so: %s", #ok))

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto kept = [&](const QString &p) { return QFile::exists(p) && QFile(p).size() == qint64(size); };
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("take-1-2-3.wav"));
    QFile file(path);
    EXPECT(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush());
    const auto found = audio::RecoveryFile::leftOver(folder.path());
    EXPECT(found && found->path() == path);
    audio::WAVEFORMATEX format;
    QByteArray samples;
    QString why;
    if (found->read(format, samples, why))
        // Whole blocks in a format the recorder records; the file's length says how many, not the header.
        EXPECT(audio::validateBuffer(format, format.nBlockAlign).ok
               && samples.size() % format.nBlockAlign == 0 && samples == bytes.mid(44, samples.size())
               && bytes.size() - 44 - samples.size() < format.nBlockAlign && kept(path));
    else // kept, then set aside
        EXPECT(!why.isEmpty() && kept(path) && kept(found->setAside())
               && found->path().contains(QLatin1String("/damaged-take")) && !QFile::exists(path));
    return 0;
}
