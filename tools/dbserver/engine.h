// Runs T-SQL statements on a SQLite file, answering with SQL Server's types and errors.
#pragma once

#include "wire.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace db {

struct Value {
    enum Kind { Null, Int, Real, Text, Blob } kind = Null;
    int64_t i = 0;
    double r = 0;
    std::string s; // UTF-8 text or raw bytes
    static Value null() { return {}; }
    static Value integer(int64_t v) { Value x; x.kind = Int; x.i = v; return x; }
    static Value real(double v) { Value x; x.kind = Real; x.r = v; return x; }
    static Value text(std::string v) { Value x; x.kind = Text; x.s = std::move(v); return x; }
    static Value blob(std::string v) { Value x; x.kind = Blob; x.s = std::move(v); return x; }
};

enum class ColType { Int1, Int2, Int4, Int8, Bit, Float, DateTime, VarChar, NVarChar, VarBinary, Image };

struct Column {
    std::string name;
    ColType type = ColType::Int4;
    uint32_t size = 4;   // bytes for the fixed and bounded types
    bool max = false;    // varchar(max), nvarchar(max), varbinary(max): sent as PLP
    std::string table;   // for image columns
    const tds::Collation *collation = nullptr; // text columns: their own; nullptr: the database's
};

struct SqlError {
    int32_t number = 50000;
    uint8_t state = 1;
    uint8_t severity = 16;
    std::string text;
};

struct Param {
    std::string name; // "@P1", may be empty: then bound by position
    Value value;
};

// What a statement's execution reports; the session turns it into TDS tokens.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void columns(const std::vector<Column> &cols) = 0;
    virtual void row(const std::vector<Column> &cols, const std::vector<Value> &values) = 0;
    // curcmd is the TDS command code: 0xC1 select, 0xC3 insert, 0xC4 delete, 0xC5 update, 0 other.
    virtual void done(uint16_t curcmd, bool counted, uint64_t rows, bool more) = 0;
    virtual void error(const SqlError &e) = 0;
};

// What SET has changed for a connection; it outlives a USE.
struct SessionOptions {
    bool quotedIdentifier = true;
};

class Database {
public:
    // Opens dataDir/name.sqlite; it must exist. Text columns without a collation of their
    // own take the database's.
    Database(const std::string &path, const std::string &name, const tds::Collation &collation,
             SessionOptions *options = nullptr);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    const std::string &name() const { return dbName; }

    // Runs one statement (see splitStatements); more tells whether others follow it.
    // Returns false after reporting an error to the sink.
    bool exec(const std::string &stmt, const std::vector<Param> &params, Sink &sink, bool more);

    static bool exists(const std::string &path);
    static void create(const std::string &path);

private:
    bool runSqlite(const std::string &sql, const std::vector<Param> &params, Sink &sink, bool more,
                   const std::vector<std::pair<Column, Value>> &extra);
    SqlError lastError() const;
    void storeInCodePage(const std::string &table);
    bool addPrimaryKey(const std::string &table, const std::string &key, const std::string &columns, Sink &sink,
                       bool more);

    sqlite3 *handle = nullptr;
    SessionOptions ownOptions;
    SessionOptions *options;
    std::string dbName;
    const tds::Collation &collation;
};

// Splits a batch at top-level semicolons and "GO" lines, outside quotes and comments.
std::vector<std::string> splitStatements(const std::string &batch);

// The database a "USE name" statement names ([name] unbracketed); nothing for other statements.
std::optional<std::string> usedDatabase(const std::string &stmt);

std::string lower(std::string s);

// The T-SQL to SQLite rewrite: N'..' literals, (max) lengths, case-insensitive text columns.
std::string translate(const std::string &stmt);

// SQL Server's datetime in the form the stand-in stores it: "YYYY-MM-DD HH:MM:SS.mmm".
std::string formatDateTime(int64_t daysSince1900, int64_t msOfDay);
bool parseDateTime(const std::string &text, int32_t &days, uint32_t &ticks);

} // namespace db
