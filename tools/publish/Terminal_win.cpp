#include "Terminal.h"

#include <cstdio>
#include <io.h>

bool outputIsTerminal()
{
    return _isatty(_fileno(stdout)) != 0;
}
