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

    audio::check(m_dsc->GetCaps(m_captureCaps), "DirectSoundCapture.GetCaps");

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

// The server or the device ended the take: keep what it holds, as Stop would,
// rather than count on over silence.
void FrmMain::captureInterrupted(const QString &reason)
{
    if (!tmrCount->isActive())
        return;
    recordingStopped();
    m_services.desktop->critical(
        this, QStringLiteral("录音被中断：%1\n\n中断前录下的声音仍然保留，可以保存到文件。").arg(reason));
}

void FrmMain::recordingStopped()
{
    m_secondsCounter = 0;
    tmrCount->stop();
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
