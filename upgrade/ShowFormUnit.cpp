#include "ShowFormUnit.h"

#include "core/Exceptions.h"
#include "platform/WindowSystem.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>

TShowForm *ShowForm = nullptr;
std::atomic<uint8_t> UpgradeStopFlag = 0;

namespace {

QFont sansSerif(int pixels)
{
    return designFont({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                       QStringLiteral("DejaVu Sans"), QStringLiteral("WenQuanYi Micro Hei")},
                      pixels);
}

} // namespace

TShowForm::TShowForm(QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                          | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("ShowForm"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("正在升级..."));
    setFixedSize(493, 144);
    setFont(sansSerif(11));
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(180, 165, 220));
    setPalette(p);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(0, 49, 493, 43);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    // The bar repaints after every chunk of a download: the desktop style's rounded,
    // gradient bar costs about a tenth of a millisecond each time, some 7 per cent of a
    // download on a fast line; the plain sunken bar of the classic look next to nothing.
    if (QStyle *plain = QStyleFactory::create(QStringLiteral("Windows"))) {
        plain->setParent(ProgressBar1);
        ProgressBar1->setStyle(plain);
    }

    Label1 = new QLabel(QStringLiteral("正在升级..."), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(12, 12, 129, 25);
    Label1->setFont(sansSerif(16));
    QPalette lp = Label1->palette();
    lp.setColor(QPalette::WindowText, QColor(0, 128, 0));
    Label1->setPalette(lp);

    BitBtn1 = new QPushButton(QStringLiteral("停止升级"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(368, 110, 105, 30);
    connect(BitBtn1, &QPushButton::clicked, this, &TShowForm::BitBtn1Click);

    ProgressBar1->setFocusPolicy(Qt::TabFocus);
    setTabOrder(ProgressBar1, BitBtn1);
}

TShowForm::~TShowForm()
{
    if (ShowForm == this)
        ShowForm = nullptr;
}

void TShowForm::setRange(int minimum, int maximum)
{
    if (maximum < minimum)
        throw Exception(QStringLiteral("%1 property out of range").arg(QStringLiteral("TProgressBar")));
    ProgressBar1->setRange(minimum, maximum);
}

void TShowForm::FormShow()
{
    UpgradeStopFlag = 0;
}

void TShowForm::BitBtn1Click()
{
    UpgradeStopFlag = 1;
}

void TShowForm::FormClose()
{
    // Freed on close (WA_DeleteOnClose), once the application next handles its messages.
}

void TShowForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    FormShow();
    centreOnScreen(this);
}

void TShowForm::closeEvent(QCloseEvent *event)
{
    if (inUse) {
        event->ignore();
        BitBtn1Click();
        return;
    }
    FormClose();
    event->accept();
}
