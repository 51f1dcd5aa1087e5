// The compiled-in drawings: present under the names the program uses, valid,
// drawn on the grid they are meant for, and drawn by Qt's SVG icon engine.
#include "AppIcon.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QTest>

namespace {

QImage Render(const QString& path, int px)
{
    QImage image(px, px, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(path);
    QPainter painter(&image);
    renderer.render(&painter);
    return image;
}

QImage Normalised(const QPixmap& pixmap)
{
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void drawingIsCompiledIn_data();
    void drawingIsCompiledIn();
    void iconEngineDrawsTheVectors_data();
    void iconEngineDrawsTheVectors();
    void appIconChoosesDrawingBySize_data();
    void appIconChoosesDrawingBySize();
};

void TestResources::drawingIsCompiledIn_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("grid");

    const QSize icon(16, 16);
    QTest::newRow("application icon") << ":/icons/zoemlijn.svg" << QSize(64, 64);
    QTest::newRow("application icon for 16 px") << ":/icons/zoemlijn-16.svg" << icon;
    QTest::newRow("call list row") << ":/icons/call.svg" << icon;
    QTest::newRow("phone-book row") << ":/icons/contact.svg" << icon;
    QTest::newRow("wave-file picker") << ":/icons/sound.svg" << icon;
    QTest::newRow("file pickers") << ":/icons/open-file.svg" << icon;
    QTest::newRow("toolbar Opslaan") << ":/icons/toolbar/document-save.svg" << icon;
    QTest::newRow("toolbar Instellen") << ":/icons/toolbar/preferences-system.svg" << icon;
    QTest::newRow("toolbar In") << ":/icons/toolbar/go-up.svg" << icon;
    QTest::newRow("toolbar Uit") << ":/icons/toolbar/go-down.svg" << icon;
    QTest::newRow("toolbar Wizard") << ":/icons/toolbar/tools-wizard.svg" << icon;
    QTest::newRow("toolbar Help") << ":/icons/toolbar/help-contents.svg" << icon;
    QTest::newRow("wizard picture") << ":/images/wizard.svg" << QSize(80, 140);
}

void TestResources::drawingIsCompiledIn()
{
    QFETCH(QString, path);
    QFETCH(QSize, grid);

    QVERIFY2(QFile::exists(path), qPrintable(path));
    QSvgRenderer renderer(path);
    QVERIFY(renderer.isValid());
    QCOMPARE(renderer.defaultSize(), grid);
    QCOMPARE(renderer.viewBoxF(), QRectF(QPointF(0, 0), QSizeF(grid)));
}

void TestResources::iconEngineDrawsTheVectors_data()
{
    QTest::addColumn<QString>("path");

    QTest::newRow("call list row") << ":/icons/call.svg";
    QTest::newRow("toolbar In") << ":/icons/toolbar/go-up.svg";
}

// Without the SVG icon engine plugin, QIcon falls back to reading the file
// as a 16-px raster (or reads nothing) and never draws it larger.
void TestResources::iconEngineDrawsTheVectors()
{
    QFETCH(QString, path);

    const QPixmap pixmap = QIcon(path).pixmap(QSize(64, 64), 1.0);
    QCOMPARE(pixmap.size(), QSize(64, 64));
    QCOMPARE(Normalised(pixmap), Render(path, 64));
}

void TestResources::appIconChoosesDrawingBySize_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<qreal>("ratio");
    QTest::addColumn<bool>("painted");
    QTest::addColumn<QString>("drawing");

    const QString small = ":/icons/zoemlijn-16.svg";
    const QString full = ":/icons/zoemlijn.svg";
    QTest::newRow("16 px") << 16 << 1.0 << false << small;
    QTest::newRow("16 px painted") << 16 << 1.0 << true << small;
    QTest::newRow("22 px") << 22 << 1.0 << false << full;
    QTest::newRow("32 px painted") << 32 << 1.0 << true << full;
    QTest::newRow("256 px") << 256 << 1.0 << false << full;
    QTest::newRow("16 px on a screen with ratio 2") << 16 << 2.0 << false << full;
    QTest::newRow("16 px painted with ratio 2") << 16 << 2.0 << true << full;
}

void TestResources::appIconChoosesDrawingBySize()
{
    QFETCH(int, size);
    QFETCH(qreal, ratio);
    QFETCH(bool, painted);
    QFETCH(QString, drawing);

    const QIcon icon = res::AppIcon();
    QVERIFY(!icon.isNull());
    const int devicePixels = qRound(size * ratio);

    QImage image;
    if (painted) {
        image = QImage(devicePixels, devicePixels, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        icon.paint(&painter, QRect(0, 0, size, size));
        painter.end();
        image.setDevicePixelRatio(1.0);
    } else {
        const QPixmap pixmap = icon.pixmap(QSize(size, size), ratio);
        QCOMPARE(pixmap.deviceIndependentSize(), QSizeF(size, size));
        image = Normalised(pixmap);
        image.setDevicePixelRatio(1.0);
    }
    QCOMPARE(image.size(), QSize(devicePixels, devicePixels));
    QCOMPARE(image, Render(drawing, devicePixels));
}

QTEST_MAIN(TestResources)
#include "TestResources.moc"
