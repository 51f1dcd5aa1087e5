// Small looks shared by the forms.
#pragma once

#include <QIcon>
#include <QString>

class QWidget;

// Input fields are green on black; read-only fields keep the default colours.
void SetInputColours(QWidget* field);

// The desktop theme's icon of this freedesktop name, else ours
// (":/icons/toolbar/<name>.svg").
QIcon ThemeIcon(const QString& name);
