#include "WindowFit.h"

#include <QEvent>
#include <QLayout>
#include <QWidget>

WindowFit::WindowFit(QWidget *window, QSize least, Frame frame)
    : QObject(window), m_window(window), m_least(least), m_frame(frame)
{
    window->installEventFilter(this);
}

void WindowFit::atLeast(QWidget *control, QSize least)
{
    for (auto &[known, floor] : m_controls) {
        if (known == control) {
            floor = least;
            refit();
            return;
        }
    }
    m_controls.emplace_back(control, least);
    refit();
}

void WindowFit::refit()
{
    // An explicit minimum replaces what a layout would otherwise ask of the control's
    // content, so the floor is raised to that content rather than set alone.
    for (const auto &[control, least] : m_controls) {
        if (control)
            control->setMinimumSize(least.expandedTo(control->minimumSizeHint()));
    }
    if (m_frame != Frame::Fixed || !m_window->layout())
        return;
    const QSize needed = m_window->layout()->totalMinimumSize().expandedTo(m_least);
    if (m_window->minimumSize() != needed || m_window->maximumSize() != needed)
        m_window->setFixedSize(needed);
}

bool WindowFit::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window) {
        switch (event->type()) {
        case QEvent::Polish:
        case QEvent::LayoutRequest:
        case QEvent::FontChange:
        case QEvent::StyleChange:
            refit();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}
