#include "accessible.h"

#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QWidget>
#include <QtGlobal>

// Qt 6.8 announces through the platform's own channel; older Qt shows a
// notification that readers speak as it appears.
#define MOLAN_ANNOUNCEMENT_EVENT (QT_VERSION >= QT_VERSION_CHECK(6, 8, 0))

namespace ui {

namespace {

constexpr char kRoleProperty[] = "molanAccessibleRole";

Announcer *announcerOf([[maybe_unused]] QWidget *window)
{
#if MOLAN_ANNOUNCEMENT_EVENT
    return nullptr;
#else
    return window->findChild<Announcer *>(QString(), Qt::FindDirectChildrenOnly);
#endif
}

// A window as Qt describes it, with the role it was given and its notices
// listed after its controls.
class WindowInterface : public QAccessibleWidget
{
public:
    WindowInterface(QWidget *window, QAccessible::Role role) : QAccessibleWidget(window, role) {}

    int childCount() const override
    {
        return QAccessibleWidget::childCount() + (announcerOf(widget()) ? 1 : 0);
    }

    QAccessibleInterface *child(int index) const override
    {
        if (index == QAccessibleWidget::childCount())
            if (Announcer *announcer = announcerOf(widget()))
                return QAccessible::queryAccessibleInterface(announcer);
        return QAccessibleWidget::child(index);
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (child && child->object() && child->object() == announcerOf(widget()))
            return QAccessibleWidget::childCount();
        return QAccessibleWidget::indexOfChild(child);
    }
};

#if !MOLAN_ANNOUNCEMENT_EVENT
// Readers speak a notification when it shows (readers ignore what a plain
// label says on its own).
class NoticeInterface : public QAccessibleObject
{
public:
    explicit NoticeInterface(Announcer *announcer) : QAccessibleObject(announcer) {}

    QAccessibleInterface *parent() const override
    {
        return QAccessible::queryAccessibleInterface(object()->parent());
    }
    int childCount() const override { return 0; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? static_cast<Announcer *>(object())->text() : QString();
    }
    QAccessible::Role role() const override { return QAccessible::Notification; }
    QAccessible::State state() const override { return {}; }
};
#endif

QAccessibleInterface *factory(const QString &className, QObject *object)
{
#if !MOLAN_ANNOUNCEMENT_EVENT
    if (auto *announcer = qobject_cast<Announcer *>(object))
        return new NoticeInterface(announcer);
#endif
    auto *window = qobject_cast<QWidget *>(object);
    // Only for the window's own class, so that Qt's description of its base
    // classes is never the one taken.
    if (!window || !window->isWindow() || className != QLatin1String(object->metaObject()->className()))
        return nullptr;
    bool given = false;
    const int role = window->property(kRoleProperty).toInt(&given);
    return given ? new WindowInterface(window, QAccessible::Role(role)) : nullptr;
}

void installFactory()
{
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace

void setAccessibleRole(QWidget *window, QAccessible::Role role)
{
    installFactory();
    window->setProperty(kRoleProperty, int(role));
}

Announcer::Announcer(QWidget *window) : QObject(window)
{
    installFactory();
    setObjectName(QStringLiteral("announcer"));
}

void Announcer::announce(const QString &text)
{
    m_text = text;
#if MOLAN_ANNOUNCEMENT_EVENT
    QAccessibleAnnouncementEvent announcement(parent(), text);
    QAccessible::updateAccessibility(&announcement);
#else
    // The name first: readers that keep names read the new one on showing.
    QAccessibleEvent renamed(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&renamed);
    QAccessibleEvent shown(this, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
#endif
}

} // namespace ui
