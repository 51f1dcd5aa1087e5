// The one seam for platform services that tests must not trigger for real:
// message boxes, the Open and Save As dialogs, playing a sound, opening a
// file with the desktop, desktop notifications, starting programs, the
// clock and timers. The program installs the
// desktop implementation at start-up; tests install their own.
#pragma once

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QObject;
class QWidget;

class CPlatform
{
public:
    virtual ~CPlatform();

    // A message box with one OK button and an exclamation icon, captioned
    // with the application's name, modal to `parent` (or to the active
    // window). Returns when the user has closed it; the event loop runs
    // meanwhile. The text is always shown as plain text.
    virtual void ShowMessage(const QString& text, QWidget* parent = nullptr) = 0;

    // The Open and Save As dialogs: the chosen file's full path, or nothing
    // when cancelled. `defaultExtension` is appended (at most its first three
    // characters) to a name typed without one; Save As asks before it
    // overwrites a file.
    virtual std::optional<QString> GetOpenFileName(QWidget* parent, const QString& defaultExtension,
                                                   const QString& initialName) = 0;
    virtual std::optional<QString> GetSaveFileName(QWidget* parent, const QString& defaultExtension,
                                                   const QString& initialName) = 0;

    // Plays a wave file without blocking; `finished` runs on the calling
    // thread once the sound has ended or could not be played (in which case
    // the platform's default sound plays instead).
    virtual void PlaySound(const QString& path, std::function<void()> finished) = 0;

    // The shell's "open" verb: a program (an executable file, a desktop
    // entry, a name on PATH) is started, anything else opens with the
    // desktop's default application; a failure is silent.
    virtual void OpenWithDesktop(const QString& path) = 0;

    // Whether the desktop shows notification-area (tray) icons; without one
    // a window hidden to the tray could not be reached again.
    virtual bool HasNotificationArea() { return false; }

    // Whether the desktop's notification service (org.freedesktop.
    // Notifications on the session bus) is there, as last seen: the first
    // question starts watching for it, and says no until the bus answered.
    virtual bool HasNotificationService() { return false; }

    // A desktop notification with the program's icon and desktop entry;
    // both texts are shown as plain text. `activated` runs on this thread
    // when the user clicks it, `failed` when it could not be shown; neither
    // once `context` is gone.
    virtual void ShowNotification(const QString& summary, const QString& body, QObject* context,
                                  std::function<void()> activated, std::function<void()> failed);

    // Starts `program` with `arguments` as they are (never through a shell),
    // with `environment` added to the program's own and its output going
    // nowhere; the caller never waits for it. `ended` runs on this thread
    // once it has ended or could not start, unless `context` is gone.
    virtual void StartProgram(const QString& program, const QStringList& arguments,
                              const QList<QPair<QString, QString>>& environment, QObject* context,
                              std::function<void()> ended);

    // Local date and time.
    virtual QDateTime Now() = 0;

    // Runs `task` once after `milliseconds`, unless `context` is gone by then.
    virtual void SingleShot(int milliseconds, QObject* context, std::function<void()> task) = 0;

    // The implementation in force: the one installed last, or a console one
    // (command-line tools, tests that install none): messages go to stderr,
    // dialogs are cancelled, sounds end at once, nothing is opened, shown
    // as a notification or started.
    static CPlatform& Instance();
    // The caller keeps ownership; nullptr goes back to the console one.
    static void Install(CPlatform* platform);
};
