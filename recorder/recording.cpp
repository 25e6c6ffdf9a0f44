#include "frmmain.h"

#include "checked.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

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
        return;
    }
    m_services.desktop->critical(
        this,
        what + QStringLiteral("\n\n已经录下的 %1 秒声音仍然保留，可以保存到文件。").arg(seconds, 0, 'f', 1));
}

void FrmMain::recordingStopped()
{
    m_secondsCounter = 0;
    tmrCount->stop();
    feedRecovery();
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
