#pragma once

#include "audio.h"

#include <QByteArray>

namespace audio {

// Writes `samples` as a PCM WAVE file, in a format validateBuffer accepted. The file appears at `path` only
// once it is complete; on failure nothing is left behind and an older file there is untouched.
Status writeWaveFile(const QString &path, const WAVEFORMATEX &format, const QByteArray &samples);

// The sample value of silence: 128 for unsigned 8-bit samples, 0 for 16-bit.
char silenceByte(const WAVEFORMATEX &format);

// Whether a buffer of `bytes` can be recorded or saved in this format: the
// backends ask when a buffer is made, and nothing later asks again.
Status validateBuffer(const WAVEFORMATEX &format, std::uint32_t bytes);

} // namespace audio
