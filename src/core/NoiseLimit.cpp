#include "NoiseLimit.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr qint64 windowMs = 1000;

QString summary(const QString &text, int leftOut)
{
    return text + QStringLiteral(" ... %1 more").arg(leftOut);
}

} // namespace

NoiseLimit::NoiseLimit(QObject *parent, Clock clock) : QObject(parent), m_clock(std::move(clock))
{
    if (!m_clock) {
        auto started = std::make_shared<QElapsedTimer>();
        started->start();
        m_clock = [started] { return started->elapsed(); };
    }
    m_summaryTimer = new QTimer(this);
    m_summaryTimer->setSingleShot(true);
    connect(m_summaryTimer, &QTimer::timeout, this, &NoiseLimit::summarize);
}

void NoiseLimit::pass(const QString &text, Out out)
{
    const qint64 now = m_clock();
    auto found = m_windows.find(text);
    if (found != m_windows.end() && found->end <= now) {
        // The timer is late: the count of the second that is over comes first.
        const Window over = std::move(*found);
        m_windows.erase(found);
        if (over.leftOut > 0)
            over.out(summary(text, over.leftOut));
        found = m_windows.find(text);
    }
    if (found == m_windows.end())
        found = m_windows.insert(text, Window{now + windowMs, 0, 0, {}});
    if (found->passed < PassedPerSecond) {
        ++found->passed;
        out(text);
        return;
    }
    ++found->leftOut;
    found->out = std::move(out);
    scheduleSummary();
}

void NoiseLimit::summarize()
{
    const qint64 now = m_clock();
    std::vector<std::pair<QString, Window>> over;
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        if (it->end <= now) {
            over.emplace_back(it.key(), std::move(*it));
            it = m_windows.erase(it);
        } else {
            ++it;
        }
    }
    scheduleSummary();
    std::sort(over.begin(), over.end(), [](const auto &one, const auto &other) {
        return std::tie(one.second.end, one.first) < std::tie(other.second.end, other.first);
    });
    for (const auto &[text, window] : over) {
        if (window.leftOut > 0)
            window.out(summary(text, window.leftOut));
    }
}

void NoiseLimit::scheduleSummary()
{
    // Windows without a count end silently, whenever their text comes again or a summary runs.
    qint64 next = -1;
    for (const Window &window : std::as_const(m_windows)) {
        if (window.leftOut > 0 && (next == -1 || window.end < next))
            next = window.end;
    }
    if (next == -1) {
        m_summaryTimer->stop();
        return;
    }
    m_summaryTimer->start(int(qMax<qint64>(0, next - m_clock())));
}
