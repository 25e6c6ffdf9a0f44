// A recorder window wired to a fake sound system and to scripted dialogs. The
// recording is a known pattern, the test decides how much of it there is, and
// any operation fails on demand.
#pragma once

#include "desktop/messages.h"
#include "desktop/savedialog.h"
#include "recorder/frmmain.h"
#include "sound/memorybuffer.h"
#include "sound/recovery.h"

#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <optional>
#include <utility>

namespace fake {

// Byte `i` of every fake recording; not periodic in any small power of two,
// so a shifted copy shows.
inline char sampleAt(std::uint32_t i)
{
    return char((i * 7u + i / 251u) & 0xFFu);
}

inline QByteArray samples(std::uint32_t n, std::uint32_t from = 0)
{
    QByteArray bytes(qsizetype(n), Qt::Uninitialized);
    for (std::uint32_t i = 0; i < n; ++i)
        bytes[i] = sampleAt(from + i);
    return bytes;
}

// A file's bytes; none if it cannot be read.
inline QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every device and buffer at once. The buffers it hands out are counted
// while somebody holds them.
class Audio final : public audio::DirectX7,
                    public audio::DirectSoundCapture,
                    public audio::DirectSoundCaptureBuffer,
                    public audio::DirectSound,
                    public audio::DirectSoundBuffer
{
public:
    QSet<QString> failing; // e.g. "DirectSoundCaptureBuffer.Stop"
    std::uint32_t captured = 0; // bytes recorded so far
    std::uint32_t late = 0; // bytes of a stopped take still on their way
    bool capturing = false;
    int captureBuffers = 0;
    int soundBuffers = 0;
    InterruptedHandler interrupt;

    audio::Status DirectSoundCaptureCreate(const QString &, std::shared_ptr<DirectSoundCapture> &out) override
    {
        return hand(out, "DirectX7.DirectSoundCaptureCreate");
    }
    audio::Status DirectSoundCreate(const QString &, std::shared_ptr<DirectSound> &out) override
    {
        return hand(out, "DirectX7.DirectSoundCreate");
    }
    audio::Status GetCaps(audio::DSCCAPS &) override { return call("DirectSoundCapture.GetCaps"); }
    audio::Status CreateCaptureBuffer(const audio::DSCBUFFERDESC &desc,
                                      std::shared_ptr<DirectSoundCaptureBuffer> &out) override
    {
        captured = late = 0;
        m_captureSize = desc.lBufferBytes;
        m_take = std::make_unique<QObject>(); // what was still to come of the last take goes with it
        return hand(out, "DirectSoundCapture.CreateCaptureBuffer", &captureBuffers);
    }
    audio::Status Start(std::uint32_t) override { return run("DirectSoundCaptureBuffer.Start", true); }
    audio::Status Stop() override { return run("DirectSoundCaptureBuffer.Stop", false); }
    audio::Status GetCurrentPosition(audio::DSCURSORS &cursors) override
    {
        cursors.lPlay = std::min(captured, m_captureSize);
        cursors.lWrite = cursors.lPlay + late;
        return call("DirectSoundCaptureBuffer.GetCurrentPosition");
    }
    audio::Status ReadBuffer(std::uint32_t start, std::uint32_t count, void *dest, std::uint32_t) override
    {
        for (std::uint32_t i = 0; i < count; ++i)
            static_cast<char *>(dest)[i] = start + i < captured ? sampleAt(start + i) : char(0x80);
        return call("DirectSoundCaptureBuffer.ReadBuffer");
    }
    void setInterruptedHandler(InterruptedHandler handler) override { interrupt = std::move(handler); }

    // The late end of a stopped take comes in.
    void arrive() { captured += std::exchange(late, 0u); }
    // The take ends by itself with `kept` bytes, which the recorder hears
    // later from its event loop, as from the real backends.
    void endTake(std::uint32_t kept, const QString &reason)
    {
        captured = kept;
        late = 0;
        capturing = false;
        QTimer::singleShot(0, m_take.get(), [this, reason] { interrupt(reason); });
    }
    audio::Status CreateSoundBuffer(const audio::DSBUFFERDESC &desc, const audio::WAVEFORMATEX &format,
                                    std::shared_ptr<DirectSoundBuffer> &out) override
    {
        m_sound = audio::MemorySoundBuffer(desc.lBufferBytes, format);
        return hand(out, "DirectSound.CreateSoundBuffer", &soundBuffers);
    }
    audio::Status WriteBuffer(std::uint32_t start, std::uint32_t count, const void *source,
                              std::uint32_t flags) override
    {
        const audio::Status status = call("DirectSoundBuffer.WriteBuffer");
        return status ? m_sound.WriteBuffer(start, count, source, flags) : status;
    }
    audio::Status SaveToFile(const QString &path) override
    {
        const audio::Status status = call("DirectSoundBuffer.SaveToFile");
        return status ? m_sound.SaveToFile(path) : status;
    }

private:
    audio::Status call(const char *operation) const
    {
        return failing.contains(QLatin1String(operation))
            ? audio::Status::failure(QStringLiteral("模拟的故障"))
            : audio::Status::success();
    }
    audio::Status run(const char *operation, bool on)
    {
        const audio::Status status = call(operation);
        capturing = status ? on : capturing;
        return status;
    }
    // This same object, under a reference that counts itself in `alive`.
    template<typename T>
    audio::Status hand(std::shared_ptr<T> &out, const char *operation, int *alive = &s_uncounted)
    {
        const audio::Status status = call(operation);
        if (status) {
            ++*alive;
            out = std::shared_ptr<T>(this, [alive](T *) { --*alive; });
        }
        return status;
    }

    static inline int s_uncounted = 0;
    std::uint32_t m_captureSize = 0;
    std::unique_ptr<QObject> m_take = std::make_unique<QObject>();
    audio::MemorySoundBuffer m_sound{0, {}};
};

// Message boxes answered in a person's place; what they said is kept.
class Desktop : public ui::Desktop
{
public:
    QStringList said; // every message, the unhandled-error reports too
    QStringList questions;
    QList<int> ended;
    bool answer = true; // to every question

    void critical(QWidget *, const QString &text) override { said << text; }
    void warning(QWidget *, const QString &text) override { said << text; }
    void information(QWidget *, const QString &text) override { said << text; }
    bool question(QWidget *, const QString &text) override
    {
        questions << text;
        return answer;
    }
    void unhandledError(QWidget *, const QString &what) override
    {
        said << what;
        ended << 3;
    }
    void endProgram(int status) override { ended << status; }
};

class SaveDialog : public ui::SaveDialog
{
public:
    // What the person does at each showing: a full name, or nothing to cancel.
    QList<std::optional<QString>> script;
    QStringList shown; // title and filter of each showing
    bool closeOwner = false; // the window is closed while the dialog is open

    bool ShowSave(QWidget *owner) override
    {
        shown << DialogTitle + QLatin1Char(' ') + Filter;
        if (closeOwner)
            owner->close();
        const std::optional<QString> choice = script.isEmpty() ? std::nullopt : script.takeFirst();
        if (choice)
            FileName = *choice;
        return choice.has_value();
    }
};

struct Rig
{
    std::shared_ptr<Audio> audio = std::make_shared<Audio>();
    Desktop *desktop = nullptr;
    SaveDialog *dialog = nullptr;
    QTemporaryDir recovery;
    QString recoveryFolder = recovery.path();
    std::unique_ptr<FrmMain> window;
    std::function<std::shared_ptr<audio::DirectX7>()> create;

    explicit Rig(std::function<std::shared_ptr<audio::DirectX7>()> sound = {})
        : create(sound ? std::move(sound) : [a = audio] { return a; })
    {
        start();
    }

    // The program (again, as after a crash): a new window, dialogs and message
    // boxes; what they said and are still to do carries over.
    void start()
    {
        auto d = std::make_unique<Desktop>();
        auto s = std::make_unique<SaveDialog>();
        if (window) {
            d->said = desktop->said;
            s->script = dialog->script;
            s->shown = dialog->shown;
        }
        desktop = d.get();
        dialog = s.get();
        window.reset();
        window =
            std::make_unique<FrmMain>(RecorderServices{create, std::move(d), std::move(s), recoveryFolder});
    }

    // The window lets its recovery file go on a thread of its own, which must
    // be done with it before the folder goes, as before a next start.
    ~Rig() { window.reset(), audio::RecoveryFile::leftOver(recoveryFolder); }
    bool load() { return window->Form_Load(); }

    // One tick of the seconds timer, as the event loop would deliver it.
    void tick() const { QMetaObject::invokeMethod(find<QTimer>("tmrCount"), "timeout"); }

    template<typename T = QPushButton>
    T *find(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }

    // What a person sees of the recorder's state: the buttons they may press,
    // "timer" while the seconds run, and the seconds label.
    QString looks() const
    {
        QStringList seen;
        for (const char *name : {"cmdStartRec", "cmdStopRec", "cmdSaveToFile"})
            if (find(name)->isEnabled())
                seen << QString::fromLatin1(name).mid(3);
        if (find<QTimer>("tmrCount")->isActive())
            seen << QStringLiteral("timer");
        return seen.join(QLatin1Char(' ')) + QStringLiteral(" | ") + find<QLabel>("lblTIME")->text();
    }
};

} // namespace fake
