// The main window idle: a started window (offscreen) with both links
// registered on isdn-exchange, then left alone. Prints, per thread, the CPU
// time and the context switches over the idle period (read from outside,
// from /proc, so that measuring wakes nothing), and whether the goal is met:
// none of our threads wakes, and the process uses under 10 ms of CPU.
//
//   idle_bench [--seconds S] [--settle MS]
#include "BenchRig.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>

using namespace benchrig;

namespace {

constexpr double kGoalCpuMs = 10.0;

struct ThreadSample
{
    QByteArray name;
    long long cpuNs = 0;     // schedstat run time, or utime + stime
    long long voluntary = 0; // sleeps: each is followed by a wake-up
    long long involuntary = 0;
};

QByteArray ReadProc(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

long long StatusField(const QByteArray& status, const QByteArray& field)
{
    for (const QByteArray& line : status.split('\n'))
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().toLongLong();
    return 0;
}

std::map<int, ThreadSample> Sample(qint64 pid)
{
    static const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    std::map<int, ThreadSample> threads;
    const QString taskDir = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& tid : QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString base = taskDir + u'/' + tid;
        ThreadSample sample;
        sample.name = ReadProc(base + QStringLiteral("/comm")).trimmed();
        const QByteArray schedstat = ReadProc(base + QStringLiteral("/schedstat"));
        if (!schedstat.isEmpty()) {
            sample.cpuNs = schedstat.split(' ').value(0).toLongLong();
        } else {
            // Fields after the name in parentheses: utime is the 14th, stime the 15th.
            const QByteArray stat = ReadProc(base + QStringLiteral("/stat"));
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            sample.cpuNs = (fields.value(11).toLongLong() + fields.value(12).toLongLong()) * 1000000000LL / ticksPerSecond;
        }
        const QByteArray status = ReadProc(base + QStringLiteral("/status"));
        sample.voluntary = StatusField(status, "voluntary_ctxt_switches");
        sample.involuntary = StatusField(status, "nonvoluntary_ctxt_switches");
        threads[tid.toInt()] = sample;
    }
    return threads;
}

struct Totals
{
    double cpuMs = 0;
    long long wakes = 0;
};

Totals PrintDiff(const char* process, qint64 pid, const std::map<int, ThreadSample>& before,
                 const std::map<int, ThreadSample>& after, bool* ourThreadWoke)
{
    std::printf("%s (pid %lld):\n", process, static_cast<long long>(pid));
    std::printf("  %-8s %-18s %10s %10s %10s\n", "tid", "thread", "cpu ms", "wake-ups", "preempted");
    Totals totals;
    for (const auto& [tid, now] : after) {
        const auto then = before.find(tid);
        const ThreadSample zero{now.name, 0, 0, 0};
        const ThreadSample& old = then != before.end() ? then->second : zero;
        const double cpuMs = double(now.cpuNs - old.cpuNs) / 1e6;
        const long long wakes = now.voluntary - old.voluntary;
        const long long preempted = now.involuntary - old.involuntary;
        const bool main = tid == pid;
        const bool ours = main || now.name.startsWith("zl-");
        std::printf("  %-8d %-18s %10.3f %10lld %10lld%s%s\n", tid,
                    (main ? now.name + " (main)" : now.name).constData(), cpuMs, wakes, preempted,
                    then == before.end() ? "  (new)" : "", ours && wakes ? "  <- ours, woke" : "");
        totals.cpuMs += cpuMs;
        totals.wakes += wakes;
        if (ours && wakes && ourThreadWoke)
            *ourThreadWoke = true;
    }
    for (const auto& [tid, old] : before)
        if (!after.count(tid))
            std::printf("  %-8d %-18s ended during the idle period\n", tid, old.name.constData());
    std::printf("  %-27s %10.3f %10lld\n", "total", totals.cpuMs, totals.wakes);
    return totals;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int seconds = 10;
    int settleMs = 2000;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--settle") && i + 1 < argc) {
            settleMs = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: idle_bench [--seconds S] [--settle MS]\n");
            return 2;
        }
    }

    const QString number = QStringLiteral("0301111111");
    Exchange exchange;
    if (!exchange.Start({number})) {
        std::fprintf(stderr, "isdn-exchange did not start\n");
        return 1;
    }
    QTemporaryDir homes;
    if (!MakeHome(homes.filePath(number), exchange.Port(number), "FastSend=0\nAutoSend=0\nAddZero=0\n")) {
        std::fprintf(stderr, "cannot write the home\n");
        return 1;
    }
    Peer window(QStringLiteral("window"));
    if (!window.Start(QStringLiteral("window"), homes.filePath(number))) {
        std::fprintf(stderr, "the window did not start\n");
        return 1;
    }
    // Start-up's own work is done first; the idle period is what follows.
    QThread::msleep(unsigned(settleMs));

    std::printf("idle: one started window (offscreen), both links registered, %d s after %d ms to settle\n\n",
                seconds, settleMs);
    const auto windowBefore = Sample(window.Pid());
    const auto exchangeBefore = Sample(exchange.Pid());
    const long long t0 = NowNs();
    QThread::sleep(unsigned(seconds));
    const auto windowAfter = Sample(window.Pid());
    const auto exchangeAfter = Sample(exchange.Pid());
    const double elapsed = double(NowNs() - t0) / 1e9;

    bool ourThreadWoke = false;
    const Totals totals = PrintDiff("window", window.Pid(), windowBefore, windowAfter, &ourThreadWoke);
    std::printf("\n");
    PrintDiff("isdn-exchange", exchange.Pid(), exchangeBefore, exchangeAfter, nullptr);

    window.Quit();

    const bool quiet = !ourThreadWoke;
    const bool cheap = totals.cpuMs < kGoalCpuMs;
    std::printf("\nover %.2f s: window CPU %.3f ms (goal < %.0f ms): %s; our threads woke: %s (goal: none): %s\n",
                elapsed, totals.cpuMs, kGoalCpuMs, cheap ? "met" : "MISSED", ourThreadWoke ? "yes" : "no",
                quiet ? "met" : "MISSED");
    std::printf("goal %s\n", quiet && cheap ? "met" : "MISSED");
    return 0;
}
