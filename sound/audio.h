// The sound operations the recorder uses, shaped after the small DirectSound
// subset it was designed around: a root object opens the default devices, a
// capture buffer records one pass into a fixed block, and a static playback
// buffer holds a copy that can write itself out as a WAVE file.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>

namespace audio {

// Same layout as the Windows record, so a byte copy of it means the same there.
struct WAVEFORMATEX
{
    std::uint16_t wFormatTag = 0;
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;
    std::uint16_t cbSize = 0;
    std::uint16_t alignment = 0;
    std::uint32_t extra = 0;
};
static_assert(sizeof(WAVEFORMATEX) == 24);
static_assert(offsetof(WAVEFORMATEX, wFormatTag) == 0);
static_assert(offsetof(WAVEFORMATEX, nChannels) == 2);
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4);
static_assert(offsetof(WAVEFORMATEX, nAvgBytesPerSec) == 8);
static_assert(offsetof(WAVEFORMATEX, nBlockAlign) == 12);
static_assert(offsetof(WAVEFORMATEX, wBitsPerSample) == 14);
static_assert(offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(offsetof(WAVEFORMATEX, extra) == 20);

// The platform's values, under names of our own: Windows headers define the
// originals as macros.
constexpr std::uint16_t FormatPcm = 1; // WAVE_FORMAT_PCM

struct DSCBUFFERDESC
{
    std::uint32_t lFlags = 0;
    std::uint32_t lBufferBytes = 0;
    WAVEFORMATEX fxFormat;
};
static_assert(sizeof(DSCBUFFERDESC) == 32);

struct DSBUFFERDESC
{
    std::uint32_t lFlags = 0;
    std::uint32_t lBufferBytes = 0;
};

struct DSCURSORS
{
    std::uint32_t lPlay = 0; // capture position
    std::uint32_t lWrite = 0; // read position: end of the data safe to read
};

struct DSCCAPS
{
    std::uint32_t lFlags = 0;
    std::uint32_t lFormats = 0;
    std::uint32_t lChannels = 0;
};

constexpr std::uint32_t CaptureWaveMapped = 0x80000000u; // DSCBCAPS_WAVEMAPPED
constexpr std::uint32_t BufferCtrlVolume = 0x80u; // DSBCAPS_CTRLVOLUME
constexpr std::uint32_t BufferStatic = 0x02u; // DSBCAPS_STATIC
constexpr std::uint32_t CaptureOnce = 0; // start flags: one pass, no looping

// What every operation returns. A failure carries a reason a person can read.
struct Status
{
    bool ok = true;
    QString reason;

    static Status success() { return {}; }
    static Status failure(QString why) { return {false, std::move(why)}; }
    explicit operator bool() const { return ok; }
};

// A failed operation, raised by the caller that needed it to succeed.
class AudioError : public std::runtime_error
{
public:
    AudioError(QString operation, QString reason);
    const QString &operation() const { return m_operation; }
    const QString &reason() const { return m_reason; }

private:
    QString m_operation;
    QString m_reason;
};

// Raises AudioError naming `operation` when `status` is a failure.
void check(const Status &status, const char *operation);

class DirectSoundCaptureBuffer
{
public:
    virtual ~DirectSoundCaptureBuffer() = default;
    virtual Status Start(std::uint32_t flags) = 0;
    virtual Status Stop() = 0;
    virtual Status GetCurrentPosition(DSCURSORS &cursors) = 0;
    virtual Status ReadBuffer(std::uint32_t start, std::uint32_t count, void *dest, std::uint32_t flags) = 0;

    // Called on the creating thread when the capture ends without a Stop: the
    // server went away or the device was removed. What was recorded until then
    // stays readable, and the read position stands at its end.
    using InterruptedHandler = std::function<void(const QString &reason)>;
    virtual void setInterruptedHandler(InterruptedHandler handler) = 0;

    // Called on the creating thread when the capture goes on but can only
    // record silence: the device, or this capture of it, was muted or its
    // volume set to zero. Where the platform cannot tell, never.
    using SilencedHandler = std::function<void(const QString &reason)>;
    virtual void setSilencedHandler(SilencedHandler) {}
};

class DirectSoundCapture
{
public:
    virtual ~DirectSoundCapture() = default;
    virtual Status GetCaps(DSCCAPS &caps) = 0;
    virtual Status CreateCaptureBuffer(const DSCBUFFERDESC &desc,
                                       std::shared_ptr<DirectSoundCaptureBuffer> &buffer) = 0;
};

class DirectSoundBuffer
{
public:
    virtual ~DirectSoundBuffer() = default;
    virtual Status WriteBuffer(std::uint32_t start, std::uint32_t count, const void *source,
                               std::uint32_t flags) = 0;
    virtual Status SaveToFile(const QString &path) = 0;
};

class DirectSound
{
public:
    virtual ~DirectSound() = default;
    virtual Status CreateSoundBuffer(const DSBUFFERDESC &desc, const WAVEFORMATEX &format,
                                     std::shared_ptr<DirectSoundBuffer> &buffer) = 0;
};

// The root object. An empty device identifier means the default device.
class DirectX7
{
public:
    virtual ~DirectX7() = default;
    virtual Status DirectSoundCaptureCreate(const QString &device,
                                            std::shared_ptr<DirectSoundCapture> &capture) = 0;
    virtual Status DirectSoundCreate(const QString &device, std::shared_ptr<DirectSound> &sound) = 0;
};

} // namespace audio
