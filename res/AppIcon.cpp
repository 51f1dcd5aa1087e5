#include "AppIcon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPaintDevice>

namespace res {
namespace {

constexpr int kSmallSize = 16;

class CAppIconEngine final : public QIconEngine
{
public:
    CAppIconEngine()
        : m_small(QStringLiteral(":/icons/zoemlijn-16.svg")),
          m_large(QStringLiteral(":/icons/zoemlijn.svg"))
    {
    }

    // `size` is in device pixels here: QIcon multiplies by the device pixel
    // ratio before it asks the engine.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return For(size).pixmap(size, 1.0, mode, state);
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const QSize deviceSize = (QSizeF(rect.size()) * ratio).toSize();
        painter->drawPixmap(rect, pixmap(deviceSize, mode, state));
    }

    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return For(size).actualSize(size, mode, state);
    }

    bool isNull() override { return m_small.isNull() || m_large.isNull(); }
    QString key() const override { return QStringLiteral("zoemlijn-app"); }
    QIconEngine* clone() const override { return new CAppIconEngine(*this); }

private:
    CAppIconEngine(const CAppIconEngine& other)
        : QIconEngine(other), m_small(other.m_small), m_large(other.m_large)
    {
    }

    const QIcon& For(const QSize& size) const
    {
        return qMin(size.width(), size.height()) <= kSmallSize ? m_small : m_large;
    }

    QIcon m_small;
    QIcon m_large;
};

} // namespace

QIcon AppIcon()
{
    return QIcon(new CAppIconEngine);
}

} // namespace res
