#pragma once

#include "SingleInstance.h"

#include <QString>
#include <QStringList>

// What the program was asked for on its command line.
struct CommandLine
{
    enum class Action { Run, ShowHelp, ShowVersion, Fail };
    Action action = Action::Run;
    // The help text, or why the command line was refused.
    QString text;
    // For Run: what to do once running, here or in the program already running.
    InstanceRequest request;
};

// Reads the arguments (the first names the program) without an application object, so that
// --help and --version need no display. Qt's own -platform, -display, -style and -session are
// accepted and left for the application.
CommandLine parseCommandLine(const QStringList &arguments);
