#pragma once

#include <QByteArray>

namespace audio {

// The sound server's own idea of the default capture source, by name, or empty
// when there is no such notion (or no server). Qt's default input on
// PulseAudio is merely the first one listed, which is often a different one.
QByteArray serverDefaultSourceName();

} // namespace audio
