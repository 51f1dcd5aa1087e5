#include "CPhoneBookEntryDlg.h"

#include "ui_CPhoneBookEntryDlg.h"

#include "Cp1252.h"
#include "DialogUnits.h"
#include "Look.h"
#include "Platform.h"

#include <QButtonGroup>
#include <QLineEdit>
#include <QValidator>

#include <algorithm>

namespace {

// The phone book is Windows-1252 text: what it cannot hold would come back
// as '?', so it is not typed in the first place.
class Cp1252Validator final : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override
    {
        return std::all_of(input.cbegin(), input.cend(), cp1252::CanEncode) ? Acceptable : Invalid;
    }
};

bool FitsPhoneBook(const QString& text) { return std::all_of(text.cbegin(), text.cend(), cp1252::CanEncode); }

} // namespace

// Typing takes digits only. A number that came in with other characters (a
// caller taken over from the call list) stays editable: what is refused is
// a change that adds one.
class CPhoneBookEntryDlg::DigitsOnlyValidator final : public QValidator
{
public:
    explicit DigitsOnlyValidator(QLineEdit* edit) : QValidator(edit)
    {
        // The edit holds the changed text already while it asks, so the
        // comparison is with the text it showed before.
        connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) { m_shown = text; });
    }
    // Before the dialog puts a number in: an edit whose text fails its
    // validator would stop checking what is typed after it.
    void SetShown(const QString& text) { m_shown = text; }
    State validate(QString& input, int&) const override
    {
        return NonDigits(input) <= NonDigits(m_shown) ? Acceptable : Invalid;
    }

private:
    static qsizetype NonDigits(const QString& text)
    {
        return std::count_if(text.cbegin(), text.cend(), [](QChar ch) { return ch < u'0' || ch > u'9'; });
    }
    QString m_shown;
};

CPhoneBookEntryDlg::CPhoneBookEntryDlg(QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::CPhoneBookEntryDlg>())
{
    m_ui->setupUi(this);
    m_wavButton = m_ui->wavButton;
    OnInitDialog();
}

CPhoneBookEntryDlg::~CPhoneBookEntryDlg() = default;

void CPhoneBookEntryDlg::OnInitDialog()
{
    // The form is laid out in dialog units of its own font.
    CDialogUnits::Apply(this);
    setFixedSize(size());
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::WindowContextHelpButtonHint);
    SetFramedGroupTitles(this);

    m_numberValidator = new DigitsOnlyValidator(m_ui->numberEdit);
    m_ui->numberEdit->setValidator(m_numberValidator);
    for (QLineEdit* edit : {m_ui->nameEdit, m_ui->wavPathEdit, m_ui->programPathEdit, m_ui->mdbPathEdit})
        edit->setValidator(new Cp1252Validator(edit));

    m_actionGroup = new QButtonGroup(this);
    m_actionGroup->addButton(m_ui->wavRadio, WavFileAction);
    m_actionGroup->addButton(m_ui->programRadio, ProgramAction);
    m_actionGroup->addButton(m_ui->mdbRadio, MsAccessAction);
    m_actionGroup->addButton(m_ui->silentRadio, SilentAction);

    m_wavButton->setIcon(QIcon(QStringLiteral(":/icons/sound.svg")));
    m_ui->programButton->setIcon(QIcon(QStringLiteral(":/icons/open-file.svg")));
    m_ui->mdbButton->setIcon(QIcon(QStringLiteral(":/icons/open-file.svg")));

    connect(m_wavButton, &QPushButton::clicked, this, &CPhoneBookEntryDlg::OnWavButton);
    connect(m_ui->programButton, &QPushButton::clicked, this, &CPhoneBookEntryDlg::OnProgramButton);
    connect(m_ui->mdbButton, &QPushButton::clicked, this, &CPhoneBookEntryDlg::OnMdbButton);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CPhoneBookEntryDlg::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CPhoneBookEntryDlg::reject);
}

int CPhoneBookEntryDlg::DoModal()
{
    UpdateData(false);
    m_ui->numberEdit->setFocus();
    return exec();
}

void CPhoneBookEntryDlg::UpdateData(bool saveAndValidate)
{
    if (saveAndValidate) {
        m_name = m_ui->nameEdit->text();
        m_number = m_ui->numberEdit->text();
        m_wavPath = m_ui->wavPathEdit->text();
        m_action = m_actionGroup->checkedId();
        m_programPath = m_ui->programPathEdit->text();
        m_mdbPath = m_ui->mdbPathEdit->text();
        return;
    }
    m_ui->nameEdit->setText(m_name);
    m_numberValidator->SetShown(m_number);
    m_ui->numberEdit->setText(m_number);
    m_ui->wavPathEdit->setText(m_wavPath);
    // An exclusive group will not let its checked button go: unchecking
    // all, for "no action", needs it open for a moment.
    m_actionGroup->setExclusive(false);
    for (QAbstractButton* button : m_actionGroup->buttons())
        button->setChecked(m_actionGroup->id(button) == m_action);
    m_actionGroup->setExclusive(true);
    m_ui->programPathEdit->setText(m_programPath);
    m_ui->mdbPathEdit->setText(m_mdbPath);
}

void CPhoneBookEntryDlg::accept()
{
    UpdateData(true);
    QDialog::accept();
}

void CPhoneBookEntryDlg::OnWavButton()
{
    UpdateData(true);
    // A cancelled choice clears the field: the way to take a sound off.
    m_wavPath = PickFile("*.wav", "*.wav").value_or(QString());
    UpdateData(false);
}

void CPhoneBookEntryDlg::OnProgramButton()
{
    UpdateData(true);
    if (const auto path = PickFile("programma of bestand", "*.*"))
        m_programPath = *path;
    UpdateData(false);
}

void CPhoneBookEntryDlg::OnMdbButton()
{
    UpdateData(true);
    if (const auto path = PickFile("mdb", "*.mdb"))
        m_mdbPath = *path;
    UpdateData(false);
}

std::optional<QString> CPhoneBookEntryDlg::PickFile(const char* defaultExtension, const char* initialName)
{
    std::optional<QString> path = CPlatform::Instance().GetOpenFileName(
        this, QString::fromLatin1(defaultExtension), QString::fromLatin1(initialName));
    if (path && !FitsPhoneBook(*path)) {
        CPlatform::Instance().ShowMessage(
            QStringLiteral("Deze bestandsnaam kan niet in het telefoonboek worden bewaard:\r\n%1").arg(*path), this);
        return std::nullopt;
    }
    return path;
}
