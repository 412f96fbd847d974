#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

class QTimer;

// Passes on texts that remote peers can make the program repeat (resets, failed accepts)
// at most a few times a second each. Within a second of its first showing, a text goes out
// PassedPerSecond times; further repeats are only counted, and once that second is over
// the count goes out after the text: "Connection reset by peer ... 312 more".
class NoiseLimit : public QObject
{
    Q_OBJECT

public:
    using Out = std::function<void(const QString &text)>;
    // Milliseconds on a steady clock; a test sets a clock of its own.
    using Clock = std::function<qint64()>;

    static constexpr int PassedPerSecond = 2;

    explicit NoiseLimit(QObject *parent = nullptr, Clock clock = {});

    // Hands text to out now, or counts it; the count goes to the out of its latest repeat.
    // out may run the event loop (a message box): state is settled before it is called.
    void pass(const QString &text, Out out);

    // Hands on the counts of the seconds that are over; the timer calls it when one ends.
    void summarize();

private:
    struct Window
    {
        qint64 end = 0;
        int passed = 0;
        int leftOut = 0;
        Out out;
    };

    void scheduleSummary();

    Clock m_clock;
    QHash<QString, Window> m_windows;
    QTimer *m_summaryTimer = nullptr;
};
