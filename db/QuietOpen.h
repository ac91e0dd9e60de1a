// Qt's ODBC driver sends SET QUOTED_IDENTIFIER ON after every open: a round trip of every
// login over a VPN for what the login already has (FreeTDS logs in as an ODBC client, and
// SQL Server turns the ANSI defaults on for one, QUOTED_IDENTIFIER among them). Neither Qt
// nor FreeTDS can be told to leave it out, so while a QuietOpen lives on a thread, the
// driver manager's entry point that Qt's driver sends it through answers it here; every
// other call passes through unchanged.
#pragma once

class QuietOpen {
public:
    QuietOpen();
    ~QuietOpen();
    QuietOpen(const QuietOpen &) = delete;
    QuietOpen &operator=(const QuietOpen &) = delete;
};
