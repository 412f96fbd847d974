#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

#include "TrayShell.h"

class QMenu;

// One icon in the notification area: keeps its image and tooltip current and turns mouse
// actions on it into events and a popup menu.
class TTrayIcon : public QObject
{
    Q_OBJECT

public:
    // An empty shell means the real notification area.
    explicit TTrayIcon(QObject *owner = nullptr, std::unique_ptr<TrayShell> shell = {});
    ~TTrayIcon() override;

    bool Active() const { return m_active; }
    void setActive(bool active);
    // Only meaningful in a form designer; kept as one of the component's published properties.
    bool ShowDesigning() const { return m_showDesigning; }
    void setShowDesigning(bool showDesigning);
    QIcon Icon() const { return m_icon; }
    void setIcon(const QIcon &icon);
    QString ToolTip() const { return m_toolTip; }
    void setToolTip(const QString &toolTip);
    // Shown at a right click; hosts that draw the menu themselves get it too. Not owned.
    QMenu *PopupMenu() const;
    void setPopupMenu(QMenu *menu);

    std::function<void(QObject *Sender)> OnClick;
    // Also the item's activation on a host that knows no double click.
    std::function<void(QObject *Sender)> OnDblClick;
    // After the popup menu, with the cursor position read before it opened.
    std::function<void(QObject *Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X,
                       int Y)>
        OnRightClick;

    static constexpr int MaxToolTipLength = 62;

private:
    bool addIcon();
    bool modifyIcon();
    bool deleteIcon();
    void shellMouseAction(TrayShell::MouseAction action);
    void rightClick();

    std::unique_ptr<TrayShell> m_shell;
    bool m_active = false;
    bool m_showDesigning = false;
    QIcon m_icon;
    QString m_toolTip;
    QPointer<QMenu> m_popupMenu;
};
