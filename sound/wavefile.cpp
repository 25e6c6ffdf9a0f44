#include "wavefile.h"

#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <sndfile.h>

#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace audio {

namespace {

// libsndfile writes through these into a Qt file, so the temporary file, the
// error reporting and the final rename all stay Qt's.
sf_count_t deviceLength(void *user)
{
    return static_cast<QFileDevice *>(user)->size();
}

sf_count_t deviceSeek(sf_count_t offset, int whence, void *user)
{
    auto *file = static_cast<QFileDevice *>(user);
    sf_count_t target = offset;
    if (whence == SEEK_CUR)
        target += file->pos();
    else if (whence == SEEK_END)
        target += file->size();
    if (target < 0 || !file->seek(target))
        return -1;
    return target;
}

sf_count_t deviceRead(void *, sf_count_t, void *)
{
    return 0; // the writer never needs to read back
}

sf_count_t deviceWrite(const void *data, sf_count_t count, void *user)
{
    const qint64 written = static_cast<QFileDevice *>(user)->write(static_cast<const char *>(data), count);
    return written < 0 ? 0 : written;
}

sf_count_t deviceTell(void *user)
{
    return static_cast<QFileDevice *>(user)->pos();
}

int sndfileSubtype(const WAVEFORMATEX &format)
{
    return format.wBitsPerSample == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16;
}

} // namespace

char silenceByte(const WAVEFORMATEX &format)
{
    return char(format.wBitsPerSample == 8 ? 0x80 : 0);
}

Status validateBuffer(const WAVEFORMATEX &format, std::uint32_t bytes)
{
    const bool ok = format.wFormatTag == FormatPcm && format.nChannels >= 1 && format.nChannels <= 8
        && format.nSamplesPerSec >= 1000 && format.nSamplesPerSec <= 192000
        && (format.wBitsPerSample == 8 || format.wBitsPerSample == 16)
        && format.nBlockAlign == format.nChannels * format.wBitsPerSample / 8
        && format.nAvgBytesPerSec == format.nSamplesPerSec * format.nBlockAlign;
    if (!ok)
        return Status::failure(QStringLiteral("不支持的音频格式"));
    if (bytes == 0 || bytes % format.nBlockAlign != 0)
        return Status::failure(QStringLiteral("缓冲区大小无效"));
    return Status::success();
}

namespace {

// Writes the whole file into `file`; empty on success, else why not.
QString writeInto(QFileDevice &file, const WAVEFORMATEX &format, const QByteArray &samples)
{
    SF_VIRTUAL_IO io{deviceLength, deviceSeek, deviceRead, deviceWrite, deviceTell};
    SF_INFO info{};
    info.samplerate = static_cast<int>(format.nSamplesPerSec);
    info.channels = format.nChannels;
    info.format = SF_FORMAT_WAV | sndfileSubtype(format);

    SNDFILE *sound = sf_open_virtual(&io, SFM_WRITE, &info, &file);
    if (!sound)
        return QString::fromLocal8Bit(sf_strerror(nullptr));
    const bool complete = sf_write_raw(sound, samples.constData(), samples.size()) == samples.size();
    const bool closed = sf_close(sound) == 0;
    if (complete && closed && file.error() == QFileDevice::NoError)
        return {};
    // libsndfile speaks English, and says "No Error." when the fault was the file's.
    return file.error() != QFileDevice::NoError ? file.errorString() : QStringLiteral("写入文件时出错");
}

// Replaces an existing file through a sibling with a short name, then a
// rename over it: QSaveFile's sibling is the name plus six characters, which
// a name near the file system's limit has no room for.
Status replaceThroughShortSibling(const QString &path, const WAVEFORMATEX &format, const QByteArray &samples)
{
    QTemporaryFile aside(QFileInfo(path).absolutePath() + QStringLiteral("/.molan-XXXXXX"));
    if (!aside.open())
        return Status::failure(aside.errorString());
    aside.setPermissions(QFileInfo(path).permissions());
    if (const QString failure = writeInto(aside, format, samples); !failure.isEmpty())
        return Status::failure(failure);
    if (!aside.flush())
        return Status::failure(aside.errorString());
#ifdef Q_OS_UNIX
    if (::fdatasync(aside.handle()) != 0)
        return Status::failure(QString::fromLocal8Bit(std::strerror(errno)));
#endif
    aside.close();
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(aside.fileName().toStdU16String()),
                            std::filesystem::path(path.toStdU16String()), error);
    if (error)
        return Status::failure(
            QStringLiteral("无法替换原有文件（%1）").arg(QString::fromLocal8Bit(error.message())));
    aside.setAutoRemove(false);
    return Status::success();
}

} // namespace

Status writeWaveFile(const QString &path, const WAVEFORMATEX &format, const QByteArray &samples)
{
    if (format.nBlockAlign == 0 || samples.size() % format.nBlockAlign != 0)
        return Status::failure(QStringLiteral("数据长度不是整帧"));

    const QFileInfo target(path);
    if (target.isFile() && QFile::encodeName(target.fileName()).size() > 255 - 7)
        return replaceThroughShortSibling(path, format, samples);

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return Status::failure(file.errorString());
    if (const QString failure = writeInto(file, format, samples); !failure.isEmpty()) {
        file.cancelWriting();
        return Status::failure(failure);
    }
    if (!file.commit())
        return Status::failure(file.errorString());
    return Status::success();
}

} // namespace audio
