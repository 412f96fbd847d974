#include "Dialogs.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <cstdio>

namespace {

// Used where no window system is set up (core tools, tests that install nothing): the text
// still reaches a person, and no question is ever answered with consent.
class StandardErrorDialogs final : public Dialogs
{
public:
    Answer messageBox(const QString &caption, const QString &text, Icon, Buttons buttons) override
    {
        return answerWithoutDisplay(caption, text, buttons);
    }

    void requestProgramEnd(int exitCode) override
    {
        if (auto *app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [exitCode] { QCoreApplication::exit(exitCode); }, Qt::QueuedConnection);
    }
};

StandardErrorDialogs fallbackDialogs;
Dialogs *installedDialogs = nullptr;

} // namespace

Dialogs &Dialogs::current()
{
    return installedDialogs ? *installedDialogs : fallbackDialogs;
}

void Dialogs::install(Dialogs *dialogs)
{
    installedDialogs = dialogs;
}

Dialogs::Answer Dialogs::answerWithoutDisplay(const QString &caption, const QString &text,
                                              Buttons buttons)
{
    // One line per box: texts keep the CR LF line ends of their boxes.
    std::fprintf(stderr, "tellwick: %s: %s\n", qPrintable(caption),
                 qPrintable(QString(text).replace(QLatin1String("\r\n"), QLatin1String(" "))));
    return answerThatChangesNothing(buttons);
}

Dialogs::Answer Dialogs::answerThatChangesNothing(Buttons buttons)
{
    switch (buttons) {
    case Buttons::Ok:
        return Answer::Ok;
    case Buttons::OkCancel:
        return Answer::Cancel;
    case Buttons::YesNo:
        return Answer::No;
    }
    return Answer::Cancel;
}

void showPlainMessage(const QString &text)
{
    Dialogs::current().messageBox(QString::fromLatin1(ApplicationTitle), text, Dialogs::Icon::None,
                                  Dialogs::Buttons::Ok);
}

void showErrorBox(const QString &text)
{
    Dialogs::current().messageBox(QString::fromLatin1(ApplicationTitle), text + QLatin1Char('.'),
                                  Dialogs::Icon::Error, Dialogs::Buttons::Ok);
}
