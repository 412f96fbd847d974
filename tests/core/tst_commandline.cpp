#include "CommandLine.h"

#include <QtTest>

using Action = CommandLine::Action;
using Kind = InstanceRequest::Kind;

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Action>("action");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("text"); // a part of the help or the error text

        const auto row = [](const char *name, QStringList arguments, Action action, Kind kind,
                            const char *text = "") {
            arguments.prepend(QStringLiteral("tellwick"));
            QTest::addRow("%s", name) << arguments << action << kind << QString::fromUtf8(text);
        };
        row("nothing", {}, Action::Run, Kind::Start);
        row("--help", {"--help"}, Action::ShowHelp, Kind::Start,
            "Usage: tellwick [options] [address]");
        row("-h names the address forms", {"-h"}, Action::ShowHelp, Kind::Start,
            "finger://host/name");
        row("--help wins over an address", {"root@host", "--help"}, Action::ShowHelp, Kind::Start,
            "--version");
        row("--version", {"--version"}, Action::ShowVersion, Kind::Start);
        row("-v", {"-v"}, Action::ShowVersion, Kind::Start);
        row("--setup", {"--setup"}, Action::Run, Kind::Setup);
        row("finger url", {"finger://127.0.0.1/root"}, Action::Run, Kind::Finger);
        row("plain address", {"root@[::1]"}, Action::Run, Kind::Finger);
        row("Qt's -platform is left to Qt", {"-platform", "offscreen"}, Action::Run, Kind::Start);
        row("Qt's -session with --setup", {"-session", "1234", "--setup"}, Action::Run,
            Kind::Setup);
        row("unknown option", {"--bogus"}, Action::Fail, Kind::Start, "bogus");
        row("two addresses", {"a@host", "b@host"}, Action::Fail, Kind::Start, "one finger address");
        row("--setup and an address", {"--setup", "a@host"}, Action::Fail, Kind::Start,
            "one finger address");
        row("not an address", {"root"}, Action::Fail, Kind::Start, "Not a finger address: root");
    }

    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Action, action);
        QFETCH(Kind, kind);
        QFETCH(QString, text);
        const CommandLine commandLine = parseCommandLine(arguments);
        QCOMPARE(commandLine.action, action);
        QCOMPARE(commandLine.request.kind, kind);
        QVERIFY2(commandLine.text.contains(text), qPrintable(commandLine.text));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
