#include "frma.h"

#include "desktop/accessible.h"
#include "desktop/toolkit.h"

#include <QLabel>
#include <QPushButton>

namespace {

// The label texts keep their carriage returns; a label breaks lines at them.
QString withLineBreaks(QString text)
{
    return text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
}

} // namespace

FrmA::FrmA(QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    ui::setAccessibleRole(this, QAccessible::Dialog);
    setObjectName(QStringLiteral("FrmA"));
    // Both windows carry the same title; this tells them apart.
    setAccessibleDescription(QStringLiteral("关于墨岚录音软件"));
    setWindowTitle(QStringLiteral("墨岚录音软件V1.0"));
    setWindowIcon(QIcon()); // no icon of its own
    setFixedSize(ui::twips(3495), ui::twips(2025));

    Label1 = new QLabel(withLineBreaks(QStringLiteral("墨岚录音软件v1.0\r")), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(ui::songFont(10.5));
    Label1->setGeometry(ui::twipsRect(840, 240, 2055, 255));
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setAccessibleName(Label1->text().trimmed()); // the line break is only for the eye

    Label2 = new QLabel(withLineBreaks(QStringLiteral("墨岚录音软件v1.0\r官方网站：") + webSite()), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setFont(ui::songFont(9));
    Label2->setGeometry(ui::twipsRect(360, 840, 3135, 495));
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label2->setWordWrap(true);

    Command1 = new QPushButton(QStringLiteral("确定(&Q)"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setFont(ui::songFont(9));
    Command1->setGeometry(ui::twipsRect(720, 1440, 1935, 495));
    Command1->setDefault(true);
    connect(Command1, &QPushButton::clicked, this, &QWidget::close);

    ui::centreOnScreen(this);
    ui::keepOutOfTaskbar(this);
}

QString FrmA::webSite()
{
    return QStringLiteral("https://example.com");
}
