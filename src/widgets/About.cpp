#include "About.h"

#include "TellwickIcon.h"
#include "TellwickVersion.h"

#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

TAboutBox::TAboutBox(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(298, 258);

    Panel1 = new QFrame(this);
    Panel1->setGeometry(8, 8, 281, 201);
    // A groove: lowered outside, raised inside.
    Panel1->setFrameStyle(QFrame::Box | QFrame::Sunken);

    ProgramIcon = new QLabel(Panel1);
    ProgramIcon->setGeometry(8, 8, 33, 41);
    ProgramIcon->setPixmap(TellwickIcon().pixmap(32, 32));
    ProgramIcon->setScaledContents(true);

    ProductName = new QLabel(QStringLiteral("Tellwick"), Panel1);
    ProductName->setTextFormat(Qt::PlainText);
    ProductName->move(48, 8);

    Version = new QLabel(QStringLiteral("Version ") + QLatin1String(TellwickRelease), Panel1);
    Version->setTextFormat(Qt::PlainText);
    Version->move(48, 24);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setGeometry(112, 224, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &TAboutBox::OKButtonClick);
}

void TAboutBox::ShowAbout()
{
    show();
    raise();
    activateWindow();
}

void TAboutBox::OKButtonClick()
{
    close();
}

void TAboutBox::FormCloseQuery(bool &CanClose)
{
    CanClose = true;
}

void TAboutBox::closeEvent(QCloseEvent *event)
{
    bool canClose = true;
    FormCloseQuery(canClose);
    if (!canClose) {
        event->ignore();
        return;
    }
    // Hides; the box lives until the program ends.
    QDialog::closeEvent(event);
}
