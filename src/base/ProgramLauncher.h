// Starts programs on a thread of its own, so that the caller's thread pays
// neither the fork nor the exec, and keeps each until it has ended.
#pragma once

#include <QList>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QThread>

#include <functional>

class CProgramLauncher final : public QObject
{
public:
    CProgramLauncher();
    // Programs still running are ended with it.
    ~CProgramLauncher() override;

    // As CPlatform::StartProgram; from the thread this object lives in.
    void Start(const QString& program, const QStringList& arguments,
               const QList<QPair<QString, QString>>& environment, QObject* context, std::function<void()> ended);

private:
    QThread m_thread;
    // Lives in m_thread, and with it every process it started.
    QObject* m_worker;
};
