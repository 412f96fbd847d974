#pragma once

#include "Dialogs.h"

// The production message boxes: QMessageBox with its own nested event loop.
class QtDialogs final : public Dialogs
{
public:
    Answer messageBox(const QString &caption, const QString &text, Icon icon,
                      Buttons buttons) override;
    void requestProgramEnd(int exitCode) override;
};
