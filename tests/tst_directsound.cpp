// The DirectSound backend under Wine, whose sound driver records the default
// source of a private sound server playing a 440 Hz tone.
#include "sound/systemaudio.h"
#include "support/tone.h"

#include <QTest>

#include <algorithm>
#include <cmath>

class tst_DirectSound : public QObject
{
    Q_OBJECT

private slots:
    void recordsUpToTheStop();
};

// Each take holds the tone from Start to Stop, none of it made up, and its
// length matches the time between them. A busy machine may delay a take, so
// the best of three counts for the length.
void tst_DirectSound::recordsUpToTheStop()
{
    std::shared_ptr<audio::DirectSoundCapture> capture;
    QVERIFY(audio::createSystemAudio()->DirectSoundCaptureCreate(QString(), capture).ok);
    std::shared_ptr<audio::DirectSoundCaptureBuffer> buffer;
    tone::record(*capture, buffer, 50); // a take before the first, let go of on its Start
    double best = 1e9;
    for (int n = 0; n < 3; ++n) {
        const tone::Take take = tone::record(*capture, buffer, 2000);
        qInfo("%lld bytes over %.1f ms: %+.2f ms", qlonglong(take.samples.size()), take.elapsedMs,
              take.errorMs());
        QCOMPARE(tone::fault(take.samples), QString());
        best = std::min(best, std::abs(take.errorMs()));
    }
    QVERIFY2(best <= 5, qPrintable(QString::number(best)));
}

QTEST_GUILESS_MAIN(tst_DirectSound)
#include "tst_directsound.moc"
