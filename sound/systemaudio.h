#pragma once

#include "audio.h"

#include <memory>

namespace audio {

// The real sound system of this platform: the sound server's client library on
// Linux, DirectSound on Windows.
std::shared_ptr<DirectX7> createSystemAudio();

} // namespace audio
