#include "toolkit.h"

#include <QApplication>
#include <QEvent>
#include <QScreen>
#include <QWidget>

#include <cstdlib>
#include <cstring>

#ifdef MOLAN_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace ui {

QString applicationTitle()
{
    return QStringLiteral("墨岚录音软件");
}

QRect twipsRect(int left, int top, int width, int height)
{
    return {twips(left), twips(top), twips(width), twips(height)};
}

namespace {

// The frame a window manager puts round a window is known only once the
// window is up; until then the window is centred as if it had none, and
// centred again, frame and all, as soon as the frame shows.
class FrameCentring : public QObject
{
public:
    explicit FrameCentring(QWidget *window) : QObject(window), m_window(window)
    {
        window->installEventFilter(this);
        centre();
    }

    bool eventFilter(QObject *, QEvent *event) override
    {
        if ((event->type() == QEvent::Show || event->type() == QEvent::Move) && centre()) {
            m_window->removeEventFilter(this);
            deleteLater();
        }
        return false;
    }

private:
    // True once the frame was known.
    bool centre()
    {
        const QScreen *screen = QGuiApplication::primaryScreen();
        if (!screen)
            return true;
        const QRect frame = m_window->frameGeometry();
        const QRect client = m_window->geometry();
        const QMargins margins(client.left() - frame.left(), client.top() - frame.top(),
                               frame.right() - client.right(), frame.bottom() - client.bottom());
        QRect outer = client.marginsAdded(margins);
        outer.moveCenter(screen->availableGeometry().center());
        // move() places the frame's corner on a top-level window.
        if (m_window->pos() != outer.topLeft())
            m_window->move(outer.topLeft());
        return !margins.isNull();
    }

    QWidget *m_window;
};

} // namespace

void centreOnScreen(QWidget *window)
{
    new FrameCentring(window);
}

void keepOutOfTaskbar(QWidget *window)
{
#ifdef MOLAN_HAVE_XCB
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return; // not on X11
    auto atom = [connection](const char *name) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, std::uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t found = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return found;
    };
    const xcb_atom_t skip = atom("_NET_WM_STATE_SKIP_TASKBAR");
    // Before the window is mapped: Qt adds its own states to what stands here.
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, xcb_window_t(window->winId()),
                        atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 1, &skip);
    xcb_flush(connection);
#else
    Q_UNUSED(window)
#endif
}

QFont songFont(qreal points, bool bold)
{
    QFont font;
    // SimSun where it exists; on Linux the AR PL and Noto Song faces look the part.
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("NSimSun"),
                      QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL SungtiL GB"),
                      QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Source Han Serif SC")});
    font.setStyleHint(QFont::Serif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

} // namespace ui
