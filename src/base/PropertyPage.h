// A page of a tabbed settings sheet: built when its tab is first shown in
// one opening of the sheet, which then drives it through these steps.
#pragma once

#include <QWidget>

class CPropertyPage : public QWidget
{
public:
    using QWidget::QWidget;

    // Fills the controls from the page's data; once, when first shown.
    virtual void OnInitDialog() {}
    // Takes the controls over into the page's data: on leaving the page and
    // before OK. False keeps the page open.
    virtual bool OnKillActive() { return true; }
    // Stores the page's data; on OK, for every page that was built, in
    // page order. False when it could not and has said so: the sheet stays
    // open with every edit, and the pages after it store nothing yet.
    virtual bool OnOK() { return true; }
};
