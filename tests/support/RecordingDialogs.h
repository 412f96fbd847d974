#pragma once

#include "Dialogs.h"

#include <QList>
#include <QQueue>
#include <QString>
#include <functional>

// A stand-in for the message boxes: records every box and end request, and answers from a
// queue that the test fills (OK, Cancel or No when it is empty). Installs itself while alive.
class RecordingDialogs final : public Dialogs
{
public:
    struct Box
    {
        QString caption;
        QString text;
        Icon icon;
        Buttons buttons;
    };

    RecordingDialogs() { Dialogs::install(this); }
    ~RecordingDialogs() override { Dialogs::install(nullptr); }
    RecordingDialogs(const RecordingDialogs &) = delete;
    RecordingDialogs &operator=(const RecordingDialogs &) = delete;

    Answer messageBox(const QString &caption, const QString &text, Icon icon,
                      Buttons buttons) override
    {
        boxes.append({caption, text, icon, buttons});
        // Lets a test act while the modal box is "open", as a person's event loop would.
        if (whileShown)
            whileShown(boxes.last());
        if (!nextAnswers.isEmpty())
            return nextAnswers.dequeue();
        return answerThatChangesNothing(buttons);
    }

    void requestProgramEnd(int exitCode) override { endRequests.append(exitCode); }

    QStringList texts() const
    {
        QStringList result;
        for (const Box &box : boxes)
            result.append(box.text);
        return result;
    }

    void clear()
    {
        boxes.clear();
        endRequests.clear();
    }

    QList<Box> boxes;
    QList<int> endRequests;
    QQueue<Answer> nextAnswers;
    std::function<void(const Box &)> whileShown;
};
