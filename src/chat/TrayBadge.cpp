#include "TrayBadge.h"

#include <QFont>
#include <QFontMetricsF>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>

#include <map>

namespace {

constexpr int kMaxShown = 99;
const QColor kBadgeColour(0xd0, 0x10, 0x10);

// The icon with the count in a red disc at its top right, drawn for each
// size the tray asks for.
class CBadgeIconEngine final : public QIconEngine
{
public:
    CBadgeIconEngine(const QIcon& icon, const QString& text) : m_icon(icon), m_text(text) {}

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        const quint64 key = quint64(size.width()) << 32 | quint64(size.height()) << 8 | quint64(mode) << 2 | state;
        auto it = m_cache.find(key);
        if (it == m_cache.end())
            it = m_cache.emplace(key, Draw(size, mode, state)).first;
        return it->second;
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, pixmap((QSizeF(rect.size()) * ratio).toSize(), mode, state));
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return m_icon.availableSizes(mode, state);
    }
    QString key() const override { return QStringLiteral("zoemlijn-badge"); }
    QIconEngine* clone() const override { return new CBadgeIconEngine(m_icon, m_text); }

private:
    QPixmap Draw(const QSize& size, QIcon::Mode mode, QIcon::State state) const
    {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        if (size.isEmpty())
            return pixmap;
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        m_icon.paint(&painter, QRect(QPoint(0, 0), size), Qt::AlignCenter, mode, state);

        // A disc of a good half the icon (more on a small one, where the
        // digits must stay legible), a pill for more digits, at the top right
        // where it covers least of the picture.
        const qreal side = qMin(size.width(), size.height());
        const qreal height = qMax<qreal>(side * (side <= 24 ? 0.7 : 0.55), 8.0);
        QFont font;
        font.setBold(true);
        font.setPixelSize(qMax(7, int(height * 0.82)));
        const qreal textWidth = QFontMetricsF(font).horizontalAdvance(m_text);
        const qreal width = qMin<qreal>(qMax(height, textWidth + height * 0.4), size.width());
        const QRectF badge(size.width() - width, 0, width, height);
        painter.setPen(QPen(Qt::white, qMax<qreal>(1.0, side / 24.0)));
        painter.setBrush(kBadgeColour);
        painter.drawRoundedRect(badge.adjusted(0.5, 0.5, -0.5, -0.5), height / 2, height / 2);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(badge, Qt::AlignCenter, m_text);
        return pixmap;
    }

    QIcon m_icon;
    QString m_text;
    std::map<quint64, QPixmap> m_cache;
};

} // namespace

CTrayBadge::CTrayBadge(const QIcon& icon, const QString& toolTip)
    : m_icon(icon), m_toolTip(toolTip)
{
}

void CTrayBadge::Add()
{
    ++m_count;
    m_badged = QIcon(new CBadgeIconEngine(m_icon, BadgeText(m_count)));
}

void CTrayBadge::Reset()
{
    m_count = 0;
    m_badged = QIcon();
}

QString CTrayBadge::ToolTip() const
{
    return m_count > 0 ? m_toolTip + u'\n' + CountText(m_count) : m_toolTip;
}

void CTrayBadge::ApplyTo(QSystemTrayIcon& tray) const
{
    tray.setIcon(Icon());
    tray.setToolTip(ToolTip());
}

QString CTrayBadge::CountText(int count)
{
    return count == 1 ? QStringLiteral("1 nieuwe tekst") : QStringLiteral("%1 nieuwe teksten").arg(count);
}

QString CTrayBadge::BadgeText(int count)
{
    return count > kMaxShown ? QStringLiteral("%1+").arg(kMaxShown) : QString::number(count);
}
