#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QMenu;
class QSystemTrayIcon;
class QTimer;

// The notification area as the tray icon component sees it: add, modify and remove one icon
// with its tooltip and menu, and the mouse actions on it. Tests put a recording stand-in here.
class TrayShell : public QObject
{
    Q_OBJECT

public:
    // Activate: a host that draws the item itself (a StatusNotifierItem host) asks for the
    // item's one primary action; it knows no double click.
    enum class MouseAction { LeftButtonUp, LeftDoubleClick, RightButtonUp, Activate, Other };
    Q_ENUM(MouseAction)

    using QObject::QObject;

    // Each reports whether the shell accepted the call.
    virtual bool add(const QIcon &icon, const QString &toolTip) = 0;
    virtual bool modify(const QIcon &icon, const QString &toolTip) = 0;
    virtual bool remove() = 0;
    // The menu for hosts that draw it themselves; not owned.
    virtual void setMenu(QMenu *menu) = 0;

signals:
    void mouseAction(TrayShell::MouseAction action);
};

// What can show the icon: a StatusNotifierWatcher on the session bus (its menu goes over
// dbusmenu), an XEmbed tray manager on the X screen, nothing yet, or never anything (no
// display).
enum class TrayHost { None, StatusNotifier, XEmbed, Headless };

// The production shell over QSystemTrayIcon. Qt picks its D-Bus or XEmbed way once per
// process, when the first tray icon is made, so the icon is made only once a host is there:
// until then the shell looks for one every second. A panel that restarts later is Qt's to
// follow.
class QtTrayShell final : public TrayShell
{
    Q_OBJECT

public:
    // An empty findHost means the session bus and the X screen; say writes a line to stderr.
    explicit QtTrayShell(QObject *parent = nullptr, std::function<TrayHost()> findHost = {},
                         std::function<void(const char *line)> say = {});
    ~QtTrayShell() override;

    bool add(const QIcon &icon, const QString &toolTip) override;
    bool modify(const QIcon &icon, const QString &toolTip) override;
    bool remove() override;
    void setMenu(QMenu *menu) override;

    bool isShown() const;
    static TrayHost findHost();

    // How often to look for a host while there is none.
    int lookIntervalMs = 1000;

private:
    void lookForHost();
    void place(TrayHost host);
    void apply();

    std::function<TrayHost()> m_findHost;
    std::function<void(const char *)> m_say;
    QSystemTrayIcon *m_icon = nullptr; // made once a host is there
    QTimer *m_look = nullptr;
    TrayHost m_host = TrayHost::None;
    QPointer<QMenu> m_menu;
    QIcon m_wantedIcon;
    QString m_wantedTip;
    bool m_wanted = false;
    bool m_saidWaiting = false;
    // What the tray shows now: the tip changes with every finger query, the image hardly ever.
    qint64 m_shownIconKey = -1;
    bool m_blankShown = false;
};
