#include "Exceptions.h"

QString errorBoxText(const QString &message)
{
    if (message.isEmpty())
        return message;
    // Outside ASCII every character is double-byte with a lead byte above 0x80,
    // so comparing the code point with "." gives the byte comparison's answer.
    return message.back().unicode() > u'.' ? message + u'.' : message;
}
