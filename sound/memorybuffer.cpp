#include "memorybuffer.h"

#include "wavefile.h"

#include <cstring>

namespace audio {

MemorySoundBuffer::MemorySoundBuffer(std::uint32_t size, const WAVEFORMATEX &format)
    : m_data(qsizetype(size), silenceByte(format)), m_format(format)
{
}

Status MemorySoundBuffer::WriteBuffer(std::uint32_t start, std::uint32_t count, const void *source,
                                      std::uint32_t)
{
    if (quint64(start) + count > quint64(m_data.size()))
        return Status::failure(QStringLiteral("写入范围超出缓冲区"));
    if (count)
        std::memcpy(m_data.data() + start, source, count);
    return Status::success();
}

Status MemorySoundBuffer::SaveToFile(const QString &path)
{
    return writeWaveFile(path, m_format, m_data);
}

} // namespace audio
