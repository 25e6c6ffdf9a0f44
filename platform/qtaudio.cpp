#include "systemaudio.h"

#include "defaultsource.h"
#include "wavefile.h"

#include <QAudioDevice>
#include <QAudioSource>
#include <QElapsedTimer>
#include <QIODevice>
#include <QMediaDevices>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <cstring>

namespace audio {

namespace {

// The server hands over captured sound in fragments of about this length. It
// bounds how long Stop waits for the sound still on its way; shorter ones cost
// more CPU than parecord needs for the same recording.
constexpr int kFragmentMs = 100;
// How long Stop waits at most for that sound before keeping what it has.
constexpr int kDrainBudgetMs = 250;

QAudioFormat toQtFormat(const WAVEFORMATEX &format)
{
    QAudioFormat qt;
    qt.setSampleRate(int(format.nSamplesPerSec));
    qt.setChannelCount(format.nChannels);
    qt.setSampleFormat(format.wBitsPerSample == 8 ? QAudioFormat::UInt8 : QAudioFormat::Int16);
    return qt;
}

QString describe(QAudio::Error error)
{
    switch (error) {
    case QAudio::NoError:
        return QStringLiteral("无错误");
    case QAudio::OpenError:
        return QStringLiteral("无法打开录音设备");
    case QAudio::IOError:
        return QStringLiteral("读取录音设备时出错");
    case QAudio::UnderrunError:
        return QStringLiteral("录音数据中断");
    case QAudio::FatalError:
        return QStringLiteral("录音设备不可用");
    }
    return QStringLiteral("未知错误");
}

// Records one pass into a fixed block, never wrapping. Everything runs on the
// thread that owns it; Qt's source polls the server from there.
class QtCaptureBuffer final : public QObject, public DirectSoundCaptureBuffer
{
public:
    QtCaptureBuffer(const QAudioDevice &device, const DSCBUFFERDESC &desc)
        : m_device(device),
          m_format(desc.fxFormat),
          m_block(qsizetype(desc.lBufferBytes), silenceByte(desc.fxFormat))
    {
    }

    ~QtCaptureBuffer() override { release(); }

    Status Start(std::uint32_t) override
    {
        if (m_source)
            return Status::success();
        if (m_written >= m_block.size())
            return Status::failure(QStringLiteral("缓冲区已满"));
        auto source = std::make_unique<QAudioSource>(m_device, toQtFormat(m_format));
        const int fragment = kFragmentMs * int(m_format.nAvgBytesPerSec / 1000);
        source->setBufferSize(
            std::max<int>(fragment - fragment % m_format.nBlockAlign, m_format.nBlockAlign));
        QIODevice *io = source->start();
        if (!io || source->error() != QAudio::NoError)
            return Status::failure(describe(source->error()));
        m_clock.start();
        m_started = m_written;
        m_source = std::move(source);
        m_io = io;
        QObject::connect(io, &QIODevice::readyRead, this, [this] { pull(); });
        return Status::success();
    }

    Status Stop() override
    {
        if (!m_source)
            return Status::success();
        drainUntilNow();
        release();
        return Status::success();
    }

    Status GetCurrentPosition(DSCURSORS &cursors) override
    {
        pull();
        cursors.lPlay = std::uint32_t(m_written);
        cursors.lWrite = std::uint32_t(m_written);
        return Status::success();
    }

    Status ReadBuffer(std::uint32_t start, std::uint32_t count, void *dest, std::uint32_t) override
    {
        if (quint64(start) + count > quint64(m_block.size()))
            return Status::failure(QStringLiteral("读取范围超出缓冲区"));
        if (count)
            std::memcpy(dest, m_block.constData() + start, count);
        return Status::success();
    }

    void setInterruptedHandler(InterruptedHandler) override {}

private:
    // A source whose server went away is gone: what it delivered stays.
    bool alive() const
    {
        return m_source && m_io && m_source->state() != QAudio::StoppedState && m_written < m_block.size();
    }

    void pull()
    {
        if (!alive())
            return;
        const qint64 got = m_io->read(m_block.data() + m_written, m_block.size() - m_written);
        if (got > 0)
            m_written += got;
        // A full block stops filling. Not from here: this may run inside the
        // source's own signal, and the source must outlive its emission.
        if (m_written >= m_block.size())
            QMetaObject::invokeMethod(
                this, [this] { release(); }, Qt::QueuedConnection);
    }

    // Qt's stop() drops whatever the server has not yet handed over. Wait for
    // the sound up to this moment instead, and keep nothing recorded after it.
    void drainUntilNow()
    {
        const qint64 frames = m_clock.nsecsElapsed() * qint64(m_format.nSamplesPerSec) / 1000000000;
        const qint64 wanted = std::min<qint64>(m_block.size(), m_started + frames * m_format.nBlockAlign);
        QElapsedTimer waited;
        waited.start();
        pull();
        while (alive() && m_written < wanted && waited.elapsed() < kDrainBudgetMs) {
            QThread::usleep(500);
            pull();
        }
        if (m_written > wanted)
            m_written = wanted;
    }

    void release()
    {
        if (!m_source)
            return;
        if (m_io)
            QObject::disconnect(m_io, nullptr, this, nullptr);
        m_source->stop();
        m_source.reset();
        m_io = nullptr;
    }

    QAudioDevice m_device;
    WAVEFORMATEX m_format;
    QByteArray m_block;
    qint64 m_written = 0;
    qint64 m_started = 0;
    QElapsedTimer m_clock;
    std::unique_ptr<QAudioSource> m_source;
    QPointer<QIODevice> m_io;
};

QAudioDevice findInput(const QString &id);

// Stands for "the default device" (or a named one), whichever that is at the
// moment: devices come and go, and the default can change while we run.
class QtCapture final : public DirectSoundCapture
{
public:
    explicit QtCapture(const QString &id) : m_id(id) {}

    Status GetCaps(DSCCAPS &caps) override
    {
        const QAudioDevice device = findInput(m_id);
        if (device.isNull())
            return Status::failure(QStringLiteral("录音设备已不存在"));
        caps = {};
        caps.lChannels = std::uint32_t(std::max(1, device.maximumChannelCount()));
        caps.lFormats = std::uint32_t(device.supportedSampleFormats().size());
        return Status::success();
    }

    Status CreateCaptureBuffer(const DSCBUFFERDESC &desc,
                               std::shared_ptr<DirectSoundCaptureBuffer> &buffer) override
    {
        if (Status valid = validatePcmFormat(desc.fxFormat); !valid)
            return valid;
        if (desc.lBufferBytes == 0 || desc.lBufferBytes % desc.fxFormat.nBlockAlign != 0)
            return Status::failure(QStringLiteral("缓冲区大小无效"));
        // Qt waits forever for a stream on a device that has gone.
        const QAudioDevice device = findInput(m_id);
        if (device.isNull())
            return Status::failure(QStringLiteral("录音设备已不存在"));
        buffer = std::make_shared<QtCaptureBuffer>(device, desc);
        return Status::success();
    }

private:
    QString m_id;
};

class QtSound final : public DirectSound
{
public:
    Status CreateSoundBuffer(const DSBUFFERDESC &desc, const WAVEFORMATEX &format,
                             std::shared_ptr<DirectSoundBuffer> &buffer) override
    {
        if (Status valid = validatePcmFormat(format); !valid)
            return valid;
        if (desc.lBufferBytes == 0 || desc.lBufferBytes % format.nBlockAlign != 0)
            return Status::failure(QStringLiteral("缓冲区大小无效"));
        buffer = std::make_shared<MemorySoundBuffer>(desc.lBufferBytes, format);
        return Status::success();
    }
};

QAudioDevice findInput(const QString &id)
{
    const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
    const QByteArray wanted = id.isEmpty() ? serverDefaultSourceName() : id.toUtf8();
    if (!wanted.isEmpty()) {
        for (const QAudioDevice &device : inputs)
            if (device.id() == wanted)
                return device;
    }
    if (!id.isEmpty())
        return {};
    return QMediaDevices::defaultAudioInput();
}

QAudioDevice findOutput(const QString &id)
{
    if (id.isEmpty())
        return QMediaDevices::defaultAudioOutput();
    for (const QAudioDevice &device : QMediaDevices::audioOutputs())
        if (device.id() == id.toUtf8())
            return device;
    return {};
}

class QtDirectX7 final : public DirectX7
{
public:
    Status DirectSoundCaptureCreate(const QString &device,
                                    std::shared_ptr<DirectSoundCapture> &capture) override
    {
        // Qt does not tell about devices coming and going: ask the server now.
        if (findInput(device).isNull())
            return Status::failure(QStringLiteral("没有可用的录音设备"));
        capture = std::make_shared<QtCapture>(device);
        return Status::success();
    }

    Status DirectSoundCreate(const QString &device, std::shared_ptr<DirectSound> &sound) override
    {
        if (findOutput(device).isNull())
            return Status::failure(QStringLiteral("没有可用的放音设备"));
        sound = std::make_shared<QtSound>();
        return Status::success();
    }
};

} // namespace

std::shared_ptr<DirectX7> createSystemAudio()
{
    return std::make_shared<QtDirectX7>();
}

} // namespace audio
