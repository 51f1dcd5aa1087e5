// The platform seam as tests answer it: message boxes are recorded (and may
// run a hook while "open"), file dialogs return what the test queued, sounds
// play until the test ends them, notifications are recorded and clicked by
// the test, programs run until the test ends them, the clock is set, and
// timers fire when the test says so.
#pragma once

#include "Platform.h"

#include <QPointer>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

class FakePlatform final : public CPlatform
{
public:
    FakePlatform();  // installs itself
    ~FakePlatform() override; // and goes back to the console one

    // --- message boxes
    QStringList messages;
    // Runs while a message box is "open", with its text; for tests that act
    // from inside the nested loop a real box would run.
    std::function<void(const QString&)> onMessage;

    // --- file dialogs: the next answers, in order; none left means cancel.
    void QueueFileName(const QString& path) { m_fileNames.push_back({true, path}); }
    void QueueCancel() { m_fileNames.push_back({false, {}}); }
    struct FileDialog
    {
        bool save;
        QString defaultExtension, initialName;
    };
    std::vector<FileDialog> fileDialogs;

    // --- sounds: each stays playing until EndSound.
    QStringList soundsPlayed;
    // Runs as a sound starts, with its path.
    std::function<void(const QString&)> onSound;
    int SoundsPlaying() const { return int(m_playing.size()); }
    bool EndSound(); // ends the oldest; false when none plays

    // --- desktop
    QStringList opened;
    bool notificationArea = true;

    // --- notifications: a service runs, or none does; each shown one stays
    // until the test clicks it or has it fail.
    bool notificationService = true;
    struct Notification
    {
        QString summary, body;
        QPointer<QObject> context;
        std::function<void()> activated, failed;
    };
    std::vector<Notification> notifications;
    bool ClickNotification(size_t index);
    bool FailNotification(size_t index);

    // --- programs: each stays running until EndProgram.
    struct Program
    {
        QString program;
        QStringList arguments;
        QList<QPair<QString, QString>> environment;
        QPointer<QObject> context;
        std::function<void()> ended;
    };
    std::vector<Program> programsStarted; // every start, in order
    int ProgramsRunning() const { return int(m_running.size()); }
    bool EndProgram(); // ends the oldest running; false when none runs

    // --- clock and timers
    QDateTime now = QDateTime(QDate(1999, 12, 6), QTime(9, 5, 7));
    struct Timer
    {
        int milliseconds;
        QPointer<QObject> context;
        std::function<void()> task;
    };
    std::vector<Timer> timers;
    bool FireTimer(); // fires the oldest; false when none is pending
    // Runs as a timer is started.
    std::function<void(const Timer&)> onTimer;

    void ShowMessage(const QString& text, QWidget* parent) override;
    std::optional<QString> GetOpenFileName(QWidget*, const QString& defaultExtension,
                                           const QString& initialName) override;
    std::optional<QString> GetSaveFileName(QWidget*, const QString& defaultExtension,
                                           const QString& initialName) override;
    void PlaySound(const QString& path, std::function<void()> finished) override;
    void OpenWithDesktop(const QString& path) override { opened << path; }
    bool HasNotificationArea() override { return notificationArea; }
    bool HasNotificationService() override { return notificationService; }
    void ShowNotification(const QString& summary, const QString& body, QObject* context,
                          std::function<void()> activated, std::function<void()> failed) override;
    void StartProgram(const QString& program, const QStringList& arguments,
                      const QList<QPair<QString, QString>>& environment, QObject* context,
                      std::function<void()> ended) override;
    QDateTime Now() override { return now; }
    void SingleShot(int milliseconds, QObject* context, std::function<void()> task) override;

private:
    std::optional<QString> NextFileName();
    bool Fire(size_t index, std::function<void()> Notification::*callback);
    struct Answer
    {
        bool chosen;
        QString path;
    };
    std::deque<Answer> m_fileNames;
    std::deque<std::function<void()>> m_playing;
    std::deque<size_t> m_running; // into programsStarted
};
