#include "CChatDlg.h"

#include "ui_CChatDlg.h"

#include "AppIcon.h"
#include "CallListFilter.h"
#include "CallListSaver.h"
#include "CMyPropertySheet.h"
#include "CWizardSheet.h"
#include "CapiDefs.h"
#include "Cp1252.h"
#include "DialogUnits.h"
#include "DisconnectReasons.h"
#include "HelpFile.h"
#include "DriverCall.h"
#include "DriverCallWatch.h"
#include "IncomingCall.h"
#include "InputBlocker.h"
#include "Look.h"
#include "PhoneBookFile.h"
#include "PhoneBookLookup.h"
#include "Platform.h"
#include "SettingsStore.h"
#include "TrayBadge.h"
#include "ZoemlijnDBusAdaptor.h"
#include "ZoemlijnService.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QHeaderView>
#include <QKeyEvent>
#include <QWindow>
#include <QMenu>
#include <QPointer>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolBar>
#include <QTableView>
#include <QToolButton>

namespace {

constexpr uint16_t kCipUnrestrictedDigital = 2;
constexpr int kSendPauseMs = 4000;
constexpr int kAutoSendChanges = 19;
constexpr int kSendTextLimit = 19;
constexpr int kFoldedHeight = 325;
constexpr int kBelowScreenBottom = 30;
constexpr int kReceivedScrollLines = 50;
constexpr QSize kToolButtonSize(50, 35);
constexpr int kToolLabelMargin = 10; // what the style keeps free beside a label
const char kTrayTip[] = "Klik met de rechter muisbutton";
const char kAboutItem[] = "CCapi About ...";
const char kExportFailed[] = "Opslaan van de bellijst is niet gelukt";

const char kMissingPhoneBook[] =
    "Telefoonboek file niet meer aanwezig.\r\n Door op het configuratie icoon te klikken en dan op de knop OK\r\n"
    " wordt deze automatisch weer gemaakt";

struct ToolCommand
{
    int id;
    const char* label;
    const char* icon; // freedesktop name
};

constexpr ToolCommand kToolCommands[] = {
    {32798, "Opslaan", "document-save"}, {32799, "Instellen", "preferences-system"},
    {32802, "In", "go-up"},              {32803, "Uit", "go-down"},
    {32808, "Wizard", "tools-wizard"},   {32804, "Help", "help-contents"},
};

// Only what Windows-1252 can carry, so the text goes out as typed.
class Cp1252Validator final : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override
    {
        for (QChar ch : input)
            if (!cp1252::CanEncode(ch))
                return Invalid;
        return Acceptable;
    }
};

QString FromLink(const std::string& bytes) { return cp1252::Decode(QByteArray::fromStdString(bytes)); }
std::string ToLink(const QString& text) { return cp1252::Encode(text).toStdString(); }

// The log keeps CR LF line ends; the editor keeps paragraphs.
QString ToEditor(const QString& log)
{
    QString text = log;
    text.replace(QLatin1String("\r\n"), QString(QChar::ParagraphSeparator));
    return text;
}

QString FromEditor(const QString& raw)
{
    QString text = raw;
    text.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
    return text;
}

} // namespace

int CChatDlg::s_changeCount = 0;

CChatDlg::CChatDlg(QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::CChatDlg>())
{
    m_ui->setupUi(this);
    m_receivedEdit = m_ui->receivedEdit;
    m_sendTextEdit = m_ui->sendTextEdit;
    m_callList = m_ui->callListView;
    m_sendButton = m_ui->sendButton;
    m_hIcon = QIcon::fromTheme(QStringLiteral("zoemlijn"), res::AppIcon());
    m_trayBadge = std::make_unique<CTrayBadge>(m_hIcon, QString::fromLatin1(kTrayTip));
    // A click on a notification opens the window as "Open CCapi..." does;
    // one that could not be shown leaves the window to show itself.
    connect(&m_notifier, &CTextNotifier::Activated, this, &CChatDlg::OpenFromTray);
    connect(&m_notifier, &CTextNotifier::Failed, this, &CChatDlg::ShowWindow);
    // Other programs hear what the window does, and may send through it.
    m_service = std::make_unique<CZoemlijnService>(
        [this](const QString& number, const QString& text) { return SendFromService(number, text); });
    connect(this, &CChatDlg::TextReceived, m_service.get(), [this](const ReceivedText& text) {
        m_service->ReportReceived(text.number, text.name, text.text, text.calledNumber, text.callType, text.time);
    });
    connect(this, &CChatDlg::TextSent, m_service.get(), &CZoemlijnService::ReportSent);
    connect(this, &CChatDlg::TextCleared, m_service.get(), &CZoemlijnService::ReportDelivery);

    m_deleteRowAction = new QAction(QStringLiteral("Verwijderen"), this);
    m_toPhoneBookAction = new QAction(QStringLiteral("Naar Telefoonboek"), this);
    m_deleteAllAction = new QAction(QStringLiteral("Alles verwijderen"), this);
    m_deleteRowAction->setObjectName(QStringLiteral("deleteRowAction"));
    m_toPhoneBookAction->setObjectName(QStringLiteral("toPhoneBookAction"));
    m_deleteAllAction->setObjectName(QStringLiteral("deleteAllAction"));
    connect(m_deleteRowAction, &QAction::triggered, this, &CChatDlg::DeleteSelectedRow);
    connect(m_toPhoneBookAction, &QAction::triggered, this, &CChatDlg::SelectedRowToPhoneBook);
    connect(m_deleteAllAction, &QAction::triggered, this, &CChatDlg::DeleteAllRows);

    // Menu 131, the tray icon's.
    m_trayMenu = new QMenu(this);
    m_trayMenu->setObjectName(QStringLiteral("trayMenu"));
    QAction* open = m_trayMenu->addAction(QStringLiteral("Open CCapi..."), this, &CChatDlg::OpenFromTray);
    // Reached while a dialog of the program may be open: the commands that
    // open one more wait until it is closed (two sheets would write the
    // phone book over each other).
    m_trayMenu->addAction(QStringLiteral("Open Telefoonboek..."), this, [this] {
        if (!DialogOpen())
            OpenSettings();
    });
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(QStringLiteral("About..."), this, [this] {
        if (!DialogOpen())
            emit AboutRequested();
    });
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(QStringLiteral("Exit"), this, &QDialog::reject);
    m_trayMenu->setDefaultAction(open); // shown in bold

    // The system menu's About item where the platform has no system menu to
    // extend: a menu on the window's icon.
    m_iconMenu = new QMenu(this);
    m_iconMenu->setObjectName(QStringLiteral("iconMenu"));
    m_iconMenu->addAction(QString::fromLatin1(kAboutItem), this, &CChatDlg::AboutRequested);

    OnInitDialog();
    // Once the window can take a send; a second copy says so and offers
    // nothing, and without a session bus nothing changes.
    CZoemlijnDBusAdaptor::OfferOnSessionBus(*m_service);
}

CChatDlg::~CChatDlg()
{
    // A driver call that start-up still waits for stays behind on its own
    // thread, never waited for here; a registration it makes later is undone.
    if (m_pendingCall)
        m_pendingCall->GiveUp();
    if (m_callListSaver)
        m_callListSaver->SaveNow();
    if (m_linksStarted) {
        for (CCapiLink* link : {&m_receiveLink, &m_sendLink}) {
            link->StopCAPIThread();
            link->ReleaseCAPIAppl();
        }
    }
    if (m_trayIcon)
        m_trayIcon->hide();
}

int CChatDlg::DoModal()
{
    setModal(true);
    if (!m_closing) {
        QEventLoop loop;
        connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
        show();
        loop.exec();
    }
    return result();
}

// ---------------------------------------------------------------- start-up

void CChatDlg::OnInitDialog()
{
    // The form is laid out in dialog units of its own font.
    CDialogUnits::Apply(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    m_sendTextEdit->setValidator(new Cp1252Validator(m_sendTextEdit));
    m_ui->phoneNumberEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_ui->phoneNumberEdit));
    for (QWidget* field : {static_cast<QWidget*>(m_receivedEdit), static_cast<QWidget*>(m_sendTextEdit),
                           static_cast<QWidget*>(m_ui->phoneNumberEdit)})
        SetInputColours(field);
    for (QWidget* field : {m_ui->callTypeEdit, m_ui->calledNumberEdit, m_ui->callerEdit})
        SetFormBackground(field);
    SetFramedGroupTitles(this);
    // Enter makes a new line in the log; Tab moves on, as in any dialog.
    m_receivedEdit->setTabChangesFocus(true);
    connect(m_receivedEdit, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_settingLog)
            m_logEdited = true;
    });
    connect(m_sendButton, &QPushButton::clicked, this, &CChatDlg::OnSend);
    connect(m_sendTextEdit, &QLineEdit::textChanged, this, &CChatDlg::OnSendTextChange);
    ShowFields();

    setWindowIcon(m_hIcon);
    UpdateLinkIcon();
    m_ui->linkIcon->installEventFilter(this);
    m_ui->linkIcon->setCursor(Qt::PointingHandCursor);

    CreateToolBar();
    FitToolBar();

    m_sendButton->setToolTip(QStringLiteral("klik hier om de tekst te versturen"));
    m_receivedEdit->setToolTip(QStringLiteral("hier staat de tekst die naar u gestuurd is"));
    m_sendTextEdit->setToolTip(QStringLiteral("vul hier de tekst in die u wilt versturen"));
    m_ui->phoneNumberEdit->setToolTip(QStringLiteral("vul hier het telefoonnummer in waar u tekst heen wilt versturen"));

    PlaceWindow();
    SetupCallList();

    // Kept in the string only: the box starts empty and the text shows at
    // the next showing of the fields, unless a taking replaces it first.
    m_sendText = QStringLiteral("test tekst");

    // Only a list that was loaded (or started empty) replaces the stored one.
    if (LoadCallList(QString::fromLatin1(kCallListFileName), m_callListModel) != recordfile::ReadStatus::Failed)
        m_callListSaver = std::make_unique<CCallListSaver>(QString::fromLatin1(kCallListFileName), m_callListModel);

    StartLinks();
}

bool CChatDlg::CreateToolBar()
{
    m_toolBar = new QToolBar(this);
    m_toolBar->setObjectName(QStringLiteral("toolBar"));
    m_toolBar->setMovable(false);
    m_toolBar->setFloatable(false);
    m_toolBar->setIconSize(QSize(16, 16));
    m_toolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_toolBar->setAccessibleName(QStringLiteral("Werkbalk"));
    // The labels fit the 50-pixel buttons whole: a font wider than the
    // template's gets a smaller size rather than cut labels.
    QFont font = this->font();
    for (qreal size = font.pointSizeF(); size > 6; size -= 0.5) {
        font.setPointSizeF(size);
        int widest = 0;
        for (const ToolCommand& command : kToolCommands)
            widest = std::max(widest, QFontMetrics(font).horizontalAdvance(QString::fromLatin1(command.label)));
        if (widest + kToolLabelMargin <= kToolButtonSize.width())
            break;
    }
    m_toolBar->setFont(font);
    for (const ToolCommand& command : kToolCommands) {
        const QString label = QString::fromLatin1(command.label);
        QAction* action = m_toolBar->addAction(ThemeIcon(QString::fromLatin1(command.icon)), label);
        action->setData(command.id);
        action->setObjectName(QStringLiteral("command%1").arg(command.id));
        if (QWidget* button = m_toolBar->widgetForAction(action)) {
            button->setFixedSize(kToolButtonSize);
            button->setAccessibleName(label);
        }
        switch (command.id) {
        case 32798:
            connect(action, &QAction::triggered, this, &CChatDlg::ExportCallList);
            break;
        case 32802:
            connect(action, &QAction::triggered, this, [this] { Fold(500, 326); });
            break;
        case 32803:
            connect(action, &QAction::triggered, this, [this] { Fold(kFoldedHeight, 499); });
            break;
        case 32799:
            connect(action, &QAction::triggered, this, &CChatDlg::OpenSettings);
            break;
        case 32808:
            connect(action, &QAction::triggered, this, &CChatDlg::OpenWizard);
            break;
        case 32804:
            connect(action, &QAction::triggered, this, &CChatDlg::OnHelp);
            break;
        default:
            break;
        }
    }
    m_toolBar->show();
    return true;
}

void CChatDlg::FitToolBar()
{
    // The toolbar docks at the top: everything else moves down by its
    // height and the window grows by as much.
    const int height = m_toolBar->sizeHint().height();
    for (QObject* child : children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget && widget != m_toolBar && !widget->isWindow())
            widget->move(widget->pos() + QPoint(0, height));
    }
    resize(width(), this->height() + height);
    m_toolBar->setGeometry(0, 0, width(), height);
}

void CChatDlg::PlaceWindow()
{
    show();
    m_fullHeight = height();
    FitToFrame();
    raise();
    // The window manager frames the window after it is shown: by the time
    // it is exposed, the frame is known.
    if (!m_framed && windowHandle())
        windowHandle()->installEventFilter(this);
}

void CChatDlg::FitToFrame()
{
    // At the right edge, H + 30 above the bottom of the screen, with H the
    // full framed height; then folded to 325 framed pixels over the call
    // list. A window manager frames the window only after it is shown, so
    // this runs again once the frame is known.
    const QRect frame = frameGeometry();
    const int frameExtra = frame.height() - height();
    const QRect screenRect = (screen() ? screen() : QGuiApplication::primaryScreen())->geometry();
    move(screenRect.right() + 1 - frame.width(),
         screenRect.bottom() + 1 - (m_fullHeight + frameExtra) - kBelowScreenBottom);
    setFixedSize(width(), kFoldedHeight - frameExtra);
    m_framed = frameExtra > 0;
}

void CChatDlg::SetupCallList()
{
    // A report-style list: a table without grid or row numbers. Unlike a
    // tree view it keeps nothing per row, so a new row on top of a long
    // list costs what it costs on a short one.
    m_callListModel.SetRowIcon(QIcon(QStringLiteral(":/icons/call.svg")));
    m_callList->setModel(&m_callListModel);
    m_callList->setShowGrid(false);
    m_callList->setWordWrap(false);
    m_callList->setCornerButtonEnabled(false);
    m_callList->setTabKeyNavigation(false);
    m_callList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_callList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_callList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_callList->setIconSize(QSize(16, 16));
    m_callList->setSortingEnabled(false);
    QHeaderView* rows = m_callList->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(std::max(m_callList->fontMetrics().height(), 16) + 2);
    QHeaderView* columns = m_callList->horizontalHeader();
    columns->setSectionsClickable(false);
    columns->setHighlightSections(false);
    columns->setStretchLastSection(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (int column = 0; column < kCallListColumns; ++column)
        columns->resizeSection(column, kCallListColumnDefs[column].width);
    m_callList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_callList, &QWidget::customContextMenuRequested, this, &CChatDlg::ShowCallListMenu);

    QLineEdit* search = m_ui->callListSearchEdit;
    search->hide();
    search->installEventFilter(this);
    connect(search, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (m_callListFilter)
            m_callListFilter->SetText(text);
    });
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, &CChatDlg::ShowSearch);
}

void CChatDlg::SetCallListModel(QAbstractItemModel* model)
{
    // A new model gives the view new columns and a new selection model:
    // the widths the user has stay, the old selection model goes.
    QList<int> widths;
    for (int column = 0; column < kCallListColumns; ++column)
        widths << m_callList->horizontalHeader()->sectionSize(column);
    QItemSelectionModel* old = m_callList->selectionModel();
    m_callList->setModel(model);
    delete old;
    for (int column = 0; column < kCallListColumns; ++column)
        m_callList->horizontalHeader()->resizeSection(column, widths[column]);
}

void CChatDlg::ShowSearch()
{
    QLineEdit* search = m_ui->callListSearchEdit;
    if (!m_callListFilter) {
        // The list lies below the fold of a folded window: unfold first.
        if (frameGeometry().height() < 499)
            Fold(kFoldedHeight, 499);
        m_callListFilter = std::make_unique<CCallListFilter>(m_callListModel);
        m_callListFilter->Prepare();
        SetCallListModel(m_callListFilter.get());
        m_callListPlace = m_callList->geometry();
        const int height = search->sizeHint().height();
        search->setGeometry(m_callListPlace.x(), m_callListPlace.y(), m_callListPlace.width(), height);
        m_callList->setGeometry(m_callListPlace.adjusted(0, height, 0, 0));
        search->show();
    }
    search->setFocus();
    search->selectAll();
}

void CChatDlg::HideSearch()
{
    if (!m_callListFilter)
        return;
    QLineEdit* search = m_ui->callListSearchEdit;
    search->hide();
    search->clear();
    m_callList->setGeometry(m_callListPlace);
    SetCallListModel(&m_callListModel);
    m_callListFilter.reset();
    m_callList->setFocus();
}

void CChatDlg::StartLinks()
{
    m_linksStarted = true;
    // A link that could not register starts no thread; its listen request
    // then fails on its own. The driver calls run off this thread: with a
    // prompt driver start-up ends here as it always did, with a slow or
    // silent one it goes on from the event loop, in the same order.
    m_receiveLink.LoadCAPIDll();
    m_receiveLink.SetCAPIOwner(this);
    Await(m_receiveLink.BeginRegister(), [this](CDriverCall& receiveRegistration) {
        const bool receiveRegistered = m_receiveLink.EndRegister(receiveRegistration);
        if (!receiveRegistered)
            Message(QStringLiteral("Register werkt niet"));
        if (receiveRegistered && !m_receiveLink.StartCAPIThread())
            Message(QStringLiteral("Kan de Thread niet starten\r\n Sluit de applicatie af en probeer opnieuw"));
        Await(m_receiveLink.BeginListen(), [this](CDriverCall& listen) {
            if (!m_receiveLink.EndListen(listen))
                Message(QStringLiteral("De Listen state is niet gelukt\r\n Sluit af en probeer opnieuw"));

            m_sendLink.SetCAPIOwner(this);
            Await(m_sendLink.BeginRegister(), [this](CDriverCall& sendRegistration) {
                const bool sendRegistered = m_sendLink.EndRegister(sendRegistration);
                if (!sendRegistered)
                    Message(QStringLiteral("Register werkt niet"));
                if (sendRegistered && !m_sendLink.StartCAPIThread())
                    Message(QStringLiteral("Kan de Thread niet starten\r\n Sluit de applicatie af en probeer opnieuw"));
                UpdateServiceLinkUp();
            });
        });
    });
}

void CChatDlg::Await(const std::shared_ptr<CDriverCall>& call, std::function<void(CDriverCall&)> then)
{
    m_pendingCall = call;
    AfterAnswer(this, call, kAnswerGraceMs, [this, call, then = std::move(then)] {
        // Closing: the shutdown gives the call up, and start-up ends here.
        if (m_closing)
            return;
        m_pendingCall.reset();
        then(*call);
    });
}

// ---------------------------------------------------------------- fields

void CChatDlg::ShowFields()
{
    // A control is written only when its text really changes, so what the
    // user has selected or scrolled stays put otherwise.
    const std::pair<QLineEdit*, const QString*> lines[] = {
        {m_ui->callTypeEdit, &m_callTypeText},
        {m_ui->calledNumberEdit, &m_calledNumberText},
        {m_ui->callerEdit, &m_callerText},
        {m_sendTextEdit, &m_sendText},
    };
    for (const auto& [edit, text] : lines) {
        if (edit == m_sendTextEdit)
            edit->setMaxLength(kSendTextLimit);
        if (edit->text() != *text)
            edit->setText(*text);
    }
    ShowLog();
    if (m_ui->phoneNumberEdit->text() != m_phoneNumber)
        m_ui->phoneNumberEdit->setText(m_phoneNumber);
}

void CChatDlg::ShowLog()
{
    // The program only ever appends to the log: unless the user edited the
    // control, it shows the first m_logShownSize characters already, and
    // only the rest goes in. A text thus costs the same early and late in
    // a long session.
    if (!m_logEdited && m_receivedText.size() == m_logShownSize)
        return;
    m_settingLog = true;
    if (m_logEdited || m_receivedText.size() < m_logShownSize || m_logShownSize == 0) {
        m_receivedEdit->setPlainText(ToEditor(m_receivedText));
    } else {
        // The caret, scroll position and undo end up as a fresh setting of
        // the text leaves them.
        QTextDocument* document = m_receivedEdit->document();
        document->setUndoRedoEnabled(false);
        QTextCursor end(document);
        end.movePosition(QTextCursor::End);
        end.insertText(ToEditor(m_receivedText.mid(m_logShownSize)));
        document->setUndoRedoEnabled(true);
    }
    m_logShownSize = m_receivedText.size();
    m_logEdited = false;
    // The newest line stays in view.
    m_receivedEdit->moveCursor(QTextCursor::End);
    m_receivedEdit->verticalScrollBar()->setValue(m_receivedEdit->verticalScrollBar()->maximum());
    m_settingLog = false;
}

void CChatDlg::TakeFields()
{
    m_callTypeText = m_ui->callTypeEdit->text();
    m_calledNumberText = m_ui->calledNumberEdit->text();
    m_callerText = m_ui->callerEdit->text();
    m_sendText = m_sendTextEdit->text();
    // The whole log is read back only when the user has edited it.
    if (m_logEdited)
        m_receivedText = FromEditor(m_receivedEdit->document()->toRawText());
    m_phoneNumber = m_ui->phoneNumberEdit->text();
}

void CChatDlg::ShowWindow()
{
    if (m_closing)
        return;
    // Minimised instead of hidden (no notification area): brought back too.
    if (windowState() & Qt::WindowMinimized)
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
}

void CChatDlg::done(int result)
{
    m_closing = true;
    QDialog::done(result);
}

void CChatDlg::Message(const QString& text) { CPlatform::Instance().ShowMessage(text, this); }

void CChatDlg::WaitHolding(const std::function<void(std::function<void()>)>& start)
{
    auto ended = std::make_shared<bool>(false);
    QEventLoop loop;
    QPointer<QEventLoop> running(&loop);
    m_queue.Hold();
    ++m_holding;
    start([ended, running] {
        *ended = true;
        if (running)
            running->quit();
    });
    if (!*ended && !m_closing) {
        // Input given meanwhile is dropped, not replayed when the wait ends;
        // the window's end (Exit, a signal) ends the wait too.
        CInputBlocker blocker;
        connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    --m_holding;
    m_queue.Release();
}

// ---------------------------------------------------------------- notifications

void CChatDlg::PostToOwner(std::function<void()> task) { m_queue.Post(std::move(task)); }

void CChatDlg::OnCapiNotify(CCapiLink& link, unsigned code)
{
    if (&link == &m_sendLink)
        TrackSentTexts(link, code);
    switch (code) {
    case NC_CALL_INFO:
        if (&link == &m_receiveLink) {
            m_silentCall = SilentCall::None;
            IncomingCall();
        }
        break;
    case NC_LINK_STATE:
        // The link's state, not a call: shown on the icon, the window stays
        // where it is.
        UpdateLinkIcon();
        UpdateServiceLinkUp();
        emit LinkStateChanged(!m_receiveLink.IsLinkDown() && !m_sendLink.IsLinkDown());
        return;
    default:
        break;
    }
    // A silenced caller's call leaves a hidden window hidden, up to and
    // with the message that cleared it.
    if (&link == &m_receiveLink && m_silentCall != SilentCall::None) {
        if (code == NC_CALL_CLEARED)
            m_silentCall = SilentCall::Cleared;
        else if (code == NC_MESSAGE && m_silentCall == SilentCall::Cleared)
            m_silentCall = SilentCall::None;
        return;
    }
    if (Announcing())
        return;
    ShowWindow();
}

bool CChatDlg::Announcing() const
{
    return m_trayIcon && !isVisible() && !m_closing && CTextNotifier::CanNotify();
}

void CChatDlg::IncomingCall()
{
    // What the user is typing, or has changed in the log, is taken first so
    // that showing the fields keeps it.
    TakeFields();

    const bool addZero = ReadSetting(Setting::AddZero) != 0;
    m_callTypeText = FromLink(m_receiveLink.CallType());
    const CallNumbers numbers =
        PrepareNumbers(addZero, FromLink(m_receiveLink.CalledNumber()), FromLink(m_receiveLink.CallingNumber()));
    m_calledNumberText = numbers.calledNumberText;
    m_receivedText +=
        QStringLiteral("Ontv: ") + cp1252::ControlsAsBlanks(FromLink(m_receiveLink.CallText())) + QStringLiteral("\r\n");
    ShowFields();
    QScrollBar* scroll = m_receivedEdit->verticalScrollBar();
    scroll->setValue(scroll->value() + kReceivedScrollLines);
    TakeFields();

    const PhoneBookEntry entry = LookupCaller(numbers.key, FromLink(m_receiveLink.CallingNumber()),
                                              FromLink(m_receiveLink.CallingNumberType()));
    QString name;
    switch (entry.result) {
    case LookupResult::Found:
        name = entry.name;
        m_callerText = CallerText(name, numbers.key);
        if (ActionFor(entry.action) == CallerAction::Silent)
            m_silentCall = SilentCall::Ringing;
        RunCallerAction(entry.action, entry.path);
        break;
    case LookupResult::FileMissing:
        Message(QString::fromLatin1(kMissingPhoneBook));
        m_callerText = CallerText(QString(), numbers.key);
        break;
    case LookupResult::NotFound:
        m_callerText = CallerText(QString(), numbers.key);
        ShowFields();
        break;
    }
    const QDateTime when = CPlatform::Instance().Now();
    InsertCallRow(name, numbers.key, when);
    ShowFields();
    TextComplete({numbers.key, name, cp1252::ControlsAsBlanks(FromLink(m_receiveLink.CallText())), m_calledNumberText,
                  m_callTypeText, when});
}

void CChatDlg::TextComplete(const ReceivedText& text)
{
    m_textHook.Run(ReadExtraText(Extra::TextHook), text);
    if (Announcing()) {
        // A silenced caller is counted, but pops nothing up.
        if (m_silentCall == SilentCall::None)
            m_notifier.Notify(text);
        m_trayBadge->Add();
        UpdateTrayBadge();
    }
    emit TextReceived(text);
}

void CChatDlg::RunCallerAction(const QString& action, const QString& path)
{
    switch (ActionFor(action)) {
    case CallerAction::PlaySound:
        // The rest of the call waits for the end of the sound.
        WaitHolding([&path](std::function<void()> ended) { CPlatform::Instance().PlaySound(path, std::move(ended)); });
        break;
    case CallerAction::OpenWithDesktop:
        CPlatform::Instance().OpenWithDesktop(path);
        break;
    case CallerAction::ShowMessage:
        Message(action);
        break;
    case CallerAction::Silent: // listed and logged, nothing more
    case CallerAction::None:
        break;
    }
}

void CChatDlg::AddCallRow(const QString& name, const QString& number)
{
    InsertCallRow(name, number, CPlatform::Instance().Now());
}

void CChatDlg::InsertCallRow(const QString& name, const QString& number, const QDateTime& when)
{
    m_callListModel.InsertTop(
        MakeCallRow(number, name, FromLink(m_receiveLink.CallText()), m_calledNumberText, when, m_callTypeText));
}

void CChatDlg::UpdateLinkIcon()
{
    const bool down = m_receiveLink.IsLinkDown() || m_sendLink.IsLinkDown();
    m_ui->linkIcon->setPixmap(m_hIcon.pixmap(QSize(32, 32), down ? QIcon::Disabled : QIcon::Normal));
    m_ui->linkIcon->setToolTip(down ? QStringLiteral("De verbinding met de CAPI-driver is verbroken") : QString());
}

// ---------------------------------------------------------------- sending

void CChatDlg::UpdateServiceLinkUp()
{
    const auto up = [](const CCapiLink& link) {
        return link.IsRegistered() && link.IsThreadRunning() && !link.IsLinkDown();
    };
    m_service->SetLinkUp(up(m_receiveLink) && up(m_sendLink));
}

std::optional<QString> CChatDlg::PlaceCall(const QString& number, const QString& text)
{
    if (number.isEmpty())
        return QStringLiteral("Wel een nummer invullen");
    if (!m_sendLink.ConnectCAPICall(ToLink(number), ToLink(text), kCipUnrestrictedDigital))
        return QStringLiteral("Connect werkte niet");
    // Before anything that runs the event loop: its confirmation may come.
    m_sentTexts.Sent(number, text);
    return std::nullopt;
}

void CChatDlg::OnSend()
{
    TakeFields();
    if (const std::optional<QString> refusal = PlaceCall(m_phoneNumber, m_sendText)) {
        Message(*refusal);
        return;
    }
    const QString number = m_phoneNumber;
    const QString text = m_sendText;
    const bool fastSend = ReadSetting(Setting::FastSend) != 0;
    m_receivedText += QStringLiteral("Verz: ") + m_sendText + QStringLiteral("\r\n");
    if (fastSend) {
        m_sendText.clear();
        ShowFields();
        emit TextSent(number, text);
        return;
    }
    ShowFields();
    emit TextSent(number, text);
    m_sendText.clear();
    m_sendButton->setEnabled(false);
    ShowFields();
    PauseAfterSend();
}

void CChatDlg::PauseAfterSend()
{
    // The window takes no input and handles no notification until the
    // pause is over, but it keeps painting.
    m_sendPausing = true;
    m_sendButton->setEnabled(false);
    WaitHolding([this](std::function<void()> ended) {
        CPlatform::Instance().SingleShot(kSendPauseMs, this, std::move(ended));
    });
    m_sendButton->setEnabled(true);
    m_sendPausing = false;
}

std::optional<QString> CChatDlg::SendFromService(const QString& number, const QString& text)
{
    // Where the button cannot be pressed, the service is refused too.
    if (m_sendPausing)
        return QString::fromLatin1(CZoemlijnService::kRefusedPause);
    if (m_holding > 0 || m_closing)
        return QStringLiteral("Even wachten: het venster is bezig");
    TakeFields();
    if (const std::optional<QString> refusal = PlaceCall(number, text))
        return refusal;
    m_receivedText += QStringLiteral("Verz: ") + text + QStringLiteral("\r\n");
    ShowFields();
    emit TextSent(number, text);
    if (ReadSetting(Setting::FastSend) == 0) {
        // Refused from now on; the pause itself runs the event loop, so it
        // starts once the caller has its answer.
        m_sendPausing = true;
        m_sendButton->setEnabled(false);
        QTimer::singleShot(0, this, &CChatDlg::PauseAfterSend);
    }
    return std::nullopt;
}

void CChatDlg::TrackSentTexts(CCapiLink& link, unsigned code)
{
    // The link waits while this runs: what it handled last is this
    // notification's message.
    const CCapiLink::HandledMessage message = link.LastMessage();
    switch (code) {
    case NC_MESSAGE:
        if (message.code == capi::ConnectConf)
            m_sentTexts.Confirmed(message.info, message.plci);
        break;
    case NC_CALL_CLEARED:
        if (const auto sent = m_sentTexts.Cleared(message.plci))
            ReportDelivery(*sent, link.LastDisconnectReason());
        break;
    case NC_LINK_STATE:
        if (link.IsLinkDown())
            m_sentTexts.Clear(); // its calls went with the driver
        break;
    default:
        break;
    }
}

void CChatDlg::ReportDelivery(const CSentTexts::Text& sent, uint16_t reason)
{
    if (ReadExtraInt(Extra::DeliveryReport) != 0) {
        // Right after its own "Verz: " line it needs no more words; after a
        // later text's it says which text it is of.
        QString line = QString::fromStdString(capi::DeliveryReport(reason));
        if (!sent.latest)
            line += QStringLiteral(" (aan %1: %2)").arg(sent.number, sent.text);
        TakeFields();
        m_receivedText += line + QStringLiteral("\r\n");
        ShowFields();
    }
    emit TextCleared(sent.number, sent.text, reason);
}

void CChatDlg::OnSendTextChange()
{
    ++s_changeCount;
    if (s_changeCount == kAutoSendChanges && ReadSetting(Setting::AutoSend) == 1) {
        OnSend();
        s_changeCount = 0;
        ShowFields();
    }
}

// ---------------------------------------------------------------- call list

int CChatDlg::FirstSelectedRow() const
{
    // The search keeps the list's order, so the topmost shown is the
    // topmost in the list.
    int first = -1;
    for (const QModelIndex& index : m_callList->selectionModel()->selectedRows()) {
        const int row = m_callListFilter ? m_callListFilter->mapToSource(index).row() : index.row();
        if (row >= 0 && (first < 0 || row < first))
            first = row;
    }
    return first;
}

void CChatDlg::ShowCallListMenu(const QPoint&)
{
    QMenu menu(this);
    menu.addAction(m_deleteRowAction);
    menu.addAction(m_toPhoneBookAction);
    menu.addSeparator();
    menu.addAction(m_deleteAllAction);
    menu.exec(QCursor::pos());
}

void CChatDlg::DeleteSelectedRow() { m_callListModel.RemoveRowAt(FirstSelectedRow()); }

void CChatDlg::SelectedRowToPhoneBook()
{
    const int row = FirstSelectedRow();
    const QStringList fields = row >= 0 ? m_callListModel.Row(row) : QStringList();
    AppendPhoneBookRecord(fields.value(ColCaller), fields.value(ColName));
}

void CChatDlg::DeleteAllRows()
{
    m_callListModel.Clear();
    TakeFields();
}

void CChatDlg::ExportCallList()
{
    const auto path = CPlatform::Instance().GetSaveFileName(this, QStringLiteral("txt"), QStringLiteral("*.txt"));
    if (path && !::ExportCallList(*path, m_callListModel))
        Message(QString::fromLatin1(kExportFailed));
}

// ---------------------------------------------------------------- window commands

void CChatDlg::SetFramedHeight(int height)
{
    const int frameExtra = frameGeometry().height() - this->height();
    setFixedHeight(height - frameExtra);
}

void CChatDlg::Fold(int from, int to)
{
    // Left, top and width stay as they were at the start; one pixel a step.
    const QPoint topLeft = frameGeometry().topLeft();
    const int step = to > from ? 1 : -1;
    m_queue.Hold();
    for (int height = from;; height += step) {
        move(topLeft);
        SetFramedHeight(height);
        raise();
        show();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        if (height == to)
            break;
    }
    m_queue.Release();
}

void CChatDlg::OnHelp() { OpenHelp(QStringLiteral("Zoemlijn.hlp")); }

void CChatDlg::keyPressEvent(QKeyEvent* event)
{
    // Enter does not end the window; Esc does, as the close box does.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CChatDlg::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    // Minimised: to the tray instead of the taskbar. Without a notification
    // area the window stays minimised, where the taskbar still reaches it.
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) && !m_closing &&
        CPlatform::Instance().HasNotificationArea())
        QTimer::singleShot(0, this, &CChatDlg::MinimiseToTray);
}

void CChatDlg::MinimiseToTray()
{
    if (!(windowState() & Qt::WindowMinimized) || m_closing)
        return;
    if (!m_trayIcon) {
        m_trayIcon = new QSystemTrayIcon(m_hIcon, this);
        m_trayIcon->setObjectName(QStringLiteral("trayIcon"));
        m_trayIcon->setToolTip(QString::fromLatin1(kTrayTip));
        // The desktop shows the menu itself: natively where the tray is a
        // StatusNotifierItem host, on the right button in an XEmbed tray.
        // Clicks on the icon do nothing.
        m_trayIcon->setContextMenu(m_trayMenu);
    }
    m_trayIcon->show();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    hide();
    // Known by the time the first text comes.
    CTextNotifier::Prepare();
}

void CChatDlg::UpdateTrayBadge()
{
    if (m_trayIcon)
        m_trayBadge->ApplyTo(*m_trayIcon);
}

void CChatDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Seen: the count starts again at the next hiding.
    if (m_trayBadge->Count() > 0) {
        m_trayBadge->Reset();
        UpdateTrayBadge();
    }
}

void CChatDlg::OpenFromTray()
{
    show();
    raise();
    activateWindow();
}

bool CChatDlg::DialogOpen() const { return QApplication::activeModalWidget() != nullptr; }

bool CChatDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == windowHandle() && event->type() == QEvent::Expose && !m_framed &&
        frameGeometry().height() != height()) {
        windowHandle()->removeEventFilter(this);
        FitToFrame();
    }
    if (watched == m_ui->callListSearchEdit && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        HideSearch(); // Esc elsewhere still ends the window
        return true;
    }
    if (watched == m_ui->linkIcon && event->type() == QEvent::MouseButtonPress) {
        m_iconMenu->popup(m_ui->linkIcon->mapToGlobal(QPoint(0, m_ui->linkIcon->height())));
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void CChatDlg::OpenSettings()
{
    // Fresh pages at every opening: each reads its data anew.
    CMyPropertySheet sheet(this);
    sheet.exec();
}

void CChatDlg::OpenWizard()
{
    CWizardSheet wizard(this);
    wizard.exec();
}
