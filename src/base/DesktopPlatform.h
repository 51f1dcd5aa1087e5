// The platform seam on a real desktop: Qt's message box and file dialogs,
// Qt Multimedia for wave files, the desktop's default handlers, the clock.
#pragma once

#include "Platform.h"

// The filter the Open and Save As dialogs list files with, for a name with
// wildcards.
QString FileDialogNameFilter(const QString& initialName);

class CDesktopPlatform final : public CPlatform
{
public:
    void ShowMessage(const QString& text, QWidget* parent) override;
    std::optional<QString> GetOpenFileName(QWidget* parent, const QString& defaultExtension,
                                           const QString& initialName) override;
    std::optional<QString> GetSaveFileName(QWidget* parent, const QString& defaultExtension,
                                           const QString& initialName) override;
    void PlaySound(const QString& path, std::function<void()> finished) override;
    void OpenWithDesktop(const QString& path) override;
    bool HasNotificationArea() override;
    QDateTime Now() override;
    void SingleShot(int milliseconds, QObject* context, std::function<void()> task) override;
};
