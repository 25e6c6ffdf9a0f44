#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

// The product window: name, web site, OK.
class FrmA : public QWidget
{
    Q_OBJECT

public:
    explicit FrmA(QWidget *parent = nullptr);

    static QString webSite();

private:
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QPushButton *Command1 = nullptr;
};
