#include "QtDialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>

Dialogs::Answer QtDialogs::messageBox(const QString &caption, const QString &text, Icon icon,
                                      Buttons buttons)
{
    // Without a display nobody could ever answer a box: say it on standard error and take
    // the answer that changes nothing.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return answerWithoutDisplay(caption, text, buttons);
    QMessageBox box;
    box.setWindowTitle(caption);
    // Message texts end their lines with CR LF; the label wants plain LF.
    box.setText(QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")));
    // Texts may carry what a remote peer sent: never let the box guess rich text.
    box.setTextFormat(Qt::PlainText);
    switch (icon) {
    case Icon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case Icon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case Icon::Error:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    switch (buttons) {
    case Buttons::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case Buttons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    case Buttons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.button(QMessageBox::Yes)->setText(QStringLiteral("&Yes"));
        box.button(QMessageBox::No)->setText(QStringLiteral("&No"));
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok:
        return Answer::Ok;
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    default:
        return buttons == Buttons::YesNo ? Answer::No : Answer::Cancel;
    }
}

void QtDialogs::requestProgramEnd(int exitCode)
{
    QMetaObject::invokeMethod(
        qApp, [exitCode] { QCoreApplication::exit(exitCode); }, Qt::QueuedConnection);
}
