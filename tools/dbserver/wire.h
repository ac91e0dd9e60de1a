// TDS 7.4 wire encoding for the local SQL Server stand-in.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tds {

// Packet types.
enum : uint8_t {
    PktSqlBatch = 0x01,
    PktRpc = 0x03,
    PktReply = 0x04,
    PktAttention = 0x06,
    PktLogin7 = 0x10,
    PktTransMgr = 0x0E,
    PktPrelogin = 0x12,
};

// Data types (MS-TDS 2.2.5.4).
enum : uint8_t {
    TNull = 0x1F, TInt1 = 0x30, TBit = 0x32, TInt2 = 0x34, TInt4 = 0x38,
    TDateTim4 = 0x3A, TFlt4 = 0x3B, TMoney = 0x3C, TDateTime = 0x3D, TFlt8 = 0x3E,
    TMoney4 = 0x7A, TInt8 = 0x7F,
    TGuid = 0x24, TIntN = 0x26, TDateN = 0x28, TTimeN = 0x29, TDateTime2N = 0x2A,
    TDateTimeOffsetN = 0x2B, TBitN = 0x68, TDecimalN = 0x6A, TNumericN = 0x6C,
    TFltN = 0x6D, TMoneyN = 0x6E, TDateTimN = 0x6F,
    TBigVarBin = 0xA5, TBigVarChr = 0xA7, TBigBinary = 0xAD, TBigChar = 0xAF,
    TNVarChar = 0xE7, TNChar = 0xEF, TXml = 0xF1, TUdt = 0xF0,
    TText = 0x23, TImage = 0x22, TNText = 0x63, TSsVariant = 0x62,
};

struct ProtocolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Little-endian reader over a received message.
class Reader {
public:
    explicit Reader(std::string_view data) : d(data) {}
    size_t left() const { return d.size() - pos; }
    size_t offset() const { return pos; }
    void seek(size_t p) { if (p > d.size()) throw ProtocolError("seek past end"); pos = p; }
    uint8_t u8() { need(1); return uint8_t(d[pos++]); }
    uint16_t u16() { need(2); uint16_t v = uint8_t(d[pos]) | uint8_t(d[pos + 1]) << 8; pos += 2; return v; }
    uint32_t u32() { uint32_t lo = u16(); return lo | uint32_t(u16()) << 16; }
    uint64_t u64() { uint64_t lo = u32(); return lo | uint64_t(u32()) << 32; }
    std::string_view bytes(size_t n) { need(n); auto s = d.substr(pos, n); pos += n; return s; }
    std::string_view raw() const { return d; }

private:
    void need(size_t n) const { if (left() < n) throw ProtocolError("message ends early"); }
    std::string_view d;
    size_t pos = 0;
};

// Little-endian writer into a growing byte string.
class Writer {
public:
    std::string buf;
    void u8(uint8_t v) { buf.push_back(char(v)); }
    void u16(uint16_t v) { u8(v & 0xFF); u8(v >> 8); }
    void u32(uint32_t v) { u16(v & 0xFFFF); u16(v >> 16); }
    void u64(uint64_t v) { u32(uint32_t(v)); u32(uint32_t(v >> 32)); }
    void bytes(std::string_view s) { buf.append(s); }
    // B_VARCHAR / US_VARCHAR: character count, then UCS-2.
    void bvarchar(std::string_view utf8);
    void usvarchar(std::string_view utf8);
};

// Text conversions. UTF-8 is the stand-in's own storage form.
std::string utf16leToUtf8(std::string_view ucs2);
std::string utf8ToUtf16le(std::string_view utf8);
size_t utf16Units(std::string_view utf8);

// A collation as TDS carries it (LCID, comparison flags, version, sort id) and the code
// page of the varchar data under it.
struct Collation {
    const char *name;
    char bytes[5];
    const char *charset; // iconv's name of the code page
};
// Chinese_PRC_CI_AS (code page 936), Latin1_General_CI_AS and SQL_Latin1_General_CP1_CI_AS
// (1252), Latin1_General_100_CI_AS_SC_UTF8 (UTF-8); nullptr for another name.
const Collation *findCollation(std::string_view name);
const Collation &defaultCollation(); // Chinese_PRC_CI_AS
// The collation a client's TDS bytes name, as far as its code page goes.
const Collation &collationOf(std::string_view bytes);
// Text in the collation's code page, a character it lacks becoming '?' as SQL Server stores it.
std::string toCodePage(const Collation &c, std::string_view utf8);
std::string fromCodePage(const Collation &c, std::string_view bytes);

// LOGIN7 password obfuscation.
std::string decodePassword(std::string_view ucs2);

} // namespace tds
