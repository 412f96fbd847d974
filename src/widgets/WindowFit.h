#pragma once

#include <QObject>
#include <QPointer>
#include <QSize>

#include <utility>
#include <vector>

class QWidget;

// The sizes a window was drawn at are floors, never clamps: the window and the controls named
// here grow past them as far as their texts need at the user's font, style and scale, and
// follow a later change of any of the three.
class WindowFit final : public QObject
{
public:
    enum class Frame {
        Fixed,     // the window keeps exactly the size its contents need (least `least`)
        Resizable, // the window's own layout keeps it from getting too small
    };

    // Owned by the window.
    WindowFit(QWidget *window, QSize least, Frame frame);

    // Keeps the control at least `least` and at least the size its own content needs;
    // naming a control again replaces its floor.
    void atLeast(QWidget *control, QSize least);
    // Sizes the controls and the window now, as a change of font or style would.
    void refit();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *m_window;
    QSize m_least;
    Frame m_frame;
    std::vector<std::pair<QPointer<QWidget>, QSize>> m_controls;
};
