// The save dialog on Windows: the common dialog itself, as the old control
// showed it. Qt's native dialog would make the filter's extension a default
// one and add it to every typed name, which the recorder then adds again.
#include "savedialog.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringList>
#include <QWidget>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <commdlg.h>

#include <vector>

namespace ui {

namespace {

// Long enough for any path Windows can open.
constexpr DWORD kPathChars = 32768;

// "description|pattern|..." as the common dialog wants it: NUL-separated,
// ending in two NULs. A bare pattern describes itself.
std::vector<wchar_t> filterSpec(const QString &filter)
{
    QStringList parts = filter.split(QLatin1Char('|'));
    if (parts.size() % 2)
        parts << parts.constLast();
    std::vector<wchar_t> patterns;
    for (const QString &part : std::as_const(parts)) {
        const std::wstring text = part.toStdWString();
        patterns.insert(patterns.end(), text.begin(), text.end());
        patterns.push_back(L'\0');
    }
    patterns.push_back(L'\0');
    return patterns;
}

class CommonSaveDialog final : public SaveDialog
{
public:
    bool ShowSave(QWidget *parent) override
    {
        const std::vector<wchar_t> filter = filterSpec(Filter);
        const std::wstring title = DialogTitle.toStdWString();
        // Like the control, the dialog starts from the name chosen last.
        std::vector<wchar_t> file(kPathChars, L'\0');
        QDir::toNativeSeparators(FileName).left(int(kPathChars) - 1).toWCharArray(file.data());
        // Recordings belong with the user's music, not wherever the program was started.
        const std::wstring music =
            QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::MusicLocation))
                .toStdWString();

        OPENFILENAMEW dialog{};
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = parent ? reinterpret_cast<HWND>(parent->window()->winId()) : nullptr;
        dialog.lpstrFilter = filter.data();
        dialog.nFilterIndex = 1;
        dialog.lpstrFile = file.data();
        dialog.nMaxFile = kPathChars;
        dialog.lpstrInitialDir = music.empty() ? nullptr : music.c_str();
        dialog.lpstrTitle = title.c_str();
        // No default extension: the caller adds ".wav" itself. No overwrite
        // question either: the caller asks about the file it really writes.
        dialog.Flags =
            OFN_EXPLORER | OFN_ENABLESIZING | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST;
        if (!GetSaveFileNameW(&dialog))
            return false;
        FileName = QDir::fromNativeSeparators(QString::fromWCharArray(file.data()));
        return true;
    }
};

} // namespace

std::unique_ptr<SaveDialog> createCommonSaveDialog()
{
    return std::make_unique<CommonSaveDialog>();
}

} // namespace ui
