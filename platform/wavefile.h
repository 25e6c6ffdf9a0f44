#pragma once

#include "audio.h"

#include <QByteArray>

namespace audio {

// Writes `samples` as a PCM WAVE file. The file appears at `path` only once it
// is complete; on failure nothing is left behind and an older file there is
// untouched.
Status writeWaveFile(const QString &path, const WAVEFORMATEX &format, const QByteArray &samples);

// A static buffer in memory: what both the real and the test backends hand out
// for playback, since nothing here is ever played.
class MemorySoundBuffer : public DirectSoundBuffer
{
public:
    MemorySoundBuffer(std::uint32_t size, const WAVEFORMATEX &format);

    Status WriteBuffer(std::uint32_t start, std::uint32_t count, const void *source,
                       std::uint32_t flags) override;
    Status SaveToFile(const QString &path) override;

    const QByteArray &data() const { return m_data; }

private:
    QByteArray m_data;
    WAVEFORMATEX m_format;
};

// The sample value of silence: 128 for unsigned 8-bit samples, 0 for 16-bit.
char silenceByte(const WAVEFORMATEX &format);

// Whether the backends can record and save in this format.
Status validatePcmFormat(const WAVEFORMATEX &format);

} // namespace audio
