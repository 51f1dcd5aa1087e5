// Small looks shared by the forms.
#pragma once

#include <QIcon>
#include <QString>

class QWidget;

// Input fields are green on black; read-only fields keep the default colours.
void SetInputColours(QWidget* field);

// A read-only field without a border reads as text on the form itself.
void SetFormBackground(QWidget* field);

// Group boxes as the templates draw them: the title on the frame line.
void SetFramedGroupTitles(QWidget* form);

// The desktop theme's icon of this freedesktop name, else ours
// (":/icons/toolbar/<name>.svg").
QIcon ThemeIcon(const QString& name);
