#include "LoginUnit.h"

#include "Dialogs.h"
#include "SiteDefaults.h"
#include "core/Application.h"
#include "core/Exceptions.h"
#include "settings/FormStorage.h"
#include "db/Connect.h"
#include "platform/WindowSystem.h"
#include "ras/VpnEntry.h"
#include "upgrade/PublishedProgram.h"
#include "upgrade/VersionCheck.h"
#include "upgrade/VersionFile.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QIcon>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QTabWidget>
#include <QTimer>
#include <QWindow>

#include <algorithm>

// The pictures live in the static library's resources, which need loading by hand.
static void loadPictures()
{
    static const bool loaded = [] { Q_INIT_RESOURCE(resources); return true; }();
    Q_UNUSED(loaded);
}

QFont songti(int pixels)
{
    const SongtiFaces faces = songtiFaces();
    QFont f = designFace(faces.bitmapped + faces.fallbacks, pixels);
    // These faces carry bitmaps of the design's sizes, as 宋体 is drawn on Windows; Qt draws
    // them only without antialiasing. Their outlines would also have FreeType's autohinter
    // survey every character of the face before the first label could be measured.
    if (faces.bitmapped.contains(f.families().value(0), Qt::CaseInsensitive))
        f.setStyleStrategy(QFont::NoAntialias);
    return f;
}

namespace {

constexpr int kClientWidth = 383;
constexpr int kClientHeight = 475;

QLabel *label(QWidget *parent, const QString &objectName, const QString &caption, int left, int top)
{
    auto *l = new QLabel(caption, parent);
    l->setObjectName(objectName);
    l->move(left, top);
    l->adjustSize();
    l->setAttribute(Qt::WA_TranslucentBackground);
    return l;
}

// Lines at a fixed pitch, whichever font draws them: five lines of 12 pixels in 60 for
// the support label. Plain text, so no rich-text document is built and laid out for it.
class LinesLabel : public QLabel {
public:
    LinesLabel(const QStringList &lines, int pitch, QWidget *parent)
        : QLabel(lines.join(u'\n'), parent), lines(lines), pitch(pitch)
    {
        setTextFormat(Qt::PlainText);
        setAttribute(Qt::WA_TranslucentBackground);
    }

    QSize sizeHint() const override
    {
        int width = 0;
        for (const QString &line : lines)
            width = std::max(width, fontMetrics().horizontalAdvance(line));
        return QSize(width, heightForWidth(width));
    }
    QSize minimumSizeHint() const override { return sizeHint(); }
    int heightForWidth(int) const override { return int(lines.size()) * pitch; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setPen(palette().color(foregroundRole()));
        // Each line's baseline where a 12-pixel line box puts it: the font's ascent
        // from its top, less what the font's line is taller than the pitch.
        const QFontMetrics m = fontMetrics();
        int baseline = m.ascent() - std::max(0, m.height() - pitch) / 2;
        for (const QString &line : lines) {
            painter.drawText(0, baseline, line);
            baseline += pitch;
        }
    }

private:
    QStringList lines;
    int pitch;
};

// A picture decoded when it is first painted: decoding it while the window is built would
// only delay the window's appearance, and the pages' pictures may never be seen.
class Picture : public QLabel {
public:
    Picture(QWidget *parent, const QString &resource) : QLabel(parent), resource(resource) {}

protected:
    void paintEvent(QPaintEvent *event) override
    {
        if (!resource.isEmpty()) {
            setPixmap(QPixmap(resource).scaled(size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
            resource.clear();
        }
        // Drawn as it is while the window is disabled too (during an upgrade): a label
        // would grey its picture out, turning the whole window grey.
        QPainter painter(this);
        painter.setClipRegion(event->region());
        painter.drawPixmap(0, 0, pixmap());
    }

private:
    QString resource;
};

// The window's icon in the sizes window managers and task switchers draw; the menu's
// larger sizes come from the installed theme. Each is read as PNG by name: QIcon::addFile probes
// the content with every image plugin, loading the GIF, ICO and JPEG plugins and their
// libraries first.
QIcon programIcon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QImageReader reader(QStringLiteral(":/icons/vesk-%1.png").arg(size), "png");
        reader.setAutoDetectImageFormat(false);
        icon.addPixmap(QPixmap::fromImage(reader.read()));
    }
    return icon;
}

QLabel *picture(QWidget *parent, const QString &objectName, const QString &resource, const QSize &size)
{
    auto *p = new Picture(parent, resource);
    p->setObjectName(objectName);
    p->setGeometry(QRect(QPoint(0, 0), size));
    p->lower();
    return p;
}

QLineEdit *edit(QWidget *parent, const QString &objectName, const QString &text, int left, int top,
                bool password = false, int width = 121)
{
    auto *e = new QLineEdit(text, parent);
    e->setObjectName(objectName);
    e->setGeometry(left, top, width, 20);
    if (password) {
        e->setEchoMode(QLineEdit::Password);
        e->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    }
    return e;
}

QPushButton *button(QWidget *parent, const QString &objectName, const QString &caption, const QRect &geometry)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(objectName);
    b->setGeometry(geometry);
    b->setAutoDefault(false);
    return b;
}

void setBlue(QLabel *l)
{
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, Qt::blue);
    l->setPalette(p);
}

} // namespace

TLoginForm::TLoginForm(QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint),
      ADOConnectionPUB(QStringLiteral("ADOConnectionPUB")),
      NxADOConnectionPub(QStringLiteral("NxADOConnectionPub")),
      ADO_Temp(ADOConnectionPUB)
{
    loadPictures();
    setObjectName(QStringLiteral("LoginForm"));
    setWindowTitle(QStringLiteral("Orvan企业资源管理系统内外销软件"));
    // The icon is not needed to show the window: it is read once the message loop runs.
    QTimer::singleShot(0, this, [this] { setWindowIcon(programIcon()); });
    setFont(songti(12));
    setFixedSize(kClientWidth, kClientHeight);

    Image1 = picture(this, QStringLiteral("Image1"), QStringLiteral(":/images/login.jpg"),
                     QSize(kClientWidth, kClientHeight));

    Lab_Date = label(this, QStringLiteral("Lab_Date"), QStringLiteral("(2010-11-09发布)"), 112, 56);
    Lab_Date->setFont(songti(14));
    Lab_Date->setGeometry(112, 56, 112, 14);
    setBlue(Lab_Date);
    Label1 = label(this, QStringLiteral("Label1"), QStringLiteral("用户名："), 110, 82);
    Label12 = label(this, QStringLiteral("Label12"), QStringLiteral("密码："), 110, 133);
    Label15 = new LinesLabel({QStringLiteral("技术支持：周工程师"), QStringLiteral("办公电话：0571-8800-0000"),
                              QStringLiteral("移动电话：139-0000-0000"), QStringLiteral("QQ：800000000"),
                              QStringLiteral("微信：vesk-support")},
                             12, this);
    Label15->setObjectName(QStringLiteral("Label15"));
    Label15->setGeometry(110, 180, 198, 60);
    setBlue(Label15);

    ComboBoxCzy = new QComboBox(this);
    ComboBoxCzy->setObjectName(QStringLiteral("ComboBoxCzy"));
    ComboBoxCzy->setEditable(true);
    ComboBoxCzy->setInsertPolicy(QComboBox::NoInsert);
    ComboBoxCzy->setMaxVisibleItems(12);
    // Completion must not change the letter case of the name being typed.
    ComboBoxCzy->completer()->setCaseSensitivity(Qt::CaseSensitive);
    ComboBoxCzy->setGeometry(110, 95, 167, 20);
    ComboBoxCzy->setEditText(QStringLiteral(VESK_OPERATOR));

    MaskEditPwd = edit(this, QStringLiteral("MaskEditPwd"), QStringLiteral(VESK_OPERATOR_PASSWORD), 110, 149, true, 167);
    MaskEditPwd->installEventFilter(this);

    BitBtnOk = button(this, QStringLiteral("BitBtnOk"), QStringLiteral("登录(&O)"), QRect(289, 79, 75, 22));
    BitBtnOk->setDefault(true);
    BitBtnCanCel = button(this, QStringLiteral("BitBtnCanCel"), QStringLiteral("取消(&C)"), QRect(289, 113, 75, 22));
    BtnCon = button(this, QStringLiteral("BtnCon"), QStringLiteral("连接配置>>"), QRect(289, 147, 75, 22));
    BtnCon->setVisible(false);

    PageControl_Data = new QTabWidget(this);
    PageControl_Data->setObjectName(QStringLiteral("PageControl_Data"));
    PageControl_Data->setGeometry(0, 247, 383, 228);
    TabSheet1 = new QWidget;
    TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
    TabSheet2 = new QWidget;
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    PageControl_Data->addTab(TabSheet1, QStringLiteral("数据库连接"));
    PageControl_Data->addTab(TabSheet2, QStringLiteral("VPN连接"));
    const QSize pageSize = PageControl_Data->contentsRect().size() - QSize(4, 24);

    // Page 1: the database connection.
    Image2 = picture(TabSheet1, QStringLiteral("Image2"), QStringLiteral(":/images/database.jpg"), pageSize);
    label(TabSheet1, QStringLiteral("Label2"), QStringLiteral("------------数据库连接属性-----------"), 49, 11);
    label(TabSheet1, QStringLiteral("Label3"), QStringLiteral("数据库服务器："), 51, 44);
    label(TabSheet1, QStringLiteral("Label4"), QStringLiteral("数   据   库："), 51, 76);
    label(TabSheet1, QStringLiteral("Label5"), QStringLiteral("数据库用户名："), 51, 100);
    label(TabSheet1, QStringLiteral("Label6"), QStringLiteral("密        码："), 51, 134);
    label(TabSheet1, QStringLiteral("Label7"), QStringLiteral("内销数据库："), 51, 172);
    ServerName = edit(TabSheet1, QStringLiteral("ServerName"), QStringLiteral(VESK_SERVER_NAME), 143, 41);
    DataBaseName = edit(TabSheet1, QStringLiteral("DataBaseName"), QStringLiteral("VeskDB"), 143, 73);
    UserName = edit(TabSheet1, QStringLiteral("UserName"), QStringLiteral("VeskLogin"), 143, 97);
    PassWord = edit(TabSheet1, QStringLiteral("PassWord"), QStringLiteral(VESK_DB_PASSWORD), 143, 129, true);
    Edit_Nxdb = edit(TabSheet1, QStringLiteral("Edit_Nxdb"), QStringLiteral("Voruvidi"), 143, 169);
    BtnTEST = button(TabSheet1, QStringLiteral("BtnTEST"), QStringLiteral("连接测试(&T)"), QRect(283, 30, 75, 25));

    // Page 2: the VPN connection.
    Image3 = picture(TabSheet2, QStringLiteral("Image3"), QStringLiteral(":/images/vpn.jpg"), pageSize);
    label(TabSheet2, QStringLiteral("Label8"), QStringLiteral("------------VPN连接属性-----------"), 37, 14);
    label(TabSheet2, QStringLiteral("Label9"), QStringLiteral("服务器IP地址："), 41, 46);
    label(TabSheet2, QStringLiteral("Label10"), QStringLiteral("VPN用 户 名："), 42, 89);
    label(TabSheet2, QStringLiteral("Label11"), QStringLiteral("VPN密    码："), 40, 128);
    ServerIPName = edit(TabSheet2, QStringLiteral("ServerIPName"), QStringLiteral(VESK_VPN_HOST), 123, 44);
    VPNUserName = edit(TabSheet2, QStringLiteral("VPNUserName"), QStringLiteral(VESK_VPN_USER), 123, 83);
    VPNPassWord = edit(TabSheet2, QStringLiteral("VPNPassWord"), QStringLiteral(VESK_VPN_PASSWORD), 123, 122, true);
    Button1 = button(TabSheet2, QStringLiteral("Button1"), QStringLiteral("连接测试(&T)"), QRect(283, 30, 75, 25));

    // Tab order: the window's controls, then each page's, bottom to top on page 1.
    QWidget *order[] = {ComboBoxCzy, MaskEditPwd, BitBtnOk, BitBtnCanCel, BtnCon, PageControl_Data,
                        Edit_Nxdb, PassWord, UserName, DataBaseName, ServerName, BtnTEST,
                        ServerIPName, VPNUserName, VPNPassWord, Button1};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);

    auto on = [this](QPushButton *b, void (TLoginForm::*handler)()) {
        connect(b, &QPushButton::clicked, this, [this, handler] { runHandler([&] { (this->*handler)(); }); });
    };
    on(BitBtnOk, &TLoginForm::BitBtnOkClick);
    on(BitBtnCanCel, &TLoginForm::BitBtnCanCelClick);
    on(BtnCon, &TLoginForm::BtnConClick);
    on(BtnTEST, &TLoginForm::BtnTESTClick);
    on(Button1, &TLoginForm::Button1Click);

    OnShow = [this] { FormShow(); };
    OnCloseQuery = [this] { return FormCloseQuery(); };

    FormStorage1 = new TFormStorage(this);
    FormStorage1->Options = TFormStorage::fpState | TFormStorage::fpPosition | TFormStorage::fpActiveControl;
    FormStorage1->UseRegistry = true;
    FormStorage1->StoredProps = {QStringLiteral("ComboBoxCzy.Text"), QStringLiteral("ComboBoxCzy.Items"),
                                 QStringLiteral("VPNPassWord.Text"), QStringLiteral("VPNUserName.Text"),
                                 QStringLiteral("ServerIPName.Text"), QStringLiteral("ServerName.Text"),
                                 QStringLiteral("PassWord.Text")};
    FormStorage1->Hook({&OnShow, &OnCloseQuery, &OnDestroy});

    FormCreate();
}

TLoginForm::~TLoginForm()
{
    runHandler([this] {
        if (OnDestroy)
            OnDestroy();
    });
}

int TLoginForm::outerHeight() const
{
    return frameRect(this).height();
}

void TLoginForm::setOuterHeight(int height)
{
    wantedOuterHeight = height;
    // The frame is the window system's; where it is known only once the window is
    // mapped, the height is set again then (see showEvent).
    const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    setFixedSize(kClientWidth, height - frame.top() - frame.bottom());
}

void TLoginForm::FormCreate()
{
    winId(); // the native window exists from creation on, as its frame does
    setOuterHeight(280);
}

void TLoginForm::FormShow()
{
    PageControl_Data->setCurrentIndex(0);
    // Only the page itself: its tab stays on the strip, selected, over an empty area.
    TabSheet1->setVisible(false);
}

bool TLoginForm::FormCloseQuery()
{
    // During an upgrade the window must stay: the reassembly still uses it.
    return !upgrading;
}

void TLoginForm::FormClose()
{
    // The main window is closing: that ends the program. Its owner destroys it after the loop.
    requestApplicationEnd();
}

void TLoginForm::BitBtnOkClick()
{
    if (upgrading)
        return;
    const QString failed = QStringLiteral("数据库连接失败,请确定数据库配置信息正确后重试！");
    const bool reused = ADOConnectionPUB.connected();
    if (!ConnectClosedDatabases()) {
        ShowNotice(failed);
        return;
    }
    const QString name = ComboBoxCzy->currentText();
    if (name.isEmpty())
        return;
    checkedOperator = name;
    auto forget = qScopeGuard([this] { versionAhead.reset(); });

    // The name travels as one Unicode literal in the statement's text: a parameter would be
    // converted to the server's code page first, which cannot hold every name.
    ADO_Temp.close();
    ADO_Temp.SQL.clear();
    ADO_Temp.SQL.append(QStringLiteral(
        " Select *,ServerDate=GetDate(),FromDate=(Getdate()-day(getdate())+1),\tToDate=DATEADD(mm,1,Getdate())"
        "-day(getdate()), YYYY=Year(Getdate()),MM=Month(Getdate()),DD=Day(Getdate()) \tFrom aUser where UserID=")
        + unicodeLiteral(name));
    try {
        OpenLookup();
    } catch (const Exception &) {
        // A connection kept from an earlier press whose link has gone since (the server was
        // restarted, say) is made again, and the lookup asked once more on it.
        if (!reused || !ADOConnectionPUB.broken())
            throw;
        NxADOConnectionPub.close();
        if (!ConnectClosedDatabases()) {
            ShowNotice(failed);
            return;
        }
        OpenLookup();
    }
    if (ADO_Temp.eof()) {
        ShowNotice(QStringLiteral("用户名 ") + name + QStringLiteral(" 不存在, 请重新输入"));
        ComboBoxCzy->setFocus();
        return;
    }
    // A NULL password reads as the empty text.
    if (MaskEditPwd->text() != ADO_Temp.fieldByName(QStringLiteral("PassWord")).toString()) {
        ShowNotice(QStringLiteral("您输入的密码不正确, 请重新输入"));
        MaskEditPwd->setFocus();
        MaskEditPwd->selectAll();
        return;
    }

    const int known = ComboBoxCzy->findText(name, Qt::MatchFixedString); // ignores letter case
    if (known >= 0)
        ComboBoxCzy->removeItem(known);
    ComboBoxCzy->insertItem(0, name);
    ComboBoxCzy->setCurrentIndex(0);
    ComboBoxCzy->setEditText(name);

    CheckVersionAndLaunch();
    requestApplicationEnd();
}

void TLoginForm::BitBtnCanCelClick()
{
    requestApplicationEnd();
}

void TLoginForm::MaskEditPwdEnter()
{
    MaskEditPwd->selectAll();
}

void TLoginForm::BtnConClick()
{
    if (BtnCon->text() == QStringLiteral("连接配置>>")) {
        setOuterHeight(420);
        BtnCon->setText(QStringLiteral("<<连接配置"));
    } else {
        setOuterHeight(230);
        BtnCon->setText(QStringLiteral("连接配置>>"));
    }
}

void TLoginForm::Button1Click()
{
    // Text longer than its field is refused here, before anything is asked of the service.
    vpnInput();
    if (!VpnEntryExists())
        CreateVpnEntry();
    DialVpn();
}

VpnFields TLoginForm::vpnInput() const
{
    return vpnFields(ServerIPName->text(), VPNUserName->text(), VPNPassWord->text());
}

bool TLoginForm::VpnEntryExists()
{
    return vpnEntryExists();
}

void TLoginForm::CreateVpnEntry()
{
    createVpnEntry(RasConnHandle, vpnInput().server);
}

void TLoginForm::DialVpn()
{
    const VpnFields fields = vpnInput();
    ShowNotice(dialVpn(RasConnHandle, fields.user, fields.password) ? QStringLiteral("VPN连接成功")
                                                                      : QStringLiteral("VPN连接失败"));
}

bool TLoginForm::ConnectPubDatabase()
{
    return connectDatabase(ADOConnectionPUB, {ServerName->text(), DataBaseName->text()}, UserName->text(),
                           PassWord->text());
}

bool TLoginForm::ConnectNxDatabase()
{
    return connectDatabase(NxADOConnectionPub, {ServerName->text(), Edit_Nxdb->text()}, UserName->text(),
                           PassWord->text());
}

bool TLoginForm::ConnectClosedDatabases()
{
    // Both at once, their logins overlapping; the outcome is read as if one had been made
    // after the other: the public database's failure first, and no second after it.
    std::vector<ConnectRequest> requests;
    if (!ADOConnectionPUB.connected())
        requests.push_back({&ADOConnectionPUB, {ServerName->text(), DataBaseName->text()}});
    if (!NxADOConnectionPub.connected())
        requests.push_back({&NxADOConnectionPub, {ServerName->text(), Edit_Nxdb->text()}});
    const std::vector<bool> open = connectDatabases(requests, UserName->text(), PassWord->text());
    return std::find(open.begin(), open.end(), false) == open.end();
}

void TLoginForm::OpenLookup()
{
    // The version check's query only reads: it travels with the lookup, one round trip
    // for both, and its result or failure waits for the check.
    SqlQuery version(ADOConnectionPUB);
    version.SQL = QStringList{QLatin1String(kPublishedStatement)};
    const std::optional<QString> failure = ADO_Temp.openWith(version);
    try {
        if (failure)
            throw Exception(*failure);
        versionAhead = VersionAhead{version.eof() ? 0 : version.fieldByName(QStringLiteral("Version")).toInt(), {}};
    } catch (const Exception &) {
        versionAhead = VersionAhead{0, std::current_exception()};
    }
}

int32_t TLoginForm::ServerVersion()
{
    if (!versionAhead)
        return readServerVersion(ADOConnectionPUB);
    const VersionAhead ahead = *versionAhead;
    versionAhead.reset();
    if (ahead.failure)
        std::rethrow_exception(ahead.failure);
    return ahead.version;
}

void TLoginForm::BtnTESTClick()
{
    ShowNotice(ConnectPubDatabase() ? QStringLiteral("数据库连接成功！") : QStringLiteral("数据库连接失败！"));
}

void TLoginForm::CheckVersionAndLaunch()
{
    const int32_t local = ReadLocalVersion();
    int32_t server = ServerVersion();
    if (upgradeNeeded(local, server)) {
        // A publish between the two reads installs the newer program: record its version.
        server = RunUpgrade();
        ResetMainAppSettings();
    }
    if (server != 0)
        WriteLocalVersion(server);
    // The name that was checked, whatever the field shows by now.
    launchMainProgram(checkedOperator, RasConnHandle);
}

int32_t TLoginForm::ReadLocalVersion()
{
    return readVersionFile(programDirectory());
}

void TLoginForm::WriteLocalVersion(int32_t version)
{
    writeVersionFile(programDirectory(), version);
}

int32_t TLoginForm::RunUpgrade()
{
    // While the download runs, the progress window is the one window that answers: a
    // second login, the connection test or the end of the program would pull the
    // connection or the window away from under the reassembly.
    const QPointer<QWidget> focused = focusWidget();
    upgrading = true;
    setEnabled(false);
    auto done = qScopeGuard([this, focused] {
        upgrading = false;
        setEnabled(true);
        if (focused)
            focused->setFocus();
    });
    return runUpgrade(ADOConnectionPUB, ShowNotice);
}

void TLoginForm::ResetMainAppSettings()
{
    resetMainAppSettings();
}

void TLoginForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (shown || event->spontaneous())
        return;
    shown = true;
    runHandler([this] {
        if (OnShow)
            OnShow();
    });
    setOuterHeight(wantedOuterHeight);
    // A window manager reports the frame some time after the window is mapped, and
    // tells no widget event about it: look again for a moment.
    auto *frameWatch = new QTimer(this);
    frameWatch->setInterval(50);
    connect(frameWatch, &QTimer::timeout, this, [this, frameWatch, tries = 0]() mutable {
        // A window started minimised is left as it is: a change of its geometry would have
        // the window manager show it. Its height is set when it is restored.
        if (outerHeight() != wantedOuterHeight && !keepsGeometry(this)) {
            setOuterHeight(wantedOuterHeight);
            centre();
        }
        if (++tries >= 40 || (windowHandle() && !windowHandle()->frameMargins().isNull()))
            frameWatch->deleteLater();
    });
    frameWatch->start();
    centre();
}

void TLoginForm::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || isMinimized()
        || !static_cast<QWindowStateChangeEvent *>(event)->oldState().testFlag(Qt::WindowMinimized))
        return;
    restoredFromMinimised(this);
    if (outerHeight() != wantedOuterHeight)
        setOuterHeight(wantedOuterHeight);
}

void TLoginForm::centre()
{
    if (Position == QLatin1String("poScreenCenter"))
        centreOnScreen(this);
}

void TLoginForm::closeEvent(QCloseEvent *event)
{
    bool mayClose = true;
    runHandler([&] { mayClose = !OnCloseQuery || OnCloseQuery(); });
    if (!mayClose) {
        event->ignore();
        return;
    }
    runHandler([this] { FormClose(); });
    event->accept();
}

void TLoginForm::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Enter presses the focused button, or else the default one.
        if (auto *focused = qobject_cast<QPushButton *>(focusWidget()))
            focused->click();
        else
            BitBtnOk->click();
        return;
    case Qt::Key_Escape:
        return; // the window has no cancel button
    default:
        QWidget::keyPressEvent(event);
    }
}

bool TLoginForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == MaskEditPwd) {
        if (event->type() == QEvent::MouseButtonRelease)
            runHandler([this] { MaskEditPwdEnter(); });
        else if (event->type() == QEvent::FocusIn)
            // After the edit's own focus handling, which may place the cursor.
            QTimer::singleShot(0, MaskEditPwd, [this] { runHandler([this] { MaskEditPwdEnter(); }); });
    }
    return QWidget::eventFilter(watched, event);
}
