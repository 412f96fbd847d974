#include "TrayShell.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QMenu>
#include <QMetaObject>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

TrayShell::MouseAction mouseActionOf(QSystemTrayIcon::ActivationReason reason, TrayHost host)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        // Over D-Bus a left click reaches the program only as the item's activation.
        return host == TrayHost::StatusNotifier ? TrayShell::MouseAction::Activate
                                                : TrayShell::MouseAction::LeftButtonUp;
    case QSystemTrayIcon::DoubleClick:
        return TrayShell::MouseAction::LeftDoubleClick;
    case QSystemTrayIcon::Context:
        return TrayShell::MouseAction::RightButtonUp;
    default:
        return TrayShell::MouseAction::Other;
    }
}

// The watcher counts only with a host behind it: Qt asks the same before it takes the D-Bus
// way. The watcher gets half a second to answer, so that a hung panel cannot stall the
// services for long.
bool statusNotifierHostRegistered()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(watcher).value())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        watcher, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, 500);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
}

// The X screen of the display, as the X library takes it from DISPLAY (host:display.screen).
int xScreenNumber()
{
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype dot = display.indexOf('.', display.lastIndexOf(':'));
    return dot < 0 ? 0 : display.mid(dot + 1).toInt();
}

// An XEmbed tray manager owns the selection _NET_SYSTEM_TRAY_S<screen>.
bool xembedTrayManagerPresent()
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return false;
    xcb_connection_t *connection = x11->connection();
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(xScreenNumber());
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(
            connection,
            xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.constData()),
            nullptr),
        &std::free);
    if (!atom)
        return false;
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom),
                                      nullptr),
        &std::free);
    return owner && owner->owner != XCB_NONE;
}

void writeLine(const char *line)
{
    std::fprintf(stderr, "%s\n", line);
}

} // namespace

QtTrayShell::QtTrayShell(QObject *parent, std::function<TrayHost()> findHost,
                         std::function<void(const char *)> say)
    : TrayShell(parent), m_findHost(findHost ? std::move(findHost) : &QtTrayShell::findHost),
      m_say(say ? std::move(say) : &writeLine), m_look(new QTimer(this))
{
    connect(m_look, &QTimer::timeout, this, &QtTrayShell::lookForHost);
}

QtTrayShell::~QtTrayShell() = default;

TrayHost QtTrayShell::findHost()
{
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return TrayHost::Headless;
    if (statusNotifierHostRegistered())
        return TrayHost::StatusNotifier;
    if (xembedTrayManagerPresent())
        return TrayHost::XEmbed;
    return TrayHost::None;
}

bool QtTrayShell::add(const QIcon &icon, const QString &toolTip)
{
    m_wantedIcon = icon;
    m_wantedTip = toolTip;
    m_wanted = true;
    if (m_icon) {
        apply();
        m_icon->show();
        return true;
    }
    lookForHost();
    return m_icon != nullptr;
}

bool QtTrayShell::modify(const QIcon &icon, const QString &toolTip)
{
    m_wantedIcon = icon;
    m_wantedTip = toolTip;
    if (!m_icon)
        return false;
    apply();
    return m_icon->isVisible();
}

bool QtTrayShell::remove()
{
    m_wanted = false;
    m_look->stop();
    if (!isShown())
        return false;
    m_icon->hide();
    return true;
}

void QtTrayShell::setMenu(QMenu *menu)
{
    m_menu = menu;
    if (m_icon && m_host == TrayHost::StatusNotifier)
        m_icon->setContextMenu(menu);
}

bool QtTrayShell::isShown() const
{
    return m_icon && m_icon->isVisible();
}

void QtTrayShell::lookForHost()
{
    if (!m_wanted || m_icon)
        return;
    const TrayHost host = m_findHost();
    switch (host) {
    case TrayHost::Headless:
        m_look->stop();
        return;
    case TrayHost::None:
        if (!m_saidWaiting) {
            m_say("tellwick: no system tray is available yet; the icon waits for one.");
            m_saidWaiting = true;
        }
        if (!m_look->isActive())
            m_look->start(lookIntervalMs);
        return;
    case TrayHost::StatusNotifier:
    case TrayHost::XEmbed:
        place(host);
        return;
    }
}

void QtTrayShell::place(TrayHost host)
{
    m_look->stop();
    m_host = host;
    m_icon = new QSystemTrayIcon(this);
    connect(m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // Delivered from the event loop rather than from inside the tray's own mouse
                // handler, so that a popup menu's nested loop never runs in the middle of it.
                QMetaObject::invokeMethod(
                    this,
                    [this, action = mouseActionOf(reason, m_host)] { emit mouseAction(action); },
                    Qt::QueuedConnection);
            });
    // An XEmbed tray leaves the menu to the component, which shows it at the release of the
    // button; given to Qt it would also pop up at the press.
    if (host == TrayHost::StatusNotifier && m_menu)
        m_icon->setContextMenu(m_menu);
    apply();
    m_icon->show();
    if (m_saidWaiting)
        m_say("tellwick: a system tray is available; the icon is in place.");
}

void QtTrayShell::apply()
{
    // Setting the same image again would repaint the icon in the tray host for every query.
    if (m_wantedIcon.isNull()) {
        if (!m_blankShown) {
            // An icon is added before its image is set; show a transparent square meanwhile
            // instead of having Qt warn about a missing icon.
            QPixmap blank(16, 16);
            blank.fill(Qt::transparent);
            m_icon->setIcon(QIcon(blank));
            m_blankShown = true;
            m_shownIconKey = -1;
        }
    } else if (m_wantedIcon.cacheKey() != m_shownIconKey) {
        m_icon->setIcon(m_wantedIcon);
        m_shownIconKey = m_wantedIcon.cacheKey();
        m_blankShown = false;
    }
    if (m_icon->toolTip() != m_wantedTip)
        m_icon->setToolTip(m_wantedTip);
}
