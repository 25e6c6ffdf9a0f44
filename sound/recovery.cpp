#include "recovery.h"

#include "wavefile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QtEndian>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace audio {

namespace {

constexpr qint64 kHeaderBytes = 44;
const QString kPattern = QStringLiteral("take-*.wav");

using Header = std::array<char, kHeaderBytes>;

// On the stack: the writer's thread allocates nothing of its own.
Header header(const WAVEFORMATEX &format, quint32 dataBytes)
{
    Header h{};
    auto put32 = [&](int at, quint32 v) { qToLittleEndian(v, h.data() + at); };
    auto put16 = [&](int at, quint16 v) { qToLittleEndian(v, h.data() + at); };
    std::memcpy(h.data(), "RIFF", 4);
    put32(4, 36 + dataBytes);
    std::memcpy(h.data() + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, format.wFormatTag);
    put16(22, format.nChannels);
    put32(24, format.nSamplesPerSec);
    put32(28, format.nAvgBytesPerSec);
    put16(32, format.nBlockAlign);
    put16(34, format.wBitsPerSample);
    std::memcpy(h.data() + 36, "data", 4);
    put32(40, dataBytes);
    return h;
}

bool syncToDisk(QFile &file)
{
#ifdef Q_OS_WIN
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle())));
#else
    return ::fdatasync(file.handle()) == 0;
#endif
}

std::unique_ptr<QLockFile> lockFor(const QString &path)
{
    auto lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
    lock->setStaleLockTime(0); // held for as long as its program lives, however long that is
    return lock->tryLock(0) ? std::move(lock) : nullptr;
}

} // namespace

// Appends on a thread of its own, so that a slow disk holds up nobody; the
// header follows each append, and the file goes to the disk with it.
class RecoveryWriter
{
public:
    RecoveryWriter(std::unique_ptr<QFile> file, const WAVEFORMATEX &format)
        : m_file(std::move(file)), m_format(format), m_thread([this] { run(); })
    {
    }

    ~RecoveryWriter()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    void append(QByteArray samples)
    {
        {
            std::lock_guard lock(m_mutex);
            m_pending.push_back(std::move(samples));
        }
        m_wake.notify_one();
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
            std::vector<QByteArray> batch;
            batch.swap(m_pending);
            const bool last = m_stopping;
            lock.unlock();
            if (!batch.empty())
                write(batch);
            lock.lock();
            if (last && m_pending.empty())
                return;
        }
    }

    void write(const std::vector<QByteArray> &batch)
    {
        if (m_failed)
            return;
        bool ok = m_file->seek(kHeaderBytes + m_bytes); // the end, after the last header written
        for (const QByteArray &samples : batch) {
            ok = ok && m_file->write(samples) == samples.size();
            m_bytes += quint32(samples.size());
        }
        ok = ok && m_file->seek(0)
            && m_file->write(header(m_format, m_bytes).data(), kHeaderBytes) == kHeaderBytes
            && m_file->flush() && syncToDisk(*m_file);
        m_failed = !ok;
        static std::atomic<bool> told{false}; // once a run, however many takes fail
        if (!ok && !told.exchange(true)) {
            const QString why = m_file->error() != QFileDevice::NoError
                ? m_file->errorString()
                : QString::fromLocal8Bit(std::strerror(errno));
            std::fprintf(stderr, "molan-recorder: the recovery file %s cannot be written: %s\n",
                         qPrintable(QDir::toNativeSeparators(m_file->fileName())), qPrintable(why));
        }
    }

    std::unique_ptr<QFile> m_file;
    WAVEFORMATEX m_format;
    quint32 m_bytes = 0;
    bool m_failed = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<QByteArray> m_pending;
    bool m_stopping = false;
    std::thread m_thread; // last: it starts once everything above is there
};

QString recoveryFolder()
{
#ifdef Q_OS_WIN
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
#endif
    return base + QStringLiteral("/molan-recorder");
}

RecoveryFile::RecoveryFile(QString path, std::unique_ptr<QLockFile> lock)
    : m_path(std::move(path)), m_lock(std::move(lock))
{
}

RecoveryFile::~RecoveryFile() = default;

std::unique_ptr<RecoveryFile> RecoveryFile::create(const QString &folder, const WAVEFORMATEX &format,
                                                   QString &why)
{
    if (!QDir().mkpath(folder)) {
        why = QStringLiteral("cannot make the folder %1").arg(QDir::toNativeSeparators(folder));
        return nullptr;
    }
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString path = QDir(folder).filePath(QStringLiteral("take-%1-%2.wav")
                                                   .arg(QDateTime::currentMSecsSinceEpoch())
                                                   .arg(QCoreApplication::applicationPid()));
    std::unique_ptr<QLockFile> lock = lockFor(path);
    auto file = std::make_unique<QFile>(path);
    if (!lock
        || !file->open(QIODevice::ReadWrite | QIODevice::NewOnly | QIODevice::Unbuffered,
                       QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file->write(header(format, 0).data(), kHeaderBytes) != kHeaderBytes || !file->flush()) {
        const bool writable = QFileInfo(folder).isWritable();
        why = lock ? file->errorString()
                   : QStringLiteral("cannot lock %1 (%2)")
                         .arg(QDir::toNativeSeparators(path),
                              writable ? QStringLiteral("held") : QStringLiteral("read-only"));
        file->remove();
        return nullptr;
    }
    std::unique_ptr<RecoveryFile> recovery(new RecoveryFile(path, std::move(lock)));
    recovery->m_writer = std::make_unique<RecoveryWriter>(std::move(file), format);
    return recovery;
}

std::unique_ptr<RecoveryFile> RecoveryFile::leftOver(const QString &folder)
{
    const QFileInfoList files = QDir(folder).entryInfoList({kPattern}, QDir::Files, QDir::Time);
    for (const QFileInfo &file : files) {
        if (std::unique_ptr<QLockFile> lock = lockFor(file.filePath()))
            return std::unique_ptr<RecoveryFile>(new RecoveryFile(file.filePath(), std::move(lock)));
    }
    return nullptr;
}

void RecoveryFile::append(QByteArray samples)
{
    if (m_writer && !samples.isEmpty())
        m_writer->append(std::move(samples));
}

void RecoveryFile::remove()
{
    m_writer.reset();
    QFile::remove(m_path);
    m_lock.reset();
}

bool RecoveryFile::read(WAVEFORMATEX &format, QByteArray &samples, QString &why) const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        why = file.errorString();
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.size() < kHeaderBytes) {
        why = QStringLiteral("文件太短");
        return false;
    }
    const char *h = bytes.constData();
    if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVEfmt ", 8) != 0
        || std::memcmp(h + 36, "data", 4) != 0) {
        why = QStringLiteral("文件已损坏");
        return false;
    }
    format = WAVEFORMATEX{};
    format.wFormatTag = qFromLittleEndian<quint16>(h + 20);
    format.nChannels = qFromLittleEndian<quint16>(h + 22);
    format.nSamplesPerSec = qFromLittleEndian<quint32>(h + 24);
    format.nAvgBytesPerSec = qFromLittleEndian<quint32>(h + 28);
    format.nBlockAlign = qFromLittleEndian<quint16>(h + 32);
    format.wBitsPerSample = qFromLittleEndian<quint16>(h + 34);
    if (Status valid = validateBuffer(format, format.nBlockAlign); !valid) {
        why = valid.reason;
        return false;
    }
    const qsizetype length = bytes.size() - kHeaderBytes;
    samples = bytes.sliced(kHeaderBytes, length - length % format.nBlockAlign);
    return true;
}

QString RecoveryFile::setAside()
{
    m_writer.reset();
    const QFileInfo info(m_path);
    const QString aside = info.dir().filePath(QStringLiteral("damaged-") + info.fileName());
    if (QFile::rename(m_path, aside))
        m_path = aside;
    m_lock.reset();
    return m_path;
}

namespace {

// A take that is over: it reads like a stopped capture and starts no more.
class RecoveredTake final : public DirectSoundCaptureBuffer
{
public:
    explicit RecoveredTake(QByteArray samples) : m_samples(std::move(samples)) {}

    Status Start(std::uint32_t) override { return Status::failure(QStringLiteral("这段录音已经结束")); }
    Status Stop() override { return Status::success(); }
    Status GetCurrentPosition(DSCURSORS &cursors) override
    {
        cursors.lPlay = cursors.lWrite = std::uint32_t(m_samples.size());
        return Status::success();
    }
    Status ReadBuffer(std::uint32_t start, std::uint32_t count, void *dest, std::uint32_t) override
    {
        if (quint64(start) + count > quint64(m_samples.size()))
            return Status::failure(QStringLiteral("读取范围超出缓冲区"));
        if (count)
            std::memcpy(dest, m_samples.constData() + start, count);
        return Status::success();
    }
    void setInterruptedHandler(InterruptedHandler) override {}

private:
    QByteArray m_samples;
};

} // namespace

std::shared_ptr<DirectSoundCaptureBuffer> recoveredTake(QByteArray samples)
{
    return std::make_shared<RecoveredTake>(std::move(samples));
}

} // namespace audio
