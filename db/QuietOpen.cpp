#include "QuietOpen.h"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <cstdio>
#include <iterator>

// The executable exports SQLExecDirectW (see veskdb's link options), so that the ODBC
// plugin, which Qt loads later, binds its calls to it rather than to the driver manager's.
// The driver manager is never linked into the executable: it stays in the plugin's own
// scope, where FreeTDS's calls to its own functions keep finding FreeTDS's.

namespace {
thread_local int opening = 0;

// The driver manager's own entry point: in the library Qt's plugin loaded it from.
void *managerFunction(const char *name)
{
    static void *const manager = [] {
        void *h = dlopen("libodbc.so.2", RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
        return h ? h : dlopen("libodbc.so.2", RTLD_LAZY | RTLD_LOCAL);
    }();
    void *f = manager ? dlsym(manager, name) : nullptr;
    if (!f) // only Qt's ODBC plugin calls it, which cannot have been loaded without it
        fprintf(stderr, "The ODBC driver manager (libodbc.so.2) has no %s\n", name);
    return f;
}

bool isQuotedIdentifierOn(const SQLWCHAR *text, SQLINTEGER length)
{
    static constexpr char16_t kStatement[] = u"SET QUOTED_IDENTIFIER ON";
    constexpr SQLINTEGER kLength = SQLINTEGER(std::size(kStatement) - 1);
    if (!text)
        return false;
    if (length == SQL_NTS) {
        length = 0;
        while (length <= kLength && text[length])
            ++length;
    }
    // Qt counts the terminating NUL in.
    while (length > 0 && length <= kLength + 1 && !text[length - 1])
        --length;
    return length == kLength && std::equal(kStatement, kStatement + kLength, text);
}
} // namespace

QuietOpen::QuietOpen()
{
    ++opening;
}

QuietOpen::~QuietOpen()
{
    --opening;
}

extern "C" SQLRETURN SQL_API SQLExecDirectW(SQLHSTMT statement, SQLWCHAR *text, SQLINTEGER length)
{
    // Qt reads nothing of the statement but that it succeeded.
    if (opening && isQuotedIdentifierOn(text, length))
        return SQL_SUCCESS;
    using Fn = SQLRETURN(SQL_API *)(SQLHSTMT, SQLWCHAR *, SQLINTEGER);
    static const Fn real = reinterpret_cast<Fn>(managerFunction("SQLExecDirectW"));
    return real ? real(statement, text, length) : SQL_ERROR;
}
