// A take kept on disk while it is recorded, so that a crash, a kill or a
// power cut does not lose it: a WAVE file in the user's private state folder,
// held by a lock while its program runs, and offered again by the next one.
#pragma once

#include "audio.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QLockFile;

namespace audio {

class RecoveryWriter;

// Where the recovery files go: $XDG_STATE_HOME/molan-recorder (or
// ~/.local/state/molan-recorder) on Linux, %LOCALAPPDATA%\molan-recorder on
// Windows.
QString recoveryFolder();

class RecoveryFile
{
public:
    // Begins a new file for a take in `format`, readable by its owner only,
    // off the calling thread. Null, with the reason, when the folder cannot
    // be made; a file that cannot be written is told on stderr, once.
    static std::unique_ptr<RecoveryFile> create(const QString &folder, const WAVEFORMATEX &format,
                                                QString &why);

    // A file that an earlier run left behind and no running program holds,
    // now held by this one; null when there is none. The newest comes first.
    static std::unique_ptr<RecoveryFile> leftOver(const QString &folder);

    // Stops writing; the file stays, for the next run, until remove(). What
    // is pending is written without waiting for it.
    ~RecoveryFile();
    RecoveryFile(const RecoveryFile &) = delete;
    RecoveryFile &operator=(const RecoveryFile &) = delete;

    // Appends sound off the calling thread; it reaches the disk within a
    // second. A failure is written to stderr once, and writing stops.
    void append(QByteArray samples);

    // The take ended the normal way (saved, discarded or empty): no trace
    // stays. What is pending is dropped, and nothing waits for the disk.
    void remove();

    // Reads the take back; false, with the reason, when the file is too short
    // or damaged. The length comes from the file's size, as the header may
    // lag behind the sound.
    bool read(WAVEFORMATEX &format, QByteArray &samples, QString &why) const;

    // Moves a file that cannot be read out of the way, beside the others;
    // the new name.
    QString setAside();

    const QString &path() const { return m_path; }

private:
    RecoveryFile(QString path, std::unique_ptr<QLockFile> lock);

    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
    RecoveryWriter *m_writer = nullptr; // ends on its own once told to
};

// A recovered take, ready to be saved the way a recorded one is.
std::shared_ptr<DirectSoundCaptureBuffer> recoveredTake(QByteArray samples);

} // namespace audio
