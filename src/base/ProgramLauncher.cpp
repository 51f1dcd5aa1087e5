#include "ProgramLauncher.h"

#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>

#include <memory>

CProgramLauncher::CProgramLauncher()
    : m_worker(new QObject)
{
    m_thread.setObjectName(QStringLiteral("programs"));
    m_worker->moveToThread(&m_thread);
    m_thread.start();
}

CProgramLauncher::~CProgramLauncher()
{
    QObject* worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker] {
            for (QProcess* process : worker->findChildren<QProcess*>()) {
                process->disconnect();
                process->kill();
                process->waitForFinished(1000);
                delete process;
            }
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

void CProgramLauncher::Start(const QString& program, const QStringList& arguments,
                             const QList<QPair<QString, QString>>& environment, QObject* context,
                             std::function<void()> ended)
{
    QPointer<QObject> guard(context);
    QObject* worker = m_worker;
    // `this` outlives the thread, so the end can be sent back through it;
    // the context is looked at only there, on its own thread.
    auto tellEnded = [this, guard, ended = std::move(ended)] {
        QMetaObject::invokeMethod(
            this,
            [guard, ended] {
                if (guard && ended)
                    ended();
            },
            Qt::QueuedConnection);
    };
    QMetaObject::invokeMethod(
        worker,
        [worker, program, arguments, environment, tellEnded = std::move(tellEnded)] {
            auto* process = new QProcess(worker);
            QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
            for (const auto& [name, value] : environment)
                variables.insert(name, value);
            process->setProcessEnvironment(variables);
            process->setProgram(program);
            process->setArguments(arguments);
            process->setStandardInputFile(QProcess::nullDevice());
            process->setStandardOutputFile(QProcess::nullDevice());
            process->setStandardErrorFile(QProcess::nullDevice());
            auto done = [process, tellEnded, once = std::make_shared<bool>(false)] {
                if (*once)
                    return;
                *once = true;
                process->deleteLater();
                tellEnded();
            };
            QObject::connect(process, &QProcess::finished, process, done);
            QObject::connect(process, &QProcess::errorOccurred, process, [done](QProcess::ProcessError error) {
                if (error == QProcess::FailedToStart)
                    done();
            });
            process->start();
        },
        Qt::QueuedConnection);
}
