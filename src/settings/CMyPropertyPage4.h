// "Service": the installed CAPI driver's identity and profile, asked through
// a link of the page's own that is never registered.
#pragma once

#include "CapiLink.h"
#include "PropertyPage.h"

#include <QString>

#include <memory>

namespace Ui {
class CMyPropertyPage4;
}

// Shown in the bottom field.
inline constexpr char kHomePageAddress[] = "http://www.example.org/zoemlijn/";

class CMyPropertyPage4 final : public CPropertyPage
{
public:
    explicit CMyPropertyPage4(QWidget* parent = nullptr);
    ~CMyPropertyPage4() override;

    // Asks the driver for manufacturer, serial number, version and profile,
    // one after the other and off the window's thread; answers that take
    // longer than a moment fill their fields when they come. Without a
    // loaded driver nothing is asked and those fields stay empty.
    void OnInitDialog() override;
    // What was typed goes back into the strings; nothing is stored.
    bool OnKillActive() override;

private:
    void ShowFields();
    void Ask(CCapiLink::Query query);
    void Answered(CCapiLink::Query query, CDriverCall& call);

    std::unique_ptr<Ui::CMyPropertyPage4> m_ui;
    QString m_manufacturer;
    QString m_serialNumber;
    QString m_version;
    QString m_profileLine1;
    QString m_profileLine2;
    QString m_profileLine3;
    QString m_homePage;
    CCapiLink m_capiLink; // lives and dies with the page
    bool m_shown = false; // the fields show the strings; later answers go straight to theirs
};
