#include "CMyPropertyPage3.h"

#include "DialogUnits.h"
#include "Look.h"
#include "SettingsStore.h"
#include "ui_CMyPropertyPage3.h"

#include <QCheckBox>

CMyPropertyPage3::CMyPropertyPage3(QWidget* parent)
    : CPropertyPage(parent), m_ui(std::make_unique<Ui::CMyPropertyPage3>())
{
    m_ui->setupUi(this);
    CDialogUnits::Apply(this);
    setMinimumSize(size());
    SetFramedGroupTitles(this);
    for (QCheckBox* box : {m_ui->fastSendCheckBox, m_ui->autoSendCheckBox, m_ui->addZeroCheckBox}) {
        // A box shown partial (a stored 2) is an ordinary two-state box again
        // once the user has clicked it.
        connect(box, &QCheckBox::stateChanged, box, [box](int state) {
            if (state != Qt::PartiallyChecked)
                box->setTristate(false);
        });
    }
}

CMyPropertyPage3::~CMyPropertyPage3() = default;

void CMyPropertyPage3::OnInitDialog()
{
    // The fields are still 0 here, so each read defaults to 0.
    m_fastSend = int32_t(ReadSetting(Setting::FastSend));
    m_autoSend = int32_t(ReadSetting(Setting::AutoSend));
    m_addZero = int32_t(ReadSetting(Setting::AddZero));
    ShowState(m_ui->fastSendCheckBox, m_fastSend);
    ShowState(m_ui->autoSendCheckBox, m_autoSend);
    ShowState(m_ui->addZeroCheckBox, m_addZero);
}

bool CMyPropertyPage3::OnKillActive()
{
    m_fastSend = TakeState(m_ui->fastSendCheckBox);
    m_autoSend = TakeState(m_ui->autoSendCheckBox);
    m_addZero = TakeState(m_ui->addZeroCheckBox);
    return true;
}

bool CMyPropertyPage3::OnOK()
{
    // A failed write is not reported; the next read gives the old value.
    WriteSetting(Setting::FastSend, uint32_t(m_fastSend));
    WriteSetting(Setting::AutoSend, uint32_t(m_autoSend));
    WriteSetting(Setting::AddZero, uint32_t(m_addZero));
    return true;
}

void CMyPropertyPage3::ShowState(QCheckBox* box, int32_t& field)
{
    switch (field) {
    case 1:
        box->setCheckState(Qt::Checked);
        break;
    case 2:
        box->setCheckState(Qt::PartiallyChecked); // makes the box tristate for now
        break;
    default:
        // Anything but 0, 1 and 2 is no state a box has: shown and kept as 0.
        field = 0;
        box->setCheckState(Qt::Unchecked);
        break;
    }
}

int32_t CMyPropertyPage3::TakeState(const QCheckBox* box)
{
    switch (box->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2; // untouched since it was read: the stored value goes back unchanged
    default:
        return 0;
    }
}
