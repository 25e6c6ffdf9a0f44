// Takes of the 440 Hz tone a private sound server plays into its default
// source, in the recorder's format, and what is wrong with one.
#pragma once

#include "sound/audio.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <vector>

namespace tone {

// Frequency from the periods between upward crossings of the midpoint. One
// odd period, where the server skipped or repeated a few samples, is left
// out rather than smeared over the whole take.
inline double frequencyOf(const QByteArray &samples)
{
    std::vector<qsizetype> periods;
    for (qsizetype i = 1, last = -1; i < samples.size(); ++i) {
        if (quint8(samples[i - 1]) < 128 && quint8(samples[i]) >= 128) {
            if (last >= 0)
                periods.push_back(i - last);
            last = i;
        }
    }
    if (periods.empty())
        return 0;
    std::sort(periods.begin(), periods.end());
    const qsizetype median = periods[periods.size() / 2];
    const auto from = std::lower_bound(periods.begin(), periods.end(), median - 2);
    const auto to = std::upper_bound(periods.begin(), periods.end(), median + 2);
    return double(to - from) * 22050.0 / double(std::accumulate(from, to, qsizetype(0)));
}

// The tone throughout and in its last 20 ms, and no silence inside, which
// the tone at half scale never gives three samples running; empty when all
// is well.
inline QString fault(const QByteArray &samples)
{
    const double hz = frequencyOf(samples);
    const double endHz = frequencyOf(samples.last(std::min<qsizetype>(441, samples.size())));
    if (std::abs(hz - 440) > 5 || std::abs(endHz - 440) > 25)
        return QStringLiteral("%1 Hz, %2 Hz at the end").arg(hz).arg(endHz);
    const auto silence = std::search_n(samples.begin(), samples.end(), 3, 128, [](char sample, int mid) {
        return std::abs(quint8(sample) - mid) <= 2;
    });
    if (silence != samples.end())
        return QStringLiteral("silence at %1 ms").arg(double(silence - samples.begin()) / 22.05);
    return {};
}

struct Take
{
    QByteArray samples;
    double elapsedMs = 0; // from Start to Stop, by the caller's clock
    double roomMs = 0; // what the buffer holds
    double errorMs() const { return double(samples.size()) / 22.05 - std::min(elapsedMs, roomMs); }
};

// Records into a new buffer of `bytes` for `ms`, in the recorder's format. As in the recorder, the
// buffer of the take before is let go of on Start, within the take's time.
// What the buffer said of the take goes to `told`.
inline Take record(audio::DirectSoundCapture &capture,
                   std::shared_ptr<audio::DirectSoundCaptureBuffer> &buffer, int ms, QString *told = nullptr,
                   std::uint32_t bytes = 441000)
{
    Take take;
    take.roomMs = bytes / 22.05;
    QElapsedTimer clock;
    clock.start();
    buffer.reset();
    const audio::DSCBUFFERDESC desc{
        audio::CaptureWaveMapped, bytes, {audio::FormatPcm, 1, 22050, 22050, 1, 8}};
    if (!capture.CreateCaptureBuffer(desc, buffer).ok)
        return take;
    if (told) {
        buffer->setInterruptedHandler([told](const QString &reason) { *told += reason; });
        buffer->setSilencedHandler([told](const QString &reason) { *told += reason; });
    }
    if (!buffer->Start(audio::CaptureOnce).ok)
        return take;
    QTest::qWait(ms);
    take.elapsedMs = double(clock.nsecsElapsed()) / 1e6;
    audio::DSCURSORS cursors;
    // The last moments up to the Stop may come in after it.
    if (!buffer->Stop().ok
        || !QTest::qWaitFor(
            [&] { return buffer->GetCurrentPosition(cursors).ok && cursors.lPlay >= cursors.lWrite; }, 2000))
        return take;
    // What the buffer says of the take was sent before its end showed.
    QCoreApplication::processEvents();
    take.samples.resize(qsizetype(cursors.lWrite));
    if (!buffer->ReadBuffer(0, cursors.lWrite, take.samples.data(), 0).ok)
        take.samples.clear();
    return take;
}

} // namespace tone
