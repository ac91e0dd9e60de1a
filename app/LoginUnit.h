// The login window: the launcher's one main window.
#pragma once

#include "db/SqlConnection.h"

#include <QWidget>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

class QComboBox;
class QFont;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class TFormStorage;

// The window's face, 宋体 or the Ming face standing in for it, at the given pixel size.
QFont songti(int pixels);

class TLoginForm : public QWidget {
    Q_OBJECT
    // As designed: centred on the screen, with a dialog border.
    Q_PROPERTY(QString Position MEMBER Position)
    Q_PROPERTY(QString BorderStyle MEMBER BorderStyle)
public:
    explicit TLoginForm(QWidget *parent = nullptr);
    ~TLoginForm() override;

    // Components, with their designer names.
    QLabel *Image1;
    QLabel *Lab_Date;
    QLabel *Label1;
    QLabel *Label12;
    QLabel *Label15;
    QComboBox *ComboBoxCzy;
    QLineEdit *MaskEditPwd;
    QPushButton *BitBtnOk;
    QPushButton *BitBtnCanCel;
    QPushButton *BtnCon;
    QTabWidget *PageControl_Data;
    QWidget *TabSheet1;
    QWidget *TabSheet2;
    QLabel *Image2;
    QLabel *Image3;
    QLineEdit *ServerName;
    QLineEdit *DataBaseName;
    QLineEdit *UserName;
    QLineEdit *PassWord;
    QLineEdit *Edit_Nxdb;
    QPushButton *BtnTEST;
    QLineEdit *ServerIPName;
    QLineEdit *VPNUserName;
    QLineEdit *VPNPassWord;
    QPushButton *Button1;
    SqlConnection ADOConnectionPUB;
    SqlConnection NxADOConnectionPub;
    SqlQuery ADO_Temp;
    TFormStorage *FormStorage1;

    // The VPN connection's handle; 0 until a dial.
    uint32_t RasConnHandle = 0;

    // "poScreenCenter": centred after the show handler; a stored position switches it to
    // "poDesigned" for the run.
    QString Position = QStringLiteral("poScreenCenter");
    QString BorderStyle = QStringLiteral("bsDialog");

    // The window's own handlers of its show, close request and destruction, which the
    // settings keeper puts itself in front of.
    std::function<void()> OnShow;
    std::function<bool()> OnCloseQuery;
    std::function<void()> OnDestroy;

    // The window's outer height, its frame included.
    int outerHeight() const;

    // Event handlers.
    void FormCreate();
    void FormShow();
    bool FormCloseQuery();
    void FormClose();
    void BitBtnOkClick();
    void BitBtnCanCelClick();
    void MaskEditPwdEnter();
    void BtnConClick();
    void BtnTESTClick();
    void Button1Click();
    bool VpnEntryExists();
    void CreateVpnEntry();
    void DialVpn();

    bool ConnectPubDatabase();
    bool ConnectNxDatabase();

    // The version check and hand-off after a successful login.
    void CheckVersionAndLaunch();
    int32_t ReadLocalVersion();
    void WriteLocalVersion(int32_t version);
    // The version of the row the installed program was checked against.
    int32_t RunUpgrade();
    void ResetMainAppSettings();

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The VPN page's three fields as the service takes them; throws when one is too long.
    struct VpnFields vpnInput() const;
    void setOuterHeight(int height);
    void centre();
    // Connects those of the two connections that are not open; true when both are.
    bool ConnectClosedDatabases();
    // Opens ADO_Temp on the operator lookup, the version check's query in the same request.
    void OpenLookup();
    // BVersion.Version as read with the lookup of this press, or asked now.
    int32_t ServerVersion();
    struct VersionAhead {
        int32_t version;
        std::exception_ptr failure; // the query's failure, thrown when the version is wanted
    };
    std::optional<VersionAhead> versionAhead;
    bool shown = false;
    bool upgrading = false;
    QString checkedOperator; // the name the last successful lookup accepted
    int wantedOuterHeight = 280;
};
