#pragma once

#include <QDialog>

class QCloseEvent;
class QFrame;
class QLabel;
class QPushButton;

// The about box: the product's name and version. Modeless; closing only hides it.
class TAboutBox : public QDialog
{
    Q_OBJECT

public:
    explicit TAboutBox(QWidget *parent = nullptr);

    // Shows the box, or only raises it when it is already visible.
    void ShowAbout();
    void OKButtonClick();
    void FormCloseQuery(bool &CanClose);

    QFrame *Panel1 = nullptr;
    QLabel *ProgramIcon = nullptr;
    QLabel *ProductName = nullptr;
    QLabel *Version = nullptr;
    QPushButton *OKButton = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;
};
