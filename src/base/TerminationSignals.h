// SIGTERM, SIGINT and SIGHUP (a logout, kill, Ctrl+C, a closed terminal) as
// a Qt signal on the thread that made the object, so a program can end
// through its normal shutdown instead of dying where it stands.
#pragma once

#include <QObject>

class QSocketNotifier;

class CTerminationSignals final : public QObject
{
    Q_OBJECT

public:
    // Catches the signals from now on; one object at a time.
    explicit CTerminationSignals(QObject* parent = nullptr);
    // Gives them back their default handling.
    ~CTerminationSignals() override;

signals:
    void Received(int signalNumber);

private:
    void Drain();

    QSocketNotifier* m_notifier = nullptr;
};
