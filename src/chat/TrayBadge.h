// The count of texts missed while the window is hidden in the tray: drawn
// on the tray's icon, and said in its tool tip after the tip's own text.
// Qt hands the drawn pixmaps to an XEmbed tray and to a StatusNotifierItem
// host alike.
#pragma once

#include <QIcon>
#include <QString>

class QSystemTrayIcon;

class CTrayBadge
{
public:
    CTrayBadge(const QIcon& icon, const QString& toolTip);

    void Add();
    void Reset();
    int Count() const { return m_count; }

    // The plain icon and tip while the count is 0.
    QIcon Icon() const { return m_count > 0 ? m_badged : m_icon; }
    QString ToolTip() const;
    void ApplyTo(QSystemTrayIcon& tray) const;

    // "1 nieuwe tekst", "N nieuwe teksten".
    static QString CountText(int count);
    // What the icon shows: the count, or "99+" above 99.
    static QString BadgeText(int count);

private:
    QIcon m_icon;
    QString m_toolTip;
    int m_count = 0;
    QIcon m_badged;
};
