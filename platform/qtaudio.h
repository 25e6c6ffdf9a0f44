#pragma once

#include "audio.h"

#include <memory>

namespace audio {

// The real backend: Qt Multimedia on the system's sound server.
std::shared_ptr<DirectX7> createQtAudio();

} // namespace audio
