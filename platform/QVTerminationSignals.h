// SIGTERM (the desktop's log-out) and SIGINT turned into an ordinary quit of
// the event loop, so that the program shuts down in order.
#pragma once

#include <QObject>

class QSocketNotifier;

class QVTerminationSignals final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVTerminationSignals)

public:
    // One per process; the handlers stay installed while it lives.
    explicit QVTerminationSignals(QObject *parent = nullptr);
    ~QVTerminationSignals() override;

signals:
    // On the owner's thread, once per signal received.
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *notifier_ = nullptr;
};
