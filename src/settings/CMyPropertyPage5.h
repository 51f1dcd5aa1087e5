// "Extra": the options of features beyond the original program, each off
// or empty until the user sets it, kept in the settings group "Extra".
#pragma once

#include "PropertyPage.h"

#include <QString>

#include <cstdint>
#include <memory>

namespace Ui {
class CMyPropertyPage5;
}

class CMyPropertyPage5 final : public CPropertyPage
{
public:
    explicit CMyPropertyPage5(QWidget* parent = nullptr);
    ~CMyPropertyPage5() override;

    // Reads "NumberFormats", the four number fields, "Notifications",
    // "DeliveryReport" and "TextHook".
    void OnInitDialog() override;
    // The controls into the fields.
    bool OnKillActive() override;
    // Writes the fields; an emptied country code keeps the stored one.
    bool OnOK() override;

private:
    // "...": the Open dialog, for the program of every text.
    void OnTextHookButton();

    std::unique_ptr<Ui::CMyPropertyPage5> m_ui;
    uint32_t m_numberFormats = 0;
    uint32_t m_notifications = 0;
    uint32_t m_deliveryReport = 0;
    QString m_textHook;
    QString m_countryCode;
    QString m_areaCode;
    QString m_internationalPrefix;
    QString m_trunkPrefix;
};
