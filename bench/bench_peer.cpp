// bench-peer: one subscriber for the delivery and idle benchmarks, on the
// real libcapi20 (which reads ~/.capi20rc once per process, hence one
// process per subscriber). Steered line by line from stdin; times are
// CLOCK_MONOTONIC nanoseconds, which every process on the machine shares.
//
//   bench-peer window        the main window, started as the user starts it
//   bench-peer link-listen   a bare link that listens
//   bench-peer link-send     a bare link that only sends
//
// Commands:  send NUMBER TEXT   -> "sent T E" (T just before the send, E when
//                                  the send had returned)
//            handle N           window: the last incoming call handled N more
//                               times in-process, no network -> "handled ..."
//            threads            -> "thread TID NAME" lines, then "end"
//            quit               -> "bye"
// Unasked:   "row T S" (window: a new top row in the call list at T; S is
//                     when the main thread began the posted task that made it)
//            "ind T"  (link-listen: the owner has the CONNECT_IND)
//            "message TEXT" (window: a message box it would have shown)
#include "CChatDlg.h"
#include "Platform.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTimer>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace {

long long NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void Reply(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void ReplyTime(const char* what, long long ns) { Reply(QByteArray(what) + ' ' + QByteArray::number(ns)); }

class BenchPlatform final : public CPlatform
{
public:
    void ShowMessage(const QString& text, QWidget*) override { Reply("message " + text.toUtf8().replace('\n', ' ')); }
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

// A bare link's owner: notifications run on the main thread's event loop,
// as the interface asks, and do nothing else.
class BareOwner final : public ICapiOwner
{
public:
    bool reportCalls = false;
    void OnCapiNotify(CCapiLink&, unsigned code) override
    {
        if (code == NC_CALL_INFO && reportCalls)
            ReplyTime("ind", NowNs());
    }
    void PostToOwner(std::function<void()> task) override
    {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
    }
};

std::set<int> Threads()
{
    std::set<int> tids;
    for (const QString& name : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        tids.insert(name.toInt());
    return tids;
}

QByteArray ThreadName(int tid)
{
    QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(tid));
    return comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : QByteArray("?");
}

// Our own threads have no name of their own: give the new ones one, in the
// order they were started, so that the idle figures can say whose they are.
void NameNewThreads(const std::set<int>& before, const std::vector<QByteArray>& names)
{
    const QByteArray process = ThreadName(getpid());
    size_t next = 0;
    for (int tid : Threads()) {
        if (before.count(tid) || ThreadName(tid) != process || next >= names.size())
            continue;
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(tid));
        if (comm.open(QIODevice::WriteOnly))
            comm.write(names[next]);
        ++next;
    }
}

void ListThreads()
{
    for (int tid : Threads())
        Reply("thread " + QByteArray::number(tid) + ' ' + ThreadName(tid));
    Reply("end");
}

// Reads commands from stdin on the main thread's event loop.
class CommandReader
{
public:
    explicit CommandReader(std::function<void(const QByteArray&, const QByteArray&)> handle)
        : m_handle(std::move(handle)), m_notifier(STDIN_FILENO, QSocketNotifier::Read)
    {
        QObject::connect(&m_notifier, &QSocketNotifier::activated, [this] { Read(); });
    }

private:
    void Read()
    {
        char buffer[4096];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            m_notifier.setEnabled(false);
            m_handle("quit", {});
            return;
        }
        m_pending.append(buffer, n);
        for (qsizetype eol; (eol = m_pending.indexOf('\n')) >= 0;) {
            const QByteArray line = m_pending.left(eol);
            m_pending.remove(0, eol + 1);
            const qsizetype space = line.indexOf(' ');
            m_handle(space < 0 ? line : line.left(space), space < 0 ? QByteArray() : line.mid(space + 1));
        }
    }

    std::function<void(const QByteArray&, const QByteArray&)> m_handle;
    QSocketNotifier m_notifier;
    QByteArray m_pending;
};

// Notes when the main thread starts each task posted to the application
// object: that is where a receive thread's notification begins to run.
class DispatchClock final : public QObject
{
public:
    long long lastStart = 0;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MetaCall && watched == QCoreApplication::instance())
            lastStart = NowNs();
        return false;
    }
};

double ThreadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// What the window's own handling of an incoming text costs, without the
// network and the receive thread: "handled N p50 p99 cpu-p50 cpu-p99
// first-tenth-p50 last-tenth-p50" in milliseconds.
bool g_quietRows = false; // the rows HandleRepeatedly makes are not deliveries

QByteArray HandleRepeatedly(CChatDlg& dialog, int count)
{
    g_quietRows = true;
    std::vector<double> wall, cpu;
    for (int i = 0; i < count; ++i) {
        const long long start = NowNs();
        const double cpuStart = ThreadCpuMs();
        dialog.OnCapiNotify(dialog.ReceiveLink(), NC_CALL_INFO);
        cpu.push_back(ThreadCpuMs() - cpuStart);
        wall.push_back(double(NowNs() - start) / 1e6);
        QCoreApplication::processEvents(); // the repaint it asked for, as between two calls
    }
    auto percentile = [](std::vector<double> values, double p) {
        if (values.empty())
            return 0.0;
        std::sort(values.begin(), values.end());
        return values[std::min(values.size() - 1, size_t(p / 100 * double(values.size())))];
    };
    g_quietRows = false;
    const size_t tenth = std::max<size_t>(1, wall.size() / 10);
    const std::vector<double> first(wall.begin(), wall.begin() + std::ptrdiff_t(std::min(tenth, wall.size())));
    const std::vector<double> last(wall.end() - std::ptrdiff_t(std::min(tenth, wall.size())), wall.end());
    QByteArray line = "handled " + QByteArray::number(count);
    for (double value : {percentile(wall, 50), percentile(wall, 99), percentile(cpu, 50), percentile(cpu, 99),
                         percentile(first, 50), percentile(last, 50)})
        line += ' ' + QByteArray::number(value, 'f', 3);
    return line;
}

int RunWindow(QApplication& app)
{
    DispatchClock dispatch;
    app.installEventFilter(&dispatch);
    BenchPlatform platform;
    CPlatform::Install(&platform);
    {
        const std::set<int> before = Threads();
        CChatDlg dialog;
        NameNewThreads(before, {"zl-receive-link", "zl-send-link"});
        auto* number = dialog.findChild<QLineEdit*>(QStringLiteral("phoneNumberEdit"));
        auto* text = dialog.findChild<QLineEdit*>(QStringLiteral("sendTextEdit"));
        QObject::connect(&dialog.CallListModel(), &QAbstractItemModel::rowsInserted, &dialog,
                         [&dispatch](const QModelIndex&, int first) {
                             if (first == 0 && !g_quietRows)
                                 Reply("row " + QByteArray::number(NowNs()) + ' ' +
                                       QByteArray::number(dispatch.lastStart));
                         });
        CommandReader reader([&](const QByteArray& command, const QByteArray& rest) {
            if (command == "send") {
                // As typed: the number, then the text; the send is timed.
                number->setText(QString::fromUtf8(rest.left(rest.indexOf(' '))));
                text->setText(QString::fromUtf8(rest.mid(rest.indexOf(' ') + 1)));
                const long long sent = NowNs();
                dialog.OnSend();
                Reply("sent " + QByteArray::number(sent) + ' ' + QByteArray::number(NowNs()));
            } else if (command == "handle") {
                Reply(HandleRepeatedly(dialog, rest.toInt()));
            } else if (command == "threads") {
                ListThreads();
            } else if (command == "quit") {
                dialog.reject();
            } else {
                Reply("error: unknown command");
            }
        });
        // Ready once start-up is through, also when the driver is slow.
        while (dialog.IsStartingLinks())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        Reply("ready");
        dialog.exec();
    }
    CPlatform::Install(nullptr);
    Reply("bye");
    return 0;
}

int RunLink(QCoreApplication& app, bool listen)
{
    BenchPlatform platform;
    CPlatform::Install(&platform);
    BareOwner owner;
    owner.reportCalls = listen;
    int exitCode = 0;
    {
        const std::set<int> before = Threads();
        CCapiLink link;
        bool ok = link.LoadCAPIDll() && link.SetCAPIOwner(&owner) && link.RegisterCAPIAppl() && link.StartCAPIThread();
        if (ok && listen)
            ok = link.ListenCAPIAppl();
        NameNewThreads(before, {listen ? "zl-listen-link" : "zl-send-link"});
        if (!ok) {
            Reply("error: link did not start: " + QByteArray::fromStdString(link.ErrorText()).trimmed());
            exitCode = 1;
        } else {
            CommandReader reader([&](const QByteArray& command, const QByteArray& rest) {
                if (command == "send") {
                    const std::string number = rest.left(rest.indexOf(' ')).toStdString();
                    // The window sends Windows-1252; these texts are ASCII.
                    const std::string text = rest.mid(rest.indexOf(' ') + 1).toStdString();
                    const long long sent = NowNs();
                    if (!link.ConnectCAPICall(number, text, 2))
                        Reply("error: connect failed");
                    else
                        Reply("sent " + QByteArray::number(sent) + ' ' + QByteArray::number(NowNs()));
                } else if (command == "threads") {
                    ListThreads();
                } else if (command == "quit") {
                    app.quit();
                } else {
                    Reply("error: unknown command");
                }
            });
            Reply("ready");
            app.exec();
        }
        link.StopCAPIThread();
        link.ReleaseCAPIAppl();
    }
    CPlatform::Install(nullptr);
    Reply("bye");
    return exitCode;
}

} // namespace

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (!std::strcmp(mode, "window")) {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Zoemlijn"));
        return RunWindow(app);
    }
    if (!std::strcmp(mode, "link-listen") || !std::strcmp(mode, "link-send")) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Zoemlijn"));
        return RunLink(app, !std::strcmp(mode, "link-listen"));
    }
    std::fprintf(stderr, "usage: bench-peer window|link-listen|link-send\n");
    return 2;
}
