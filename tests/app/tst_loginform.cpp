// The login window under Qt's offscreen platform: layout state, keys, handlers, boxes.
#include "core/Exceptions.h"
#include "LoginUnit.h"
#include "AppEnd.h"
#include "FreshSettings.h"
#include "RecordingDialogs.h"
#include "TestServer.h"
#include "platform/WindowSystem.h"

#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QSqlDatabase>
#include <QFontDatabase>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <memory>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>
#include <optional>

namespace {

// The name of the control that has the focus; the tab strip stands for its tab control.
QString focusName(QWidget *window)
{
    QWidget *w = window->focusWidget();
    if (!w)
        return QStringLiteral("(none)");
    if (qobject_cast<QTabBar *>(w))
        w = w->parentWidget();
    return w->objectName();
}

QStringList tabWalk(TLoginForm &form, int steps)
{
    QStringList seen;
    for (int i = 0; i < steps; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen << focusName(&form);
    }
    return seen;
}

struct ShownForm {
    QPointer<TLoginForm> form = new TLoginForm;
    ShownForm()
    {
        // Nothing listens there: a login pressed by a test fails at once.
        form->ServerName->setText(QStringLiteral("127.0.0.1,%1").arg(closedPort()));
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
        form->ComboBoxCzy->setFocus();
    }
    ~ShownForm() { delete form; }
};

// The first face of 宋体's with bitmaps that the machine has; empty when none.
QString installedBitmappedFace()
{
    const QStringList installed = QFontDatabase::families();
    for (const QString &face : songtiFaces().bitmapped)
        if (installed.contains(face, Qt::CaseInsensitive))
            return face;
    return QString();
}

// Text in black on white, as the window's fonts draw it.
QImage drawnText(const QFont &font, const QString &text, QSize size, QPoint baseline)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setFont(font);
    p.setPen(Qt::black);
    p.drawText(baseline, text);
    return image;
}

} // namespace

class TestLoginForm : public QObject {
    Q_OBJECT

private slots:
    void init() { settings.emplace(); }
    void cleanup() { settings.reset(); }
    void initialState();
    void startLoadsNoDatabaseDriver();
    void textsFitTheirBoxes();
    void windowIcon();
    void picturesKeepTheirColoursWhileDisabled();
    void mingTextDrawnFromBitmaps();
    void digitsDrawnWhole_data();
    void digitsDrawnWhole();
    void designFontStartsAtAnInstalledFamily_data();
    void designFontStartsAtAnInstalledFamily();
    void tabOrder_data();
    void tabOrder();
    void enterPressesOk_data();
    void enterPressesOk();
    void escapeDoesNothing();
    void passwordIsSelectedOnClickAndFocus();
    void connectionButtonTogglesHeight();
    void firstPageHiddenUntilReselected();
    void closingEndsProgramWithoutDatabase();
    void cancelEndsProgram();
    void errorBoxText_data();
    void errorBoxText();
    void errorBoxShowsFailuresAndLoopGoesOn();
    void applicationTitle_data();
    void applicationTitle();
    void messageBoxShowsTextAsTyped_data();
    void messageBoxShowsTextAsTyped();

private:
    std::optional<FreshSettings> settings;
};

void TestLoginForm::messageBoxShowsTextAsTyped_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("whole"); // false: too long for the screen, its middle left out
    const QString notFound = QStringLiteral("用户名 %1 不存在, 请重新输入");
    QTest::newRow("markup") << notFound.arg(QStringLiteral("<b>x</b>")) << true;
    QTest::newRow("an entity") << notFound.arg(QStringLiteral("&lt;a&gt;")) << true;
    QTest::newRow("300 characters without a blank") << notFound.arg(QString(300, u'w')) << true;
    QTest::newRow("300 Chinese characters") << notFound.arg(QString(300, QChar(0x738B))) << true;
    QTest::newRow("long and marked up") << notFound.arg(QStringLiteral("<i>") + QString(200, u'm') + QStringLiteral("</i>")) << true;
    QTest::newRow("5000 characters") << notFound.arg(QString(5000, u'w')) << false;
    QTest::newRow("5000 Chinese characters") << notFound.arg(QString(5000, QChar(0x738B))) << false;
    QTest::newRow("2000 short lines") << QString(QStringLiteral("a\n")).repeated(2000) << false;
    QTest::newRow("a megabyte") << QString(1 << 20, u'x') + QStringLiteral(" end") << false;
}

void TestLoginForm::messageBoxShowsTextAsTyped()
{
    QFETCH(QString, text);
    QFETCH(bool, whole);
    std::unique_ptr<QMessageBox> box(createMessageBox(Dialogs::Icon::Information, kNoticeCaption, text, nullptr));
    QCOMPARE(box->textFormat(), Qt::PlainText);
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
    QVERIFY(label);
    const QString shown = label->text().remove(QChar(0x200B));
    if (whole) {
        // Every character as typed; only invisible break opportunities are added.
        QCOMPARE(shown, text);
    } else {
        const qsizetype cut = shown.indexOf(QChar(0x2026));
        QVERIFY(cut > 0);
        QVERIFY(text.startsWith(shown.left(cut)));
        QVERIFY(text.endsWith(shown.mid(cut + 1)));
        QVERIFY(shown.size() < text.size());
    }
    QCOMPARE(label->textFormat(), Qt::PlainText);
    // Whole and wrapped: the box and its button fit the screen and the label shows all of its text.
    const QRect screen = box->screen()->availableGeometry();
    QVERIFY2(box->frameGeometry().width() <= screen.width(), qPrintable(QString::number(box->frameGeometry().width())));
    QVERIFY2(box->frameGeometry().height() <= screen.height(), qPrintable(QString::number(box->frameGeometry().height())));
    QAbstractButton *ok = box->button(QMessageBox::Ok);
    QVERIFY(screen.contains(QRect(ok->mapToGlobal(QPoint(0, 0)), ok->size())));
    QVERIFY(label->heightForWidth(label->width()) <= label->height());
    QVERIFY(label->sizeHint().width() <= screen.width());
}

void TestLoginForm::initialState()
{
    ShownForm shown;
    TLoginForm &f = *shown.form;
    QCOMPARE(f.windowTitle(), QStringLiteral("Orvan企业资源管理系统内外销软件"));
    QCOMPARE(f.width(), 383);
    QCOMPARE(f.outerHeight(), 280);
    QCOMPARE(f.DataBaseName->text(), QStringLiteral("VeskDB"));
    QCOMPARE(f.Edit_Nxdb->text(), QStringLiteral("Voruvidi"));
    QCOMPARE(f.UserName->text(), QStringLiteral("VeskLogin"));
    QCOMPARE(f.MaskEditPwd->text().size(), 1);
    QCOMPARE(f.MaskEditPwd->echoMode(), QLineEdit::Password);
    QCOMPARE(f.PassWord->echoMode(), QLineEdit::Password);
    QCOMPARE(f.VPNPassWord->echoMode(), QLineEdit::Password);
    QCOMPARE(f.RasConnHandle, 0u);
    QVERIFY(!f.BtnCon->isVisible());
    QCOMPARE(f.BitBtnOk->text(), QStringLiteral("登录(&O)"));
    QCOMPARE(f.BitBtnCanCel->text(), QStringLiteral("取消(&C)"));
    QCOMPARE(f.PageControl_Data->tabText(0), QStringLiteral("数据库连接"));
    QCOMPARE(f.PageControl_Data->tabText(1), QStringLiteral("VPN连接"));
    QCOMPARE(f.ComboBoxCzy->maxVisibleItems(), 12);
    QCOMPARE(f.ComboBoxCzy->geometry(), QRect(110, 95, 167, 20));
    QCOMPARE(f.PageControl_Data->geometry(), QRect(0, 247, 383, 228));
    QCOMPARE(f.ServerName->geometry(), QRect(143, 41, 121, 20));
    QCOMPARE(f.Image1->geometry(), QRect(0, 0, 383, 475));
    // The pictures are decoded when first painted: the shown window's own, and the
    // pages' when they are.
    QCOMPARE(f.Image1->pixmap().size(), QSize(383, 475));
    QVERIFY(f.Image2->pixmap().isNull());
    f.Image2->grab();
    f.Image3->grab();
    QVERIFY(!f.Image2->pixmap().isNull());
    QVERIFY(!f.Image3->pixmap().isNull());
    QVERIFY(!f.ADOConnectionPUB.connected());
    QVERIFY(!f.NxADOConnectionPub.connected());
    QCOMPARE(f.font().pixelSize(), 12);
    // One family: the first of the design's the machine has.
    const QStringList installed = QFontDatabase::families();
    const SongtiFaces faces = songtiFaces();
    const QStringList design = faces.bitmapped + faces.fallbacks;
    const auto first = std::find_if(design.begin(), design.end(), [&](const QString &family) {
        return installed.contains(family, Qt::CaseInsensitive);
    });
    if (first != design.end())
        QCOMPARE(f.font().families(), QStringList{*first});
}

// The design face's text comes from its own bitmaps, as 宋体's does on Windows (on Linux
// the Ming face's): every pixel is either the text's colour or the background.
void TestLoginForm::mingTextDrawnFromBitmaps()
{
    const QString face = installedBitmappedFace();
    if (face.isEmpty())
        QSKIP("no face of 宋体 with bitmaps is installed (on Linux, Debian's fonts-arphic-uming)");
    TLoginForm f;
    for (const QLabel *l : {f.Label1, f.Lab_Date}) {
        QCOMPARE(l->font().families(), QStringList{face});
        const QImage image = drawnText(l->font(), QStringLiteral("用户名：0571-8800"), QSize(200, 20), QPoint(2, 15));
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                colours.insert(image.pixel(x, y));
        QCOMPARE(colours, (QSet<QRgb>{qRgb(0, 0, 0), qRgb(255, 255, 255)}));
    }
}

// The dates and telephone numbers must be read: each digit is drawn dark, and its top row
// is one stroke, as a round digit's is, not the two sides of one cut off (Wine draws a
// host face's bitmaps cut to its outlines) or a faded remnant (thin antialiased strokes).
void TestLoginForm::digitsDrawnWhole_data()
{
    QTest::addColumn<QString>("label");
    QTest::newRow("12 pixels") << QStringLiteral("Label1");
    QTest::newRow("14 pixels") << QStringLiteral("Lab_Date");
}

void TestLoginForm::digitsDrawnWhole()
{
    QFETCH(QString, label);
    TLoginForm f;
    const QFont font = f.findChild<QLabel *>(label)->font();
    const QString face = QFontInfo(font).family();
    for (const QChar digit : QStringLiteral("0689")) {
        const QImage image = drawnText(font, QString(digit), QSize(40, 40), QPoint(10, 28));
        const auto inked = [&](int x, int y) { return qGray(image.pixel(x, y)) < 160; };
        int top = -1, bottom = -1;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (inked(x, y)) {
                    top = top < 0 ? y : top;
                    bottom = y;
                }
        QVERIFY2(top >= 0 && bottom - top + 1 >= font.pixelSize() / 2,
                 qPrintable(QStringLiteral("%1 of %2 is %3 rows dark").arg(digit).arg(face).arg(bottom - top + 1)));
        int strokes = 0;
        for (int x = 0; x < image.width(); ++x)
            strokes += inked(x, top) && (x == 0 || !inked(x - 1, top));
        QVERIFY2(strokes == 1, qPrintable(QStringLiteral("%1 of %2 has %3 strokes at its top").arg(digit).arg(face).arg(strokes)));
    }
}

void TestLoginForm::tabOrder_data()
{
    QTest::addColumn<int>("page"); // -1: as shown, page 0 hidden; else the page selected by the user
    QTest::addColumn<QStringList>("expected");
    const QStringList window{"MaskEditPwd", "BitBtnOk", "BitBtnCanCel", "PageControl_Data"};
    QTest::newRow("as shown") << -1 << (window + QStringList{"ComboBoxCzy", "MaskEditPwd"});
    QTest::newRow("database page") << 0
                                   << (window + QStringList{"Edit_Nxdb", "PassWord", "UserName", "DataBaseName",
                                                            "ServerName", "BtnTEST", "ComboBoxCzy"});
    QTest::newRow("VPN page") << 1
                              << (window + QStringList{"ServerIPName", "VPNUserName", "VPNPassWord", "Button1",
                                                       "ComboBoxCzy"});
}

void TestLoginForm::tabOrder()
{
    QFETCH(int, page);
    QFETCH(QStringList, expected);
    ShownForm shown;
    TLoginForm &f = *shown.form;
    if (page >= 0) {
        f.PageControl_Data->setCurrentIndex(1);
        f.PageControl_Data->setCurrentIndex(page);
    }
    f.ComboBoxCzy->setFocus();
    QCOMPARE(focusName(&f), QStringLiteral("ComboBoxCzy"));
    QCOMPARE(tabWalk(f, int(expected.size())), expected);
}

void TestLoginForm::enterPressesOk_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("key");
    QTest::newRow("operator, Return") << "ComboBoxCzy" << int(Qt::Key_Return);
    QTest::newRow("operator, keypad Enter") << "ComboBoxCzy" << int(Qt::Key_Enter);
    QTest::newRow("password, Return") << "MaskEditPwd" << int(Qt::Key_Return);
}

void TestLoginForm::enterPressesOk()
{
    QFETCH(QString, field);
    QFETCH(int, key);
    RecordingDialogs dialogs;
    ShownForm shown;
    TLoginForm &f = *shown.form;
    QSignalSpy ok(f.BitBtnOk, &QPushButton::clicked);
    QSignalSpy cancel(f.BitBtnCanCel, &QPushButton::clicked);
    QWidget *target = f.findChild<QWidget *>(field);
    target->setFocus();
    QWidget *receiver = field == QLatin1String("ComboBoxCzy") ? f.ComboBoxCzy->lineEdit() : target;
    QTest::keyClick(receiver, Qt::Key(key));
    QCOMPARE(ok.count(), 1);
    QCOMPARE(cancel.count(), 0);
    QCOMPARE(dialogs.notices(), QStringList{QStringLiteral("数据库连接失败,请确定数据库配置信息正确后重试！")});
    QCOMPARE(f.ComboBoxCzy->count(), 0); // Enter does not add the typed name to the list
}

void TestLoginForm::escapeDoesNothing()
{
    ShownForm shown;
    QSignalSpy cancel(shown.form->BitBtnCanCel, &QPushButton::clicked);
    QTest::keyClick(shown.form->MaskEditPwd, Qt::Key_Escape);
    QTest::keyClick(shown.form, Qt::Key_Escape);
    QCoreApplication::processEvents();
    QVERIFY(shown.form);
    QVERIFY(shown.form->isVisible());
    QCOMPARE(cancel.count(), 0);
}

void TestLoginForm::passwordIsSelectedOnClickAndFocus()
{
    ShownForm shown;
    TLoginForm &f = *shown.form;
    f.MaskEditPwd->setText(QStringLiteral("secret"));
    QTest::mouseClick(f.MaskEditPwd, Qt::LeftButton, {}, QPoint(20, 10));
    QCOMPARE(f.MaskEditPwd->selectedText(), QStringLiteral("secret"));
    f.MaskEditPwd->deselect();
    f.ComboBoxCzy->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTRY_COMPARE(f.MaskEditPwd->selectedText(), QStringLiteral("secret"));
    QTest::keyClicks(f.MaskEditPwd, QStringLiteral("new"));
    QCOMPARE(f.MaskEditPwd->text(), QStringLiteral("new")); // typing replaces it
}

void TestLoginForm::connectionButtonTogglesHeight()
{
    ShownForm shown;
    TLoginForm &f = *shown.form;
    QCOMPARE(f.outerHeight(), 280);
    f.BtnConClick();
    QCOMPARE(f.outerHeight(), 420);
    QCOMPARE(f.BtnCon->text(), QStringLiteral("<<连接配置"));
    f.BtnConClick();
    QCOMPARE(f.outerHeight(), 230);
    QCOMPARE(f.BtnCon->text(), QStringLiteral("连接配置>>"));
    QCOMPARE(f.width(), 383);
}

void TestLoginForm::firstPageHiddenUntilReselected()
{
    ShownForm shown;
    TLoginForm &f = *shown.form;
    QCOMPARE(f.PageControl_Data->currentIndex(), 0);
    QVERIFY(f.TabSheet1->isHidden());
    QVERIFY(f.PageControl_Data->tabBar()->isTabVisible(0));
    QTest::mouseClick(f.PageControl_Data->tabBar(), Qt::LeftButton, {},
                      f.PageControl_Data->tabBar()->tabRect(1).center());
    QCOMPARE(f.PageControl_Data->currentIndex(), 1);
    QVERIFY(!f.TabSheet2->isHidden());
    QTest::mouseClick(f.PageControl_Data->tabBar(), Qt::LeftButton, {},
                      f.PageControl_Data->tabBar()->tabRect(0).center());
    QVERIFY(!f.TabSheet1->isHidden());
    QVERIFY(f.TabSheet2->isHidden());
}

void TestLoginForm::closingEndsProgramWithoutDatabase()
{
    // Anything that tried the database would knock here.
    LoopbackListener watch;
    QVERIFY(watch.port() > 0);
    QPointer<TLoginForm> f = new TLoginForm;
    f->ServerName->setText(QStringLiteral("127.0.0.1,%1").arg(watch.port()));
    f->show();
    QTimer::singleShot(0, f, [&] { f->close(); });
    QCOMPARE(runLoopAtMost(5000), 0);
    // Closed, not destroyed: its owner destroys it after the loop.
    QVERIFY(!f.isNull() && !f->isVisible());
    delete f;
    QVERIFY(!watch.knocked());
}

void TestLoginForm::cancelEndsProgram()
{
    ShownForm shown;
    bool closeRequested = false;
    struct CloseWatch : QObject {
        bool *seen;
        explicit CloseWatch(bool *s) : seen(s) {}
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Close)
                *seen = true;
            return false;
        }
    } closeWatch(&closeRequested);
    shown.form->installEventFilter(&closeWatch);
    QTimer::singleShot(0, shown.form, [&] { shown.form->BitBtnCanCel->click(); });
    QCOMPARE(runLoopAtMost(5000), 0);
    // The loop ends without a close request: the window is still up for its owner.
    QVERIFY(!closeRequested);
    QVERIFY(shown.form->isVisible());
}

void TestLoginForm::errorBoxText_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("empty") << "" << "";
    QTest::newRow("ends in full stop") << "Disk full." << "Disk full.";
    QTest::newRow("ends in a space") << "Disk full " << "Disk full ";
    QTest::newRow("ends in a letter") << "Stream read error" << "Stream read error.";
    QTest::newRow("ends in a digit") << "I/O error 32" << "I/O error 32.";
    QTest::newRow("ends in a Chinese character") << "软件升级失败" << "软件升级失败.";
    QTest::newRow("ends in a full-width mark") << "数据库连接失败！" << "数据库连接失败！.";
    QTest::newRow("ends in an exclamation mark") << "Stop!" << "Stop!";
    QTest::newRow("ends in a closing quote") << "Field 'x'" << "Field 'x'";
    QTest::newRow("ends in a slash") << "path/" << "path/.";
}

void TestLoginForm::errorBoxText()
{
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QCOMPARE(::errorBoxText(message), shown);
}

void TestLoginForm::errorBoxShowsFailuresAndLoopGoesOn()
{
    RecordingDialogs dialogs;
    ShownForm shown;
    runHandler([] { throw Exception(QStringLiteral("Stream read error")); });
    runHandler([] { throw SilentAbort(); });
    runHandler([] { throw std::runtime_error("plain failure"); });
    QCOMPARE(dialogs.boxes.size(), 2);
    QCOMPARE(dialogs.boxes[0].icon, Dialogs::Icon::Error);
    QCOMPARE(dialogs.boxes[0].caption, ::applicationTitle());
    QCOMPARE(dialogs.boxes[0].text, QStringLiteral("Stream read error."));
    QCOMPARE(dialogs.boxes[1].text, QStringLiteral("plain failure."));
    // The window is still there and still answers.
    QVERIFY(shown.form->isVisible());
    shown.form->BtnConClick();
    QCOMPARE(shown.form->outerHeight(), 420);
    ShowNotice(QStringLiteral("软件升级成功！"));
    QCOMPARE(dialogs.boxes.last().icon, Dialogs::Icon::Information);
    QCOMPARE(dialogs.boxes.last().caption, QStringLiteral("【企业资源管理软件】 提示"));
}

void TestLoginForm::applicationTitle_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("title");
    QTest::newRow("plain") << "Vesk" << "Vesk";
    QTest::newRow("windows name") << "VESK.EXE" << "Vesk";
    QTest::newRow("two dots") << "vesk.old.exe" << "vesk";
    QTest::newRow("mixed case") << "DovaDu.exe" << "Dovadu";
}

void TestLoginForm::applicationTitle()
{
    QFETCH(QString, file);
    QFETCH(QString, title);
    QCOMPARE(::applicationTitle(file), title);
}

QTEST_MAIN(TestLoginForm)
// Showing the window needs no database: the ODBC driver is loaded at the first connect.
void TestLoginForm::startLoadsNoDatabaseDriver()
{
    TLoginForm f;
    // Nor does building the window decode a picture: that waits for painting.
    for (const QLabel *picture : {f.Image1, f.Image2, f.Image3})
        QVERIFY2(picture->pixmap().isNull(), qPrintable(picture->objectName()));
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    for (const QString &name : QSqlDatabase::connectionNames())
        QVERIFY2(!name.startsWith(QLatin1String("ADOConnectionPUB")) && !name.startsWith(QLatin1String("NxADOConnectionPub")),
                 qPrintable(name));
    QVERIFY(!f.ADOConnectionPUB.connected());
}

// With the font the window is laid out for, no text hides under the field below it and the
// support label's five lines, descenders included, fit its 60 pixels.
void TestLoginForm::textsFitTheirBoxes()
{
    if (installedBitmappedFace().isEmpty())
        QSKIP("the font the window is laid out for (on Linux, Debian's fonts-arphic-uming) is not installed");
    TLoginForm f;
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QVERIFY2(f.Label1->geometry().bottom() < f.ComboBoxCzy->geometry().top(),
             qPrintable(QStringLiteral("用户名： ends at %1").arg(f.Label1->geometry().bottom())));
    QVERIFY(f.Label12->geometry().bottom() < f.MaskEditPwd->geometry().top());
    QCOMPARE(f.Label15->height(), 60);
    // Five plain lines: no rich-text document is built for them.
    QCOMPARE(f.Label15->textFormat(), Qt::PlainText);
    QCOMPARE(f.Label15->text().split(u'\n').size(), 5);
    QVERIFY2(f.Label15->heightForWidth(f.Label15->width()) <= 60,
             qPrintable(QString::number(f.Label15->heightForWidth(f.Label15->width()))));
    for (QLabel *l : f.findChildren<QLabel *>()) {
        if (l->text().isEmpty() || l == f.Label15)
            continue;
        QVERIFY2(l->height() >= l->fontMetrics().height(), qPrintable(l->objectName()));
    }
}

void TestLoginForm::windowIcon()
{
    TLoginForm f;
    // Read once the message loop runs, after the window could appear.
    QTRY_VERIFY(!f.windowIcon().isNull());
    const QList<QSize> sizes = f.windowIcon().availableSizes();
    for (int size : {16, 22, 24, 32, 48, 64})
        QVERIFY2(sizes.contains(QSize(size, size)), qPrintable(QString::number(size)));
}

// The window is disabled during an upgrade; its background must not turn grey then.
void TestLoginForm::picturesKeepTheirColoursWhileDisabled()
{
    TLoginForm f;
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    const QImage enabled = f.Image1->grab().toImage();
    f.setEnabled(false);
    const QImage disabled = f.Image1->grab().toImage();
    QCOMPARE(disabled.size(), enabled.size());
    QVERIFY(enabled.pixelColor(enabled.width() / 2, 20).saturation() > 60); // the blue top
    QCOMPARE(disabled, enabled);
}

// designFont keeps every family, the installed ones first; designFace names the first
// installed one alone; both keep all names when none is installed.
void TestLoginForm::designFontStartsAtAnInstalledFamily_data()
{
    const QString installed = QFontDatabase::families().value(0);
    const QString other = QFontDatabase::families().value(1);
    const QString missing = QStringLiteral("Vesk No Such Family");
    QTest::addColumn<bool>("face");
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("installed first") << false << QStringList{installed, missing} << QStringList{installed, missing};
    QTest::newRow("missing ones first") << false << QStringList{missing, missing + u'2', installed, other}
                                        << QStringList{installed, other, missing, missing + u'2'};
    QTest::newRow("mixed") << false << QStringList{missing, other, missing + u'2', installed}
                           << QStringList{other, installed, missing, missing + u'2'};
    QTest::newRow("another letter case") << false << QStringList{missing, installed.toUpper()}
                                         << QStringList{installed.toUpper(), missing};
    QTest::newRow("none installed") << false << QStringList{missing, missing + u'2'}
                                    << QStringList{missing, missing + u'2'};
    QTest::newRow("face: installed first") << true << QStringList{installed, other} << QStringList{installed};
    QTest::newRow("face: missing ones first") << true << QStringList{missing, missing + u'2', other, installed}
                                              << QStringList{other};
    QTest::newRow("face: another letter case") << true << QStringList{missing, installed.toUpper()}
                                               << QStringList{installed.toUpper()};
    QTest::newRow("face: none installed") << true << QStringList{missing, missing + u'2'}
                                          << QStringList{missing, missing + u'2'};
}

void TestLoginForm::designFontStartsAtAnInstalledFamily()
{
    QFETCH(bool, face);
    QFETCH(QStringList, asked);
    QFETCH(QStringList, expected);
    if (QFontDatabase::families().size() < 2)
        QSKIP("needs two installed font families");
    const QFont f = face ? designFace(asked, 13) : designFont(asked, 13);
    QCOMPARE(f.families(), expected);
    QCOMPARE(f.pixelSize(), 13);
}

#include "tst_loginform.moc"
