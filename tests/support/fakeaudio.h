// An in-memory sound system for tests: capture data is a known pattern, the
// tests decide how much has been recorded, and any operation can be told to fail.
#pragma once

#include "platform/audio.h"
#include "platform/wavefile.h"

#include <QSet>
#include <QStringList>

#include <memory>
#include <vector>

namespace fake {

// Byte `i` of every fake recording.
std::uint8_t sampleAt(std::uint32_t i);

struct AudioState
{
    QSet<QString> failing; // operation names, e.g. "DirectSoundCaptureBuffer.Stop"
    std::uint32_t captured = 0; // bytes the running capture buffer has recorded
    int captureBuffersAlive = 0;
    int soundBuffersAlive = 0;
    bool captureRunning = false;
    audio::DSBUFFERDESC lastSoundDesc;
    // What the running capture buffer calls when the server goes away.
    audio::DirectSoundCaptureBuffer::InterruptedHandler interrupt;

    audio::Status call(const QString &operation);
};

class FakeDirectX7 : public audio::DirectX7
{
public:
    explicit FakeDirectX7(std::shared_ptr<AudioState> state) : m_state(std::move(state)) {}

    audio::Status DirectSoundCaptureCreate(const QString &device,
                                           std::shared_ptr<audio::DirectSoundCapture> &capture) override;
    audio::Status DirectSoundCreate(const QString &device,
                                    std::shared_ptr<audio::DirectSound> &sound) override;

private:
    std::shared_ptr<AudioState> m_state;
};

} // namespace fake
