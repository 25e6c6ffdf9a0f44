#include "audio.h"

namespace audio {

AudioError::AudioError(QString operation, QString reason)
    : std::runtime_error(QStringLiteral("%1: %2").arg(operation, reason).toStdString()),
      m_operation(std::move(operation)),
      m_reason(std::move(reason))
{
}

void check(const Status &status, const char *operation)
{
    if (!status.ok)
        throw AudioError(QString::fromLatin1(operation), status.reason);
}

} // namespace audio
