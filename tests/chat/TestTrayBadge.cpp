// The missed-text count: its words, its reset, and the icon it draws.
#include "TrayBadge.h"

#include "AppIcon.h"

#include <QImage>
#include <QTest>

namespace {

const QString kTip = QStringLiteral("Klik met de rechter muisbutton");

// How many pixels of two images of one size differ.
int Differing(const QImage& a, const QImage& b)
{
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            n += a.pixel(x, y) != b.pixel(x, y);
    return n;
}

} // namespace

class TestTrayBadge : public QObject
{
    Q_OBJECT

private slots:
    void countAndReset_data();
    void countAndReset();
    void drawnOnTheIcon_data();
    void drawnOnTheIcon();
};

void TestTrayBadge::countAndReset_data()
{
    QTest::addColumn<int>("texts");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QString>("badge");
    QTest::newRow("none") << 0 << kTip << "";
    QTest::newRow("one") << 1 << kTip + "\n1 nieuwe tekst" << "1";
    QTest::newRow("ninety-nine") << 99 << kTip + "\n99 nieuwe teksten" << "99";
    QTest::newRow("a hundred: the icon has room for 99+") << 100 << kTip + "\n100 nieuwe teksten" << "99+";
}

void TestTrayBadge::countAndReset()
{
    QFETCH(int, texts);
    QFETCH(QString, toolTip);
    QFETCH(QString, badge);
    const QIcon plain = res::AppIcon();
    CTrayBadge counter(plain, kTip);
    for (int i = 0; i < texts; ++i)
        counter.Add();
    QCOMPARE(counter.Count(), texts);
    QCOMPARE(counter.ToolTip(), toolTip);
    QCOMPARE(texts > 0 ? CTrayBadge::BadgeText(texts) : QString(), badge);
    QCOMPARE(counter.Icon().cacheKey() == plain.cacheKey(), texts == 0);
    // The tray's tip holds 64 bytes with its terminator.
    QVERIFY(counter.ToolTip().toUtf8().size() < 64);

    counter.Reset();
    QCOMPARE(counter.Count(), 0);
    QCOMPARE(counter.ToolTip(), kTip);
    QCOMPARE(counter.Icon().cacheKey(), plain.cacheKey());
    counter.Add();
    QCOMPARE(counter.ToolTip(), kTip + "\n1 nieuwe tekst");
}

void TestTrayBadge::drawnOnTheIcon_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("texts");
    QTest::newRow("16 px, 1") << 16 << 1;
    QTest::newRow("24 px, 42") << 24 << 42;
    QTest::newRow("128 px, 12") << 128 << 12;
}

void TestTrayBadge::drawnOnTheIcon()
{
    QFETCH(int, size);
    QFETCH(int, texts);
    const QIcon plain = res::AppIcon();
    CTrayBadge counter(plain, kTip);
    for (int i = 0; i < texts; ++i)
        counter.Add();
    const QImage before = plain.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage after = counter.Icon().pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(after.size(), QSize(size, size));
    // The disc covers a good part of the icon, at its top right; the
    // bottom left is the plain icon's.
    QVERIFY2(Differing(before, after) > size * size / 10, qPrintable(QString::number(Differing(before, after))));
    int red = 0;
    for (int y = 0; y < size / 2; ++y)
        for (int x = size / 2; x < size; ++x) {
            const QColor colour = after.pixelColor(x, y);
            red += colour.alpha() == 255 && colour.red() > 150 && colour.green() < 80 && colour.blue() < 80;
        }
    QVERIFY2(red > size * size / 20, qPrintable(QString::number(red)));
    QCOMPARE(after.pixel(1, size - 2), before.pixel(1, size - 2));
    // Another count draws another picture.
    counter.Add();
    const QImage next = counter.Icon().pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
    QVERIFY(Differing(after, next) > 0);
}

QTEST_MAIN(TestTrayBadge)
#include "TestTrayBadge.moc"
