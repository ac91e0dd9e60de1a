// A Windows program that runs for a while doing nothing: a DovaDu.exe that is running.
#include <windows.h>

int main()
{
    Sleep(60000);
    return 0;
}
