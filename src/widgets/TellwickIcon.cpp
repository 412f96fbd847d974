#include "TellwickIcon.h"

// The resources live in a static library: nothing else would pull them into the program.
static void initIconResources()
{
    Q_INIT_RESOURCE(icons);
}

QIcon TellwickIcon()
{
    static const bool initialised = (initIconResources(), true);
    Q_UNUSED(initialised);
    QIcon icon;
    for (const int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/icons/tellwick-%1.png").arg(size), QSize(size, size));
    return icon;
}
