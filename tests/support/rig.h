// A recorder window wired to the fake sound system and to scripted dialogs.
#pragma once

#include "fakeaudio.h"
#include "platform/desktop.h"
#include "recorder/frmmain.h"

#include <QList>
#include <QStringList>

#include <memory>
#include <optional>

namespace fake {

class Desktop : public ui::Desktop
{
public:
    QStringList criticals;
    QStringList questions;
    QStringList unhandled;
    QList<int> ended;
    bool answer = true; // to every question

    void critical(QWidget *, const QString &text) override { criticals << text; }
    bool question(QWidget *, const QString &text) override
    {
        questions << text;
        return answer;
    }
    void unhandledError(QWidget *, const QString &what) override
    {
        unhandled << what;
        ended << 3;
    }
    void endProgram(int status) override { ended << status; }
};

class SaveDialog : public ui::SaveDialog
{
public:
    // What the person does at each showing: a full name, or nothing to cancel.
    QList<std::optional<QString>> script;
    QStringList titles;
    QStringList filters;

    bool ShowSave(QWidget *) override
    {
        titles << DialogTitle;
        filters << Filter;
        if (script.isEmpty())
            return false;
        const std::optional<QString> choice = script.takeFirst();
        if (!choice)
            return false;
        FileName = *choice;
        return true;
    }
};

struct Rig
{
    std::shared_ptr<AudioState> audio = std::make_shared<AudioState>();
    Desktop *desktop = nullptr;
    SaveDialog *dialog = nullptr;
    std::unique_ptr<FrmMain> window;

    Rig()
    {
        build([state = audio] { return std::make_shared<FakeDirectX7>(state); });
    }

    // The same window on another sound system, such as the real one.
    void useRealAudio(std::function<std::shared_ptr<audio::DirectX7>()> create) { build(std::move(create)); }

    bool load() { return window->Form_Load(); }

private:
    void build(std::function<std::shared_ptr<audio::DirectX7>()> create)
    {
        window.reset();
        RecorderServices services;
        services.createAudio = std::move(create);
        auto d = std::make_unique<Desktop>();
        auto s = std::make_unique<SaveDialog>();
        desktop = d.get();
        dialog = s.get();
        services.desktop = std::move(d);
        services.saveDialog = std::move(s);
        window = std::make_unique<FrmMain>(std::move(services));
    }
};

} // namespace fake
