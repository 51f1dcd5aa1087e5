// Text delivery over isdn-exchange and the real libcapi20: from the sending
// window's OnSend to the receiving window's new top row ("FastSend" on),
// against two bare links delivering the same CONNECT_IND (ConnectCAPICall
// to the listening link's owner having NC_CALL_INFO), turn about in one run.
// Every subscriber is a process of its own with its own home. Prints the
// latency distributions and whether the goals are met (window p99 under
// 5 ms, and within 2x of the bare links' p99).
//
//   delivery_bench [--calls N] [--warmup W] [--gap MS]
#include "BenchRig.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace benchrig;

namespace {

constexpr double kGoalP99Ms = 5.0;
constexpr double kGoalRatio = 2.0;

const QString kWindowA = QStringLiteral("0301111111");
const QString kWindowB = QStringLiteral("0302222222");
const QString kLinkC = QStringLiteral("0303333333");
const QString kLinkD = QStringLiteral("0304444444");
// The longest text the window takes.
const QByteArray kText = "zoemlijn bench 1234";

struct Options
{
    int calls = 500;
    int warmup = 20;
    int gapMs = 20;
};

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return values[index];
}

void PrintSeries(const char* what, const std::vector<double>& ms)
{
    std::printf("  %-34s n %4zu  min %6.3f  p50 %6.3f  p90 %6.3f  p99 %6.3f  max %7.3f ms\n", what, ms.size(),
                Percentile(ms, 0), Percentile(ms, 50), Percentile(ms, 90), Percentile(ms, 99), Percentile(ms, 100));
}

// One call: "send" to the sender, then the receiver's time stamp; -1 on a
// lost call. `dispatchMs` gets the part up to the start of the receiving
// main thread's task, when the receiver tells it; `sendMs` how long the
// sender's send call took.
double Deliver(Peer& sender, Peer& receiver, const QString& to, const QByteArray& receiverWord,
               double* dispatchMs = nullptr, double* sendMs = nullptr)
{
    sender.Write("send " + to.toLatin1() + ' ' + kText);
    const QByteArray sent = sender.Expect("sent");
    if (sent.isEmpty()) {
        std::fprintf(stderr, "%s: no answer to send\n", qPrintable(sender.Name()));
        return -1;
    }
    const QByteArray got = receiver.Expect(receiverWord);
    if (got.isEmpty()) {
        std::fprintf(stderr, "%s: nothing arrived\n", qPrintable(receiver.Name()));
        return -1;
    }
    const QList<QByteArray> words = got.split(' ');
    const QList<QByteArray> sentWords = sent.split(' ');
    const long long t0 = sentWords.value(1).toLongLong();
    if (sendMs && sentWords.size() > 2)
        *sendMs = double(sentWords[2].toLongLong() - t0) / 1e6;
    const long long t1 = words.value(1).toLongLong();
    if (dispatchMs && words.size() > 2)
        *dispatchMs = double(words[2].toLongLong() - t0) / 1e6;
    return double(t1 - t0) / 1e6;
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--calls") && hasValue)
            options.calls = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--warmup") && hasValue)
            options.warmup = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--gap") && hasValue)
            options.gapMs = std::atoi(argv[++i]);
        else
            return false;
    }
    return options.calls > 0 && options.warmup >= 0 && options.gapMs >= 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: delivery_bench [--calls N] [--warmup W] [--gap MS]\n");
        return 2;
    }

    Exchange exchange;
    if (!exchange.Start({kWindowA, kWindowB, kLinkC, kLinkD})) {
        std::fprintf(stderr, "isdn-exchange did not start\n");
        return 1;
    }
    QTemporaryDir homes;
    const QByteArray windowSettings = "FastSend=1\nAutoSend=0\nAddZero=0\n";
    for (const QString& number : {kWindowA, kWindowB, kLinkC, kLinkD})
        if (!MakeHome(homes.filePath(number), exchange.Port(number), windowSettings)) {
            std::fprintf(stderr, "cannot write the homes\n");
            return 1;
        }

    Peer windowA(QStringLiteral("window A")), windowB(QStringLiteral("window B"));
    Peer linkC(QStringLiteral("link C (listens)")), linkD(QStringLiteral("link D"));
    if (!windowA.Start(QStringLiteral("window"), homes.filePath(kWindowA)) ||
        !windowB.Start(QStringLiteral("window"), homes.filePath(kWindowB)) ||
        !linkC.Start(QStringLiteral("link-listen"), homes.filePath(kLinkC)) ||
        !linkD.Start(QStringLiteral("link-send"), homes.filePath(kLinkD))) {
        std::fprintf(stderr, "a peer did not start\n");
        return 1;
    }

    std::printf("delivery: %d calls each way (after %d warm-up), %d ms apart, text \"%s\"\n", options.calls,
                options.warmup, options.gapMs, kText.constData());
    std::vector<double> window, link, windowFirst, windowLast, windowDispatch, windowHandling, windowSend, linkToWindow;
    int lost = 0;
    for (int i = 0; i < options.warmup + options.calls; ++i) {
        // Turn about, so both see the same machine.
        double dispatch = -1, send = -1;
        const double w = Deliver(windowB, windowA, kWindowA, "row", &dispatch, &send);
        QThread::msleep(options.gapMs);
        const double l = Deliver(linkD, linkC, kLinkC, "ind");
        QThread::msleep(options.gapMs);
        // The receiving window alone: a bare link sends to it.
        const double lw = Deliver(linkD, windowA, kWindowA, "row");
        QThread::msleep(options.gapMs);
        if (w < 0 || l < 0 || lw < 0) {
            ++lost;
            if (lost > 5)
                break;
            continue;
        }
        if (i < options.warmup)
            continue;
        window.push_back(w);
        link.push_back(l);
        linkToWindow.push_back(lw);
        if (send >= 0)
            windowSend.push_back(send);
        if (dispatch >= 0 && dispatch <= w) {
            windowDispatch.push_back(dispatch);
            windowHandling.push_back(w - dispatch);
        }
        const int n = i - options.warmup;
        if (n < options.calls / 10)
            windowFirst.push_back(w);
        if (n >= options.calls - options.calls / 10)
            windowLast.push_back(w);
    }

    std::printf("\n");
    PrintSeries("window OnSend -> new top row", window);
    PrintSeries("  to the receiver's task starting", windowDispatch);
    PrintSeries("  the task up to the new row", windowHandling);
    PrintSeries("  the sender's OnSend call", windowSend);
    PrintSeries("  first tenth of the calls", windowFirst);
    PrintSeries("  last tenth of the calls", windowLast);
    PrintSeries("bare links: connect -> CONNECT_IND", link);
    PrintSeries("bare link -> window's new top row", linkToWindow);
    if (lost)
        std::printf("  %d calls lost\n", lost);

    // The receiving window's own share, without network or receive thread.
    windowA.Write("handle " + QByteArray::number(options.calls));
    const QList<QByteArray> handled = windowA.Expect("handled", 60000).split(' ');
    if (handled.size() == 8)
        std::printf("  window A handling the same call again, in-process, %s times: p50 %s  p99 %s ms wall; "
                    "p50 %s  p99 %s ms CPU; p50 of the first tenth %s, of the last %s ms\n",
                    handled[1].constData(), handled[2].constData(), handled[3].constData(), handled[4].constData(),
                    handled[5].constData(), handled[6].constData(), handled[7].constData());

    windowA.Quit();
    windowB.Quit();
    linkC.Quit();
    linkD.Quit();

    const double windowP99 = Percentile(window, 99);
    const double linkP99 = Percentile(link, 99);
    const double ratio = windowP99 / std::max(linkP99, 1e-6);
    const bool fast = !window.empty() && windowP99 < kGoalP99Ms;
    const bool near = !window.empty() && ratio <= kGoalRatio;
    std::printf("\nwindow p99 %.3f ms (goal < %.0f ms): %s; %.2fx the bare links' p99 %.3f ms (goal <= %.0fx): %s\n",
                windowP99, kGoalP99Ms, fast ? "met" : "MISSED", ratio, linkP99, kGoalRatio, near ? "met" : "MISSED");
    std::printf("  (medians: window %.3f ms, bare links %.3f ms, %.2fx)\n", Percentile(window, 50),
                Percentile(link, 50), Percentile(window, 50) / std::max(Percentile(link, 50), 1e-6));
    std::printf("goal %s\n", fast && near && !lost ? "met" : "MISSED");
    return 0;
}
