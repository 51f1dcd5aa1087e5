// chat-peer: the main window on the real driver, steered line by line from
// stdin so that a test can run two of them, one per subscriber. Message
// boxes are answered at once and reported; sounds end at once.
//
//   type OBJECT TEXT   key presses into a field (TEXT is UTF-8)
//   click OBJECT       a button
//   wait-rows N        until the call list has N rows
//   wait-log TEXT      until the received-text box holds TEXT
//   dump               the fields, the call list and the messages, as JSON
//   bus                the session bus it is on (its address), or nothing
//   quit               closes the window (its shutdown runs) and ends
#include "CChatDlg.h"
#include "Platform.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 10000;

class PeerPlatform final : public CPlatform
{
public:
    QStringList messages;
    void ShowMessage(const QString& text, QWidget*) override { messages << text; }
    std::optional<QString> GetOpenFileName(QWidget*, const QString&, const QString&) override { return {}; }
    std::optional<QString> GetSaveFileName(QWidget*, const QString&, const QString&) override { return {}; }
    void PlaySound(const QString&, std::function<void()> finished) override { finished(); }
    void OpenWithDesktop(const QString&) override {}
    QDateTime Now() override { return QDateTime::currentDateTime(); }
    void SingleShot(int milliseconds, QObject* context, std::function<void()> task) override
    {
        QTimer::singleShot(milliseconds, context, std::move(task));
    }
};

void Reply(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class Peer
{
public:
    Peer(CChatDlg* dialog, PeerPlatform& platform) : m_dialog(dialog), m_platform(platform) {}

    void Handle(const QString& line)
    {
        const QString command = line.section(u' ', 0, 0);
        const QString rest = line.section(u' ', 1);
        if (command == "type") {
            auto* edit = m_dialog->findChild<QWidget*>(rest.section(u' ', 0, 0));
            if (!edit)
                return Reply("error: no such field");
            for (QChar ch : rest.section(u' ', 1)) {
                QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
                QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
                QApplication::sendEvent(edit, &press);
                QApplication::sendEvent(edit, &release);
            }
            Reply("ok");
        } else if (command == "click") {
            auto* button = m_dialog->findChild<QAbstractButton*>(rest);
            if (!button)
                return Reply("error: no such button");
            button->click();
            Reply("ok");
        } else if (command == "wait-rows") {
            const int rows = rest.toInt();
            WaitFor([this, rows] { return m_dialog->CallListModel().rowCount() >= rows; });
        } else if (command == "wait-log") {
            WaitFor([this, rest] { return Log().contains(rest); });
        } else if (command == "bus") {
            Reply(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
        } else if (command == "dump") {
            Reply(QJsonDocument(Dump()).toJson(QJsonDocument::Compact));
        } else if (command == "quit") {
            m_dialog->reject();
        } else {
            Reply("error: unknown command");
        }
    }

private:
    QString Log() const { return m_dialog->findChild<QPlainTextEdit*>("receivedEdit")->toPlainText(); }
    QString Field(const char* name) const { return m_dialog->findChild<QLineEdit*>(name)->text(); }

    void WaitFor(std::function<bool()> condition)
    {
        auto started = std::make_shared<QElapsedTimer>();
        started->start();
        auto poll = std::make_shared<std::function<void()>>();
        // Each run is a copy; the stored one is dropped at the end, or it
        // would keep itself alive.
        *poll = [=] {
            if (condition() || started->elapsed() > kWaitMs) {
                *poll = nullptr;
                return Reply(condition() ? "ok" : "timeout");
            }
            QTimer::singleShot(10, *poll);
        };
        const auto first = *poll;
        first();
    }

    QJsonObject Dump() const
    {
        QJsonArray rows;
        for (const QStringList& row : m_dialog->CallListModel().Rows())
            rows.append(QJsonArray::fromStringList(row));
        return {
            {"log", Log()},
            {"callType", Field("callTypeEdit")},
            {"calledNumber", Field("calledNumberEdit")},
            {"caller", Field("callerEdit")},
            {"sendText", Field("sendTextEdit")},
            {"phoneNumber", Field("phoneNumberEdit")},
            {"rows", rows},
            {"messages", QJsonArray::fromStringList(m_platform.messages)},
        };
    }

    CChatDlg* m_dialog;
    PeerPlatform& m_platform;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Zoemlijn"));
    PeerPlatform platform;
    CPlatform::Install(&platform);
    {
        CChatDlg dialog;
        Peer peer(&dialog, platform);
        QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
        QByteArray pending;
        QObject::connect(&input, &QSocketNotifier::activated, &dialog, [&] {
            char buffer[4096];
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                input.setEnabled(false);
                dialog.reject();
                return;
            }
            pending.append(buffer, n);
            for (qsizetype eol; (eol = pending.indexOf('\n')) >= 0;) {
                const QString line = QString::fromUtf8(pending.left(eol));
                pending.remove(0, eol + 1);
                peer.Handle(line);
            }
        });
        // Ready once start-up is through, also when the driver is slow.
        while (dialog.IsStartingLinks())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        Reply("ready");
        dialog.exec();
    }
    Reply("bye");
    CPlatform::Install(nullptr);
    return 0;
}
