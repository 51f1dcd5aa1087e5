#include "CMyPropertyPage1.h"

#include "ui_CMyPropertyPage1.h"

#include "DialogUnits.h"
#include "PhoneBookImport.h"
#include "Platform.h"

#include <QHeaderView>
#include <QItemSelectionModel>

CMyPropertyPage1::CMyPropertyPage1(QWidget* parent)
    : CPropertyPage(parent), m_ui(std::make_unique<Ui::CMyPropertyPage1>())
{
    m_ui->setupUi(this);
    m_phoneBookList = m_ui->phoneBookList;
    // Laid out in dialog units of its own font; the sheet sizes itself to
    // its largest page, so the page holds on to that size.
    CDialogUnits::Apply(this);
    setMinimumSize(size());
    m_entryDlg = new CPhoneBookEntryDlg(this);

    connect(m_ui->newButton, &QPushButton::clicked, this, &CMyPropertyPage1::OnNew);
    connect(m_ui->deleteButton, &QPushButton::clicked, this, &CMyPropertyPage1::OnDelete);
    connect(m_ui->propertiesButton, &QPushButton::clicked, this, &CMyPropertyPage1::OnProperties);
    connect(m_ui->importButton, &QPushButton::clicked, this, &CMyPropertyPage1::OnImport);
    connect(m_ui->exportButton, &QPushButton::clicked, this, &CMyPropertyPage1::OnExport);
}

CMyPropertyPage1::~CMyPropertyPage1() = default;

void CMyPropertyPage1::OnInitDialog()
{
    if (m_initialised)
        return;
    m_initialised = true;

    m_model.SetRowIcon(QIcon(QStringLiteral(":/icons/contact.svg")));
    m_phoneBookList->setIconSize(QSize(16, 16));
    m_phoneBookList->setModel(&m_model);
    QHeaderView* header = m_phoneBookList->header();
    header->setStretchLastSection(false);
    header->setSectionsMovable(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (int column = 0; column < CPhoneBookModel::ColumnCount; ++column)
        header->resizeSection(column, CPhoneBookModel::HeadingWidth(column));

    QList<PhoneBookRecord> records;
    m_loadFailed = LoadPhoneBook(&records) == recordfile::ReadStatus::Failed;
    m_model.SetRecords(records);
    if (m_loadFailed) {
        // Edits could not be kept: the file is left as it is.
        for (QWidget* button : {m_ui->newButton, m_ui->deleteButton, m_ui->propertiesButton, m_ui->importButton,
                                m_ui->exportButton})
            button->setEnabled(false);
    }
}

bool CMyPropertyPage1::OnOK()
{
    if (!m_initialised || m_loadFailed)
        return true;
    if (SavePhoneBook(m_model.Records()))
        return true;
    CPlatform::Instance().ShowMessage(
        QStringLiteral("Telefoonboek file kon niet worden opgeslagen.\r\n"
                       "Uw wijzigingen staan nog in de lijst: probeer het opnieuw met OK, of kies Annuleren."),
        this);
    return false;
}

int CMyPropertyPage1::FirstSelectedRow() const
{
    const QItemSelectionModel* selection = m_phoneBookList->selectionModel();
    if (!selection)
        return -1;
    int first = -1;
    for (const QModelIndex& index : selection->selectedRows()) {
        if (first < 0 || index.row() < first)
            first = index.row();
    }
    return first;
}

PhoneBookRecord CMyPropertyPage1::RecordFromDialog() const
{
    PhoneBookRecord record{m_entryDlg->m_number, m_entryDlg->m_name, {}, {}};
    switch (m_entryDlg->m_action) {
    case CPhoneBookEntryDlg::WavFileAction:
        record.action = QString::fromLatin1(kActionWavFile);
        record.path = m_entryDlg->m_wavPath;
        break;
    case CPhoneBookEntryDlg::ProgramAction:
        record.action = QString::fromLatin1(kActionProgram);
        record.path = m_entryDlg->m_programPath;
        break;
    case CPhoneBookEntryDlg::MsAccessAction:
        record.action = QString::fromLatin1(kActionMsAccess);
        record.path = m_entryDlg->m_mdbPath;
        break;
    case CPhoneBookEntryDlg::SilentAction:
        record.action = QString::fromLatin1(kActionSilent); // uses no file
        break;
    default:
        break;
    }
    return record;
}

void CMyPropertyPage1::OnNew()
{
    if (m_entryDlg->DoModal() != QDialog::Accepted)
        return;
    m_model.InsertRecord(0, RecordFromDialog());
}

void CMyPropertyPage1::OnDelete()
{
    const int row = FirstSelectedRow();
    if (row >= 0)
        m_model.removeRows(row, 1);
}

void CMyPropertyPage1::OnProperties()
{
    const int row = FirstSelectedRow();
    PhoneBookRecord old;
    if (row >= 0)
        old = m_model.Record(row);
    m_entryDlg->m_number = old.number;
    m_entryDlg->m_name = old.name;
    // An action that is no keyword leaves the dialog's action and paths as
    // its last use left them.
    if (old.action == QLatin1String(kActionWavFile)) {
        m_entryDlg->m_action = CPhoneBookEntryDlg::WavFileAction;
        m_entryDlg->m_wavPath = old.path;
    } else if (old.action == QLatin1String(kActionProgram)) {
        m_entryDlg->m_action = CPhoneBookEntryDlg::ProgramAction;
        m_entryDlg->m_programPath = old.path;
    } else if (old.action == QLatin1String(kActionMsAccess)) {
        m_entryDlg->m_action = CPhoneBookEntryDlg::MsAccessAction;
        m_entryDlg->m_mdbPath = old.path;
    } else if (old.action == QLatin1String(kActionSilent)) {
        m_entryDlg->m_action = CPhoneBookEntryDlg::SilentAction; // the paths stay as they were
    }
    if (m_entryDlg->DoModal() != QDialog::Accepted || row < 0)
        return;
    // The edited entry goes to the top; the old row is then one lower.
    m_model.InsertRecord(0, RecordFromDialog());
    m_model.removeRows(row + 1, 1);
}

void CMyPropertyPage1::OnImport()
{
    const auto path = CPlatform::Instance().GetOpenFileName(this, QStringLiteral("vcf"), QStringLiteral("*.vcf *.csv"));
    if (!path)
        return;
    const CPhoneBookImport import(NumberRules::FromSettings());
    QList<Contact> contacts;
    QString error;
    if (!import.ReadFile(*path, &contacts, &error)) {
        CPlatform::Instance().ShowMessage(error, this);
        return;
    }
    CPhoneBookImport::Summary summary;
    // After the rows there are: a book's order is the order they came in.
    for (const PhoneBookRecord& record : import.NewRecords(m_model.Records(), contacts, &summary))
        m_model.InsertRecord(m_model.rowCount(), record);
    CPlatform::Instance().ShowMessage(QStringLiteral("Importeren: ") + summary.Text(), this);
}

void CMyPropertyPage1::OnExport()
{
    const auto path =
        CPlatform::Instance().GetSaveFileName(this, QStringLiteral("vcf"), QStringLiteral("telefoonboek.vcf"));
    if (!path)
        return;
    int written = 0;
    QString error;
    if (!CPhoneBookExport::WriteFile(*path, m_model.Records(), NumberRules::FromSettings(), &written, &error)) {
        CPlatform::Instance().ShowMessage(error, this);
        return;
    }
    CPlatform::Instance().ShowMessage(
        QStringLiteral("Exporteren: %1 naar %2.").arg(written == 1 ? QStringLiteral("1 nummer") : QStringLiteral("%1 nummers").arg(written), *path),
        this);
}
