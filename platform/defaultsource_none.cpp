#include "defaultsource.h"

namespace audio {

// Elsewhere Qt's default input is the system's default.
QByteArray serverDefaultSourceName()
{
    return {};
}

} // namespace audio
