#include "engine.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <regex>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/time.h>

namespace db {

std::string lower(std::string s)
{
    for (char &c : s)
        c = char(std::tolower(uint8_t(c)));
    return s;
}

namespace {

std::string trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && uint8_t(s[b]) <= 32)
        ++b;
    while (e > b && uint8_t(s[e - 1]) <= 32)
        --e;
    return s.substr(b, e - b);
}

std::vector<std::string> words(const std::string &s, size_t n)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (out.size() < n && i < s.size()) {
        while (i < s.size() && std::isspace(uint8_t(s[i])))
            ++i;
        size_t b = i;
        while (i < s.size() && !std::isspace(uint8_t(s[i])))
            ++i;
        if (i > b)
            out.push_back(lower(s.substr(b, i - b)));
    }
    return out;
}

// SQL Server compares text without regard to ASCII case and ignores trailing blanks.
int tsqlCompare(void *, int la, const void *a, int lb, const void *b)
{
    auto pa = static_cast<const unsigned char *>(a), pb = static_cast<const unsigned char *>(b);
    while (la > 0 && pa[la - 1] == ' ')
        --la;
    while (lb > 0 && pb[lb - 1] == ' ')
        --lb;
    int n = std::min(la, lb);
    for (int i = 0; i < n; ++i) {
        int ca = std::tolower(pa[i]), cb = std::tolower(pb[i]);
        if (ca != cb)
            return ca - cb;
    }
    return la - lb;
}

// Days from 1900-01-01 to the civil date, and back.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468 - (-25567); // 1970 epoch to 1900 epoch
}

void civilFromDays(int64_t z, int64_t &y, unsigned &m, unsigned &d)
{
    z += 719468 + (-25567);
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

unsigned daysInMonth(int64_t y, unsigned m)
{
    static const unsigned n[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : n[m - 1];
}

struct Now {
    int64_t days;   // since 1900-01-01, local time
    int64_t ms;     // of the day
    int64_t year;
    unsigned month, day;
};

Now localNow()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &t);
    Now n;
    n.year = t.tm_year + 1900;
    n.month = unsigned(t.tm_mon + 1);
    n.day = unsigned(t.tm_mday);
    n.days = daysFromCivil(n.year, n.month, n.day);
    // datetime keeps 1/300 s; round the milliseconds the same way.
    int64_t ticks = (int64_t(tv.tv_usec / 1000) * 300 + 500) / 1000;
    n.ms = (t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec) * 1000LL + (ticks * 1000 + 150) / 300;
    return n;
}

void sqlGetDate(sqlite3_context *ctx, int, sqlite3_value **)
{
    Now n = localNow();
    std::string s = formatDateTime(n.days, n.ms);
    sqlite3_result_text(ctx, s.c_str(), int(s.size()), SQLITE_TRANSIENT);
}

// SESSIONPROPERTY('QUOTED_IDENTIFIER'): 1 or 0; NULL for what is not modelled.
void sqlSessionProperty(sqlite3_context *ctx, int, sqlite3_value **argv)
{
    const auto *options = static_cast<const SessionOptions *>(sqlite3_user_data(ctx));
    const unsigned char *name = sqlite3_value_text(argv[0]);
    if (name && lower(reinterpret_cast<const char *>(name)) == "quoted_identifier")
        sqlite3_result_int(ctx, options->quotedIdentifier ? 1 : 0);
    else
        sqlite3_result_null(ctx);
}

// NCHAR(n): the character of code point n.
void sqlNChar(sqlite3_context *ctx, int, sqlite3_value **argv)
{
    const int64_t n = sqlite3_value_int64(argv[0]);
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || n < 0 || n > 0xFFFF) {
        sqlite3_result_null(ctx);
        return;
    }
    const std::string utf8 = tds::utf16leToUtf8(std::string{char(n & 0xFF), char(n >> 8)});
    sqlite3_result_text(ctx, utf8.data(), int(utf8.size()), SQLITE_TRANSIENT);
}

// What a varchar column of that collation keeps of a text: '?' for what its code page lacks.
void sqlCodePage(sqlite3_context *ctx, int, sqlite3_value **argv)
{
    const tds::Collation *c = tds::findCollation(reinterpret_cast<const char *>(sqlite3_value_text(argv[1])));
    if (sqlite3_value_type(argv[0]) != SQLITE_TEXT || !c) {
        sqlite3_result_value(ctx, argv[0]);
        return;
    }
    const std::string_view text(reinterpret_cast<const char *>(sqlite3_value_text(argv[0])), size_t(sqlite3_value_bytes(argv[0])));
    const std::string kept = tds::fromCodePage(*c, tds::toCodePage(*c, text));
    sqlite3_result_text(ctx, kept.data(), int(kept.size()), SQLITE_TRANSIENT);
}

std::string quotedName(const std::string &name)
{
    std::string out = "\"";
    for (char c : name)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + '"';
}

Value readColumn(sqlite3_stmt *st, int i)
{
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER:
        return Value::integer(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT:
        return Value::real(sqlite3_column_double(st, i));
    case SQLITE_TEXT:
        return Value::text(std::string(reinterpret_cast<const char *>(sqlite3_column_text(st, i)),
                                       size_t(sqlite3_column_bytes(st, i))));
    case SQLITE_BLOB: {
        const void *p = sqlite3_column_blob(st, i);
        return Value::blob(std::string(static_cast<const char *>(p), size_t(sqlite3_column_bytes(st, i))));
    }
    default:
        return Value::null();
    }
}

// Declared length of "varchar(50)"; -1 for (max) and for none.
long declaredLength(const std::string &decl)
{
    auto open = decl.find('(');
    if (open == std::string::npos)
        return -1;
    return std::strtol(decl.c_str() + open + 1, nullptr, 10);
}

Column columnFor(const std::string &name, const char *declC, const Value &first, const char *table,
                 const char *collseq)
{
    Column c;
    c.name = name;
    c.table = table ? table : "";
    c.collation = collseq ? tds::findCollation(collseq) : nullptr;
    std::string decl = declC ? lower(declC) : std::string();
    auto starts = [&](const char *p) { return decl.rfind(p, 0) == 0; };
    long len = declaredLength(decl);
    if (decl.empty()) {
        switch (first.kind) {
        case Value::Int:
            if (first.i < INT32_MIN || first.i > INT32_MAX) {
                c.type = ColType::Int8;
                c.size = 8;
            }
            return c;
        case Value::Real: c.type = ColType::Float; c.size = 8; return c;
        case Value::Text: c.type = ColType::NVarChar; c.size = 8000; c.max = first.s.size() > 4000; return c;
        case Value::Blob: c.type = ColType::VarBinary; c.max = true; return c;
        default: return c;
        }
    }
    if (starts("bigint")) { c.type = ColType::Int8; c.size = 8; }
    else if (starts("smallint")) { c.type = ColType::Int2; c.size = 2; }
    else if (starts("tinyint")) { c.type = ColType::Int1; c.size = 1; }
    else if (starts("int") || starts("integer")) { c.type = ColType::Int4; c.size = 4; }
    else if (starts("bit")) { c.type = ColType::Bit; c.size = 1; }
    else if (starts("float") || starts("real") || starts("double") || starts("decimal") || starts("numeric")
             || starts("money") || starts("smallmoney")) { c.type = ColType::Float; c.size = 8; }
    else if (starts("datetime") || starts("smalldatetime") || starts("date")) { c.type = ColType::DateTime; c.size = 8; }
    else if (starts("image")) { c.type = ColType::Image; c.size = 0x7FFFFFFF; }
    else if (starts("varbinary") || starts("binary") || starts("blob")) {
        c.type = ColType::VarBinary;
        c.max = len <= 0 || len > 8000;
        c.size = c.max ? 0xFFFF : uint32_t(len);
    } else if (starts("nvarchar") || starts("nchar") || starts("ntext")) {
        c.type = ColType::NVarChar;
        c.max = starts("ntext") || len <= 0 || len > 4000;
        c.size = c.max ? 0xFFFF : uint32_t(len * 2);
    } else if (starts("varchar") || starts("char") || starts("text") || starts("sysname")) {
        c.type = ColType::VarChar;
        c.max = starts("text") || len <= 0 || len > 8000;
        if (starts("sysname")) { c.type = ColType::NVarChar; c.max = false; c.size = 256; }
        else c.size = c.max ? 0xFFFF : uint32_t(len);
    } else {
        return columnFor(name, nullptr, first, table, collseq);
    }
    return c;
}

SqlError mapError(const std::string &msg, const std::string &stmt)
{
    SqlError e;
    auto after = [&](const char *prefix) { return msg.substr(std::strlen(prefix)); };
    auto startsWith = [&](const char *p) { return msg.rfind(p, 0) == 0; };
    if (startsWith("no such table: ")) {
        std::string t = after("no such table: ");
        auto dot = t.rfind('.');
        if (dot != std::string::npos && t.rfind("main.", 0) == 0)
            t = t.substr(dot + 1);
        e.number = 208;
        e.text = "Invalid object name '" + t + "'.";
    } else if (startsWith("no such column: ")) {
        e.number = 207;
        e.text = "Invalid column name '" + after("no such column: ") + "'.";
    } else if (startsWith("near \"")) {
        std::string tok = msg.substr(6, msg.find('"', 6) - 6);
        e.number = 102;
        e.severity = 15;
        e.text = "Incorrect syntax near '" + tok + "'.";
    } else if (startsWith("incomplete input") || msg.find("syntax error") != std::string::npos) {
        std::string t = trim(stmt);
        auto sp = t.find_last_of(" \t\r\n");
        e.number = 102;
        e.severity = 15;
        e.text = "Incorrect syntax near '" + (sp == std::string::npos ? t : t.substr(sp + 1)) + "'.";
    } else if (startsWith("table ") && msg.find("already exists") != std::string::npos) {
        std::string t = msg.substr(6, msg.find(' ', 6) - 6);
        e.number = 2714;
        e.text = "There is already an object named '" + t + "' in the database.";
    } else if (startsWith("UNIQUE constraint failed")) {
        e.number = 2627;
        e.severity = 14;
        e.text = "Violation of PRIMARY KEY constraint. Cannot insert duplicate key. (" + msg + ")";
    } else if (startsWith("NOT NULL constraint failed: ")) {
        std::string tc = after("NOT NULL constraint failed: ");
        auto dot = tc.find('.');
        e.number = 515;
        e.text = "Cannot insert the value NULL into column '" + tc.substr(dot + 1) + "', table '"
                 + tc.substr(0, dot) + "'; column does not allow nulls. INSERT fails.";
    } else if (startsWith("cannot commit")) {
        e.number = 3902;
        e.text = "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.";
    } else if (startsWith("cannot rollback")) {
        e.number = 3903;
        e.text = "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.";
    } else if (startsWith("database is locked")) {
        e.number = 1222;
        e.text = "Lock request time out period exceeded.";
    } else {
        e.text = msg;
    }
    return e;
}

uint16_t commandCode(const std::string &stmt)
{
    auto w = words(stmt, 1);
    if (w.empty())
        return 0;
    if (w[0] == "insert") return 0xC3;
    if (w[0] == "delete") return 0xC4;
    if (w[0] == "update") return 0xC5;
    if (w[0] == "select") return 0xC1;
    return 0;
}

// The launcher's operator lookup selects the row plus six columns that SQL Server computes.
// The pattern covers the statement's head alone: what follows "From" (a long name, say) is
// not run through the regular expression engine, whose backtracking recurses per character.
const std::regex &lookupPattern()
{
    static const std::regex re(
        R"(^\s*select\s+\*\s*,\s*ServerDate\s*=\s*GetDate\(\s*\)\s*,\s*FromDate\s*=\s*\(\s*Getdate\(\s*\)\s*-\s*day\(\s*getdate\(\s*\)\s*\)\s*\+\s*1\s*\)\s*,)"
        R"(\s*ToDate\s*=\s*DATEADD\(\s*mm\s*,\s*1\s*,\s*Getdate\(\s*\)\s*\)\s*-\s*day\(\s*getdate\(\s*\)\s*\)\s*,)"
        R"(\s*YYYY\s*=\s*Year\(\s*Getdate\(\s*\)\s*\)\s*,\s*MM\s*=\s*Month\(\s*Getdate\(\s*\)\s*\)\s*,\s*DD\s*=\s*Day\(\s*Getdate\(\s*\)\s*\)\s*From\s+)",
        std::regex::icase | std::regex::ECMAScript);
    return re;
}

std::vector<std::pair<Column, Value>> lookupColumns()
{
    Now n = localNow();
    auto dt = [](const char *name) { Column c; c.name = name; c.type = ColType::DateTime; c.size = 8; return c; };
    auto in = [](const char *name) { Column c; c.name = name; return c; };
    // DATEADD(mm, 1, d) keeps the day, clamped to the length of the next month.
    int64_t ny = n.year + (n.month == 12);
    unsigned nm = n.month == 12 ? 1 : n.month + 1;
    int64_t nextMonthDays = daysFromCivil(ny, nm, std::min(n.day, daysInMonth(ny, nm)));
    return {
        {dt("ServerDate"), Value::text(formatDateTime(n.days, n.ms))},
        {dt("FromDate"), Value::text(formatDateTime(n.days - n.day + 1, n.ms))},
        {dt("ToDate"), Value::text(formatDateTime(nextMonthDays - n.day, n.ms))},
        {in("YYYY"), Value::integer(n.year)},
        {in("MM"), Value::integer(n.month)},
        {in("DD"), Value::integer(n.day)},
    };
}

// ALTER TABLE t ADD CONSTRAINT key PRIMARY KEY [CLUSTERED | NONCLUSTERED] (columns).
const std::regex &addPrimaryKeyPattern()
{
    static const std::regex re(
        R"(^\s*alter\s+table\s+(?:\[?dbo\]?\s*\.\s*)?\[?(\w+)\]?\s+add\s+constraint\s+\[?(\w+)\]?\s+primary\s+key)"
        R"((?:\s+(?:non)?clustered)?\s*\(([^)]*)\)\s*$)",
        std::regex::icase);
    return re;
}

// The table a CREATE TABLE or ALTER TABLE statement names, without brackets or schema.
std::string tableName(const std::string &stmt)
{
    static const std::regex re(R"(^\s*(?:create|alter)\s+table\s+((?:\[[^\]]+\]|[\w#@$]+)(?:\s*\.\s*(?:\[[^\]]+\]|[\w#@$]+))*))",
                               std::regex::icase);
    std::smatch m;
    if (!std::regex_search(stmt, m, re))
        return {};
    // The last part of schema.table.
    std::string name = m[1].str();
    size_t start = 0;
    bool bracketed = false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '[' || name[i] == ']')
            bracketed = name[i] == '[';
        else if (name[i] == '.' && !bracketed)
            start = i + 1;
    }
    name = name.substr(start);
    name = trim(name);
    if (name.size() > 1 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    return name;
}

} // namespace

std::string formatDateTime(int64_t days, int64_t ms)
{
    int64_t y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    char buf[64];
    snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02lld:%02lld:%02lld.%03lld", (long long)y, m, d,
             (long long)(ms / 3600000), (long long)(ms / 60000 % 60), (long long)(ms / 1000 % 60),
             (long long)(ms % 1000));
    return buf;
}

bool parseDateTime(const std::string &text, int32_t &days, uint32_t &ticks)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0;
    double s = 0;
    std::string t = trim(text);
    int n = sscanf(t.c_str(), "%d-%d-%d%*[ T]%d:%d:%lf", &y, &mo, &d, &h, &mi, &s);
    if (n < 3 || mo < 1 || mo > 12 || d < 1 || d > 31)
        return false;
    days = int32_t(daysFromCivil(y, unsigned(mo), unsigned(d)));
    double secs = h * 3600.0 + mi * 60.0 + s;
    ticks = uint32_t(secs * 300.0 + 0.5);
    return true;
}

std::optional<std::string> usedDatabase(const std::string &stmt)
{
    const std::string t = trim(stmt);
    if (lower(t.substr(0, 4)) != "use ")
        return std::nullopt;
    std::string name = trim(t.substr(4));
    if (name.size() > 1 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    return name;
}

std::vector<std::string> splitStatements(const std::string &batch)
{
    std::vector<std::string> out;
    std::string cur;
    auto flush = [&] {
        std::string t = trim(cur);
        if (!t.empty())
            out.push_back(t);
        cur.clear();
    };
    size_t i = 0, n = batch.size();
    bool lineStart = true;
    while (i < n) {
        char c = batch[i];
        if (lineStart) {
            // A line holding only GO ends a batch in scripts.
            size_t j = i;
            while (j < n && (batch[j] == ' ' || batch[j] == '\t'))
                ++j;
            if (j + 1 < n + 1 && j + 2 <= n && lower(batch.substr(j, 2)) == "go") {
                size_t k = j + 2;
                while (k < n && (batch[k] == ' ' || batch[k] == '\t' || batch[k] == '\r'))
                    ++k;
                if (k == n || batch[k] == '\n') {
                    flush();
                    i = k;
                    continue;
                }
            }
            // "USE name" alone on a line is a statement of its own.
            size_t eol = batch.find('\n', j);
            std::string line = trim(batch.substr(j, eol == std::string::npos ? std::string::npos : eol - j));
            auto w = words(line, 3);
            if (w.size() == 2 && w[0] == "use") {
                flush();
                out.push_back(line);
                i = eol == std::string::npos ? n : eol;
                continue;
            }
        }
        lineStart = c == '\n';
        if (c == '\'' || c == '"' || c == '[') {
            char close = c == '[' ? ']' : c;
            cur.push_back(c);
            ++i;
            while (i < n) {
                cur.push_back(batch[i]);
                if (batch[i] == close) {
                    if (i + 1 < n && batch[i + 1] == close && close != ']') {
                        cur.push_back(batch[++i]);
                    } else {
                        break;
                    }
                }
                ++i;
            }
            ++i;
        } else if (c == '-' && i + 1 < n && batch[i + 1] == '-') {
            while (i < n && batch[i] != '\n')
                ++i;
        } else if (c == '/' && i + 1 < n && batch[i + 1] == '*') {
            i += 2;
            while (i + 1 < n && !(batch[i] == '*' && batch[i + 1] == '/'))
                ++i;
            i += 2;
            cur.push_back(' ');
        } else if (c == ';') {
            flush();
            ++i;
        } else {
            cur.push_back(c);
            ++i;
        }
    }
    flush();
    return out;
}

std::string translate(const std::string &stmt)
{
    // Drop the N of N'...' literals; copy quoted text unchanged.
    std::string out;
    out.reserve(stmt.size());
    for (size_t i = 0; i < stmt.size(); ++i) {
        char c = stmt[i];
        if (c == '\'') {
            size_t j = i + 1;
            while (j < stmt.size()) {
                if (stmt[j] == '\'') {
                    if (j + 1 < stmt.size() && stmt[j + 1] == '\'') { j += 2; continue; }
                    break;
                }
                ++j;
            }
            out.append(stmt, i, j - i + 1);
            i = j;
            continue;
        }
        if ((c == 'N' || c == 'n') && i + 1 < stmt.size() && stmt[i + 1] == '\''
            && (i == 0 || !(std::isalnum(uint8_t(stmt[i - 1])) || stmt[i - 1] == '_' || stmt[i - 1] == '@')))
            continue;
        out.push_back(c);
    }
    auto w = words(out, 2);
    if (w.size() == 2 && (w[0] == "create" || w[0] == "alter") && w[1] == "table") {
        // Text columns without a collation of their own compare as SQL Server's do.
        static const std::regex textType(R"(\b(n?varchar|n?char|n?text|sysname)\b(\s*\(\s*(?:\d+|max)\s*\))?)",
                                         std::regex::icase);
        static const std::regex ownCollation(R"(^\s*collate\b)", std::regex::icase);
        std::string typed;
        size_t done = 0;
        for (auto it = std::sregex_iterator(out.begin(), out.end(), textType); it != std::sregex_iterator(); ++it) {
            const size_t end = size_t(it->position() + it->length());
            typed.append(out, done, end - done);
            if (!std::regex_search(out.begin() + long(end), out.end(), ownCollation))
                typed += " COLLATE TSQL_CI";
            done = end;
        }
        out = typed + out.substr(done);
        static const std::regex maxLen(R"(\(\s*max\s*\))", std::regex::icase);
        out = std::regex_replace(out, maxLen, "(-1)");
        static const std::regex identity(R"(\bidentity\s*(\(\s*\d+\s*,\s*\d+\s*\))?)", std::regex::icase);
        out = std::regex_replace(out, identity, "");
    }
    return out;
}

bool Database::exists(const std::string &path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void Database::create(const std::string &path)
{
    sqlite3 *h = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(h, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    std::string msg = h ? sqlite3_errmsg(h) : "out of memory";
    sqlite3_close(h);
    if (rc != SQLITE_OK)
        throw std::runtime_error("cannot create " + path + ": " + msg);
}

Database::Database(const std::string &path, const std::string &name, const tds::Collation &collation,
                   SessionOptions *sessionOptions)
    : options(sessionOptions ? sessionOptions : &ownOptions), dbName(name), collation(collation)
{
    if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
        std::string msg = handle ? sqlite3_errmsg(handle) : "out of memory";
        sqlite3_close(handle);
        throw std::runtime_error("cannot open " + path + ": " + msg);
    }
    sqlite3_busy_timeout(handle, 10000);
    sqlite3_create_collation_v2(handle, "TSQL_CI", SQLITE_UTF8, nullptr, tsqlCompare, nullptr);
    for (const char *known : {"Chinese_PRC_CI_AS", "Latin1_General_CI_AS", "SQL_Latin1_General_CP1_CI_AS",
                              "Latin1_General_100_CI_AS_SC_UTF8"})
        sqlite3_create_collation_v2(handle, known, SQLITE_UTF8, nullptr, tsqlCompare, nullptr);
    sqlite3_create_function_v2(handle, "nchar", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, sqlNChar, nullptr,
                               nullptr, nullptr);
    sqlite3_create_function_v2(handle, "tsql_codepage", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, sqlCodePage,
                               nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(handle, "getdate", 0, SQLITE_UTF8, nullptr, sqlGetDate, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(handle, "sessionproperty", 1, SQLITE_UTF8, options, sqlSessionProperty, nullptr,
                               nullptr, nullptr);
}

Database::~Database()
{
    sqlite3_close_v2(handle);
}

SqlError Database::lastError() const
{
    return mapError(sqlite3_errmsg(handle), "");
}

bool Database::exec(const std::string &stmt, const std::vector<Param> &params, Sink &sink, bool more)
{
    auto w = words(stmt, 3);
    if (w.empty()) {
        sink.done(0, false, 0, more);
        return true;
    }
    const std::string &first = w[0];
    std::string second = w.size() > 1 ? w[1] : "";
    if (first == "set") {
        if (second == "quoted_identifier" && w.size() > 2)
            options->quotedIdentifier = w[2] == "on";
        sink.done(0, false, 0, more);
        return true;
    }
    auto tranWord = [](const std::string &s) { return s.empty() || s == "tran" || s == "transaction" || s == "work"; };
    if (first == "begin" && (second == "tran" || second == "transaction"))
        return runSqlite("BEGIN", {}, sink, more, {});
    if (first == "commit" && tranWord(second))
        return runSqlite("COMMIT", {}, sink, more, {});
    if (first == "rollback" && tranWord(second))
        return runSqlite("ROLLBACK", {}, sink, more, {});
    if (first == "exec" || first == "execute") {
        SqlError e;
        e.number = 2812;
        e.severity = 16;
        e.text = "Could not find stored procedure '" + second + "'.";
        sink.error(e);
        sink.done(0, false, 0, false);
        return false;
    }
    std::smatch m;
    if (std::regex_search(stmt, m, lookupPattern(), std::regex_constants::match_continuous))
        return runSqlite(translate("SELECT * FROM " + stmt.substr(size_t(m.length(0)))), params, sink, more,
                         lookupColumns());
    if (first == "alter" && std::regex_search(stmt, m, addPrimaryKeyPattern()))
        return addPrimaryKey(m[1].str(), m[2].str(), m[3].str(), sink, more);
    const bool defines = (first == "create" || first == "alter") && second == "table" && w.size() > 2;
    if (!runSqlite(translate(stmt), params, sink, more, {}))
        return false;
    if (defines)
        storeInCodePage(tableName(stmt));
    return true;
}

// SQLite cannot add a key to a table, so the table is made again with the key and its rows,
// inside a savepoint; SQL Server's refusals where it would refuse.
bool Database::addPrimaryKey(const std::string &table, const std::string &key, const std::string &columns, Sink &sink,
                             bool more)
{
    auto refuse = [&](int32_t number, const std::string &text) {
        sink.error({number, 1, 16, text});
        sink.done(0, false, 0, false);
        return false;
    };
    sqlite3_stmt *st = nullptr;
    std::string name, definition;
    if (sqlite3_prepare_v2(handle, "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE",
                           -1, &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW) {
            name = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
            definition = reinterpret_cast<const char *>(sqlite3_column_text(st, 1));
        }
    }
    sqlite3_finalize(st);
    if (name.empty())
        return refuse(4902, "Cannot find the object \"" + table + "\" because it does not exist or you do not have permissions.");
    struct Info {
        bool notNull = false;
        bool inKey = false;
    };
    std::vector<std::pair<std::string, Info>> existing; // lower-case name
    const std::string info = "PRAGMA table_info(" + quotedName(name) + ")";
    if (sqlite3_prepare_v2(handle, info.c_str(), -1, &st, nullptr) == SQLITE_OK)
        while (sqlite3_step(st) == SQLITE_ROW)
            existing.push_back({lower(reinterpret_cast<const char *>(sqlite3_column_text(st, 1))),
                                {sqlite3_column_int(st, 3) != 0, sqlite3_column_int(st, 5) != 0}});
    sqlite3_finalize(st);
    if (std::any_of(existing.begin(), existing.end(), [](const auto &c) { return c.second.inKey; }))
        return refuse(1779, "Table '" + name + "' already has a primary key defined on it.");
    std::string list;
    size_t from = 0;
    while (from <= columns.size()) {
        const size_t comma = std::min(columns.find(',', from), columns.size());
        std::string column = trim(columns.substr(from, comma - from));
        if (column.size() > 1 && column.front() == '[' && column.back() == ']')
            column = column.substr(1, column.size() - 2);
        const auto it = std::find_if(existing.begin(), existing.end(), [&](const auto &c) { return c.first == lower(column); });
        if (it == existing.end())
            return refuse(1911, "Column name '" + column + "' does not exist in the target table or view.");
        if (!it->second.notNull)
            return refuse(8111, "Cannot define PRIMARY KEY constraint on nullable column in table '" + name + "'.");
        list += (list.empty() ? "" : ", ") + quotedName(column);
        from = comma + 1;
    }
    const size_t open = definition.find('('), close = definition.rfind(')');
    const std::string rebuilt = quotedName("vesk new key");
    const std::string steps[] = {
        "SAVEPOINT vesk_add_key",
        "CREATE TABLE " + rebuilt + " " + definition.substr(open, close - open) + ", CONSTRAINT " + quotedName(key)
            + " PRIMARY KEY (" + list + "))",
        "INSERT INTO " + rebuilt + " SELECT * FROM " + quotedName(name),
        "DROP TABLE " + quotedName(name),
        "ALTER TABLE " + rebuilt + " RENAME TO " + quotedName(name),
        "RELEASE vesk_add_key",
    };
    for (const std::string &step : steps)
        if (sqlite3_exec(handle, step.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            const std::string msg = sqlite3_errmsg(handle);
            sqlite3_exec(handle, "ROLLBACK TO vesk_add_key; RELEASE vesk_add_key", nullptr, nullptr, nullptr);
            if (msg.rfind("UNIQUE constraint failed", 0) == 0)
                return refuse(1505, "The CREATE UNIQUE INDEX statement terminated because a duplicate key was found for "
                                    "the object name 'dbo." + name + "' and the index name '" + key + "'.");
            return refuse(mapError(msg, step).number, mapError(msg, step).text);
        }
    storeInCodePage(name);
    sink.done(0, false, 0, more);
    return true;
}

// A varchar column keeps only what its code page holds, as SQL Server stores it: triggers
// put every text written to it through that code page.
void Database::storeInCodePage(const std::string &table)
{
    sqlite3_stmt *st = nullptr;
    const std::string info = "PRAGMA table_info(" + quotedName(table) + ")";
    if (sqlite3_prepare_v2(handle, info.c_str(), -1, &st, nullptr) != SQLITE_OK)
        return;
    std::vector<std::pair<std::string, std::string>> columns; // name, collation
    while (sqlite3_step(st) == SQLITE_ROW) {
        const std::string name = reinterpret_cast<const char *>(sqlite3_column_text(st, 1));
        const std::string type = lower(reinterpret_cast<const char *>(sqlite3_column_text(st, 2)));
        if (!(type.rfind("varchar", 0) == 0 || type.rfind("char", 0) == 0 || type.rfind("text", 0) == 0))
            continue;
        const char *collseq = nullptr;
        sqlite3_table_column_metadata(handle, "main", table.c_str(), name.c_str(), nullptr, &collseq, nullptr, nullptr,
                                      nullptr);
        const tds::Collation *own = collseq ? tds::findCollation(collseq) : nullptr;
        const tds::Collation &c = own ? *own : collation;
        if (std::string_view(c.charset) != "UTF-8")
            columns.emplace_back(name, c.name);
    }
    sqlite3_finalize(st);
    for (const auto &[name, coll] : columns) {
        const std::string t = quotedName(table), c = quotedName(name), f = "tsql_codepage(NEW." + c + ", '" + coll + "')";
        const std::string set = "UPDATE " + t + " SET " + c + " = " + f + " WHERE rowid = NEW.rowid; END";
        for (const char *when : {"INSERT", "UPDATE OF"}) {
            const std::string trigger = quotedName("codepage " + std::string(when) + " " + table + "." + name);
            const std::string sql = "CREATE TRIGGER IF NOT EXISTS " + trigger + " AFTER " + when
                                    + (std::string(when) == "INSERT" ? " ON " : " " + c + " ON ") + t + " WHEN NEW." + c
                                    + " IS NOT " + f + " BEGIN " + set;
            sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr);
        }
    }
}

bool Database::runSqlite(const std::string &sql, const std::vector<Param> &params, Sink &sink, bool more,
                         const std::vector<std::pair<Column, Value>> &extra)
{
    sqlite3_stmt *st = nullptr;
    auto fail = [&](const std::string &msg) {
        sink.error(mapError(msg, sql));
        sink.done(0, false, 0, false);
        sqlite3_finalize(st);
        return false;
    };
    if (sqlite3_prepare_v2(handle, sql.c_str(), int(sql.size()), &st, nullptr) != SQLITE_OK)
        return fail(sqlite3_errmsg(handle));
    if (!st) { // only a comment
        sink.done(0, false, 0, more);
        return true;
    }
    for (size_t k = 0; k < params.size(); ++k) {
        int idx = params[k].name.empty() ? int(k + 1) : sqlite3_bind_parameter_index(st, params[k].name.c_str());
        if (idx <= 0)
            continue; // declared but unused, as SQL Server allows
        const Value &v = params[k].value;
        switch (v.kind) {
        case Value::Null: sqlite3_bind_null(st, idx); break;
        case Value::Int: sqlite3_bind_int64(st, idx, v.i); break;
        case Value::Real: sqlite3_bind_double(st, idx, v.r); break;
        case Value::Text: sqlite3_bind_text(st, idx, v.s.data(), int(v.s.size()), SQLITE_STATIC); break;
        case Value::Blob: sqlite3_bind_blob(st, idx, v.s.data(), int(v.s.size()), SQLITE_STATIC); break;
        }
    }
    const int ncols = sqlite3_column_count(st);
    if (ncols == 0) {
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        }
        if (rc != SQLITE_DONE)
            return fail(sqlite3_errmsg(handle));
        uint16_t cmd = commandCode(sql);
        bool counted = cmd == 0xC3 || cmd == 0xC4 || cmd == 0xC5;
        sink.done(cmd, counted, counted ? uint64_t(sqlite3_changes(handle)) : 0, more);
        sqlite3_finalize(st);
        return true;
    }
    int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return fail(sqlite3_errmsg(handle));
    std::vector<Column> cols;
    std::vector<Value> values(size_t(ncols) + extra.size());
    for (int i = 0; i < ncols; ++i) {
        Value first = rc == SQLITE_ROW ? readColumn(st, i) : Value::null();
        const char *table = sqlite3_column_table_name(st, i), *origin = sqlite3_column_origin_name(st, i);
        const char *collseq = nullptr;
        if (table && origin)
            sqlite3_table_column_metadata(handle, "main", table, origin, nullptr, &collseq, nullptr, nullptr, nullptr);
        cols.push_back(columnFor(sqlite3_column_name(st, i), sqlite3_column_decltype(st, i), first, table, collseq));
    }
    for (auto &[c, v] : extra)
        cols.push_back(c);
    sink.columns(cols);
    uint64_t rows = 0;
    while (rc == SQLITE_ROW) {
        for (int i = 0; i < ncols; ++i)
            values[size_t(i)] = readColumn(st, i);
        for (size_t k = 0; k < extra.size(); ++k)
            values[size_t(ncols) + k] = extra[k].second;
        sink.row(cols, values);
        ++rows;
        rc = sqlite3_step(st);
    }
    if (rc != SQLITE_DONE)
        return fail(sqlite3_errmsg(handle));
    sqlite3_finalize(st);
    sink.done(0xC1, true, rows, more);
    return true;
}

} // namespace db
