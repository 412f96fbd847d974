#include "About.h"

#include "TellwickIcon.h"
#include "TellwickVersion.h"
#include "WindowFit.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TAboutBox::TAboutBox(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    Panel1 = new QFrame(this);
    // A groove: lowered outside, raised inside.
    Panel1->setFrameStyle(QFrame::Box | QFrame::Sunken);

    ProgramIcon = new QLabel(Panel1);
    ProgramIcon->setFixedSize(33, 41);
    ProgramIcon->setPixmap(TellwickIcon().pixmap(QSize(32, 32), devicePixelRatioF()));
    ProgramIcon->setScaledContents(true);

    ProductName = new QLabel(QStringLiteral("Tellwick"), Panel1);
    ProductName->setTextFormat(Qt::PlainText);

    Version = new QLabel(QStringLiteral("Version ") + QLatin1String(TellwickRelease), Panel1);
    Version->setTextFormat(Qt::PlainText);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(0);
    texts->addWidget(ProductName);
    texts->addWidget(Version);
    texts->addStretch(1);
    auto *panelLayout = new QHBoxLayout(Panel1);
    panelLayout->setContentsMargins(8, 8, 8, 8);
    panelLayout->addWidget(ProgramIcon, 0, Qt::AlignTop);
    panelLayout->addLayout(texts, 1);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setDefault(true);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(15);
    layout->addWidget(Panel1, 1);
    layout->addWidget(OKButton, 0, Qt::AlignHCenter);
    auto *fit = new WindowFit(this, QSize(298, 258), WindowFit::Frame::Fixed);
    fit->atLeast(Panel1, QSize(281, 201));
    fit->atLeast(OKButton, QSize(75, 25));

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
