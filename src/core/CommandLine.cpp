#include "CommandLine.h"

#include <QCommandLineParser>

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // Qt's own options are written with one dash: -platform, not -p -l -a ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Answers finger (port 79) and daytime (port 13) queries about you from "
                       "the system tray.\nWhen Tellwick is already running, a new start hands "
                       "its request to the running program and ends."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and end."));
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and end."));
    const QCommandLineOption setup(QStringLiteral("setup"),
                                   QStringLiteral("Open the setup window."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(setup);
    for (const char *qtOption : {"platform", "display", "style", "session"}) {
        QCommandLineOption option(QString::fromLatin1(qtOption), QString(),
                                  QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    parser.addPositionalArgument(
        QStringLiteral("address"),
        QStringLiteral("Query this address in the finger client: finger://host/name, "
                       "finger://name@host or name@host; an IPv6 address goes in brackets."),
        QStringLiteral("[address]"));

    CommandLine result;
    if (!parser.parse(arguments)) {
        result.action = CommandLine::Action::Fail;
        result.text = parser.errorText();
        return result;
    }
    if (parser.isSet(help)) {
        result.action = CommandLine::Action::ShowHelp;
        // Qt names the program as it was called, or "<executable_name>" before an application
        // object exists; the help names the command a person types.
        result.text = parser.helpText();
        const qsizetype options = result.text.indexOf(QLatin1String(" [options]"));
        if (options != -1)
            result.text.replace(0, options, QStringLiteral("Usage: tellwick"));
        return result;
    }
    if (parser.isSet(version)) {
        result.action = CommandLine::Action::ShowVersion;
        return result;
    }

    const QStringList addresses = parser.positionalArguments();
    if (addresses.size() > 1 || (addresses.size() == 1 && parser.isSet(setup))) {
        result.action = CommandLine::Action::Fail;
        result.text = QStringLiteral("Give either --setup or one finger address.");
    } else if (addresses.size() == 1) {
        const std::optional<FingerAddress> address = parseFingerAddress(addresses.first());
        if (address) {
            result.request = {InstanceRequest::Kind::Finger, *address};
        } else {
            result.action = CommandLine::Action::Fail;
            result.text = QStringLiteral("Not a finger address: %1").arg(addresses.first());
        }
    } else if (parser.isSet(setup)) {
        result.request.kind = InstanceRequest::Kind::Setup;
    }
    return result;
}
