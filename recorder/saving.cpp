#include "frmmain.h"

#include "checked.h"

#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QTimer>

void FrmMain::cmdSaveToFile_Click()
{
    unguarded(&FrmMain::saveRecording);
}

void FrmMain::saveRecording()
{
    audio::check(m_captureBuffer->GetCurrentPosition(m_cursors),
                 "DirectSoundCaptureBuffer.GetCurrentPosition");
    // Right after Stop the last moments may still be on their way: save once
    // they are here, or once the take has ended without them (and said so),
    // without holding up the window meanwhile.
    if (m_cursors.lPlay < m_cursors.lWrite) {
        QTimer::singleShot(kTailPollMs, this, [this] {
            if (!m_closing && cmdSaveToFile->isEnabled())
                cmdSaveToFile_Click();
        });
        return;
    }
    // The read position counts bytes; a take ends on a whole sample frame.
    const std::uint32_t blockAlign = std::max<std::uint16_t>(m_captureDesc.fxFormat.nBlockAlign, 1);
    const auto byteCount = checkedNarrow<std::int32_t>(m_cursors.lWrite - m_cursors.lWrite % blockAlign);

    m_playbackDesc.lFlags = audio::BufferStatic | audio::BufferCtrlVolume;
    m_playbackDesc.lBufferBytes = std::uint32_t(byteCount);

    if (m_cursors.lWrite == 0)
        return;

    audio::check(m_ds->CreateSoundBuffer(m_playbackDesc, m_captureDesc.fxFormat, m_playbackBuffer),
                 "DirectSound.CreateSoundBuffer");
    {
        // Only for the copy: the capture buffer keeps the take between saves.
        SaveBuffer samples(byteCount, Qt::Uninitialized);
        audio::check(m_captureBuffer->ReadBuffer(0, std::uint32_t(byteCount), samples.data(), 0),
                     "DirectSoundCaptureBuffer.ReadBuffer");
        audio::check(m_playbackBuffer->WriteBuffer(0, std::uint32_t(byteCount), samples.constData(), 0),
                     "DirectSoundBuffer.WriteBuffer");
    }

    cmdSaveToFile->setEnabled(false);

    ui::SaveDialog &svFile = *m_services.saveDialog;
    svFile.Filter = QStringLiteral("*.wav");
    svFile.DialogTitle = QStringLiteral("保存音频文件");
    // Cancelling keeps the recording for a later save instead of writing somewhere.
    m_inSaveDialog = true;
    const bool chosen = svFile.ShowSave(this);
    m_inSaveDialog = false;
    if (m_closeAfterDialog) { // closing drops the take, whatever was chosen
        close();
        return;
    }
    if (!chosen || svFile.FileName.isEmpty() || !writeRecording(svFile.FileName + QStringLiteral(".wav")))
        cmdSaveToFile->setEnabled(true);
    else
        endRecovery(); // saved: nothing left to recover
    m_playbackBuffer.reset(); // each save makes its copy anew
}

// False when nothing was written; the person has been told why, unless they
// chose not to replace an existing file.
bool FrmMain::writeRecording(const QString &path)
{
    const QString shown = QDir::toNativeSeparators(path);
    // The dialog could only ask about the name without ".wav"; this is the file replaced.
    if (QFileInfo(path).isFile()
        && !m_services.desktop->question(this, QStringLiteral("文件“%1”已经存在。\n要替换它吗？").arg(shown)))
        return false;

    const audio::Status saved = m_playbackBuffer->SaveToFile(path);
    if (!saved) {
        m_services.desktop->critical(this,
                                     QStringLiteral("无法保存文件“%1”：\n%2\n\n录音仍然保留，可以再次保存。")
                                         .arg(shown, saved.reason));
        return false;
    }
    return true;
}
