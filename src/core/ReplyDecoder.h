#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Turns the bytes of one reply into text, one received block at a time. UTF-8 is read where
// it is valid, and a character split between two blocks is carried over whole; every other
// byte is read as Latin-1. Control characters other than TAB, CR and LF are made visible:
// C0 and DEL as their control pictures (ESC shows as U+241B), C1 as their hex code ("<85>").
// One decoder serves one reply.
class ReplyDecoder
{
public:
    QString decode(QByteArrayView block);
    // The end of the reply: the bytes of a character that never finished, as Latin-1.
    QString finish();

private:
    QByteArray m_pending; // the start of a character that the next block may finish
};
