#include "NoiseLimit.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

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

std::pair<QString, NoiseLimit::Out> NoiseLimit::endWindow(QHash<QString, Window>::iterator window,
                                                          qint64 now)
{
    if (window->leftOut == 0) {
        m_windows.erase(window);
        return {};
    }
    std::pair<QString, Out> summary{
        window.key() + QStringLiteral(" ... %1 more").arg(window->leftOut), std::move(window->out)};
    const qint64 length = std::min(2 * window->length, LongestWindowMs);
    *window = Window{now + length, length, 0, 0, {}};
    return summary;
}

void NoiseLimit::pass(const QString &text, Out out)
{
    const qint64 now = m_clock();
    auto found = m_windows.find(text);
    if (found != m_windows.end() && found->end <= now) {
        // The timer is late: the count of the window that is over comes first.
        const auto [summary, summaryOut] = endWindow(found, now);
        if (summaryOut)
            summaryOut(summary);
        found = m_windows.find(text);
    }
    if (found == m_windows.end())
        found = m_windows.insert(text, Window{now + FirstWindowMs, FirstWindowMs, 0, 0, {}});
    if (found->passed < PassedPerWindow) {
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
    QStringList over;
    for (auto it = m_windows.cbegin(); it != m_windows.cend(); ++it) {
        if (it->end <= now)
            over << it.key();
    }
    std::vector<std::pair<qint64, std::pair<QString, Out>>> due;
    for (const QString &text : std::as_const(over)) {
        const auto window = m_windows.find(text);
        const qint64 end = window->end;
        auto summary = endWindow(window, now);
        if (summary.second)
            due.emplace_back(end, std::move(summary));
    }
    scheduleSummary();
    // In the order their windows ended, which a hash does not keep.
    std::sort(due.begin(), due.end(), [](const auto &one, const auto &other) {
        return std::tie(one.first, one.second.first) < std::tie(other.first, other.second.first);
    });
    for (const auto &[end, summary] : due)
        summary.second(summary.first);
}

void NoiseLimit::scheduleSummary()
{
    // Windows without a count end silently, whenever their text comes again.
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
