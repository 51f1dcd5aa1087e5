#include "Look.h"

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

QIcon ThemeIcon(const QString& name)
{
    return QIcon::fromTheme(name, QIcon(QStringLiteral(":/icons/toolbar/%1.svg").arg(name)));
}
