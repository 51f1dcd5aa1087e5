// The entry dialog of the phone-book page: number, name and one action with
// its file. The page keeps one of these for all its uses, so the fields
// remember their values from one opening to the next.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>
#include <optional>

class QButtonGroup;
class QPushButton;
namespace Ui { class CPhoneBookEntryDlg; }

class CPhoneBookEntryDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CPhoneBookEntryDlg(QWidget* parent = nullptr);
    ~CPhoneBookEntryDlg() override;

    // Index of the checked action button, or none.
    enum Action { NoAction = -1, WavFileAction = 0, ProgramAction = 1, MsAccessAction = 2, SilentAction = 3 };

    // Shows the dialog modally, its controls filled from the members; on OK
    // the controls have been taken over into the members.
    int DoModal();

    // Members to controls (false) or controls to members (true).
    void UpdateData(bool saveAndValidate);

    QPushButton* m_wavButton = nullptr;
    QString m_name;
    QString m_number;
    QString m_wavPath;
    int m_action = NoAction;
    QString m_programPath;
    QString m_mdbPath;

    void accept() override;

    void OnWavButton();
    void OnProgramButton();
    void OnMdbButton();

private:
    void OnInitDialog();
    // The Open dialog; the chosen file, or nothing when cancelled or when
    // its name holds what the phone book cannot store (then said so).
    std::optional<QString> PickFile(const char* defaultExtension, const char* initialName);

    class DigitsOnlyValidator;

    std::unique_ptr<Ui::CPhoneBookEntryDlg> m_ui;
    DigitsOnlyValidator* m_numberValidator = nullptr;
    QButtonGroup* m_actionGroup = nullptr;
};
