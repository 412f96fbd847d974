#pragma once

#include <QIcon>

// The program's icon, drawn for 16, 32 and 48 pixels: the tray, the windows and the about box.
QIcon TellwickIcon();
