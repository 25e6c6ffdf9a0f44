#include "platform/desktop.h"
#include "platform/qtaudio.h"
#include "platform/toolkit.h"
#include "recorder/frmmain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ui::setUpApplication(app);

    RecorderServices services;
    services.createAudio = audio::createQtAudio;
    services.desktop = ui::createQtDesktop();
    services.saveDialog = ui::createQtSaveDialog();

    FrmMain window(std::move(services));
    if (!window.Form_Load())
        return 1;
    window.show();
    return app.exec();
}
