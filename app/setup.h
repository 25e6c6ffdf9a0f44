#pragma once

class QApplication;

// Font, Chinese translations of Qt's own texts, names: everything the
// application object needs before the first window.
void setUpApplication(QApplication &app);
