#include "CMyPropertyPage2.h"

#include "DialogUnits.h"
#include "Look.h"
#include "ui_CMyPropertyPage2.h"

#include <QComboBox>

CMyPropertyPage2::CMyPropertyPage2(QWidget* parent)
    : CPropertyPage(parent), m_ui(std::make_unique<Ui::CMyPropertyPage2>())
{
    m_ui->setupUi(this);
    CDialogUnits::Apply(this);
    setMinimumSize(size());
    SetFramedGroupTitles(this);
}

CMyPropertyPage2::~CMyPropertyPage2() = default;

void CMyPropertyPage2::OnInitDialog()
{
    // The boxes sort their items and start with nothing chosen.
    for (QComboBox* combo : {m_ui->msm1Combo, m_ui->msm2Combo, m_ui->msm3Combo, m_ui->msm4Combo}) {
        combo->model()->sort(0);
        combo->setCurrentIndex(-1);
    }
}
