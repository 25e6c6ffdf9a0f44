// The sound layer on Windows: DirectSound itself, which the layer was shaped
// after, so each operation is the DirectSound call of the same name.
#include "systemaudio.h"

#include "wavefile.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <mmsystem.h>
#include <objbase.h>

#include <dsound.h>

#include <algorithm>
#include <cstring>

namespace audio {

namespace {

// How often a running capture is looked at, to notice it ending by itself.
constexpr int kWatchMs = 100;
// A device delivers every few milliseconds while it works; one silent this
// long while capturing has gone without saying so.
constexpr int kStallMs = 1000;
// How long Stop waits at most for the sound still on its way; it waits on the
// window's thread.
constexpr int kDrainBudgetMs = 100;
// A take that ends more than this short of the Stop is told as such; Wine's
// capture position lags up to some 40 ms behind the sound.
constexpr int kToldShortMs = 50;
// AUDCLNT_E_DEVICE_INVALIDATED, which DirectSound passes on from the audio engine.
const HRESULT kDeviceInvalidated = HRESULT(0x88890004u);

// Holds one COM reference and drops it on destruction.
template<class T>
class ComRef
{
public:
    ComRef() = default;
    ComRef(const ComRef &) = delete;
    ComRef &operator=(const ComRef &) = delete;
    ~ComRef() { reset(); }

    void reset()
    {
        if (m_ptr)
            m_ptr->Release();
        m_ptr = nullptr;
    }
    T **put()
    {
        reset();
        return &m_ptr;
    }
    // Another reference to what `other` holds.
    void share(const ComRef &other)
    {
        reset();
        m_ptr = other.m_ptr;
        if (m_ptr)
            m_ptr->AddRef();
    }
    T *operator->() const { return m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

private:
    T *m_ptr = nullptr;
};

// COM stays initialised on this thread for as long as any sound object lives,
// whichever of them goes last.
class Apartment
{
public:
    Apartment() : m_owned(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    Apartment(const Apartment &) = delete;
    Apartment &operator=(const Apartment &) = delete;
    ~Apartment()
    {
        if (m_owned)
            CoUninitialize();
    }

private:
    bool m_owned;
};
using ApartmentRef = std::shared_ptr<Apartment>;

QString describe(HRESULT hr)
{
    QString what;
    switch (hr) {
    case DSERR_NODRIVER:
        what = QStringLiteral("没有可用的声音设备");
        break;
    case DSERR_ALLOCATED:
        what = QStringLiteral("声音设备正被占用");
        break;
    case DSERR_BADFORMAT:
        what = QStringLiteral("不支持的音频格式");
        break;
    case DSERR_INVALIDPARAM:
        what = QStringLiteral("参数无效");
        break;
    case DSERR_OUTOFMEMORY:
        what = QStringLiteral("内存不足");
        break;
    case DSERR_BUFFERLOST:
        what = QStringLiteral("缓冲区已丢失");
        break;
    case kDeviceInvalidated:
        what = QStringLiteral("声音设备已移除");
        break;
    default:
        what = QStringLiteral("DirectSound 错误");
        break;
    }
    return QStringLiteral("%1 (0x%2)").arg(what).arg(quint32(hr), 8, 16, QLatin1Char('0'));
}

Status statusOf(HRESULT hr)
{
    return SUCCEEDED(hr) ? Status::success() : Status::failure(describe(hr));
}

::WAVEFORMATEX toNative(const WAVEFORMATEX &format)
{
    ::WAVEFORMATEX native{};
    native.wFormatTag = format.wFormatTag;
    native.nChannels = format.nChannels;
    native.nSamplesPerSec = format.nSamplesPerSec;
    native.nAvgBytesPerSec = format.nAvgBytesPerSec;
    native.nBlockAlign = format.nBlockAlign;
    native.wBitsPerSample = format.wBitsPerSample;
    native.cbSize = format.cbSize;
    return native;
}

// An empty identifier is the default device (a null GUID); any other is the
// device's GUID in its usual braced form.
Status deviceGuid(const QString &device, GUID &guid, const GUID *&chosen)
{
    chosen = nullptr;
    if (device.isEmpty())
        return Status::success();
    if (FAILED(CLSIDFromString(reinterpret_cast<LPCOLESTR>(device.utf16()), &guid)))
        return Status::failure(QStringLiteral("设备标识无效"));
    chosen = &guid;
    return Status::success();
}

// Copies `count` bytes at `start` out of a locked DirectSound buffer, whose
// lock may come in two pieces.
template<class Buffer>
HRESULT lockedRead(Buffer *buffer, DWORD start, DWORD count, void *dest, DWORD flags)
{
    void *first = nullptr, *second = nullptr;
    DWORD firstBytes = 0, secondBytes = 0;
    const HRESULT hr = buffer->Lock(start, count, &first, &firstBytes, &second, &secondBytes, flags);
    if (FAILED(hr))
        return hr;
    std::memcpy(dest, first, firstBytes);
    if (second)
        std::memcpy(static_cast<char *>(dest) + firstBytes, second, secondBytes);
    return buffer->Unlock(first, firstBytes, second, secondBytes);
}

// The same, into the buffer.
HRESULT lockedWrite(IDirectSoundBuffer *buffer, DWORD start, DWORD count, const void *source, DWORD flags)
{
    void *first = nullptr, *second = nullptr;
    DWORD firstBytes = 0, secondBytes = 0;
    const HRESULT hr = buffer->Lock(start, count, &first, &firstBytes, &second, &secondBytes, flags);
    if (FAILED(hr))
        return hr;
    std::memcpy(first, source, firstBytes);
    if (second)
        std::memcpy(second, static_cast<const char *>(source) + firstBytes, secondBytes);
    return buffer->Unlock(first, firstBytes, second, secondBytes);
}

class DsCaptureBuffer final : public DirectSoundCaptureBuffer
{
public:
    DsCaptureBuffer(ApartmentRef apartment, const ComRef<IDirectSoundCapture> &device,
                    const DSCBUFFERDESC &desc)
        : m_apartment(std::move(apartment)),
          m_bytes(desc.lBufferBytes),
          m_blockAlign(std::max<std::uint32_t>(1, desc.fxFormat.nBlockAlign)),
          m_framesPerSecond(desc.fxFormat.nAvgBytesPerSec / m_blockAlign)
    {
        m_device.share(device);
        m_watch.setInterval(kWatchMs);
        m_watch.callOnTimeout([this] { watch(); });
    }

    ~DsCaptureBuffer() override
    {
        // Releasing a capture that still runs ends it.
        m_watch.stop();
        m_buffer.reset();
    }

    IDirectSoundCaptureBuffer **put() { return m_buffer.put(); }

    // One take a buffer: a further Start only while it runs.
    Status Start(std::uint32_t flags) override
    {
        if (m_ended || m_stopped)
            return Status::failure(QStringLiteral("这段录音已经结束"));
        if (m_clock.isValid())
            return Status::success();
        const HRESULT hr = m_buffer->Start(flags);
        if (SUCCEEDED(hr)) {
            m_clock.start();
            m_watch.start();
        }
        return statusOf(hr);
    }

    Status Stop() override
    {
        // A buffer that filled up since the last look still has to be noticed.
        if (m_watch.isActive())
            watch();
        m_watch.stop();
        if (m_ended || m_stopped)
            return Status::success();
        const std::uint32_t wanted = waitForSoundUntilNow();
        const HRESULT hr = m_buffer->Stop();
        DWORD capture = 0, read = 0;
        const bool placed = SUCCEEDED(m_buffer->GetCurrentPosition(&capture, &read)) && read >= m_lastRead;
        // The device went just before the Stop: what it delivered is the recording.
        if (isDeviceLoss(hr)) {
            if (placed)
                m_lastRead = std::uint32_t(read);
            end(describe(hr));
            return Status::success();
        }
        if (FAILED(hr))
            return statusOf(hr);
        if (placed)
            m_lastRead = std::min(std::uint32_t(read), wanted);
        m_stopped = true;
        // Letting go of a capture takes Wine up to some 20 ms; now, with the
        // take complete, rather than on the next Start, which would begin late.
        if (keep())
            m_buffer.reset();
        const std::uint32_t missing = wanted - std::min(wanted, m_lastRead);
        if (qint64(missing) * 1000 > qint64(kToldShortMs) * m_framesPerSecond * m_blockAlign)
            tell(QStringLiteral("录音的最后 %1 秒没有从录音设备送到")
                     .arg(double(missing) / (m_framesPerSecond * m_blockAlign), 0, 'f', 2));
        return Status::success();
    }

    Status GetCurrentPosition(DSCURSORS &cursors) override
    {
        if (m_ended || m_stopped) {
            cursors.lPlay = cursors.lWrite = m_lastRead;
            return Status::success();
        }
        DWORD capture = 0, read = 0;
        const HRESULT hr = m_buffer->GetCurrentPosition(&capture, &read);
        if (FAILED(hr))
            return statusOf(hr);
        cursors.lPlay = std::uint32_t(capture);
        cursors.lWrite = std::uint32_t(read);
        return Status::success();
    }

    Status ReadBuffer(std::uint32_t start, std::uint32_t count, void *dest, std::uint32_t flags) override
    {
        if (count == 0)
            return Status::success();
        if ((m_ended || m_stopped) && m_keptValid) {
            if (quint64(start) + count > quint64(m_kept.size()))
                return Status::failure(QStringLiteral("读取范围超出已录部分"));
            std::memcpy(dest, m_kept.constData() + start, count);
            return Status::success();
        }
        IDirectSoundCaptureBuffer *buffer = m_buffer.operator->();
        return statusOf(lockedRead(buffer, start, count, dest, flags));
    }

    void setInterruptedHandler(InterruptedHandler handler) override { m_handler = std::move(handler); }

private:
    static bool isDeviceLoss(HRESULT hr) { return hr == kDeviceInvalidated || hr == DSERR_NODRIVER; }

    // Stop drops the sound still on its way from the device, some tens of
    // milliseconds. Waits for the sound up to this moment instead; returns
    // its length, beyond which nothing is kept.
    std::uint32_t waitForSoundUntilNow()
    {
        const qint64 frames = m_clock.nsecsElapsed() * qint64(m_framesPerSecond) / 1000000000;
        const auto wanted = std::uint32_t(std::min<qint64>(m_bytes, frames * m_blockAlign));
        QElapsedTimer waited;
        waited.start();
        DWORD capture = 0, read = 0;
        while (SUCCEEDED(m_buffer->GetCurrentPosition(&capture, &read)) && read < wanted && read >= m_lastRead
               && waited.elapsed() < kDrainBudgetMs) {
            m_lastRead = std::uint32_t(read);
            Sleep(1);
        }
        return wanted;
    }

    // A one-pass capture ends by itself when its buffer is full, which is how
    // it was meant to end, or when the device goes, which is worth telling.
    // A device that goes may say so, or may merely stop delivering.
    void watch()
    {
        DWORD status = 0, capture = 0, read = 0;
        const HRESULT statusHr = m_buffer->GetStatus(&status);
        const HRESULT positionHr = m_buffer->GetCurrentPosition(&capture, &read);
        if (FAILED(statusHr) || FAILED(positionHr)) {
            end(describe(FAILED(statusHr) ? statusHr : positionHr));
        } else if (!(status & DSCBSTATUS_CAPTURING)) {
            // The read position wraps to the start when a one-pass capture fills its buffer.
            m_lastRead = read < m_lastRead ? m_bytes : std::uint32_t(read);
            end(m_lastRead < m_bytes ? QStringLiteral("录音设备已停止工作") : QString());
        } else if (read == m_lastRead && m_lastRead < m_bytes) {
            if (++m_stalled * kWatchMs >= kStallMs)
                end(QStringLiteral("录音设备已停止送来声音"));
        } else {
            m_stalled = 0;
            m_lastRead = std::uint32_t(read);
        }
    }

    // The capture is over without a Stop: its sound so far is the recording.
    void end(const QString &reason)
    {
        m_watch.stop();
        m_ended = true;
        m_buffer->Stop();
        // The device may take the buffer's memory along.
        keep();
        if (!reason.isEmpty())
            tell(reason);
    }

    // A copy of what was recorded, which outlives the buffer.
    bool keep()
    {
        m_kept.resize(qsizetype(m_lastRead));
        IDirectSoundCaptureBuffer *buffer = m_buffer.operator->();
        m_keptValid = m_lastRead == 0 || SUCCEEDED(lockedRead(buffer, 0, m_lastRead, m_kept.data(), 0));
        return m_keptValid;
    }

    // Later, from the event loop: the handler may well release this buffer.
    void tell(const QString &reason)
    {
        if (!m_handler)
            return;
        QMetaObject::invokeMethod(
            &m_watch,
            [this, reason] {
                const InterruptedHandler handler = m_handler;
                handler(reason);
            },
            Qt::QueuedConnection);
    }

    ApartmentRef m_apartment;
    // DirectSound frees a device's buffers along with the device: it goes last.
    ComRef<IDirectSoundCapture> m_device;
    ComRef<IDirectSoundCaptureBuffer> m_buffer;
    std::uint32_t m_bytes;
    std::uint32_t m_blockAlign;
    std::uint32_t m_framesPerSecond;
    QElapsedTimer m_clock;
    std::uint32_t m_lastRead = 0;
    int m_stalled = 0;
    bool m_ended = false;
    bool m_stopped = false;
    bool m_keptValid = false;
    QByteArray m_kept;
    QTimer m_watch;
    InterruptedHandler m_handler;
};

class DsCapture final : public DirectSoundCapture
{
public:
    DsCapture(ApartmentRef apartment, const GUID *device)
        : m_apartment(std::move(apartment)), m_device(device ? *device : GUID{}), m_named(device != nullptr)
    {
    }

    // Opens the device; any earlier opening of it is let go first.
    HRESULT open()
    {
        return ::DirectSoundCaptureCreate(m_named ? &m_device : nullptr, m_capture.put(), nullptr);
    }

    Status GetCaps(DSCCAPS &caps) override
    {
        if (!m_capture)
            return statusOf(DSERR_NODRIVER);
        ::DSCCAPS native{};
        native.dwSize = sizeof native;
        const HRESULT hr = m_capture->GetCaps(&native);
        if (SUCCEEDED(hr)) {
            caps.lFlags = std::uint32_t(native.dwFlags);
            caps.lFormats = std::uint32_t(native.dwFormats);
            caps.lChannels = std::uint32_t(native.dwChannels);
        }
        return statusOf(hr);
    }

    Status CreateCaptureBuffer(const DSCBUFFERDESC &desc,
                               std::shared_ptr<DirectSoundCaptureBuffer> &buffer) override
    {
        // Wine starts each further buffer of a device where the one before
        // stopped, with silence ahead of it; a device opened afresh starts at
        // 0 as Windows does. It also finds the default device as it is now.
        if (m_buffersMade > 0 || !m_capture) {
            if (const HRESULT hr = open(); FAILED(hr))
                return statusOf(hr);
        }
        ::WAVEFORMATEX format = toNative(desc.fxFormat);
        ::DSCBUFFERDESC native{};
        native.dwSize = sizeof native;
        native.dwFlags = desc.lFlags;
        native.dwBufferBytes = desc.lBufferBytes;
        native.lpwfxFormat = &format;
        auto created = std::make_shared<DsCaptureBuffer>(m_apartment, m_capture, desc);
        const HRESULT hr = m_capture->CreateCaptureBuffer(&native, created->put(), nullptr);
        if (SUCCEEDED(hr)) {
            ++m_buffersMade;
            buffer = std::move(created);
        }
        return statusOf(hr);
    }

private:
    ApartmentRef m_apartment;
    GUID m_device;
    bool m_named;
    int m_buffersMade = 0;
    ComRef<IDirectSoundCapture> m_capture;
};

class DsSoundBuffer final : public DirectSoundBuffer
{
public:
    DsSoundBuffer(ApartmentRef apartment, const ComRef<IDirectSound> &device, const WAVEFORMATEX &format)
        : m_apartment(std::move(apartment)), m_format(format)
    {
        m_device.share(device);
    }

    IDirectSoundBuffer **put() { return m_buffer.put(); }

    Status WriteBuffer(std::uint32_t start, std::uint32_t count, const void *source,
                       std::uint32_t flags) override
    {
        if (count == 0)
            return Status::success();
        IDirectSoundBuffer *buffer = m_buffer.operator->();
        HRESULT hr = lockedWrite(buffer, start, count, source, flags);
        // Memory taken back by the device comes back empty after a Restore.
        if (hr == DSERR_BUFFERLOST && SUCCEEDED(m_buffer->Restore()))
            hr = lockedWrite(buffer, start, count, source, flags);
        return statusOf(hr);
    }

    Status SaveToFile(const QString &path) override
    {
        DSBCAPS caps{};
        caps.dwSize = sizeof caps;
        if (const HRESULT hr = m_buffer->GetCaps(&caps); FAILED(hr))
            return statusOf(hr);
        QByteArray samples(qsizetype(caps.dwBufferBytes), Qt::Uninitialized);
        IDirectSoundBuffer *buffer = m_buffer.operator->();
        if (const HRESULT hr = lockedRead(buffer, 0, caps.dwBufferBytes, samples.data(), 0); FAILED(hr))
            return statusOf(hr);
        return writeWaveFile(path, m_format, samples);
    }

private:
    ApartmentRef m_apartment;
    ComRef<IDirectSound> m_device; // as for capture: the device goes last
    ComRef<IDirectSoundBuffer> m_buffer;
    WAVEFORMATEX m_format;
};

class DsSound final : public DirectSound
{
public:
    explicit DsSound(ApartmentRef apartment) : m_apartment(std::move(apartment)) {}

    IDirectSound **put() { return m_sound.put(); }

    Status CreateSoundBuffer(const DSBUFFERDESC &desc, const WAVEFORMATEX &format,
                             std::shared_ptr<DirectSoundBuffer> &buffer) override
    {
        ::WAVEFORMATEX nativeFormat = toNative(format);
        ::DSBUFFERDESC native{};
        native.dwSize = sizeof native;
        native.dwFlags = desc.lFlags;
        native.dwBufferBytes = desc.lBufferBytes;
        native.lpwfxFormat = &nativeFormat;
        auto created = std::make_shared<DsSoundBuffer>(m_apartment, m_sound, format);
        const HRESULT hr = m_sound->CreateSoundBuffer(&native, created->put(), nullptr);
        if (SUCCEEDED(hr))
            buffer = std::move(created);
        return statusOf(hr);
    }

private:
    ApartmentRef m_apartment;
    ComRef<IDirectSound> m_sound;
};

class DsDirectX7 final : public DirectX7
{
public:
    Status DirectSoundCaptureCreate(const QString &device,
                                    std::shared_ptr<DirectSoundCapture> &capture) override
    {
        GUID guid{};
        const GUID *chosen = nullptr;
        if (Status named = deviceGuid(device, guid, chosen); !named)
            return named;
        auto created = std::make_shared<DsCapture>(m_apartment, chosen);
        const HRESULT hr = created->open();
        if (SUCCEEDED(hr))
            capture = std::move(created);
        return statusOf(hr);
    }

    Status DirectSoundCreate(const QString &device, std::shared_ptr<DirectSound> &sound) override
    {
        GUID guid{};
        const GUID *chosen = nullptr;
        if (Status named = deviceGuid(device, guid, chosen); !named)
            return named;
        auto created = std::make_shared<DsSound>(m_apartment);
        const HRESULT hr = ::DirectSoundCreate(chosen, created->put(), nullptr);
        if (SUCCEEDED(hr))
            sound = std::move(created);
        return statusOf(hr);
    }

private:
    ApartmentRef m_apartment = std::make_shared<Apartment>();
};

} // namespace

std::shared_ptr<DirectX7> createSystemAudio()
{
    return std::make_shared<DsDirectX7>();
}

} // namespace audio
