#include "frmmain.h"

#include "about/frma.h"
#include "desktop/accessible.h"
#include "desktop/toolkit.h"
#include "sound/recovery.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

FrmMain::FrmMain(RecorderServices services, QWidget *parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                  | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_services(std::move(services))
{
    ui::setAccessibleRole(this, QAccessible::Window);
    setObjectName(QStringLiteral("frmMain"));
    buildLayout();
}

FrmMain::~FrmMain()
{
    delete m_about;
}

void FrmMain::buildLayout()
{
    setWindowTitle(QStringLiteral("墨岚录音软件V1.0"));
    setWindowIcon(QIcon(QStringLiteral(":/molan-recorder.png")));
    resize(ui::twips(5415), ui::twips(3300));

    const QFont regular = ui::songFont(9);
    auto button = [&](const char *name, const QString &text, QRect place) {
        auto *b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        b->setFont(regular);
        b->setGeometry(place);
        b->setAutoDefault(false);
        return b;
    };
    // Created in tab order, so Tab walks them as listed.
    cmdStartRec = button("cmdStartRec", QStringLiteral("开始录音(&K)"), ui::twipsRect(240, 2760, 1335, 495));
    cmdStopRec = button("cmdStopRec", QStringLiteral("停止录音(T)"), ui::twipsRect(1560, 2760, 1335, 495));
    cmdSaveToFile =
        button("cmdSaveToFile", QStringLiteral("保存到文件(&S)"), ui::twipsRect(2880, 2760, 1335, 495));

    lblTIME = new QLabel(this);
    lblTIME->setObjectName(QStringLiteral("lblTIME"));
    lblTIME->setFont(ui::songFont(14.25, true));
    lblTIME->setGeometry(ui::twipsRect(2040, 2400, 1800, 330));
    lblTIME->setForegroundRole(QPalette::WindowText);

    lblLTime = new QLabel(QStringLiteral("已录音时间："), this);
    lblLTime->setObjectName(QStringLiteral("lblLTime"));
    lblLTime->setFont(regular);
    lblLTime->setGeometry(ui::twipsRect(840, 2520, 1155, 255));
    lblLTime->setBuddy(lblTIME); // says what the seconds are; it has no access key

    Command1 = button("Command1", QStringLiteral("关于(&A)"), ui::twipsRect(4200, 2760, 1095, 495));

    Picture1 = new QLabel(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(ui::twipsRect(0, 0, 5415, 2295));
    Picture1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Picture1->setLineWidth(1);
    Picture1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // QPixmap does not look for @2x files itself; read by that name it has ratio 2 and keeps its size.
    Picture1->setPixmap(
        QPixmap(devicePixelRatio() > 1 ? QStringLiteral(":/banner@2x.jpg") : QStringLiteral(":/banner.jpg")));
    Picture1->setAccessibleName(QStringLiteral("墨岚录音软件"));

    for (QWidget *w : {static_cast<QWidget *>(cmdStartRec), static_cast<QWidget *>(cmdStopRec),
                       static_cast<QWidget *>(cmdSaveToFile), static_cast<QWidget *>(Command1)})
        w->setFocusPolicy(Qt::StrongFocus);
    setTabOrder(cmdStartRec, cmdStopRec);
    setTabOrder(cmdStopRec, cmdSaveToFile);
    setTabOrder(cmdSaveToFile, Command1);

    tmrCount = new QTimer(this);
    tmrCount->setObjectName(QStringLiteral("tmrCount"));
    // A coarse timer may fire up to 5% early; the 19th tick must come at 19 s.
    tmrCount->setTimerType(Qt::PreciseTimer);
    tmrCount->setInterval(1000);

    m_announcer = new ui::Announcer(this);

    connect(cmdStartRec, &QPushButton::clicked, this, [this] {
        cmdStartRec_Click();
        announceProgress(false);
    });
    connect(cmdStopRec, &QPushButton::clicked, this, [this] { cmdStopRec_Click(); });
    connect(cmdSaveToFile, &QPushButton::clicked, this, [this] { cmdSaveToFile_Click(); });
    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(tmrCount, &QTimer::timeout, this, [this] {
        tmrCount_Timer();
        if (tmrCount->isActive()) // a stop has fed what it ends with
            feedRecovery();
        announceProgress(true);
    });

    ui::centreOnScreen(this);
}

bool FrmMain::Form_Load()
{
    try {
        m_dx = m_services.createAudio();
        if (!m_dx)
            throw audio::AudioError(QStringLiteral("DirectX7"), QStringLiteral("无法创建"));
        audio::check(m_dx->DirectSoundCaptureCreate(QString(), m_dsc), "DirectX7.DirectSoundCaptureCreate");
        audio::check(m_dx->DirectSoundCreate(QString(), m_ds), "DirectX7.DirectSoundCreate");
        cmdSaveToFile->setEnabled(false);
        cmdStopRec->setEnabled(false);
        cmdStartRec->setFocus();
        QTimer::singleShot(0, this, [this] { offerLeftOver(); }); // once the window is up
        return true;
    } catch (const std::exception &) {
        m_services.desktop->critical(nullptr, QStringLiteral("无法初始化声卡，退出程序"));
        m_services.desktop->endProgram(1);
        return false;
    }
}

RecorderState FrmMain::state() const
{
    const bool start = cmdStartRec->isEnabled();
    const bool stop = cmdStopRec->isEnabled();
    const bool save = cmdSaveToFile->isEnabled();
    const bool timer = tmrCount->isActive();
    if (!start && stop && !save && timer)
        return RecorderState::Recording;
    if (start && !stop && save && !timer)
        return RecorderState::Stopped;
    return RecorderState::Neither;
}

QString FrmMain::secondsText(SecondsCounter seconds)
{
    return QString::number(seconds) + QStringLiteral("秒");
}

void FrmMain::unguarded(void (FrmMain::*handler)())
{
    QString what;
    try {
        (this->*handler)();
        return;
    } catch (const audio::AudioError &e) {
        what = QStringLiteral("%1 失败：%2").arg(e.operation(), e.reason());
    } catch (const std::exception &e) {
        what = QString::fromUtf8(e.what());
    }
    tmrCount->stop(); // no ticks behind the report
    m_services.desktop->unhandledError(this, what);
}

// The seconds label alone goes unheard: screen readers leave plain labels
// alone while the focus is on a button.
void FrmMain::announceProgress(bool tick)
{
    const RecorderState now = state();
    if (now == RecorderState::Recording)
        m_announcer->announce(lblTIME->text());
    else if (tick && now == RecorderState::Stopped) // only the automatic stop stops on a tick
        m_announcer->announce(QStringLiteral("录音已自动停止"));
}

// Return presses the focused button, as it does on Windows; Qt leaves Return
// to default buttons, and this window has none.
void FrmMain::keyPressEvent(QKeyEvent *event)
{
    auto *button = qobject_cast<QPushButton *>(focusWidget());
    const bool plain = !(event->modifiers() & ~Qt::KeypadModifier);
    if (button && button->isEnabled() && plain && !event->isAutoRepeat()
        && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        button->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

// When the focused button is disabled, Qt passes the focus on in tab order,
// which after Save is About. The button of the next step is where the work goes on.
bool FrmMain::focusNextPrevChild(bool next)
{
    if (const QWidget *focused = focusWidget(); focused && !focused->isEnabled()) {
        for (QPushButton *button : {cmdStopRec, cmdSaveToFile, cmdStartRec}) {
            if (button->isEnabled()) {
                button->setFocus(Qt::OtherFocusReason);
                return true;
            }
        }
    }
    return QWidget::focusNextPrevChild(next);
}

void FrmMain::Command1_Click()
{
    if (!m_about) {
        m_about = new FrmA;
        m_about->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}

void FrmMain::closeEvent(QCloseEvent *event)
{
    // Windows' own save dialog lets a close through to the window that owns
    // it; the window closes once the dialog is gone, not under its feet.
    if (m_inSaveDialog) {
        m_closeAfterDialog = true;
        event->ignore();
        return;
    }
    event->accept();
    Form_QueryUnload();
}

void FrmMain::Form_QueryUnload()
{
    if (m_closing)
        return;
    m_closing = true;
    tmrCount->stop();
    // Dropping the last reference releases each; a running capture ends with it.
    m_dx.reset();
    m_ds.reset();
    m_playbackBuffer.reset();
    m_dsc.reset();
    m_captureBuffer.reset();
    endRecovery(); // closing discards the take, as it always has
    if (m_about)
        m_about->close();
    m_services.desktop->endProgram(0);
}
