#include "Look.h"

#include <QGroupBox>
#include <QPalette>
#include <QWidget>

void SetInputColours(QWidget* field)
{
    QPalette palette = field->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, Qt::black);
        palette.setColor(group, QPalette::Text, QColor(0, 255, 0));
    }
    field->setPalette(palette);
    field->setAutoFillBackground(true);
}

void SetFormBackground(QWidget* field)
{
    QPalette palette = field->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Base, palette.color(group, QPalette::Window));
    field->setPalette(palette);
}

void SetFramedGroupTitles(QWidget* form)
{
    // On the group boxes alone, so that no other control changes its look.
    for (QGroupBox* group : form->findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly))
        group->setStyleSheet(QStringLiteral(
            "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 0.5em; }"
            "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 6px;"
            " padding: 0 2px; }"));
}

QIcon ThemeIcon(const QString& name)
{
    return QIcon::fromTheme(name, QIcon(QStringLiteral(":/icons/toolbar/%1.svg").arg(name)));
}
