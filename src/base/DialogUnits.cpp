#include "DialogUnits.h"

#include <QFontMetrics>
#include <QWidget>

namespace {

// Rounded a * b / c, as the platform's own conversion does.
int MulDiv(int a, int b, int c) { return int((qint64(a) * b + (a >= 0 ? c / 2 : -c / 2)) / c); }

} // namespace

CDialogUnits::CDialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (width / 26 + 1) / 2;
    m_baseY = metrics.height();
}

int CDialogUnits::X(int units) const { return MulDiv(units, m_baseX, 4); }
int CDialogUnits::Y(int units) const { return MulDiv(units, m_baseY, 8); }

QRect CDialogUnits::Rect(const QRect& units) const
{
    return QRect(X(units.x()), Y(units.y()), X(units.width()), Y(units.height()));
}

QSize CDialogUnits::Size(const QSize& units) const { return QSize(X(units.width()), Y(units.height())); }

void CDialogUnits::Apply(QWidget* form)
{
    const CDialogUnits units(form->font());
    for (QObject* child : form->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget && !widget->isWindow())
            widget->setGeometry(units.Rect(widget->geometry()));
    }
    form->resize(units.Size(form->size()));
}
