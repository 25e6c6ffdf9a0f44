#include "frmmain.h"

#include "sound/recovery.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

// Every take goes to disk as it comes, so that a crash does not lose it; the
// file goes once the take ends the normal way.
void FrmMain::startRecovery()
{
    if (m_services.recoveryFolder.isEmpty())
        return;
    QString why;
    m_recovery = audio::RecoveryFile::create(m_services.recoveryFolder, m_captureFormat, why);
    m_recoveryFed = 0;
    if (!m_recovery && !m_recoveryFailureTold) {
        m_recoveryFailureTold = true;
        std::fprintf(stderr, "molan-recorder: recording without a recovery file: %s\n", qPrintable(why));
    }
}

// Called on every tick, and after the take ends until all of it is here.
void FrmMain::feedRecovery()
{
    audio::DSCURSORS cursors;
    if (!m_recovery || !m_captureBuffer || !m_captureBuffer->GetCurrentPosition(cursors))
        return;
    const std::uint32_t ready = std::min(cursors.lPlay, cursors.lWrite);
    if (ready > m_recoveryFed) {
        QByteArray samples(qsizetype(ready - m_recoveryFed), Qt::Uninitialized);
        if (m_captureBuffer->ReadBuffer(m_recoveryFed, ready - m_recoveryFed, samples.data(), 0)) {
            m_recovery->append(std::move(samples));
            m_recoveryFed = ready;
        }
    }
}

void FrmMain::endRecovery()
{
    if (m_recovery)
        m_recovery->remove();
    m_recovery.reset();
}

// A take that an earlier run recorded and never saved (it crashed, or was
// killed) is put back as if it had just been recorded.
void FrmMain::offerLeftOver()
{
    if (m_closing || m_services.recoveryFolder.isEmpty())
        return;
    std::unique_ptr<audio::RecoveryFile> found = audio::RecoveryFile::leftOver(m_services.recoveryFolder);
    if (!found)
        return;
    audio::WAVEFORMATEX format;
    QByteArray samples;
    QString why;
    if (!found->read(format, samples, why)) {
        const QString aside = QDir::toNativeSeparators(found->setAside());
        m_services.desktop->critical(
            this, QStringLiteral("上次运行留下的录音无法恢复：%1\n\n文件已移到“%2”。").arg(why, aside));
        return;
    }
    if (samples.isEmpty()) {
        found->remove();
        return;
    }
    const double seconds = double(samples.size()) / format.nAvgBytesPerSec;
    m_captureFormat = format;
    m_captureDesc.fxFormat = format;
    m_captureBuffer = audio::recoveredTake(std::move(samples));
    m_recovery = std::move(found);
    cmdStartRec->setEnabled(true);
    cmdStopRec->setEnabled(false);
    cmdSaveToFile->setEnabled(true);
    cmdSaveToFile->setFocus();
    lblTIME->setText(secondsText(SecondsCounter(seconds)));
    m_services.desktop->information(
        this,
        QStringLiteral("找到上次运行时没有保存的录音（%1 秒），现在可以保存到文件。")
            .arg(seconds, 0, 'f', 1));
}
