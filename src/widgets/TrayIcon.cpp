#include "TrayIcon.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>

namespace {

// The first `count` characters; a surrogate pair is one character and is never split.
QString firstCharacters(const QString &text, int count)
{
    qsizetype end = 0;
    for (int taken = 0; taken < count && end < text.size(); ++taken) {
        const bool pair = text.at(end).isHighSurrogate() && end + 1 < text.size() &&
                          text.at(end + 1).isLowSurrogate();
        end += pair ? 2 : 1;
    }
    return text.left(end);
}

// The window the menu belongs to, or else the application's active one, comes to the front,
// so that the menu closes when the user clicks elsewhere.
void activateApplicationWindow(const QMenu *menu)
{
    QWidget *window = menu->parentWidget() ? menu->parentWidget()->window() : nullptr;
    if (!window || !window->isVisible())
        window = QApplication::activeWindow();
    if (window && window->isVisible())
        window->activateWindow();
}

} // namespace

TTrayIcon::TTrayIcon(QObject *owner, std::unique_ptr<TrayShell> shell)
    : QObject(owner), m_shell(shell ? std::move(shell) : std::make_unique<QtTrayShell>())
{
    connect(m_shell.get(), &TrayShell::mouseAction, this, &TTrayIcon::shellMouseAction);
}

TTrayIcon::~TTrayIcon()
{
    if (m_active)
        deleteIcon();
}

void TTrayIcon::setActive(bool active)
{
    if (active == m_active)
        return;
    m_active = active;
    if (active)
        addIcon();
    else
        deleteIcon();
}

void TTrayIcon::setShowDesigning(bool showDesigning)
{
    m_showDesigning = showDesigning;
}

void TTrayIcon::setIcon(const QIcon &icon)
{
    if (icon.cacheKey() == m_icon.cacheKey())
        return;
    m_icon = icon;
    modifyIcon();
}

void TTrayIcon::setToolTip(const QString &toolTip)
{
    m_toolTip = firstCharacters(toolTip, MaxToolTipLength);
    modifyIcon();
}

QMenu *TTrayIcon::PopupMenu() const
{
    return m_popupMenu;
}

void TTrayIcon::setPopupMenu(QMenu *menu)
{
    m_popupMenu = menu;
    m_shell->setMenu(menu);
}

bool TTrayIcon::addIcon()
{
    // An icon added before its tooltip was set gets the tip again once the loop runs.
    if (m_toolTip.isEmpty())
        QMetaObject::invokeMethod(
            this, [this] { setToolTip(m_toolTip); }, Qt::QueuedConnection);
    return m_shell->add(m_icon, m_toolTip);
}

bool TTrayIcon::modifyIcon()
{
    if (!m_active)
        return true; // stored; the next add shows it
    return m_shell->modify(m_icon, m_toolTip);
}

bool TTrayIcon::deleteIcon()
{
    return m_shell->remove();
}

void TTrayIcon::shellMouseAction(TrayShell::MouseAction action)
{
    switch (action) {
    case TrayShell::MouseAction::LeftButtonUp:
        if (OnClick)
            OnClick(this);
        break;
    case TrayShell::MouseAction::LeftDoubleClick:
    case TrayShell::MouseAction::Activate:
        if (OnDblClick)
            OnDblClick(this);
        break;
    case TrayShell::MouseAction::RightButtonUp:
        rightClick();
        break;
    case TrayShell::MouseAction::Other:
        break;
    }
}

void TTrayIcon::rightClick()
{
    const QPoint position = QCursor::pos();
    if (m_popupMenu) {
        // The menu's nested loop may run anything, the end of this component included.
        const QPointer<TTrayIcon> self(this);
        QPointer<QMenu> menu(m_popupMenu);
        activateApplicationWindow(menu);
        QCoreApplication::processEvents();
        if (menu)
            menu->exec(position);
        if (!self)
            return;
    }
    if (OnRightClick)
        OnRightClick(this, Qt::RightButton, Qt::NoModifier, position.x(), position.y());
}
