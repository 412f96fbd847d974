// The setup window: its controls, the tray menu, start-up and Exit.

#include "Main.h"

#include "About.h"
#include "ComputerInfo.h"
#include "Dialogs.h"
#include "FingerSessions.h"
#include "RuntimeError.h"
#include "Sockets.h"
#include "Stat.h"
#include "TellwickIcon.h"
#include "TellwickVersion.h"
#include "TrayIcon.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScopeGuard>
#include <QVBoxLayout>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool QueryBusy = false;
bool FingerListening = false;

namespace {

const char TypingLimit[] = "typingLimit";

QLineEdit *makeEditor(QWidget *parent, int limit, const QString &hint)
{
    auto *editor = new QLineEdit(parent);
    editor->setToolTip(hint);
    if (limit > 0) {
        // The limit holds for typing only: a longer stored text is shown whole and may be
        // shortened, never cut by the edit itself.
        editor->setProperty(TypingLimit, limit);
        editor->setMaxLength(limit);
        QObject::connect(editor, &QLineEdit::textChanged, editor,
                         [editor, limit](const QString &text) {
                             editor->setMaxLength(std::max(limit, int(text.size())));
                         });
    }
    return editor;
}

void fillEditor(QLineEdit *editor, const QString &text)
{
    if (const int limit = editor->property(TypingLimit).toInt(); limit > 0)
        editor->setMaxLength(std::max(limit, int(text.size())));
    editor->setText(text);
}

QCheckBox *makeBox(QWidget *parent, const QString &caption, const QString &hint)
{
    auto *box = new QCheckBox(caption, parent);
    if (!hint.isEmpty())
        box->setToolTip(hint);
    return box;
}

} // namespace

TMainForm::TMainForm(const SystemFacts *facts, QWidget *parent)
    : QDialog(parent), beep([] { QApplication::beep(); })
{
    setWindowTitle(QStringLiteral("Tellwick Setup"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowIcon(TellwickIcon());

    Sockets = new TSockets(this);
    Sockets->Port = QStringLiteral("79");
    Sockets->MaximumReceiveLength = 8192;
    Sockets1 = new TSockets(this);
    Sockets1->Port = QStringLiteral("13");
    Sockets1->MaximumReceiveLength = 8192;
    ComputerInfo = new TComputerInfo(this, facts);

    fingerSessions = new FingerSessions(this);
    connect(fingerSessions, &FingerSessions::requestTimedOut, this, &TMainForm::sessionTimedOut);

    createControls();
    createTrayIcon();
    connectHandlers();
    try {
        FormCreate();
    } catch (const RuntimeError &error) {
        // A settings value of another type ends the start-up work here; no listener is
        // opened and the program keeps running.
        showErrorBox(error.text());
    }
}

TMainForm::~TMainForm() = default;

void TMainForm::createControls()
{
    GroupBox1 = new QGroupBox(QStringLiteral("User Information"), this);
    LoginName = makeEditor(
        GroupBox1, 0,
        QStringLiteral(
            "Shows the name that you used to log in to the system, i can't change this"));
    LoginName->setReadOnly(true);
    {
        QPalette palette = LoginName->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Inactive, QPalette::Window));
        LoginName->setPalette(palette);
    }
    RealNameEditor = makeEditor(GroupBox1, 100, QStringLiteral("Type your real name here"));
    HomePhoneEditor = makeEditor(GroupBox1, 50, QStringLiteral("Type your home phone number here"));
    OfficePhoneEditor = makeEditor(GroupBox1, 50, QStringLiteral("Type your office number here"));
    PlanEditor = makeEditor(GroupBox1, 255, QStringLiteral("Give a path to your \".plan\" file"));
    PlanBtn = new QPushButton(QStringLiteral("Browse"), GroupBox1);
    PlanBtn->setToolTip(QStringLiteral("Browse a plan"));
    PlanBtn->setAutoDefault(false);
    ProjectEditor =
        makeEditor(GroupBox1, 255, QStringLiteral("Give a path to your \".project\" file"));
    ProjectBtn = new QPushButton(QStringLiteral("Browse"), GroupBox1);
    ProjectBtn->setToolTip(QStringLiteral("Browse a project "));
    ProjectBtn->setAutoDefault(false);

    auto *userLayout = new QGridLayout(GroupBox1);
    auto label = [this](const char *text) {
        return new QLabel(QString::fromLatin1(text), GroupBox1);
    };
    userLayout->addWidget(label("Login Name:"), 0, 0, 1, 2);
    userLayout->addWidget(LoginName, 1, 0, 1, 2);
    userLayout->addWidget(label("Real Name:"), 2, 0, 1, 2);
    userLayout->addWidget(RealNameEditor, 3, 0, 1, 2);
    userLayout->addWidget(label("Home Phone:"), 4, 0);
    userLayout->addWidget(label("Office Phone:"), 4, 1);
    userLayout->addWidget(HomePhoneEditor, 5, 0);
    userLayout->addWidget(OfficePhoneEditor, 5, 1);
    userLayout->addWidget(label("Plan:"), 6, 0, 1, 2);
    auto *planRow = new QHBoxLayout;
    planRow->addWidget(PlanEditor);
    planRow->addWidget(PlanBtn);
    userLayout->addLayout(planRow, 7, 0, 1, 2);
    userLayout->addWidget(label("Project:"), 8, 0, 1, 2);
    auto *projectRow = new QHBoxLayout;
    projectRow->addWidget(ProjectEditor);
    projectRow->addWidget(ProjectBtn);
    userLayout->addLayout(projectRow, 9, 0, 1, 2);
    userLayout->setRowStretch(10, 1);

    GroupBox2 = new QGroupBox(QStringLiteral("Normal Settings:"), this);
    FingerBox = makeBox(GroupBox2, QStringLiteral("Enable &Finger"),
                        QStringLiteral("Check to enable finger"));
    InfoBox = makeBox(GroupBox2, QStringLiteral("Enable &Information"),
                      QStringLiteral("Check to enable computer information "));
    UserLBox = makeBox(GroupBox2, QStringLiteral("Enable User &List"),
                       QStringLiteral("Check to enable user list"));
    UserInfoBox = makeBox(GroupBox2, QStringLiteral("Enable &User Information"),
                          QStringLiteral("Check to enable user information"));
    CheckBox1 = makeBox(GroupBox2, QStringLiteral("Enable &Daytime service"),
                        QStringLiteral("Check to enable daytime service"));
    CheckBox2 = makeBox(GroupBox2, QStringLiteral("&Beep on incoming query"), QString());
    auto *settingsLayout = new QVBoxLayout(GroupBox2);
    for (QCheckBox *box : {FingerBox, InfoBox, UserLBox, UserInfoBox, CheckBox1, CheckBox2})
        settingsLayout->addWidget(box);
    // Three boxes that have no action: never shown, never reachable.
    for (QCheckBox **box : {&CheckBox3, &CheckBox4, &CheckBox5}) {
        *box = new QCheckBox(GroupBox2);
        (*box)->setEnabled(false);
        (*box)->setVisible(false);
        settingsLayout->addWidget(*box);
    }
    settingsLayout->addStretch(1);

    VersionLabel = new QLabel(QStringLiteral("Tellwick ") + QLatin1String(TellwickRelease), this);
    Button2 = new QPushButton(QStringLiteral("OK"), this);
    Button2->setDefault(true);
    Button2->setFixedSize(75, 25);

    auto *groups = new QHBoxLayout;
    groups->addWidget(GroupBox1, 4);
    groups->addWidget(GroupBox2, 3);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(VersionLabel);
    bottom->addStretch(1);
    bottom->addWidget(Button2);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(groups);
    layout->addLayout(bottom);
    setFixedSize(457, 296);

    QWidget::setTabOrder(Button2, LoginName);
    QWidget *order[] = {LoginName, RealNameEditor, HomePhoneEditor, OfficePhoneEditor, PlanEditor,
                        PlanBtn,   ProjectEditor,  ProjectBtn,      FingerBox,         InfoBox,
                        UserLBox,  UserInfoBox,    CheckBox1,       CheckBox2};
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void TMainForm::createTrayIcon()
{
    PopupMenu1 = new QMenu(this);
    Setup1 = PopupMenu1->addAction(QStringLiteral("Setup..."));
    PopupMenu1->setDefaultAction(Setup1);
    Statistics1 = PopupMenu1->addAction(QStringLiteral("Statistics..."));
    Finger1 = PopupMenu1->addAction(QStringLiteral("Finger..."));
    Enabled1 = PopupMenu1->addAction(QStringLiteral("Enabled"));
    Enabled1->setCheckable(true);
    Enabled1->setChecked(true);
    N1 = PopupMenu1->addSeparator();
    About1 = PopupMenu1->addAction(QStringLiteral("About..."));
    Exit1 = PopupMenu1->addAction(QStringLiteral("Exit"));

    TrayIcon = new TTrayIcon(this);
    TrayIcon->setActive(true);
    TrayIcon->setIcon(TellwickIcon());
    TrayIcon->setToolTip(QStringLiteral("Tellwick Idle"));
    TrayIcon->OnDblClick = [this](QObject *sender) { TrayIconDblClick(sender); };
    TrayIcon->setPopupMenu(PopupMenu1);
}

void TMainForm::connectHandlers()
{
    using namespace std::placeholders;
    Sockets->OnSessionAvailable = std::bind(&TMainForm::SocketsSessionAvailable, this, _1, _2);
    Sockets->OnDataAvailable = std::bind(&TMainForm::SocketsDataAvailable, this, _1, _2);
    Sockets->OnSessionClosed = std::bind(&TMainForm::SocketsSessionClosed, this, _1, _2);
    Sockets->OnErrorOccurred = std::bind(&TMainForm::SocketsErrorOccurred, this, _1, _2, _3, _4);
    Sockets1->OnSessionAvailable = std::bind(&TMainForm::Sockets1SessionAvailable, this, _1, _2);
    Sockets1->OnDataNeeded = std::bind(&TMainForm::Sockets1DataNeeded, this, _1, _2);
    Sockets1->OnSessionClosed = std::bind(&TMainForm::Sockets1SessionClosed, this, _1, _2);
    Sockets1->OnErrorOccurred = std::bind(&TMainForm::Sockets1ErrorOccurred, this, _1, _2, _3, _4);

    connect(Setup1, &QAction::triggered, this, &TMainForm::Setup1Click);
    connect(Statistics1, &QAction::triggered, this, &TMainForm::Statistics1Click);
    connect(Finger1, &QAction::triggered, this, &TMainForm::Finger1Click);
    connect(Enabled1, &QAction::triggered, this, &TMainForm::Enabled1Click);
    connect(About1, &QAction::triggered, this, &TMainForm::About1Click);
    connect(Exit1, &QAction::triggered, this, &TMainForm::Exit1Click);

    connect(Button2, &QPushButton::clicked, this, &TMainForm::Button2Click);
    connect(PlanBtn, &QPushButton::clicked, this, &TMainForm::PlanBtnClick);
    connect(ProjectBtn, &QPushButton::clicked, this, &TMainForm::ProjectBtnClick);
    connect(RealNameEditor, &QLineEdit::textChanged, this, &TMainForm::RealNameEditorChange);
    connect(HomePhoneEditor, &QLineEdit::textChanged, this, &TMainForm::HomePhoneEditorChange);
    connect(OfficePhoneEditor, &QLineEdit::textChanged, this, &TMainForm::OfficePhoneEditorChange);
    connect(PlanEditor, &QLineEdit::textChanged, this, &TMainForm::PlanEditorChange);
    connect(ProjectEditor, &QLineEdit::textChanged, this, &TMainForm::ProjectEditorChange);
    connect(FingerBox, &QCheckBox::toggled, this, &TMainForm::FingerBoxClick);
    connect(InfoBox, &QCheckBox::toggled, this, &TMainForm::InfoBoxClick);
    connect(UserLBox, &QCheckBox::toggled, this, &TMainForm::UserLBoxClick);
    connect(UserInfoBox, &QCheckBox::toggled, this, &TMainForm::UserInfoBoxClick);
    connect(CheckBox1, &QCheckBox::toggled, this, &TMainForm::CheckBox1Click);
    connect(CheckBox2, &QCheckBox::toggled, this, &TMainForm::CheckBox2Click);
}

void TMainForm::setWindows(TStatDialog *statDialog, TAboutBox *aboutBox, QWidget *fingerForm)
{
    m_statDialog = statDialog;
    m_aboutBox = aboutBox;
    m_fingerForm = fingerForm;
    if (m_statDialog) {
        for (const QString &line : std::as_const(m_pendingLog))
            m_statDialog->AppendLog(line);
        m_pendingLog.clear();
    }
}

void TMainForm::log(const QString &line)
{
    if (m_statDialog)
        m_statDialog->AppendLog(line);
    else
        m_pendingLog.append(line); // a modal box at start-up lets sockets run early
}

void TMainForm::log(const QStringList &lines)
{
    if (m_statDialog)
        m_statDialog->AppendLog(lines);
    else
        m_pendingLog += lines;
}

void TMainForm::reportListenFailure(const char *service, int port, int cause)
{
    static bool capabilityExplained = false;
    if (cause == EACCES && capabilityExplained) {
        std::fprintf(stderr, "tellwick: cannot open the %s port %d either.\n", service, port);
    } else if (cause == EACCES) {
        capabilityExplained = true;
        std::fprintf(stderr,
                     "tellwick: cannot open the %s port %d: ports below 1024 need root or the "
                     "CAP_NET_BIND_SERVICE capability (sudo setcap cap_net_bind_service=ep %s); "
                     "see tellwick(1).\n",
                     service, port, qPrintable(QCoreApplication::applicationFilePath()));
    } else if (cause == EADDRINUSE) {
        std::fprintf(stderr,
                     "tellwick: cannot open the %s port %d: another program listens on it.\n",
                     service, port);
    } else {
        std::fprintf(stderr, "tellwick: cannot open the %s port %d: %s.\n", service, port,
                     cause ? std::strerror(cause) : "unknown cause");
    }
}

void TMainForm::FormCreate()
{
    Settings.Login = DeriveLogin(ComputerInfo->LoginName());
    // A file that could not be read leaves finger off below; the person is told why.
    if (const QString problem = LoadSettings(); !problem.isEmpty())
        showPlainMessage(problem);

    if (Settings.Enable) {
        Sockets->QuietErrors = true;
        Sockets->Listen();
        Sockets->QuietErrors = false;
        if (Sockets->TakeLastError() != 0) {
            reportListenFailure("finger", 79, Sockets->FirstListenFailure().cause);
            showPlainMessage(QStringLiteral("Finger port already in use. Terminating"));
            Settings.Enable = false;
            FingerListening = false;
            Dialogs::current().requestProgramEnd(0);
        } else {
            FingerListening = true;
        }
    } else {
        FingerListening = false;
    }
    Enabled1->setChecked(FingerListening);

    if (Settings.EnableDayTime) {
        Sockets1->QuietErrors = true;
        Sockets1->Listen();
        Sockets1->QuietErrors = false;
        if (Sockets1->TakeLastError() != 0) {
            reportListenFailure("daytime", 13, Sockets1->FirstListenFailure().cause);
            showPlainMessage(QStringLiteral("DayTime port already in use. Dissabling DayTime."));
            Settings.EnableDayTime = false;
        }
    }
}

void TMainForm::FillControls()
{
    LoginName->setText(Settings.Login);
    fillEditor(HomePhoneEditor, Settings.HPhone);
    fillEditor(OfficePhoneEditor, Settings.OPhone);
    fillEditor(RealNameEditor, Settings.RealName);
    fillEditor(PlanEditor, Settings.Plan);
    fillEditor(ProjectEditor, Settings.Project);
    FingerBox->setChecked(Settings.Enable);
    InfoBox->setChecked(Settings.EnableInfo);
    UserLBox->setChecked(Settings.EnableList);
    UserInfoBox->setChecked(Settings.EnableUserInfo);
    CheckBox1->setChecked(Settings.EnableDayTime);
    CheckBox2->setChecked(Settings.Beep);
}

void TMainForm::Setup1Click()
{
    FillControls();
    show();
    raise();
    activateWindow();
}

void TMainForm::TrayIconDblClick(QObject *)
{
    Setup1Click();
}

void TMainForm::Statistics1Click()
{
    if (m_statDialog)
        m_statDialog->ShowStatistics();
}

void TMainForm::Finger1Click()
{
    if (m_fingerForm) {
        m_fingerForm->show();
        m_fingerForm->raise();
        m_fingerForm->activateWindow();
    }
    Finger1->setEnabled(false);
}

void TMainForm::About1Click()
{
    if (m_aboutBox)
        m_aboutBox->ShowAbout();
}

void TMainForm::setFingerListening(bool listening)
{
    FingerListening = listening;
    Enabled1->setChecked(listening);
    Settings.Enable = listening;
}

void TMainForm::Enabled1Click()
{
    // The action has already toggled its own mark; FingerListening still holds the old one.
    if (FingerListening) {
        Sockets->CancelListen();
        setFingerListening(false);
    } else {
        Sockets->Listen();
        setFingerListening(true);
    }
}

void TMainForm::Exit1Click()
{
    Exit1->setEnabled(false);
    // Enabled again also when saving fails and the error box ends the handler.
    const auto enableExit = qScopeGuard([this] { Exit1->setEnabled(true); });
    const auto answer = Dialogs::current().messageBox(
        QStringLiteral("Information"),
        QStringLiteral("Finger service will not be available if you exit.\r\n"
                       "Are you sure you wan't to exit ?"),
        Dialogs::Icon::Information, Dialogs::Buttons::YesNo);
    if (answer != Dialogs::Answer::Yes)
        return;
    if (FingerListening)
        Sockets->CancelListen();
    if (Settings.EnableDayTime)
        Sockets1->CancelListen();
    SaveSettings();
    Dialogs::current().requestProgramEnd(0);
}

void TMainForm::Button2Click()
{
    SaveSettings();
    hide();
}

void TMainForm::closeEvent(QCloseEvent *event)
{
    // Closing only hides: the program goes on in the tray, unsaved changes stay in effect.
    event->accept();
    hide();
}

void TMainForm::browse(QLineEdit *editor)
{
    // Made on first use: a file dialog watches its folder from the moment it exists, and
    // looks into every file there whenever the folder changes, on the thread that serves
    // the queries, for as long as the program runs.
    if (!OpenDialog) {
        OpenDialog = new QFileDialog(this, QStringLiteral("Select File:"));
        OpenDialog->setFileMode(QFileDialog::ExistingFile);
        OpenDialog->setAcceptMode(QFileDialog::AcceptOpen);
        OpenDialog->setNameFilters(
            {QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*.*)")});
        OpenDialog->selectNameFilter(QStringLiteral("Text Files (*.txt)"));
    }
    if (OpenDialog->exec() != QDialog::Accepted)
        return;
    const QStringList files = OpenDialog->selectedFiles();
    if (!files.isEmpty())
        editor->setText(files.first());
}

void TMainForm::PlanBtnClick()
{
    browse(PlanEditor);
}

void TMainForm::ProjectBtnClick()
{
    browse(ProjectEditor);
}

void TMainForm::RealNameEditorChange()
{
    Settings.RealName = RealNameEditor->text();
}

void TMainForm::HomePhoneEditorChange()
{
    Settings.HPhone = HomePhoneEditor->text();
}

void TMainForm::OfficePhoneEditorChange()
{
    Settings.OPhone = OfficePhoneEditor->text();
}

void TMainForm::PlanEditorChange()
{
    Settings.Plan = PlanEditor->text();
}

void TMainForm::ProjectEditorChange()
{
    Settings.Project = ProjectEditor->text();
}

void TMainForm::FingerBoxClick()
{
    const bool checked = FingerBox->isChecked();
    if (checked == FingerListening)
        return;
    if (checked)
        Sockets->Listen();
    else
        Sockets->CancelListen();
    setFingerListening(checked);
}

void TMainForm::InfoBoxClick()
{
    Settings.EnableInfo = InfoBox->isChecked();
}

void TMainForm::UserLBoxClick()
{
    Settings.EnableList = UserLBox->isChecked();
}

void TMainForm::UserInfoBoxClick()
{
    Settings.EnableUserInfo = UserInfoBox->isChecked();
}

void TMainForm::CheckBox1Click()
{
    if (CheckBox1->isChecked()) {
        if (Settings.EnableDayTime)
            return;
        Sockets1->Listen();
        Settings.EnableDayTime = true;
    } else {
        Sockets1->CancelListen();
        Settings.EnableDayTime = false;
    }
}

void TMainForm::CheckBox2Click()
{
    Settings.Beep = CheckBox2->isChecked();
}
