// The real sound backend against a private sound server that plays a known
// signal into its default source (with a silent decoy source listed first).
#include "platform/systemaudio.h"

#include <QAudioDevice>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QProcess>
#include <QTest>

#include <cmath>

namespace {

audio::DSCBUFFERDESC recorderDesc(std::uint32_t bytes)
{
    audio::DSCBUFFERDESC desc;
    desc.lFlags = audio::CaptureWaveMapped;
    desc.lBufferBytes = bytes;
    desc.fxFormat.wFormatTag = audio::FormatPcm;
    desc.fxFormat.nChannels = 1;
    desc.fxFormat.nSamplesPerSec = 22050;
    desc.fxFormat.nAvgBytesPerSec = 22050;
    desc.fxFormat.nBlockAlign = 1;
    desc.fxFormat.wBitsPerSample = 8;
    return desc;
}

// Frequency from the first and last upward crossings of the midpoint: whole
// periods between them, so a short take still reads to a fraction of a hertz.
double frequencyOf(const QByteArray &samples)
{
    qsizetype first = -1, last = -1;
    int periods = -1;
    for (qsizetype i = 1; i < samples.size(); ++i) {
        if (quint8(samples[i - 1]) < 128 && quint8(samples[i]) >= 128) {
            first = first < 0 ? i : first;
            last = i;
            ++periods;
        }
    }
    return periods > 0 ? periods * 22050.0 / double(last - first) : 0;
}

int peakDeviation(const QByteArray &samples)
{
    int peak = 0;
    for (char c : samples)
        peak = std::max(peak, std::abs(int(quint8(c)) - 128));
    return peak;
}

} // namespace

class tst_QtAudio : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recordsTheDefaultSourceForAsLongAsAsked_data();
    void recordsTheDefaultSourceForAsLongAsAsked();
    void aFullBufferStopsFilling();
    void followsTheDefaultSource();

private:
    std::shared_ptr<audio::DirectX7> m_dx;
    std::shared_ptr<audio::DirectSoundCapture> m_capture;
    std::shared_ptr<audio::DirectSound> m_sound;
};

void tst_QtAudio::initTestCase()
{
    m_dx = audio::createSystemAudio();
    QVERIFY(m_dx->DirectSoundCaptureCreate(QString(), m_capture).ok);
    QVERIFY(m_dx->DirectSoundCreate(QString(), m_sound).ok);
    audio::DSCCAPS caps;
    QVERIFY(m_capture->GetCaps(caps).ok);
    // Only meaningful when Qt lists a source other than the default one first.
    const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
    QVERIFY(!inputs.isEmpty());
    QCOMPARE(inputs.first().id(), QByteArray("aaa_decoy"));
}

void tst_QtAudio::recordsTheDefaultSourceForAsLongAsAsked_data()
{
    QTest::addColumn<int>("ms");
    QTest::newRow("a moment") << 300;
    QTest::newRow("two seconds") << 2000;
}

void tst_QtAudio::recordsTheDefaultSourceForAsLongAsAsked()
{
    QFETCH(int, ms);
    std::shared_ptr<audio::DirectSoundCaptureBuffer> buffer;
    QVERIFY(m_capture->CreateCaptureBuffer(recorderDesc(441000), buffer).ok);
    QElapsedTimer clock;
    // Sound is there from the moment Start returns: the stream is running then.
    QVERIFY(buffer->Start(0).ok);
    clock.start();
    QTest::qWait(ms);
    const qint64 elapsedNs = clock.nsecsElapsed();
    QVERIFY(buffer->Stop().ok);

    audio::DSCURSORS cursors;
    QVERIFY(buffer->GetCurrentPosition(cursors).ok);
    const double expected = double(elapsedNs) * 22050 / 1e9;
    qInfo("recorded %u bytes over %.1f ms: %+.2f ms", cursors.lWrite, double(elapsedNs) / 1e6,
          (cursors.lWrite - expected) / 22.05);
    // Within 5 ms of the time it was recording.
    QVERIFY2(std::abs(double(cursors.lWrite) - expected) <= 110.25,
             qPrintable(QStringLiteral("%1 bytes, expected %2").arg(cursors.lWrite).arg(expected)));

    QByteArray samples(qsizetype(cursors.lWrite), Qt::Uninitialized);
    QVERIFY(buffer->ReadBuffer(0, cursors.lWrite, samples.data(), 0).ok);
    if (qEnvironmentVariable("MOLAN_EXPECT") == QLatin1String("silence")) {
        QCOMPARE(peakDeviation(samples), 0);
    } else {
        // The decoy source listed first is silent; the default one carries the tone.
        QVERIFY2(peakDeviation(samples) > 30, "recorded silence: not the default source?");
        const double hz = frequencyOf(samples);
        QVERIFY2(std::abs(hz - 440) <= 5, qPrintable(QString::number(hz)));
    }

    // Stopping twice is harmless; the take stays as it was.
    QVERIFY(buffer->Stop().ok);
    audio::DSCURSORS again;
    QVERIFY(buffer->GetCurrentPosition(again).ok);
    QCOMPARE(again.lWrite, cursors.lWrite);
}

void tst_QtAudio::aFullBufferStopsFilling()
{
    std::shared_ptr<audio::DirectSoundCaptureBuffer> buffer;
    QVERIFY(m_capture->CreateCaptureBuffer(recorderDesc(2205), buffer).ok);
    QVERIFY(buffer->Start(0).ok);
    QTest::qWait(400);
    audio::DSCURSORS cursors;
    QVERIFY(buffer->GetCurrentPosition(cursors).ok);
    QCOMPARE(cursors.lWrite, 2205u);
    QVERIFY(buffer->Stop().ok);
    QVERIFY(buffer->GetCurrentPosition(cursors).ok);
    QCOMPARE(cursors.lWrite, 2205u);
}

void tst_QtAudio::followsTheDefaultSource()
{
    if (qEnvironmentVariable("MOLAN_EXPECT") == QLatin1String("silence"))
        QSKIP("needs the tone to tell the sources apart");
    auto setDefault = [](const char *source) {
        return QProcess::execute(QStringLiteral("pactl"),
                                 {QStringLiteral("set-default-source"), QString::fromLatin1(source)});
    };
    // The person picks another microphone while the program runs.
    QCOMPARE(setDefault("aaa_decoy"), 0);
    std::shared_ptr<audio::DirectSoundCaptureBuffer> buffer;
    const bool created = m_capture->CreateCaptureBuffer(recorderDesc(22050), buffer).ok;
    QCOMPARE(setDefault("rec_mic"), 0);
    QVERIFY(created);
    QVERIFY(buffer->Start(0).ok);
    QTest::qWait(300);
    QVERIFY(buffer->Stop().ok);
    audio::DSCURSORS cursors;
    QVERIFY(buffer->GetCurrentPosition(cursors).ok);
    QVERIFY(cursors.lWrite > 5000);
    QByteArray samples(qsizetype(cursors.lWrite), Qt::Uninitialized);
    QVERIFY(buffer->ReadBuffer(0, cursors.lWrite, samples.data(), 0).ok);
    QCOMPARE(peakDeviation(samples), 0); // the silent one, now the default
}

QTEST_GUILESS_MAIN(tst_QtAudio)
#include "tst_qtaudio.moc"
