#pragma once

#include <QIcon>
#include <QObject>
#include <QString>

#include <memory>

class QSystemTrayIcon;

// The notification area as the tray icon component sees it: add, modify and remove one icon
// with its tooltip, and the mouse actions on it. Tests put a recording stand-in here.
class TrayShell : public QObject
{
    Q_OBJECT

public:
    enum class MouseAction { LeftButtonUp, LeftDoubleClick, RightButtonUp, Other };
    Q_ENUM(MouseAction)

    using QObject::QObject;

    // Each reports whether the shell accepted the call.
    virtual bool add(const QIcon &icon, const QString &toolTip) = 0;
    virtual bool modify(const QIcon &icon, const QString &toolTip) = 0;
    virtual bool remove() = 0;

signals:
    void mouseAction(TrayShell::MouseAction action);
};

// The production shell over QSystemTrayIcon. Without a tray host the icon is not shown and
// add reports failure; Qt shows it should a host appear later.
class QtTrayShell final : public TrayShell
{
    Q_OBJECT

public:
    explicit QtTrayShell(QObject *parent = nullptr);
    ~QtTrayShell() override;

    bool add(const QIcon &icon, const QString &toolTip) override;
    bool modify(const QIcon &icon, const QString &toolTip) override;
    bool remove() override;

    static bool isHostAvailable();

private:
    void apply(const QIcon &icon, const QString &toolTip);

    std::unique_ptr<QSystemTrayIcon> m_icon;
    // What the tray shows now: the tip changes with every finger query, the image hardly ever.
    qint64 m_shownIconKey = -1;
    bool m_blankShown = false;
};
