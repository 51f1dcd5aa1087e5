#include "DesktopPlatform.h"

#include "DesktopNotifications.h"
#include "ProgramLauncher.h"
#include "ShellOpen.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QSoundEffect>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

namespace {

// A wave file that has not started within this long is taken as unplayable.
constexpr int kSoundLoadLimitMs = 10000;

QWidget* OwnerOr(QWidget* parent) { return parent ? parent : QApplication::activeWindow(); }

// "*.wav" and "wav" both give "wav"; the platform keeps three characters.
QString Suffix(const QString& defaultExtension)
{
    QString suffix = defaultExtension;
    while (suffix.startsWith(u'*') || suffix.startsWith(u'.'))
        suffix.remove(0, 1);
    return suffix.left(3);
}

std::optional<QString> RunFileDialog(QWidget* parent, QFileDialog::AcceptMode mode,
                                     const QString& defaultExtension, const QString& initialName)
{
    QFileDialog dialog(OwnerOr(parent));
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::ReadOnly, false);
    // A name with wildcards lists only what matches, as its initial name.
    if (initialName.contains(u'*') || initialName.contains(u'?'))
        dialog.setNameFilter(FileDialogNameFilter(initialName));
    else
        dialog.selectFile(initialName);
    // An Open dialog needs no suffix on a file that exists as named
    // (programs often have none); Save As adds it to a bare name.
    if (mode == QFileDialog::AcceptSave)
        dialog.setDefaultSuffix(Suffix(defaultExtension));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    QString path = QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath();
    if (mode == QFileDialog::AcceptOpen && !QFileInfo::exists(path)) {
        const QString withSuffix = path + u'.' + Suffix(defaultExtension);
        if (QFileInfo::exists(withSuffix))
            path = withSuffix;
    }
    return path;
}

} // namespace

QString FileDialogNameFilter(const QString& initialName)
{
    // "*.*" meant every file where every file had an extension; here most
    // programs have none.
    return initialName == QLatin1String("*.*") ? QStringLiteral("*") : initialName;
}

void CDesktopPlatform::ShowMessage(const QString& text, QWidget* parent)
{
    QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), text, QMessageBox::Ok, OwnerOr(parent));
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

CDesktopPlatform::CDesktopPlatform() = default;

CDesktopPlatform::~CDesktopPlatform() = default;

std::optional<QString> CDesktopPlatform::GetOpenFileName(QWidget* parent, const QString& defaultExtension,
                                                         const QString& initialName)
{
    return RunFileDialog(parent, QFileDialog::AcceptOpen, defaultExtension, initialName);
}

std::optional<QString> CDesktopPlatform::GetSaveFileName(QWidget* parent, const QString& defaultExtension,
                                                         const QString& initialName)
{
    return RunFileDialog(parent, QFileDialog::AcceptSave, defaultExtension, initialName);
}

void CDesktopPlatform::PlaySound(const QString& path, std::function<void()> finished)
{
    auto* effect = new QSoundEffect(qApp);
    auto done = std::make_shared<bool>(false);
    auto finish = [effect, done, finished = std::move(finished)](bool failed) {
        if (*done)
            return;
        *done = true;
        if (failed)
            QApplication::beep(); // the default sound, as for a file that cannot be played
        effect->deleteLater();
        if (finished)
            finished();
    };
    QObject::connect(effect, &QSoundEffect::statusChanged, effect, [effect, finish] {
        if (effect->status() == QSoundEffect::Error)
            finish(true);
        else if (effect->status() == QSoundEffect::Ready && !effect->isPlaying())
            effect->play();
    });
    QObject::connect(effect, &QSoundEffect::playingChanged, effect, [effect, finish] {
        if (!effect->isPlaying() && effect->status() == QSoundEffect::Ready)
            finish(false);
    });
    QTimer::singleShot(kSoundLoadLimitMs, effect, [effect, finish] {
        if (!effect->isPlaying())
            finish(true);
    });
    const QFileInfo file(path);
    if (!file.isFile()) {
        QTimer::singleShot(0, effect, [finish] { finish(true); });
        return;
    }
    effect->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
}

void CDesktopPlatform::OpenWithDesktop(const QString& path)
{
#ifdef Q_OS_WIN
    // The shell's own "open" verb runs programs as well.
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
#else
    const ShellCommand command = ShellOpenCommand(path, QString::fromLocal8Bit(qgetenv("PATH")));
    if (command.kind == ShellCommand::Kind::Start)
        QProcess::startDetached(command.program, command.arguments);
    else
        QDesktopServices::openUrl(QUrl::fromLocalFile(command.program));
#endif
}

bool CDesktopPlatform::HasNotificationArea() { return QSystemTrayIcon::isSystemTrayAvailable(); }

CDesktopNotifications& CDesktopPlatform::Notifications()
{
    if (!m_notifications)
        m_notifications = std::make_unique<CDesktopNotifications>(QDBusConnection::sessionBus());
    return *m_notifications;
}

bool CDesktopPlatform::HasNotificationService() { return Notifications().IsAvailable(); }

void CDesktopPlatform::ShowNotification(const QString& summary, const QString& body, QObject* context,
                                        std::function<void()> activated, std::function<void()> failed)
{
    Notifications().Show(summary, body, context, std::move(activated), std::move(failed));
}

void CDesktopPlatform::StartProgram(const QString& program, const QStringList& arguments,
                                    const QList<QPair<QString, QString>>& environment, QObject* context,
                                    std::function<void()> ended)
{
    if (!m_launcher)
        m_launcher = std::make_unique<CProgramLauncher>();
    m_launcher->Start(program, arguments, environment, context, std::move(ended));
}

QDateTime CDesktopPlatform::Now() { return QDateTime::currentDateTime(); }

void CDesktopPlatform::SingleShot(int milliseconds, QObject* context, std::function<void()> task)
{
    QTimer::singleShot(milliseconds, context, std::move(task));
}
