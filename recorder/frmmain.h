#pragma once

#include "desktop/messages.h"
#include "desktop/savedialog.h"
#include "sound/audio.h"

#include <QByteArray>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

class QLabel;
class QPushButton;
class QTimer;
class FrmA;
namespace ui {
class Announcer;
}
namespace audio {
class RecoveryFile;
}

using CaptureFormat = audio::WAVEFORMATEX;
using SecondsCounter = std::int16_t;
using SaveBuffer = QByteArray;

// Whether the window records or holds a stopped take. Not stored anywhere:
// it is read off the buttons and the timer, which are what the person sees.
enum class RecorderState { Recording, Stopped, Neither };

// What the window needs from outside: sound, dialogs, message boxes.
struct RecorderServices
{
    std::function<std::shared_ptr<audio::DirectX7>()> createAudio;
    std::unique_ptr<ui::Desktop> desktop;
    std::unique_ptr<ui::SaveDialog> saveDialog;
    // Where takes are kept while unsaved, against a crash; empty for nowhere.
    QString recoveryFolder;
};

class FrmMain : public QWidget
{
    Q_OBJECT

public:
    explicit FrmMain(RecorderServices services, QWidget *parent = nullptr);
    ~FrmMain() override;

    // Runs once before the window is first shown. False when the sound
    // devices cannot be opened; the program has then been told to end.
    bool Form_Load();

    // The seconds text for a count: "12秒".
    static QString secondsText(SecondsCounter seconds);

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    // How often Save and the recovery file look again for the end of a take
    // that is still on its way after Stop.
    static constexpr int kTailPollMs = 10;

    void cmdStartRec_Click();
    void cmdStopRec_Click();
    void cmdSaveToFile_Click();
    void tmrCount_Timer();
    void Command1_Click();
    void Form_QueryUnload();

    RecorderState state() const;
    void buildLayout();
    // Runs a handler that traps nothing: an error ends the program after a report.
    void unguarded(void (FrmMain::*handler)());
    void startRecording();
    void stopRecording();
    void recordingStopped();
    void captureInterrupted(const QString &reason);
    void captureSilenced(const QString &reason);
    void followTail();
    void tellIfSilent(std::uint32_t bytes);
    void backToWork();
    void saveRecording();
    bool writeRecording(const QString &path);
    void announceProgress(bool tick);
    void startRecovery();
    void feedRecovery();
    void endRecovery();
    void offerLeftOver();

    RecorderServices m_services;

    QPushButton *cmdStartRec = nullptr;
    QPushButton *cmdStopRec = nullptr;
    QPushButton *cmdSaveToFile = nullptr;
    QLabel *lblTIME = nullptr;
    QLabel *lblLTime = nullptr;
    QPushButton *Command1 = nullptr;
    QLabel *Picture1 = nullptr;
    QTimer *tmrCount = nullptr;
    ui::Announcer *m_announcer = nullptr;

    std::shared_ptr<audio::DirectX7> m_dx;
    std::shared_ptr<audio::DirectSoundCapture> m_dsc;
    std::shared_ptr<audio::DirectSound> m_ds;
    std::shared_ptr<audio::DirectSoundCaptureBuffer> m_captureBuffer;
    std::shared_ptr<audio::DirectSoundBuffer> m_playbackBuffer;
    audio::DSCBUFFERDESC m_captureDesc;
    CaptureFormat m_captureFormat;
    audio::DSCURSORS m_cursors;
    audio::DSBUFFERDESC m_playbackDesc;
    SecondsCounter m_secondsCounter = 0;
    std::unique_ptr<audio::RecoveryFile> m_recovery;
    std::uint32_t m_recoveryFed = 0;
    bool m_recoveryFailureTold = false;
    // Counts the takes, so that a wait for one's end knows it is still the one.
    unsigned m_take = 0;
    bool m_silenceTold = false; // at most one word a take that it is only silence
    bool m_closing = false;
    bool m_inSaveDialog = false;
    bool m_closeAfterDialog = false;

    QPointer<FrmA> m_about;
};
