// The recorder's main window with no sound behind it: the same window, the
// same application set-up, and a sound system that is never opened. Its
// memory is what the window alone costs, the floor for the recorder's own.
//
// Usage: bare_window (shows the window until it is closed)

#include "app/setup.h"
#include "desktop/messages.h"
#include "desktop/savedialog.h"
#include "recorder/frmmain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    setUpApplication(app);

    // No createAudio and no Form_Load: nothing reaches the sound server.
    RecorderServices services;
    services.desktop = ui::createQtDesktop();
    services.saveDialog = ui::createQtSaveDialog();

    FrmMain window(std::move(services));
    window.show();
    return app.exec();
}
