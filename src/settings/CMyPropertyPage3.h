// "Instellingen": the send and number options of the settings store.
#pragma once

#include "PropertyPage.h"

#include <cstdint>
#include <memory>

class QCheckBox;

namespace Ui {
class CMyPropertyPage3;
}

class CMyPropertyPage3 final : public CPropertyPage
{
public:
    explicit CMyPropertyPage3(QWidget* parent = nullptr);
    ~CMyPropertyPage3() override;

    // Reads "FastSend", "AutoSend" and "AddZero" into the boxes.
    void OnInitDialog() override;
    // The boxes' states into the fields: 0 not ticked, 1 ticked, 2 partial.
    bool OnKillActive() override;
    // Writes the three fields, in that order.
    bool OnOK() override;

private:
    static void ShowState(QCheckBox* box, int32_t& field);
    static int32_t TakeState(const QCheckBox* box);

    std::unique_ptr<Ui::CMyPropertyPage3> m_ui;
    int32_t m_fastSend = 0;
    int32_t m_autoSend = 0;
    int32_t m_addZero = 0;
};
