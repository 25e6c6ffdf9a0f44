#include "setup.h"

#include "desktop/messages.h"
#include "desktop/savedialog.h"
#include "recorder/frmmain.h"
#include "sound/recovery.h"
#include "sound/systemaudio.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    setUpApplication(app);

    RecorderServices services;
    services.createAudio = audio::createSystemAudio;
    services.desktop = ui::createQtDesktop();
    services.recoveryFolder = audio::recoveryFolder();
#ifdef Q_OS_WIN
    services.saveDialog = ui::createCommonSaveDialog();
#else
    services.saveDialog = ui::createQtSaveDialog();
#endif

    FrmMain window(std::move(services));
    if (!window.Form_Load())
        return 1;
    window.show();
    return app.exec();
}
