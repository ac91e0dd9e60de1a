// The upgrade progress window: a bar, and one button to stop.
#pragma once

#include <QWidget>
#include <atomic>
#include <cstdint>

class QLabel;
class QProgressBar;
class QPushButton;

class TShowForm : public QWidget {
    Q_OBJECT
public:
    explicit TShowForm(QWidget *parent = nullptr);
    ~TShowForm() override;

    QProgressBar *ProgressBar1;
    QLabel *Label1;
    QPushButton *BitBtn1;

    void FormShow();
    void BitBtn1Click();
    void FormClose();

    // While a reassembly uses the window, closing it from its title bar asks to stop
    // instead: the reassembly still needs the window until it ends.
    bool inUse = false;

    // The progress bar's range as the reassembly sets it; a maximum below the minimum
    // fails with "TProgressBar property out of range".
    void setRange(int minimum, int maximum);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
};

// The one progress window while it exists.
extern TShowForm *ShowForm;
// 0: go on; 1: the operator asked to stop. Read beside the thread that applies a patch.
extern std::atomic<uint8_t> UpgradeStopFlag;
