#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

class QTimer;

// Passes on texts that remote peers can make the program repeat (resets, failed accepts) a
// few times at most. A text opens a window of a second: it goes out PassedPerWindow times in
// it, further repeats are only counted, and when the window ends the count goes out after
// the text: "Connection reset by peer ... 312 more". While repeats go on, each window is
// twice as long as the one before, up to half a minute, so that a storm that lasts adds a
// few lines, not a few every second; a window without repeats beyond its share ends it.
class NoiseLimit : public QObject
{
    Q_OBJECT

public:
    using Out = std::function<void(const QString &text)>;
    // Milliseconds on a steady clock; a test sets a clock of its own.
    using Clock = std::function<qint64()>;

    static constexpr int PassedPerWindow = 2;
    static constexpr qint64 FirstWindowMs = 1000;
    static constexpr qint64 LongestWindowMs = 30000;

    explicit NoiseLimit(QObject *parent = nullptr, Clock clock = {});

    // Hands text to out now, or counts it; the count goes to the out of its latest repeat.
    // out may run the event loop (a message box): state is settled before it is called.
    void pass(const QString &text, Out out);

    // Hands on the counts of the windows that are over; the timer calls it when one ends.
    void summarize();

private:
    struct Window
    {
        qint64 end = 0;
        qint64 length = FirstWindowMs;
        int passed = 0;
        int leftOut = 0;
        Out out;
    };

    // Ends the window of text, over at now: its count, if any, is returned with its out,
    // and a longer window follows it.
    std::pair<QString, Out> endWindow(QHash<QString, Window>::iterator window, qint64 now);
    void scheduleSummary();

    Clock m_clock;
    QHash<QString, Window> m_windows;
    QTimer *m_summaryTimer = nullptr;
};
