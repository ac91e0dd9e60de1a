// The login window: the launcher's one main window.
#pragma once

#include "db/SqlConnection.h"

#include <QWidget>
#include <cstdint>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

class TLoginForm : public QWidget {
    Q_OBJECT
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

    // The VPN connection's handle; 0 until a dial.
    uint32_t RasConnHandle = 0;

    // Centred on the screen after the show handler, unless a stored position applies.
    bool centreOnScreen = true;

    // The window's outer height, its frame included.
    int outerHeight() const;

    // Event handlers.
    void FormCreate();
    void FormShow();
    void FormClose();
    void BitBtnOkClick();
    void BitBtnCanCelClick();
    void MaskEditPwdEnter();
    void BtnConClick();
    void BtnTESTClick();
    void Button1Click();

    bool ConnectPubDatabase();
    bool ConnectNxDatabase();

    // The version check and hand-off after a successful login.
    void CheckVersionAndLaunch();
    int32_t ReadLocalVersion();
    void WriteLocalVersion(int32_t version);
    void RunUpgrade();
    void ResetMainAppSettings();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setOuterHeight(int height);
    void centre();
    bool shown = false;
    bool upgrading = false;
    QString checkedOperator; // the name the last successful lookup accepted
    int wantedOuterHeight = 280;
};
