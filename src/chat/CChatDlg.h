// The main window: the last incoming call, the chat log, the text and
// number to send, and the call list. It owns the two CAPI links and is their
// owner: their notifications run here, one at a time.
#pragma once

#include "CallList.h"
#include "CapiLink.h"
#include "NotificationQueue.h"
#include "ReceivedText.h"
#include "SentTexts.h"
#include "TextHook.h"
#include "TextNotifier.h"

#include <QDialog>
#include <QIcon>

#include <memory>
#include <optional>

class CCallListFilter;
class CCallListSaver;
class CDriverCall;
class CTrayBadge;
class CZoemlijnService;
class QAction;
class QLineEdit;
class QMenu;
class QSystemTrayIcon;
class QPlainTextEdit;
class QPushButton;
class QToolBar;
class QTableView;

namespace Ui {
class CChatDlg;
}

class CChatDlg final : public QDialog, public ICapiOwner
{
    Q_OBJECT

public:
    // Runs the whole start-up: controls, toolbar, size and place, the call
    // list, then both links (with a message for every step that fails). The
    // link steps that wait for a slow driver go on from the event loop.
    explicit CChatDlg(QWidget* parent = nullptr);
    // The shutdown: saves the call list, stops and releases both links,
    // removes the tray icon.
    ~CChatDlg() override;

    // Runs the window modally until it ends. Unlike exec(), hiding the
    // window to the tray does not end the run.
    int DoModal();

    // ICapiOwner
    void OnCapiNotify(CCapiLink& link, unsigned code) override;
    void PostToOwner(std::function<void()> task) override;

    void OnSend();
    void OnSendTextChange();
    void AddCallRow(const QString& name, const QString& number);
    void ExportCallList();

    // The field exchange: all six strings to their controls, or back.
    void ShowFields();
    void TakeFields();

    // The show operation: visible again; a window that was minimised
    // instead of hidden (no notification area) is restored too.
    void ShowWindow();

    // Start-up still waits for the driver (it goes on from the event loop).
    bool IsStartingLinks() const { return m_pendingCall != nullptr; }
    CCallListModel& CallListModel() { return m_callListModel; }
    CCapiLink& ReceiveLink() { return m_receiveLink; }
    CCapiLink& SendLink() { return m_sendLink; }
    CNotificationQueue& Notifications() { return m_queue; }
    static int ChangeCount() { return s_changeCount; }
    static void ResetChangeCountForTesting() { s_changeCount = 0; }
    QSystemTrayIcon* TrayIcon() const { return m_trayIcon; }
    QMenu* TrayMenu() const { return m_trayMenu; }
    QMenu* IconMenu() const { return m_iconMenu; }
    CCallListSaver* CallListSaver() const { return m_callListSaver.get(); }
    CCallListFilter* CallListFilter() const { return m_callListFilter.get(); }
    const CTrayBadge& TrayBadge() const { return *m_trayBadge; }
    const CTextHook& TextHook() const { return m_textHook; }
    const CSentTexts& SentTexts() const { return m_sentTexts; }
    // What the window offers other programs, on the session bus where
    // there is one.
    CZoemlijnService& Service() { return *m_service; }

signals:
    // The tray menu's "About..." or the icon's "CCapi About ...": the
    // application shows its About box.
    void AboutRequested();

    // What the window does, for whoever passes it on (a bus, a log).
    // A received text is complete: shown, looked up, its caller's action
    // run, listed.
    void TextReceived(const ReceivedText& text);
    // The sending link took a text; its "Verz: " line is in the log.
    void TextSent(const QString& number, const QString& text);
    // The network cleared the call that carried a sent text; `reason` is
    // the DISCONNECT_IND's.
    void TextCleared(const QString& number, const QString& text, quint16 reason);
    // The CAPI link went down, or is back.
    void LinkStateChanged(bool up);

protected:
    void done(int result) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void OnInitDialog();
    void ShowLog();
    bool CreateToolBar();
    void FitToolBar();
    void PlaceWindow();
    void FitToFrame();
    void SetupCallList();
    void StartLinks();
    // Runs `then` with `call` once the driver has answered it or its bound
    // has passed; in the meantime the event loop runs.
    void Await(const std::shared_ptr<CDriverCall>& call, std::function<void(CDriverCall&)> then);
    void IncomingCall();
    // After the incoming-call steps: the text goes to the hook, to the
    // notification and to TextReceived.
    void TextComplete(const ReceivedText& text);
    // Hidden in the tray with notifications on and a service to take them:
    // texts are announced there, and link activity leaves the window hidden.
    bool Announcing() const;
    void InsertCallRow(const QString& name, const QString& number, const QDateTime& when);
    // The sending link's confirmations and clearings, for delivery reports.
    void TrackSentTexts(CCapiLink& link, unsigned code);
    void ReportDelivery(const CSentTexts::Text& sent, uint16_t reason);
    void UpdateTrayBadge();
    // The connect request of a send, and the text the window shows when it
    // is not made; the button and the service share it.
    std::optional<QString> PlaceCall(const QString& number, const QString& text);
    // The 4000 ms after a send: the button greyed, nothing handled.
    void PauseAfterSend();
    // A send from the service: the button's steps and pause, but a refusal
    // goes back to the caller instead of into a message box, and the
    // fields the user is typing in stay as they are.
    std::optional<QString> SendFromService(const QString& number, const QString& text);
    // Both links registered, running and connected.
    void UpdateServiceLinkUp();
    void RunCallerAction(const QString& action, const QString& path);
    void ShowCallListMenu(const QPoint& pos);
    // The topmost selected row, as a row of the whole list.
    int FirstSelectedRow() const;
    // Ctrl+F: the search field above the call list; Esc in it: gone again.
    void ShowSearch();
    void HideSearch();
    void SetCallListModel(QAbstractItemModel* model);
    void DeleteSelectedRow();
    void SelectedRowToPhoneBook();
    void DeleteAllRows();
    void UpdateLinkIcon();
    void SetFramedHeight(int height);
    void Fold(int from, int to);
    void OnHelp();
    void MinimiseToTray();
    // A modal dialog of the program is open.
    bool DialogOpen() const;
    void OpenFromTray();
    void OpenSettings();
    void OpenWizard();
    // Waits for `start` to call its argument, with the notifications held and
    // without taking user input meanwhile (as the window that blocked did).
    void WaitHolding(const std::function<void(std::function<void()>)>& start);
    void Message(const QString& text);

    std::unique_ptr<Ui::CChatDlg> m_ui;
    CCapiLink m_receiveLink;
    QToolBar* m_toolBar = nullptr;
    QPlainTextEdit* m_receivedEdit;
    QLineEdit* m_sendTextEdit;
    QTableView* m_callList;
    QPushButton* m_sendButton;
    // The six strings; the controls show them only after ShowFields.
    QString m_callTypeText;     // 1009
    QString m_calledNumberText; // 1010
    QString m_callerText;       // 1011
    QString m_sendText;         // 1012
    QString m_receivedText;     // 1015
    QString m_phoneNumber;      // 1038
    // What the log control was last given, and whether the user has changed
    // it since; saves reading the whole log back at every text.
    qsizetype m_logShownSize = 0;
    bool m_logEdited = true;
    bool m_settingLog = false;
    CCapiLink m_sendLink;
    QIcon m_hIcon;

    CCallListModel m_callListModel;
    QAction* m_deleteRowAction;
    QAction* m_toPhoneBookAction;
    QAction* m_deleteAllAction;
    CNotificationQueue m_queue;
    // Added at the first minimise, kept until shutdown.
    QSystemTrayIcon* m_trayIcon = nullptr;
    QMenu* m_trayMenu = nullptr;
    QMenu* m_iconMenu = nullptr;
    // The texts missed while hidden in the tray with notifications on.
    std::unique_ptr<CTrayBadge> m_trayBadge;
    CTextNotifier m_notifier;
    CTextHook m_textHook;
    CSentTexts m_sentTexts;
    std::unique_ptr<CZoemlijnService> m_service;
    bool m_sendPausing = false; // in the pause after a send
    int m_holding = 0;          // WaitHolding runs (nested)
    // Writes "bellijst.dat" at every change and at shutdown; none when the
    // stored list could not be read, so that it is never written over.
    std::unique_ptr<CCallListSaver> m_callListSaver;
    // While the search field shows: what the list shows, and where the list
    // stood before the field took its top.
    std::unique_ptr<CCallListFilter> m_callListFilter;
    QRect m_callListPlace;
    // The call of a caller whose entry says "Stil": its notifications leave
    // the window where it is until the call is cleared.
    enum class SilentCall { None, Ringing, Cleared };
    SilentCall m_silentCall = SilentCall::None;
    bool m_linksStarted = false;
    // The window's full height before folding, and whether the window
    // manager's frame was there when the window was placed.
    int m_fullHeight = 0;
    bool m_framed = false;
    // The driver call start-up waits for; given up at shutdown.
    std::shared_ptr<CDriverCall> m_pendingCall;
    bool m_closing = false;

    // Counts the changes of the text to send, for the whole process.
    static int s_changeCount;
};
