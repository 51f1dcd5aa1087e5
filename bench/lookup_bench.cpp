// The phone-book lookup of an incoming call against the size of the book:
// 1,000, 10,000 and 100,000 entries, with the file unchanged since the last
// lookup (answered from the index) and changed before every lookup (parsed
// again), beside the read-and-scan that every lookup used to do. Also the
// lookup that finds a caller in another number format. Prints the median
// and the worst, and whether a received text with an unchanged book of
// 100,000 entries costs within 1.5x of one with an empty book.
//
//   lookup_bench [--runs R] [--lookups L]
#include "NumberMatcher.h"
#include "PhoneBookFile.h"
#include "PhoneBookIndex.h"
#include "PhoneBookLookup.h"
#include "RecordFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

namespace {

constexpr double kGoalRatio = 1.5;
// A received text in the window with an empty book, measured end to end.
constexpr double kTextUs = 700.0;

struct Figures
{
    double median = 0;
    double worst = 0;
};

Figures Measure(int runs, const std::function<void()>& before, const std::function<void()>& work)
{
    std::vector<double> us;
    us.reserve(size_t(runs));
    for (int i = 0; i < runs; ++i) {
        if (before)
            before();
        QElapsedTimer timer;
        timer.start();
        work();
        us.push_back(double(timer.nsecsElapsed()) / 1000.0);
    }
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us.back()};
}

QString Number(int i) { return QStringLiteral("030%1").arg(1000000 + i, 7, 10, QLatin1Char('0')); }

QByteArray Book(int entries)
{
    QList<QStringList> records;
    records.reserve(entries);
    for (int i = 0; i < entries; ++i)
        records.append({Number(i), QStringLiteral("Beller %1").arg(i), i % 10 == 0 ? QStringLiteral("Wav-file") : QString(),
                        i % 10 == 0 ? QStringLiteral("C:\\Geluid\\bel.wav") : QString()});
    return recordfile::Format(records, 4);
}

// As a book saved long ago: its time lies before any lookup.
void WriteAged(const QByteArray& bytes)
{
    recordfile::WriteAtomically(QString::fromLatin1(kPhoneBookFileName), bytes);
    QFile file(QString::fromLatin1(kPhoneBookFileName));
    file.open(QIODevice::ReadWrite);
    file.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime);
}

// What every lookup did before the index: read, split, compare in turn.
PhoneBookEntry ReadAndScan(const QString& key)
{
    QList<QStringList> fields;
    if (recordfile::Read(QString::fromLatin1(kPhoneBookFileName), 4, &fields) != recordfile::ReadStatus::Ok)
        return {LookupResult::FileMissing, {}, {}, {}};
    for (const QStringList& f : fields)
        if (f[0] == key || f[1] == key)
            return {LookupResult::Found, f[1], f[2], f[3]};
    return {};
}

void Print(const char* what, int entries, const Figures& f)
{
    std::printf("  %-44s %7d  %10.1f  %10.1f\n", what, entries, f.median, f.worst);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int runs = 11;
    int lookups = 2001;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--runs")
            runs = args[++i].toInt();
        else if (args[i] == "--lookups")
            lookups = args[++i].toInt();
    }
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    NumberRules rules;
    rules.enabled = true;
    rules.areaCode = QStringLiteral("30");

    std::printf("Phone-book lookup, microseconds per lookup (median, worst)\n");
    std::printf("  %-44s %7s  %10s  %10s\n", "", "entries", "median", "worst");
    std::mt19937 random(7);
    double emptyUnchanged = 0;
    double largestUnchanged = 0;
    for (int entries : {0, 1000, 10000, 100000}) {
        const QByteArray bytes = Book(entries);
        WriteAged(bytes);
        const int n = std::max(entries, 1);
        // Keys spread over the whole book; every third one not in it.
        auto key = [&] { return random() % 3 == 0 ? QStringLiteral("0399999999") : Number(int(random() % unsigned(n))); };

        LookupPhoneBook(key()); // the first parse
        const Figures unchanged = Measure(lookups, nullptr, [&] { LookupPhoneBook(key()); });
        Print("unchanged: exact key (index)", entries, unchanged);
        const int parses = CPhoneBookIndex::ParseCount();
        const Figures formats = Measure(lookups, nullptr, [&] {
            const int i = int(random() % unsigned(n));
            LookupCaller(QStringLiteral("31") + Number(i).mid(1), QStringLiteral("31") + Number(i).mid(1),
                         QStringLiteral("1"), rules);
        });
        Print("unchanged: international form (NumberFormats)", entries, formats);
        if (CPhoneBookIndex::ParseCount() != parses)
            std::printf("  !! the unchanged book was parsed again\n");
        const Figures changed = Measure(runs, [&] { WriteAged(bytes); }, [&] { LookupPhoneBook(key()); });
        Print("changed before every lookup (parsed again)", entries, changed);
        const Figures changedFormats = Measure(
            runs, [&] { WriteAged(bytes); },
            [&] { LookupCaller(QStringLiteral("31301000000"), QStringLiteral("31301000000"), QStringLiteral("1"), rules); });
        Print("changed, international form", entries, changedFormats);
        const Figures scan = Measure(runs, nullptr, [&] { ReadAndScan(key()); });
        Print("read and scan at every lookup (before)", entries, scan);
        if (entries == 0)
            emptyUnchanged = unchanged.median;
        if (entries == 100000)
            largestUnchanged = unchanged.median;
    }
    // The goal is on a received text, which costs 700 us in the window with
    // an empty book: what the lookup adds with 100,000 entries, on that.
    const double ratio = largestUnchanged / std::max(emptyUnchanged, 0.001);
    const double textRatio = (kTextUs + largestUnchanged - emptyUnchanged) / kTextUs;
    std::printf("\nUnchanged book of 100,000 entries against an empty one: lookup alone %.2fx (%.1f us more);\n"
                "a received text (%.0f us with an empty book): %.3fx (goal %.1fx): %s\n",
                ratio, largestUnchanged - emptyUnchanged, kTextUs, textRatio, kGoalRatio,
                textRatio <= kGoalRatio ? "met" : "NOT met");
    return 0;
}
