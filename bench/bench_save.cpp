// How long saving a full recording takes: audio::writeWaveFile beside plain
// writes of the same bytes, each timed from opening the file to having it
// closed (or committed) under its name.
//
// Also what a take's recovery file costs the window a second of recording:
// one second of sound handed to its writer, which writes it on a thread of
// its own.
//
// Usage: bench_save [--reps N] [--dir DIR]
// Prints tab-separated lines: "qt VERSION", "bytes SIZE", "reps N", then
// "NAME MEDIAN_MS MIN_MS MAX_MS" for each writer and for "recovery second".

#include "sound/recovery.h"
#include "sound/wavefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr std::uint32_t kRate = 22050;
constexpr qsizetype kBytes = 19 * kRate; // what 19 s of recording leaves

audio::WAVEFORMATEX recorderFormat()
{
    audio::WAVEFORMATEX format;
    format.wFormatTag = audio::FormatPcm;
    format.nChannels = 1;
    format.nSamplesPerSec = kRate;
    format.nAvgBytesPerSec = kRate;
    format.nBlockAlign = 1;
    format.wBitsPerSample = 8;
    return format;
}

// A 440 Hz tone at half scale, like the sound the benchmark records.
QByteArray tone()
{
    QByteArray samples(kBytes, Qt::Uninitialized);
    for (qsizetype i = 0; i < kBytes; ++i)
        samples[i] =
            char(128 + std::lround(63.0 * std::sin(2 * std::numbers::pi * 440.0 * double(i) / kRate)));
    return samples;
}

void put16(QByteArray &out, std::uint16_t v)
{
    out.append(char(v & 0xff)).append(char(v >> 8));
}

void put32(QByteArray &out, std::uint32_t v)
{
    put16(out, std::uint16_t(v & 0xffff));
    put16(out, std::uint16_t(v >> 16));
}

// The canonical 44-byte header followed by the samples: the same file the
// plain writers produce, so that only the way of writing differs.
QByteArray waveBytes(const audio::WAVEFORMATEX &f, const QByteArray &samples)
{
    QByteArray out;
    out.append("RIFF");
    put32(out, std::uint32_t(36 + samples.size()));
    out.append("WAVEfmt ");
    put32(out, 16);
    put16(out, f.wFormatTag);
    put16(out, f.nChannels);
    put32(out, f.nSamplesPerSec);
    put32(out, f.nAvgBytesPerSec);
    put16(out, f.nBlockAlign);
    put16(out, f.wBitsPerSample);
    out.append("data");
    put32(out, std::uint32_t(samples.size()));
    out.append(samples);
    return out;
}

struct Writer
{
    const char *name;
    std::function<bool(const QString &)> write;
    std::vector<double> ms;
    qint64 size = -1;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
    int reps = 50;
    QString base = QDir::tempPath();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--reps" && i + 1 < argc)
            reps = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--dir" && i + 1 < argc)
            base = QString::fromLocal8Bit(argv[++i]);
        else {
            std::fprintf(stderr, "usage: bench_save [--reps N] [--dir DIR]\n");
            return 2;
        }
    }
    QTemporaryDir dir(base + QStringLiteral("/bench_save-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench_save: cannot make a directory in %s\n", qPrintable(base));
        return 1;
    }

    const audio::WAVEFORMATEX format = recorderFormat();
    const QByteArray samples = tone();
    const QByteArray file = waveBytes(format, samples);

    std::vector<Writer> writers;
    writers.push_back({"writeWaveFile",
                       [&](const QString &path) { return bool(audio::writeWaveFile(path, format, samples)); },
                       {}});
    // The same replace-when-complete write writeWaveFile does, without libsndfile.
    writers.push_back({"QSaveFile",
                       [&](const QString &path) {
                           QSaveFile f(path);
                           return f.open(QIODevice::WriteOnly) && f.write(file) == file.size() && f.commit();
                       },
                       {}});
    writers.push_back({"QFile",
                       [&](const QString &path) {
                           QFile f(path);
                           if (!f.open(QIODevice::WriteOnly) || f.write(file) != file.size())
                               return false;
                           f.close();
                           return f.error() == QFileDevice::NoError;
                       },
                       {}});
#ifdef Q_OS_UNIX
    // A plain write made durable the way QSaveFile::commit() makes it.
    writers.push_back({"QFile+fdatasync",
                       [&](const QString &path) {
                           QFile f(path);
                           if (!f.open(QIODevice::WriteOnly) || f.write(file) != file.size() || !f.flush()
                               || ::fdatasync(f.handle()) != 0)
                               return false;
                           f.close();
                           return f.error() == QFileDevice::NoError;
                       },
                       {}});
#endif
    writers.push_back({"ofstream",
                       [&](const QString &path) {
                           std::ofstream f(QFile::encodeName(path).toStdString(), std::ios::binary);
                           f.write(file.constData(), file.size());
                           f.close();
                           return bool(f);
                       },
                       {}});

    // One untimed round first, then the writers take turns leading each round
    // so none always meets a cache the others warmed.
    for (int rep = -1; rep < reps; ++rep) {
        for (size_t k = 0; k < writers.size(); ++k) {
            Writer &w = writers[(size_t(rep + 1) + k) % writers.size()];
            const QString path =
                dir.filePath(QStringLiteral("%1-%2.wav").arg(QLatin1String(w.name)).arg(rep));
            const auto start = std::chrono::steady_clock::now();
            const bool ok = w.write(path);
            const auto end = std::chrono::steady_clock::now();
            if (!ok) {
                std::fprintf(stderr, "bench_save: %s failed to write %s\n", w.name, qPrintable(path));
                return 1;
            }
            if (rep >= 0)
                w.ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
            w.size = QFileInfo(path).size();
            QFile::remove(path);
        }
    }

    std::vector<double> second;
    for (int rep = 0; rep < reps; ++rep) {
        QString why;
        auto recovery = audio::RecoveryFile::create(dir.filePath(QStringLiteral("recovery")), format, why);
        if (!recovery) {
            std::fprintf(stderr, "bench_save: no recovery file: %s\n", qPrintable(why));
            return 1;
        }
        const auto start = std::chrono::steady_clock::now();
        recovery->append(samples.first(kRate));
        recovery.reset(); // the window's part: the writer goes on on its own thread
        second.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        QDir(dir.filePath(QStringLiteral("recovery"))).removeRecursively();
    }

    std::printf("qt\t%s\n", qVersion());
    std::printf("bytes\t%lld\n", static_cast<long long>(writers.front().size));
    std::printf("reps\t%d\n", reps);
    for (const Writer &w : writers) {
        if (w.size != writers.front().size) {
            std::fprintf(stderr, "bench_save: %s wrote %lld bytes, not %lld\n", w.name,
                         static_cast<long long>(w.size), static_cast<long long>(writers.front().size));
            return 1;
        }
        std::printf("%s\t%.3f\t%.3f\t%.3f\n", w.name, median(w.ms),
                    *std::min_element(w.ms.begin(), w.ms.end()), *std::max_element(w.ms.begin(), w.ms.end()));
    }
    std::printf("recovery second\t%.3f\t%.3f\t%.3f\n", median(second),
                *std::min_element(second.begin(), second.end()),
                *std::max_element(second.begin(), second.end()));
    return 0;
}
