// "Aktie per gebelde MSM": an action per called number. Only shown: nothing
// on this page is read, stored or acted upon.
#pragma once

#include "PropertyPage.h"

#include <memory>

namespace Ui {
class CMyPropertyPage2;
}

class CMyPropertyPage2 final : public CPropertyPage
{
public:
    explicit CMyPropertyPage2(QWidget* parent = nullptr);
    ~CMyPropertyPage2() override;

    void OnInitDialog() override;

private:
    std::unique_ptr<Ui::CMyPropertyPage2> m_ui;
};
