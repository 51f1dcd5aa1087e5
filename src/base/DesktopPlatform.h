// The platform seam on a real desktop: Qt's message box and file dialogs,
// Qt Multimedia for wave files, the desktop's default handlers, the
// notification service on the session bus, programs started off the
// caller's thread, the clock.
#pragma once

#include "Platform.h"

#include <memory>

class CDesktopNotifications;
class CProgramLauncher;

// The filter the Open and Save As dialogs list files with, for a name with
// wildcards.
QString FileDialogNameFilter(const QString& initialName);

class CDesktopPlatform final : public CPlatform
{
public:
    CDesktopPlatform();
    ~CDesktopPlatform() override;

    void ShowMessage(const QString& text, QWidget* parent) override;
    std::optional<QString> GetOpenFileName(QWidget* parent, const QString& defaultExtension,
                                           const QString& initialName) override;
    std::optional<QString> GetSaveFileName(QWidget* parent, const QString& defaultExtension,
                                           const QString& initialName) override;
    void PlaySound(const QString& path, std::function<void()> finished) override;
    void OpenWithDesktop(const QString& path) override;
    bool HasNotificationArea() override;
    bool HasNotificationService() override;
    void ShowNotification(const QString& summary, const QString& body, QObject* context,
                          std::function<void()> activated, std::function<void()> failed) override;
    void StartProgram(const QString& program, const QStringList& arguments,
                      const QList<QPair<QString, QString>>& environment, QObject* context,
                      std::function<void()> ended) override;
    QDateTime Now() override;
    void SingleShot(int milliseconds, QObject* context, std::function<void()> task) override;

private:
    // Made at their first use: a program that never uses them never
    // connects to the bus or starts a thread.
    CDesktopNotifications& Notifications();
    std::unique_ptr<CDesktopNotifications> m_notifications;
    std::unique_ptr<CProgramLauncher> m_launcher;
};
