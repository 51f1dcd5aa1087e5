#include "FakePlatform.h"

FakePlatform::FakePlatform() { CPlatform::Install(this); }

FakePlatform::~FakePlatform() { CPlatform::Install(nullptr); }

void FakePlatform::ShowMessage(const QString& text, QWidget*)
{
    messages << text;
    if (onMessage)
        onMessage(text);
}

std::optional<QString> FakePlatform::NextFileName()
{
    if (m_fileNames.empty())
        return std::nullopt;
    const Answer next = m_fileNames.front();
    m_fileNames.pop_front();
    if (!next.chosen)
        return std::nullopt;
    return next.path;
}

std::optional<QString> FakePlatform::GetOpenFileName(QWidget*, const QString& defaultExtension,
                                                     const QString& initialName)
{
    fileDialogs.push_back({false, defaultExtension, initialName});
    return NextFileName();
}

std::optional<QString> FakePlatform::GetSaveFileName(QWidget*, const QString& defaultExtension,
                                                     const QString& initialName)
{
    fileDialogs.push_back({true, defaultExtension, initialName});
    return NextFileName();
}

void FakePlatform::PlaySound(const QString& path, std::function<void()> finished)
{
    soundsPlayed << path;
    m_playing.push_back(std::move(finished));
    if (onSound)
        onSound(path);
}

bool FakePlatform::EndSound()
{
    if (m_playing.empty())
        return false;
    auto finished = std::move(m_playing.front());
    m_playing.pop_front();
    if (finished)
        finished();
    return true;
}

void FakePlatform::SingleShot(int milliseconds, QObject* context, std::function<void()> task)
{
    timers.push_back({milliseconds, context, std::move(task)});
    if (onTimer)
        onTimer(timers.back());
}

bool FakePlatform::FireTimer()
{
    if (timers.empty())
        return false;
    Timer timer = std::move(timers.front());
    timers.erase(timers.begin());
    if (timer.context && timer.task)
        timer.task();
    return true;
}

void FakePlatform::ShowNotification(const QString& summary, const QString& body, QObject* context,
                                    std::function<void()> activated, std::function<void()> failed)
{
    notifications.push_back({summary, body, context, std::move(activated), std::move(failed)});
}

bool FakePlatform::ClickNotification(size_t index) { return Fire(index, &Notification::activated); }

bool FakePlatform::FailNotification(size_t index) { return Fire(index, &Notification::failed); }

bool FakePlatform::Fire(size_t index, std::function<void()> Notification::*callback)
{
    if (index >= notifications.size() || !notifications[index].context || !(notifications[index].*callback))
        return false;
    // Copied: what it runs may show another.
    const std::function<void()> answer = notifications[index].*callback;
    answer();
    return true;
}

void FakePlatform::StartProgram(const QString& program, const QStringList& arguments,
                                const QList<QPair<QString, QString>>& environment, QObject* context,
                                std::function<void()> ended)
{
    programsStarted.push_back({program, arguments, environment, context, std::move(ended)});
    m_running.push_back(programsStarted.size() - 1);
}

bool FakePlatform::EndProgram()
{
    if (m_running.empty())
        return false;
    // Copied: what it runs may start another.
    const QPointer<QObject> context = programsStarted[m_running.front()].context;
    const std::function<void()> ended = programsStarted[m_running.front()].ended;
    m_running.pop_front();
    if (context && ended)
        ended();
    return true;
}
