#pragma once

#include <QString>

// Every message box of the program, and the program end that follows a fatal one, goes
// through this seam, so that tests can answer boxes and see the end request without the
// test process ending.
class Dialogs
{
public:
    enum class Icon { None, Information, Error };
    enum class Buttons { Ok, OkCancel, YesNo };
    enum class Answer { Ok, Cancel, Yes, No };

    virtual ~Dialogs() = default;

    // Modal: returns only when the user has answered. Text is always shown as plain text.
    virtual Answer messageBox(const QString &caption, const QString &text, Icon icon,
                              Buttons buttons) = 0;

    // Queues the end of the message loop; the caller runs on to its end first.
    virtual void requestProgramEnd(int exitCode) = 0;

    // A box that nobody can see: its text goes to standard error, and the answer is the one
    // that changes nothing (OK where it is the only button, otherwise Cancel or No).
    static Answer answerWithoutDisplay(const QString &caption, const QString &text,
                                       Buttons buttons);
    static Answer answerThatChangesNothing(Buttons buttons);

    // The seam in use. Without an installed one, boxes go to standard error.
    static Dialogs &current();
    // Not owned; nullptr goes back to the fallback.
    static void install(Dialogs *dialogs);
};

// The application title, the caption of the plain message box and the default error box.
inline constexpr char ApplicationTitle[] = "Tellwick";

// Plain message box: the application title as caption, no icon, one OK button.
void showPlainMessage(const QString &text);

// Default error box: the error's text followed by a full stop, the error icon, one OK button.
void showErrorBox(const QString &text);
