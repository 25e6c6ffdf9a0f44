#include "frmmain.h"

#include "checked.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::int64_t kBufferSeconds = 20;
// The recording stops itself one second before the buffer would fill.
constexpr SecondsCounter kAutoStopTick = 19;

} // namespace

void FrmMain::cmdStartRec_Click()
{
    unguarded(&FrmMain::startRecording);
}

void FrmMain::cmdStopRec_Click()
{
    unguarded(&FrmMain::stopRecording);
}

void FrmMain::startRecording()
{
    m_captureBuffer.reset(); // the recording it held is gone
    endRecovery();
    ++m_take;
    m_silenceTold = false;

    // Asked only to learn that the device still answers before a take begins.
    audio::DSCCAPS caps;
    audio::check(m_dsc->GetCaps(caps), "DirectSoundCapture.GetCaps");

    m_captureFormat = CaptureFormat{};
    m_captureFormat.wFormatTag = audio::FormatPcm;
    m_captureFormat.nChannels = 1;
    m_captureFormat.nSamplesPerSec = 22050;
    m_captureFormat.wBitsPerSample = 8;
    m_captureFormat.nBlockAlign = 1;
    m_captureFormat.nAvgBytesPerSec = 22050;
    m_captureFormat.cbSize = 0;

    std::memcpy(&m_captureDesc.fxFormat, &m_captureFormat, sizeof m_captureFormat);
    m_captureDesc.lBufferBytes = checkedMul<std::int32_t>(m_captureFormat.nAvgBytesPerSec, kBufferSeconds);
    m_captureDesc.lFlags = audio::CaptureWaveMapped;

    audio::check(m_dsc->CreateCaptureBuffer(m_captureDesc, m_captureBuffer),
                 "DirectSoundCapture.CreateCaptureBuffer");
    m_captureBuffer->setInterruptedHandler([this](const QString &reason) { captureInterrupted(reason); });
    m_captureBuffer->setSilencedHandler([this](const QString &reason) { captureSilenced(reason); });
    audio::check(m_captureBuffer->Start(audio::CaptureOnce), "DirectSoundCaptureBuffer.Start");
    startRecovery();

    tmrCount->setInterval(1000);
    tmrCount->start();

    cmdStopRec->setEnabled(true);
    cmdStartRec->setEnabled(false);
    cmdSaveToFile->setEnabled(false);
    lblTIME->setText(secondsText(0));
}

void FrmMain::stopRecording()
{
    audio::check(m_captureBuffer->Stop(), "DirectSoundCaptureBuffer.Stop");
    recordingStopped();
}

// The take ended short of what was asked: the server or the device went or
// stopped answering while recording, or the sound up to the Stop never came.
// What came is kept, as Stop would keep it, never made up; the person is told
// how much that is.
void FrmMain::captureInterrupted(const QString &reason)
{
    if (!m_captureBuffer)
        return;
    const bool recording = tmrCount->isActive();
    if (recording)
        recordingStopped();
    audio::DSCURSORS kept;
    const double seconds = m_captureBuffer->GetCurrentPosition(kept)
        ? double(kept.lWrite) / m_captureFormat.nAvgBytesPerSec
        : 0.0;
    const QString what = recording ? QStringLiteral("录音被中断：%1").arg(reason)
                                   : QStringLiteral("录音没有完整收到：%1").arg(reason);
    if (kept.lWrite == 0) {
        cmdSaveToFile->setEnabled(false); // nothing to save
        m_services.desktop->critical(this, what + QStringLiteral("\n\n没有录下任何声音。"));
        backToWork();
        return;
    }
    m_services.desktop->critical(
        this,
        what + QStringLiteral("\n\n已经录下的 %1 秒声音仍然保留，可以保存到文件。").arg(seconds, 0, 'f', 1));
    backToWork();
}

// The take goes on, but can only be silence until the person unmutes. Said
// once a take: a device muted and unmuted again and again is not news.
void FrmMain::captureSilenced(const QString &reason)
{
    if (!m_captureBuffer || !tmrCount->isActive() || m_silenceTold)
        return;
    m_silenceTold = true;
    m_services.desktop->warning(
        this,
        QStringLiteral("%1，现在录下的只会是静音。\n\n请关闭静音（设备上的静音开关，或系统的声音设置），"
                       "并调高录音音量。录音仍在继续。")
            .arg(reason));
    backToWork();
}

// After Stop the last moments may still be on their way: the recovery file
// gets them as they come, and once all are here the take is looked at.
void FrmMain::followTail()
{
    feedRecovery();
    audio::DSCURSORS cursors;
    if (!m_captureBuffer || tmrCount->isActive() || !m_captureBuffer->GetCurrentPosition(cursors))
        return;
    if (cursors.lPlay < cursors.lWrite) {
        QTimer::singleShot(kTailPollMs, this, [this, take = m_take] {
            if (take == m_take && !m_closing)
                followTail();
        });
    } else if (cursors.lWrite == 0) {
        endRecovery(); // nothing to keep
    } else {
        tellIfSilent(cursors.lWrite);
    }
}

// A take with no sound at all in it: a muted or unplugged microphone, a
// privacy switch, a device that hands over zeros. Still kept.
void FrmMain::tellIfSilent(std::uint32_t bytes)
{
    if (m_silenceTold || m_captureFormat.wBitsPerSample != 8)
        return;
    QByteArray samples(qsizetype(bytes), Qt::Uninitialized);
    if (!m_captureBuffer->ReadBuffer(0, bytes, samples.data(), 0))
        return;
    const bool silent = std::all_of(samples.cbegin(), samples.cend(),
                                    [](char sample) { return std::abs(int(quint8(sample)) - 0x80) <= 1; });
    if (!silent)
        return;
    m_silenceTold = true;
    m_services.desktop->warning(
        this,
        QStringLiteral("这段录音里没有任何声音，录到的全是静音。\n\n请检查麦克风是否接好、是否被静音"
                       "（包括设备上的静音开关），并在系统的声音设置中查看录音设备和音量。"
                       "录音仍然保留，可以保存到文件。"));
    backToWork();
}

// Where the work goes on after a message: Save when there is a take to
// save, else the button that records.
void FrmMain::backToWork()
{
    if (m_closing)
        return;
    for (QPushButton *button : {cmdStopRec, cmdSaveToFile, cmdStartRec}) {
        if (button->isEnabled()) {
            button->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

void FrmMain::recordingStopped()
{
    m_secondsCounter = 0;
    tmrCount->stop();
    followTail();
    cmdSaveToFile->setEnabled(true);
    cmdStartRec->setEnabled(true);
    cmdStopRec->setEnabled(false);
}

void FrmMain::tmrCount_Timer()
{
    // Every step here goes on whatever the one before it raised.
    try {
        m_secondsCounter = checkedAdd<SecondsCounter>(m_secondsCounter, 1);
    } catch (const std::exception &) {
    }
    if (m_secondsCounter == kAutoStopTick) {
        try {
            stopRecording();
        } catch (const std::exception &) {
        }
    } else {
        lblTIME->setText(secondsText(m_secondsCounter));
    }
}
