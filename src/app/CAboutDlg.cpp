#include "CAboutDlg.h"

#include "ui_CAboutDlg.h"

#include "AppIcon.h"
#include "DialogUnits.h"
#include "Look.h"

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::CAboutDlg>())
{
    m_ui->setupUi(this);
    CDialogUnits::Apply(this);
    SetFramedGroupTitles(this);
    setFixedSize(size());
    const QIcon icon = QIcon::fromTheme(QStringLiteral("zoemlijn"), res::AppIcon());
    m_ui->iconLabel->setPixmap(icon.pixmap(QSize(32, 32)));
    m_ui->iconLabel->setAlignment(Qt::AlignCenter);
}

CAboutDlg::~CAboutDlg() = default;
