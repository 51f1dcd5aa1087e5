#include "Platform.h"

#include <QObject>
#include <QTimer>

#include <cstdio>

namespace {

class ConsolePlatform final : public CPlatform
{
public:
    void ShowMessage(const QString& text, QWidget*) override
    {
        std::fprintf(stderr, "Zoemlijn: %s\n", text.toLocal8Bit().constData());
    }
    std::optional<QString> GetOpenFileName(QWidget*, const QString&, const QString&) override { return {}; }
    std::optional<QString> GetSaveFileName(QWidget*, const QString&, const QString&) override { return {}; }
    void PlaySound(const QString&, std::function<void()> finished) override
    {
        if (finished)
            finished();
    }
    void OpenWithDesktop(const QString&) override {}
    QDateTime Now() override { return QDateTime::currentDateTime(); }
    void SingleShot(int milliseconds, QObject* context, std::function<void()> task) override
    {
        QTimer::singleShot(milliseconds, context, std::move(task));
    }
};

CPlatform* g_installed = nullptr; // set on the user-interface thread at start-up

} // namespace

CPlatform::~CPlatform() = default;

void CPlatform::ShowNotification(const QString&, const QString&, QObject* context, std::function<void()>,
                                 std::function<void()> failed)
{
    if (context && failed)
        QTimer::singleShot(0, context, std::move(failed));
}

void CPlatform::StartProgram(const QString&, const QStringList&, const QList<QPair<QString, QString>>&,
                             QObject* context, std::function<void()> ended)
{
    if (context && ended)
        QTimer::singleShot(0, context, std::move(ended));
}

CPlatform& CPlatform::Instance()
{
    static ConsolePlatform console;
    return g_installed ? *g_installed : console;
}

void CPlatform::Install(CPlatform* platform) { g_installed = platform; }
