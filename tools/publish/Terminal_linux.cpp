#include "Terminal.h"

#include <unistd.h>

bool outputIsTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}
