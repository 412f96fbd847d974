#pragma once

#include <QObject>

class QSocketNotifier;

// Brings SIGTERM and SIGINT to the event loop: the handler only writes the signal number
// into a pipe, and a socket notifier on the other end emits received() on the GUI thread.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    // Whether this instance installed the handlers; only one does at a time.
    bool isWatching() const { return m_notifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};
