#pragma once

#include "audio.h"

#include <QByteArray>

namespace audio {

// A static buffer in memory: what both the real and the test backends hand out
// for playback, since nothing here is ever played.
class MemorySoundBuffer : public DirectSoundBuffer
{
public:
    MemorySoundBuffer(std::uint32_t size, const WAVEFORMATEX &format);

    Status WriteBuffer(std::uint32_t start, std::uint32_t count, const void *source,
                       std::uint32_t flags) override;
    Status SaveToFile(const QString &path) override;

private:
    QByteArray m_data;
    WAVEFORMATEX m_format;
};

} // namespace audio
