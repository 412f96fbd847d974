#include "TrayShell.h"

#include <QMetaObject>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace {

TrayShell::MouseAction mouseActionOf(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        return TrayShell::MouseAction::LeftButtonUp;
    case QSystemTrayIcon::DoubleClick:
        return TrayShell::MouseAction::LeftDoubleClick;
    case QSystemTrayIcon::Context:
        return TrayShell::MouseAction::RightButtonUp;
    default:
        return TrayShell::MouseAction::Other;
    }
}

} // namespace

QtTrayShell::QtTrayShell(QObject *parent)
    : TrayShell(parent), m_icon(std::make_unique<QSystemTrayIcon>())
{
    connect(m_icon.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // Delivered from the event loop rather than from inside the tray's own mouse
                // handler, so that a popup menu's nested loop never runs in the middle of it.
                QMetaObject::invokeMethod(
                    this, [this, action = mouseActionOf(reason)] { emit mouseAction(action); },
                    Qt::QueuedConnection);
            });
}

QtTrayShell::~QtTrayShell() = default;

bool QtTrayShell::add(const QIcon &icon, const QString &toolTip)
{
    apply(icon, toolTip);
    m_icon->show();
    return isHostAvailable();
}

bool QtTrayShell::modify(const QIcon &icon, const QString &toolTip)
{
    apply(icon, toolTip);
    return m_icon->isVisible() && isHostAvailable();
}

bool QtTrayShell::remove()
{
    const bool wasShown = m_icon->isVisible();
    m_icon->hide();
    return wasShown;
}

bool QtTrayShell::isHostAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtTrayShell::apply(const QIcon &icon, const QString &toolTip)
{
    // Setting the same image again would repaint the icon in the tray host for every query.
    if (icon.isNull()) {
        if (!m_blankShown) {
            // An icon is added before its image is set; show a transparent square meanwhile
            // instead of having Qt warn about a missing icon.
            QPixmap blank(16, 16);
            blank.fill(Qt::transparent);
            m_icon->setIcon(QIcon(blank));
            m_blankShown = true;
            m_shownIconKey = -1;
        }
    } else if (icon.cacheKey() != m_shownIconKey) {
        m_icon->setIcon(icon);
        m_shownIconKey = icon.cacheKey();
        m_blankShown = false;
    }
    if (m_icon->toolTip() != toolTip)
        m_icon->setToolTip(toolTip);
}
