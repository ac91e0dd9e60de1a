#include "KeyPrivacy.h"

// The C library's mode copies the owner's bits to the group's and others': it says nothing.
QString modeOthersMayRead(const QString &)
{
    return QString();
}
