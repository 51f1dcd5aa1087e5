// Forms are laid out in dialog units, as their templates are: a quarter of
// the dialog font's average character width across, an eighth of its height
// down. Converting from the font's own metrics keeps the proportions with
// any font and any dpi.
#pragma once

#include <QFont>
#include <QRect>

class QWidget;

class CDialogUnits
{
public:
    explicit CDialogUnits(const QFont& font);

    int X(int units) const;
    int Y(int units) const;
    QRect Rect(const QRect& units) const;
    QSize Size(const QSize& units) const;

    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

    // `form` and its direct children were given geometry in dialog units
    // (by their .ui): scale them to pixels with the form's own font.
    static void Apply(QWidget* form);

private:
    int m_baseX;
    int m_baseY;
};
