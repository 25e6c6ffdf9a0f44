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
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
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
// A crash or a kill loses nothing written, as the system keeps it; only a
// power cut loses what has not reached the disk. Asking the disk for it
// every other second, rather than every second, halves the disk's work (and
// the battery's) and the recorder's own, for at most two seconds more at risk.
constexpr auto kSyncEvery = std::chrono::milliseconds(1500);
const QString kPattern = QStringLiteral("take-*.wav");
const QString kNewPrefix = QStringLiteral("new-");

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

// Writers that are letting go of their files: the program waits for them as
// it exits, so that no thread is left writing while it tears down, and none
// of its files or locks is left behind for the next run to find.
struct Ending
{
    std::mutex mutex;
    std::condition_variable done;
    int writers = 0;

    void waitForAll()
    {
        std::unique_lock lock(mutex);
        done.wait(lock, [this] { return writers == 0; });
    }
};

Ending &ending()
{
    // Never destroyed: a writer may still be ending while static objects go.
    static Ending *const all = [] {
        auto *made = new Ending;
        std::atexit([] { ending().waitForAll(); });
        return made;
    }();
    return *all;
}

} // namespace

// Appends on a thread of its own, so that a slow disk holds up nobody; the
// header follows each append, and the file goes to the disk with it. The
// file begins under a name no other program takes for a left-over take, and
// gets its own once the thread holds its lock, as taking a lock syncs it to
// the disk. Once told to end, the thread finishes on its own and deletes the
// writer.
class RecoveryWriter
{
public:
    static RecoveryWriter *start(std::unique_ptr<QFile> file, const QString &path, const WAVEFORMATEX &format)
    {
        auto *writer = new RecoveryWriter(std::move(file), path, format);
        ending(); // made now, before the thread, so that exit waits for it
        std::thread([writer] { writer->run(); }).detach();
        return writer;
    }

    void append(QByteArray samples)
    {
        {
            std::lock_guard lock(m_mutex);
            m_pending.push_back(std::move(samples));
        }
        m_wake.notify_one();
    }

    // Kept: what is pending is written, with no wait for the disk, as the
    // system writes it out in its own time on an exit that does not crash.
    // Discarded: nothing more is written, and the file goes once closed.
    // A discarded file's name, and its lock once taken, are the caller's to
    // remove, except on Windows, whose files keep their names while open.
    // The caller never hears from the writer again.
    QString end(bool discard, [[maybe_unused]] std::unique_ptr<QLockFile> &lock)
    {
        {
            std::lock_guard counted(ending().mutex);
            ++ending().writers;
        }
        QString name;
        // Woken under the lock: once it is let go, the writer may finish and
        // delete itself.
        std::lock_guard guard(m_mutex);
        m_end = discard ? End::Discard : End::Keep;
        if (discard) {
            m_pending.clear();
            m_discarded = true;
            name = m_name;
#ifndef Q_OS_WIN
            lock = std::move(m_lock);
#endif
        }
        m_wake.notify_one();
        return name;
    }

private:
    enum class End { No, Keep, Discard };

    RecoveryWriter(std::unique_ptr<QFile> file, const QString &path, const WAVEFORMATEX &format)
        : m_file(std::move(file)), m_name(m_file->fileName()), m_path(path), m_format(format)
    {
    }

    void run()
    {
        open();
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_end != End::No || !m_pending.empty(); });
            std::vector<QByteArray> batch;
            batch.swap(m_pending);
            const End end = m_end;
            lock.unlock();
            if (!batch.empty())
                write(batch, end == End::No);
            lock.lock();
            if (end != End::No && m_pending.empty())
                break;
        }
        lock.unlock();
        m_file->close();
        if (m_discarded)
            m_file->remove(); // where it could not go while open
        m_lock.reset();
        delete this;
        Ending &all = ending();
        std::lock_guard done(all.mutex);
        --all.writers;
        all.done.notify_all();
    }

    // The disk is not waited for under the lock, which the window's thread
    // takes on every append. A discard meanwhile leaves the file to run().
    void open()
    {
        std::unique_ptr<QLockFile> lock = lockFor(m_path);
        if (m_discarded)
            return;
        // Renaming closes the file, as Windows renames no open file.
        const bool renamed = lock && m_file->rename(m_path);
        if (!renamed || !m_file->open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
            fail(lock ? m_file->errorString() : QStringLiteral("cannot lock it"));
            m_file->remove(); // it holds nothing yet
        }
        std::lock_guard guard(m_mutex); // a discard from now on finds the lock and the name
        if (renamed)
            m_name = m_path;
        m_lock = std::move(lock);
    }

    void write(const std::vector<QByteArray> &batch, bool sync)
    {
        if (m_failed || m_discarded)
            return;
        bool ok = m_file->seek(kHeaderBytes + m_bytes); // the end, after the last header written
        for (const QByteArray &samples : batch) {
            ok = ok && m_file->write(samples) == samples.size();
            m_bytes += quint32(samples.size());
        }
        ok = ok && m_file->seek(0)
            && m_file->write(header(m_format, m_bytes).data(), kHeaderBytes) == kHeaderBytes
            && m_file->flush();
        const auto now = std::chrono::steady_clock::now();
        if (ok && sync && !m_discarded && now - m_synced >= kSyncEvery) {
            ok = syncToDisk(*m_file);
            m_synced = now;
        }
        if (!ok)
            fail(m_file->error() != QFileDevice::NoError ? m_file->errorString()
                                                         : QString::fromLocal8Bit(std::strerror(errno)));
    }

    void fail(const QString &why)
    {
        m_failed = true;
        static std::atomic<bool> told{false}; // once a run, however many takes fail
        if (!told.exchange(true))
            std::fprintf(stderr, "molan-recorder: the recovery file %s cannot be written: %s\n",
                         qPrintable(QDir::toNativeSeparators(m_file->fileName())), qPrintable(why));
    }

    std::unique_ptr<QFile> m_file;
    QString m_name; // the file's name now, for a discard from the window's thread
    QString m_path; // its own name
    std::unique_ptr<QLockFile> m_lock;
    WAVEFORMATEX m_format;
    quint32 m_bytes = 0;
    std::chrono::steady_clock::time_point m_synced; // the first append goes to the disk at once
    bool m_failed = false;
    std::atomic<bool> m_discarded{false}; // read between the steps of a write, to skip the rest
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<QByteArray> m_pending;
    End m_end = End::No;
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

RecoveryFile::~RecoveryFile()
{
    if (m_writer)
        m_writer->end(false, m_lock);
}

std::unique_ptr<RecoveryFile> RecoveryFile::create(const QString &folder, const WAVEFORMATEX &format,
                                                   QString &why)
{
    if (!QDir().mkpath(folder)) {
        why = QStringLiteral("cannot make the folder %1").arg(QDir::toNativeSeparators(folder));
        return nullptr;
    }
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // Numbered too: the take before, maybe of the same millisecond, may still be letting go of its name.
    static std::atomic<int> takes{0};
    const QString path = QDir(folder).filePath(QStringLiteral("take-%1-%2-%3.wav")
                                                   .arg(QDateTime::currentMSecsSinceEpoch())
                                                   .arg(QCoreApplication::applicationPid())
                                                   .arg(++takes));
    auto file = std::make_unique<QFile>(QDir(folder).filePath(kNewPrefix + QFileInfo(path).fileName()));
    if (!file->open(QIODevice::ReadWrite | QIODevice::NewOnly | QIODevice::Unbuffered,
                    QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file->write(header(format, 0).data(), kHeaderBytes) != kHeaderBytes) {
        why = file->errorString();
        file->remove();
        return nullptr;
    }
    std::unique_ptr<RecoveryFile> recovery(new RecoveryFile(path, nullptr));
    recovery->m_writer = RecoveryWriter::start(std::move(file), path, format);
    return recovery;
}

std::unique_ptr<RecoveryFile> RecoveryFile::leftOver(const QString &folder)
{
    ending().waitForAll(); // a take this same program is still letting go of is not left over
    // A take whose program ended before it held the lock: its writer renames
    // it within a moment, and writes nothing before.
    const QDateTime old = QDateTime::currentDateTime().addSecs(-10);
    for (const QFileInfo &file : QDir(folder).entryInfoList({kNewPrefix + kPattern}, QDir::Files)) {
        if (file.lastModified() < old)
            QFile::rename(file.filePath(), file.dir().filePath(file.fileName().mid(kNewPrefix.size())));
    }
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

// The name and the lock go at once, changes to the folder that wait for no
// sound to reach the disk, so that nothing offers the take again; the writer
// closes the file on its own thread, as closing may wait for what it wrote.
void RecoveryFile::remove()
{
    const QString name = m_writer ? std::exchange(m_writer, nullptr)->end(true, m_lock) : m_path;
    QFile::remove(name);
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

// Only for a file left over, which no writer of this run holds.
QString RecoveryFile::setAside()
{
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
