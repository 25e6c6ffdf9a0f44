#include "fakeaudio.h"

#include <algorithm>
#include <cstring>

namespace fake {

std::uint8_t sampleAt(std::uint32_t i)
{
    // Not periodic in any small power of two, so a shifted copy shows.
    return std::uint8_t((i * 7u + i / 251u) & 0xFFu);
}

audio::Status AudioState::call(const QString &operation)
{
    if (failing.contains(operation))
        return audio::Status::failure(QStringLiteral("模拟的故障"));
    return audio::Status::success();
}

namespace {

class CaptureBuffer : public audio::DirectSoundCaptureBuffer
{
public:
    CaptureBuffer(std::shared_ptr<AudioState> state, std::uint32_t size)
        : m_state(std::move(state)), m_size(size)
    {
        ++m_state->captureBuffersAlive;
        m_state->captured = 0;
        m_state->captureRunning = false;
    }
    ~CaptureBuffer() override
    {
        --m_state->captureBuffersAlive;
        m_state->interrupt = nullptr;
        m_state->captureRunning = false;
    }

    audio::Status Start(std::uint32_t) override
    {
        auto status = m_state->call(QStringLiteral("DirectSoundCaptureBuffer.Start"));
        if (status)
            m_state->captureRunning = true;
        return status;
    }
    audio::Status Stop() override
    {
        auto status = m_state->call(QStringLiteral("DirectSoundCaptureBuffer.Stop"));
        if (status)
            m_state->captureRunning = false;
        return status;
    }
    audio::Status GetCurrentPosition(audio::DSCURSORS &cursors) override
    {
        auto status = m_state->call(QStringLiteral("DirectSoundCaptureBuffer.GetCurrentPosition"));
        if (status) {
            const std::uint32_t n = std::min(m_state->captured, m_size);
            cursors.lPlay = n;
            cursors.lWrite = n;
        }
        return status;
    }
    audio::Status ReadBuffer(std::uint32_t start, std::uint32_t count, void *dest, std::uint32_t) override
    {
        auto status = m_state->call(QStringLiteral("DirectSoundCaptureBuffer.ReadBuffer"));
        if (!status)
            return status;
        if (quint64(start) + count > m_size)
            return audio::Status::failure(QStringLiteral("out of range"));
        auto *out = static_cast<std::uint8_t *>(dest);
        for (std::uint32_t i = 0; i < count; ++i)
            out[i] = i + start < m_state->captured ? sampleAt(start + i) : 0x80;
        return status;
    }

    void setInterruptedHandler(InterruptedHandler handler) override
    {
        m_state->interrupt = std::move(handler);
    }

private:
    std::shared_ptr<AudioState> m_state;
    std::uint32_t m_size;
};

// Counts itself and can be told to fail, around the real in-memory buffer.
class SoundBuffer : public audio::MemorySoundBuffer
{
public:
    SoundBuffer(std::shared_ptr<AudioState> state, std::uint32_t size, const audio::WAVEFORMATEX &format)
        : MemorySoundBuffer(size, format), m_state(std::move(state))
    {
        ++m_state->soundBuffersAlive;
    }
    ~SoundBuffer() override { --m_state->soundBuffersAlive; }

    audio::Status WriteBuffer(std::uint32_t start, std::uint32_t count, const void *source,
                              std::uint32_t flags) override
    {
        auto status = m_state->call(QStringLiteral("DirectSoundBuffer.WriteBuffer"));
        return status ? MemorySoundBuffer::WriteBuffer(start, count, source, flags) : status;
    }
    audio::Status SaveToFile(const QString &path) override
    {
        auto status = m_state->call(QStringLiteral("DirectSoundBuffer.SaveToFile"));
        return status ? MemorySoundBuffer::SaveToFile(path) : status;
    }

private:
    std::shared_ptr<AudioState> m_state;
};

// Both default devices at once; the root object hands out this one.
class Devices : public audio::DirectSoundCapture, public audio::DirectSound
{
public:
    explicit Devices(std::shared_ptr<AudioState> state) : m_state(std::move(state)) {}

    audio::Status GetCaps(audio::DSCCAPS &caps) override
    {
        caps = {};
        return m_state->call(QStringLiteral("DirectSoundCapture.GetCaps"));
    }
    audio::Status CreateCaptureBuffer(const audio::DSCBUFFERDESC &desc,
                                      std::shared_ptr<audio::DirectSoundCaptureBuffer> &buffer) override
    {
        auto status = m_state->call(QStringLiteral("DirectSoundCapture.CreateCaptureBuffer"));
        if (status)
            buffer = std::make_shared<CaptureBuffer>(m_state, desc.lBufferBytes);
        return status;
    }
    audio::Status CreateSoundBuffer(const audio::DSBUFFERDESC &desc, const audio::WAVEFORMATEX &format,
                                    std::shared_ptr<audio::DirectSoundBuffer> &buffer) override
    {
        m_state->lastSoundDesc = desc;
        auto status = m_state->call(QStringLiteral("DirectSound.CreateSoundBuffer"));
        if (status)
            buffer = std::make_shared<SoundBuffer>(m_state, desc.lBufferBytes, format);
        return status;
    }

private:
    std::shared_ptr<AudioState> m_state;
};

} // namespace

audio::Status FakeDirectX7::DirectSoundCaptureCreate(const QString &,
                                                     std::shared_ptr<audio::DirectSoundCapture> &capture)
{
    auto status = m_state->call(QStringLiteral("DirectX7.DirectSoundCaptureCreate"));
    if (status)
        capture = std::make_shared<Devices>(m_state);
    return status;
}

audio::Status FakeDirectX7::DirectSoundCreate(const QString &, std::shared_ptr<audio::DirectSound> &sound)
{
    auto status = m_state->call(QStringLiteral("DirectX7.DirectSoundCreate"));
    if (status)
        sound = std::make_shared<Devices>(m_state);
    return status;
}

} // namespace fake
