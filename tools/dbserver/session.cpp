#include "session.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using db::ColType;
using db::Column;
using db::Value;
using tds::Reader;

namespace {

constexpr uint16_t DoneMore = 0x01, DoneError = 0x02, DoneCount = 0x10, DoneAttn = 0x20;
constexpr uint8_t TokDone = 0xFD, TokDoneProc = 0xFE, TokDoneInProc = 0xFF;

bool readFull(int fd, char *p, size_t n)
{
    while (n > 0) {
        ssize_t k = ::recv(fd, p, n, 0);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

bool writeFull(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

// TDS 7.2+ requests start with ALL_HEADERS; its first field is its own length.
void skipAllHeaders(Reader &r)
{
    uint32_t total = r.u32();
    if (total < 4 || total > r.raw().size())
        throw tds::ProtocolError("bad ALL_HEADERS");
    r.seek(total);
}

std::string readPlp(Reader &r, bool &isNull)
{
    uint64_t total = r.u64();
    isNull = total == ~uint64_t(0);
    std::string s;
    if (isNull)
        return s;
    if (total != ~uint64_t(0) - 1)
        s.reserve(size_t(total));
    for (;;) {
        uint32_t n = r.u32();
        if (n == 0)
            break;
        s.append(r.bytes(n));
    }
    return s;
}

int64_t readLe(std::string_view b)
{
    uint64_t v = 0;
    for (size_t i = 0; i < b.size(); ++i)
        v |= uint64_t(uint8_t(b[i])) << (8 * i);
    if (!b.empty() && b.size() < 8 && (uint8_t(b.back()) & 0x80))
        v |= ~uint64_t(0) << (8 * b.size());
    return int64_t(v);
}

Value datetimeValue(int32_t days, uint32_t ticks)
{
    return Value::text(db::formatDateTime(days, (int64_t(ticks) * 1000 + 150) / 300));
}

// One value of an RPC parameter with its TYPE_INFO.
Value readTypedValue(Reader &r)
{
    uint8_t type = r.u8();
    auto fixed = [&](size_t n) { return r.bytes(n); };
    auto intValue = [&](std::string_view b) { return Value::integer(readLe(b)); };
    auto floatValue = [&](std::string_view b) {
        if (b.size() == 4) { float f; std::memcpy(&f, b.data(), 4); return Value::real(f); }
        double d; std::memcpy(&d, b.data(), 8); return Value::real(d);
    };
    auto datetime = [&](std::string_view b) {
        Reader x(b);
        if (b.size() == 4) { uint16_t d = x.u16(); uint16_t m = x.u16(); return datetimeValue(d, uint32_t(m) * 60 * 300); }
        int32_t d = int32_t(x.u32());
        return datetimeValue(d, x.u32());
    };
    auto money = [&](std::string_view b) {
        int64_t v = b.size() == 4 ? readLe(b) : (int64_t(uint32_t(readLe(b.substr(0, 4)))) << 32 | uint32_t(readLe(b.substr(4, 4))));
        return Value::real(double(v) / 10000.0);
    };
    switch (type) {
    case tds::TNull: return Value::null();
    case tds::TInt1: return Value::integer(uint8_t(fixed(1)[0]));
    case tds::TBit: return Value::integer(fixed(1)[0] != 0);
    case tds::TInt2: return intValue(fixed(2));
    case tds::TInt4: return intValue(fixed(4));
    case tds::TInt8: return intValue(fixed(8));
    case tds::TFlt4: return floatValue(fixed(4));
    case tds::TFlt8: return floatValue(fixed(8));
    case tds::TDateTime: return datetime(fixed(8));
    case tds::TDateTim4: return datetime(fixed(4));
    case tds::TMoney: return money(fixed(8));
    case tds::TMoney4: return money(fixed(4));
    case tds::TIntN: case tds::TBitN: case tds::TFltN: case tds::TDateTimN: case tds::TMoneyN: case tds::TGuid: {
        r.u8(); // max length
        uint8_t n = r.u8();
        if (n == 0)
            return Value::null();
        auto b = r.bytes(n);
        if (type == tds::TIntN) return n == 1 ? Value::integer(uint8_t(b[0])) : intValue(b);
        if (type == tds::TBitN) return Value::integer(b[0] != 0);
        if (type == tds::TFltN) return floatValue(b);
        if (type == tds::TDateTimN) return datetime(b);
        if (type == tds::TMoneyN) return money(b);
        return Value::blob(std::string(b));
    }
    case tds::TDecimalN: case tds::TNumericN: {
        r.u8();
        r.u8(); // precision
        uint8_t scale = r.u8();
        uint8_t n = r.u8();
        if (n == 0)
            return Value::null();
        uint8_t sign = r.u8();
        auto mag = r.bytes(n - 1u);
        long double v = 0;
        for (size_t i = mag.size(); i-- > 0;)
            v = v * 256 + uint8_t(mag[i]);
        for (int k = 0; k < scale; ++k)
            v /= 10;
        if (!sign)
            v = -v;
        if (scale == 0 && v >= -9.2e18L && v <= 9.2e18L)
            return Value::integer(int64_t(v));
        return Value::real(double(v));
    }
    case tds::TDateN: {
        uint8_t n = r.u8();
        if (n == 0)
            return Value::null();
        int64_t d = readLe(r.bytes(3)) & 0xFFFFFF; // days since 0001-01-01
        return Value::text(db::formatDateTime(d - 693595, 0).substr(0, 10));
    }
    case tds::TTimeN: case tds::TDateTime2N: case tds::TDateTimeOffsetN: {
        uint8_t scale = r.u8();
        uint8_t n = r.u8();
        if (n == 0)
            return Value::null();
        auto b = r.bytes(n);
        size_t tlen = scale <= 2 ? 3 : scale <= 4 ? 4 : 5;
        int64_t t = readLe(std::string(b.substr(0, tlen)) + std::string(8 - tlen, '\0'));
        for (int k = scale; k < 7; ++k)
            t *= 10;
        int64_t ms = t / 10000;
        if (type == tds::TTimeN)
            return Value::text(db::formatDateTime(0, ms).substr(11));
        int64_t d = readLe(std::string(b.substr(tlen, 3)) + std::string(5, '\0'));
        return Value::text(db::formatDateTime(d - 693595, ms));
    }
    case tds::TBigVarChr: case tds::TBigChar: case tds::TNVarChar: case tds::TNChar:
    case tds::TBigVarBin: case tds::TBigBinary: {
        uint16_t maxLen = r.u16();
        std::string collation;
        bool isText = type != tds::TBigVarBin && type != tds::TBigBinary;
        if (isText)
            collation = std::string(r.bytes(5));
        std::string bytes;
        if (maxLen == 0xFFFF) {
            bool isNull;
            bytes = readPlp(r, isNull);
            if (isNull)
                return Value::null();
        } else {
            uint16_t n = r.u16();
            if (n == 0xFFFF)
                return Value::null();
            bytes = std::string(r.bytes(n));
        }
        if (type == tds::TNVarChar || type == tds::TNChar)
            return Value::text(tds::utf16leToUtf8(bytes));
        if (isText)
            return Value::text(tds::fromCodePage(tds::collationOf(collation), bytes));
        return Value::blob(std::move(bytes));
    }
    case tds::TText: case tds::TNText: case tds::TImage: {
        r.u32();
        std::string collation;
        if (type != tds::TImage)
            collation = std::string(r.bytes(5));
        uint32_t n = r.u32();
        if (n == 0xFFFFFFFF)
            return Value::null();
        std::string bytes(r.bytes(n));
        if (type == tds::TNText)
            return Value::text(tds::utf16leToUtf8(bytes));
        if (type == tds::TText)
            return Value::text(tds::fromCodePage(tds::collationOf(collation), bytes));
        return Value::blob(std::move(bytes));
    }
    default:
        throw tds::ProtocolError("parameter type " + std::to_string(type) + " not supported");
    }
}

std::vector<std::string> declaredNames(const std::string &decls)
{
    std::vector<std::string> names;
    int depth = 0;
    std::string cur;
    auto flush = [&] {
        size_t b = cur.find('@');
        if (b != std::string::npos) {
            size_t e = b;
            while (e < cur.size() && !std::isspace(uint8_t(cur[e])))
                ++e;
            names.push_back(cur.substr(b, e - b));
        }
        cur.clear();
    };
    for (char c : decls) {
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (c == ',' && depth == 0) flush();
        else cur.push_back(c);
    }
    flush();
    return names;
}

struct RpcParam {
    std::string name;
    uint8_t status = 0;
    Value value;
};

} // namespace

Session::Session(int fd_, ServerConfig &cfg_) : fd(fd_), cfg(cfg_), spid(uint16_t(cfg_.nextSpid++)) {}

bool Session::readMessage(uint8_t &type, std::string &payload)
{
    payload.clear();
    for (bool first = true;; first = false) {
        char h[8];
        if (!receive(h, 8))
            return false;
        uint16_t len = uint16_t(uint8_t(h[2]) << 8 | uint8_t(h[3]));
        if (len < 8)
            return false;
        if (first)
            type = uint8_t(h[0]);
        size_t at = payload.size();
        payload.resize(at + len - 8u);
        if (!receive(payload.data() + at, len - 8u))
            return false;
        if (uint8_t(h[1]) & 0x01)
            return true;
    }
}

void Session::flushPackets(bool final)
{
    const size_t chunk = packetSize - 8;
    std::string wire;
    size_t pos = 0;
    static thread_local uint8_t packetId = 1;
    for (;;) {
        size_t left = out.buf.size() - pos;
        if (!final && left <= chunk)
            break;
        size_t n = std::min(left, chunk);
        bool last = final && left <= chunk;
        char h[8] = {char(tds::PktReply), char(last ? 1 : 0), char((n + 8) >> 8), char((n + 8) & 0xFF),
                     char(spid >> 8), char(spid & 0xFF), char(packetId++), 0};
        wire.append(h, 8);
        wire.append(out.buf, pos, n);
        pos += n;
        if (last)
            break;
    }
    out.buf.erase(0, pos);
    if (!wire.empty() && !send(wire.data(), wire.size()))
        throw tds::ProtocolError("client went away");
}

bool Session::send(const char *data, size_t size)
{
    if (cfg.rateBytes <= 0)
        return transmit(data, size);
    constexpr size_t kSlice = 16 * 1024;
    for (size_t at = 0; at < size; at += kSlice) {
        const size_t n = std::min(kSlice, size - at);
        if (!transmit(data + at, n))
            return false;
        // A token bucket of one slice: the link is busy for n / rate after it was free.
        const auto now = std::chrono::steady_clock::now();
        linkFree = std::max(linkFree, now) + std::chrono::microseconds(int64_t(n) * 1000000 / cfg.rateBytes);
        std::this_thread::sleep_until(linkFree);
    }
    return true;
}

void Session::flushUnfinished()
{
    flushPackets(false);
    if (out.buf.empty())
        return;
    const size_t n = out.buf.size();
    const char h[8] = {char(tds::PktReply), 0, char((n + 8) >> 8), char((n + 8) & 0xFF), char(spid >> 8),
                       char(spid & 0xFF), 1, 0};
    std::string wire(h, 8);
    wire += out.buf;
    out.buf.clear();
    if (!send(wire.data(), wire.size()))
        throw tds::ProtocolError("client went away");
}

void Session::endMessage()
{
    flushPackets(true);
}

void Session::envChange(uint8_t type, const std::string &newValue, const std::string &oldValue)
{
    tds::Writer w;
    w.u8(type);
    w.bvarchar(newValue);
    w.bvarchar(oldValue);
    out.u8(0xE3);
    out.u16(uint16_t(w.buf.size()));
    out.bytes(w.buf);
}

void Session::errorToken(const db::SqlError &e)
{
    tds::Writer w;
    w.u32(uint32_t(e.number));
    w.u8(e.state);
    w.u8(e.severity);
    w.usvarchar(e.text);
    w.bvarchar("VESKDB");
    w.bvarchar("");
    w.u32(1);
    out.u8(0xAA);
    out.u16(uint16_t(w.buf.size()));
    out.bytes(w.buf);
}

void Session::doneToken(uint8_t token, uint16_t status, uint16_t curcmd, uint64_t rows)
{
    out.u8(token);
    out.u16(status);
    out.u16(curcmd);
    out.u64(rows);
}

// PRELOGIN's ENCRYPTION option (MS-TDS 2.2.6.5).
enum : uint8_t { EncryptOff = 0, EncryptOn = 1, EncryptNotSup = 2, EncryptReq = 3 };

bool Session::prelogin(const std::string &payload)
{
    uint8_t asked = EncryptNotSup;
    try {
        Reader r(payload);
        for (uint8_t token = r.u8(); token != 0xFF; token = r.u8()) {
            const uint8_t atHigh = r.u8(), atLow = r.u8(), lenHigh = r.u8(), lenLow = r.u8(); // big-endian
            const size_t at = size_t(atHigh) << 8 | atLow, len = size_t(lenHigh) << 8 | lenLow;
            if (token == 1 && len >= 1 && at < payload.size())
                asked = uint8_t(payload[at]);
        }
    } catch (const tds::ProtocolError &) {
    }
    // As SQL Server answers with a certificate: the login alone encrypted when the client
    // asks no more, the whole session when it asks for encryption.
    uint8_t answer = EncryptNotSup;
    if (cfg.tls && asked != EncryptNotSup)
        answer = asked == EncryptOff ? EncryptOff : EncryptOn;
    unsigned char reply[] = {
        0x00, 0x00, 0x1A, 0x00, 0x06, 0x01, 0x00, 0x20, 0x00, 0x01, 0x02, 0x00, 0x21, 0x00, 0x01,
        0x03, 0x00, 0x22, 0x00, 0x00, 0x04, 0x00, 0x22, 0x00, 0x01, 0xFF,
        0x0C, 0x00, 0x07, 0xD0, 0x00, 0x00, // version
        answer,
        0x00,                               // instance accepted
        0x00,                               // no MARS
    };
    out.bytes(std::string_view(reinterpret_cast<const char *>(reply), sizeof reply));
    endMessage();
    if (answer == EncryptNotSup)
        return true;
    tlsLoginOnly = answer == EncryptOff;
    return tlsHandshake();
}

Session::~Session()
{
    if (ssl)
        SSL_free(ssl);
}

bool Session::tlsHandshake()
{
    ssl = SSL_new(cfg.tls);
    if (!ssl)
        return false;
    SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_accept_state(ssl);
    for (;;) {
        const int r = SSL_do_handshake(ssl);
        // What the handshake wrote goes back in PRELOGIN packets.
        BIO *w = SSL_get_wbio(ssl);
        while (BIO_ctrl_pending(w) > 0) {
            char buf[4096 - 8];
            const int n = BIO_read(w, buf, sizeof buf);
            if (n <= 0)
                break;
            const bool last = BIO_ctrl_pending(w) == 0;
            const char h[8] = {char(tds::PktPrelogin), char(last ? 1 : 0), char((n + 8) >> 8), char((n + 8) & 0xFF),
                               0, 0, 1, 0};
            std::string wire(h, 8);
            wire.append(buf, size_t(n));
            if (!writeFull(fd, wire.data(), wire.size()))
                return false;
        }
        if (r == 1)
            break;
        if (SSL_get_error(ssl, r) != SSL_ERROR_WANT_READ) {
            char why[256];
            ERR_error_string_n(ERR_get_error(), why, sizeof why);
            fprintf(stderr, "vesk-dbserver: connection %u: TLS handshake failed: %s\n", spid, why);
            return false;
        }
        uint8_t type = 0;
        std::string payload;
        if (!readMessage(type, payload) || type != tds::PktPrelogin)
            return false;
        BIO_write(SSL_get_rbio(ssl), payload.data(), int(payload.size()));
    }
    tlsOn = true;
    return true;
}

void Session::tlsOff()
{
    tlsOn = false;
    SSL_free(ssl);
    ssl = nullptr;
}

bool Session::receive(char *p, size_t n)
{
    if (!tlsOn)
        return readFull(fd, p, n);
    while (n > 0) {
        const int k = SSL_read(ssl, p, int(std::min<size_t>(n, 1 << 20)));
        if (k > 0) {
            p += k;
            n -= size_t(k);
            continue;
        }
        if (SSL_get_error(ssl, k) != SSL_ERROR_WANT_READ)
            return false;
        char buf[16384];
        ssize_t got;
        do
            got = ::recv(fd, buf, sizeof buf, 0);
        while (got < 0 && errno == EINTR);
        if (got <= 0)
            return false;
        BIO_write(SSL_get_rbio(ssl), buf, int(got));
    }
    return true;
}

bool Session::transmit(const char *p, size_t n)
{
    if (!tlsOn)
        return writeFull(fd, p, n);
    if (n > 0 && SSL_write(ssl, p, int(n)) <= 0)
        return false;
    BIO *w = SSL_get_wbio(ssl);
    char buf[16384];
    for (int k; (k = BIO_read(w, buf, sizeof buf)) > 0;)
        if (!writeFull(fd, buf, size_t(k)))
            return false;
    return true;
}

bool Session::login(const std::string &payload)
{
    Reader r(payload);
    r.seek(8);
    uint32_t wanted = r.u32();
    auto field = [&](size_t at) {
        r.seek(at);
        uint16_t off = r.u16(), cch = r.u16();
        if (size_t(off) + cch * 2u > payload.size())
            throw tds::ProtocolError("bad LOGIN7 field");
        return std::string_view(payload).substr(off, cch * 2u);
    };
    std::string user = tds::utf16leToUtf8(field(40));
    std::string password = tds::decodePassword(field(44));
    std::string dbname = tds::utf16leToUtf8(field(68));
    if (getenv("VESK_DBSERVER_TRACE") && payload.size() > 25)
        fprintf(stderr, "vesk-dbserver: %u: login to '%s', option flags 2 0x%02x\n", spid, dbname.c_str(),
                unsigned(uint8_t(payload[25])));
    if (!cfg.loginLog.empty()) {
        // Raw, so that a test sees exactly what the client put there, NULs included.
        const std::string_view server = field(52);
        static const char digits[] = "0123456789abcdef";
        std::string line;
        for (unsigned char c : server) {
            line += digits[c >> 4];
            line += digits[c & 15];
        }
        std::lock_guard<std::mutex> g(cfg.loginLogLock);
        if (FILE *f = fopen(cfg.loginLog.c_str(), "a")) {
            fprintf(f, "%s\n", line.c_str());
            fclose(f);
        }
    }
    if (wanted >= 512 && wanted <= 32767)
        packetSize = wanted;

    auto refuse = [&](std::vector<db::SqlError> errors) {
        for (auto &e : errors)
            errorToken(e);
        doneToken(TokDone, DoneError, 0, 0);
        endMessage();
        return false;
    };
    db::SqlError loginFailed{18456, 1, 14, "Login failed for user '" + user + "'."};
    auto it = cfg.logins.find(user);
    if (it == cfg.logins.end() || it->second != password)
        return refuse({loginFailed});
    readOnly = cfg.readOnlyLogins.count(user) > 0;
    // An ODBC client's login (fODBC) turns the ANSI defaults on, QUOTED_IDENTIFIER among them.
    options.quotedIdentifier = payload.size() > 25 && (uint8_t(payload[25]) & 0x02);
    if (dbname.empty())
        dbname = cfg.defaultDatabase;
    if (!useDatabase(dbname, false)) {
        db::SqlError e{4060, 1, 11, "Cannot open database \"" + dbname + "\" requested by the login. The login failed."};
        return refuse({e, loginFailed});
    }
    envChange(1, database->name(), "master");
    out.u8(0xE3);
    out.u16(8);
    out.u8(7);
    out.u8(5);
    out.bytes(std::string_view(cfg.collation->bytes, 5));
    out.u8(0);
    tds::Writer ack;
    ack.u8(1);
    ack.bytes(std::string_view("\x74\x00\x00\x04", 4));
    ack.bvarchar("Microsoft SQL Server");
    ack.bytes(std::string_view("\x0C\x00\x07\xD0", 4));
    out.u8(0xAD);
    out.u16(uint16_t(ack.buf.size()));
    out.bytes(ack.buf);
    envChange(4, std::to_string(packetSize), "4096");
    doneToken(TokDone, 0, 0, 0);
    endMessage();
    return true;
}

bool Session::useDatabase(const std::string &name, bool announce)
{
    std::string path = cfg.dataDir + "/" + name + ".sqlite";
    if (name.empty() || name.find('/') != std::string::npos || name.find("..") != std::string::npos
        || !db::Database::exists(path))
        return false;
    std::string old = database ? database->name() : "master";
    database = std::make_unique<db::Database>(path, name, *cfg.collation, &options);
    if (announce)
        envChange(1, name, old);
    return true;
}

// db::Sink ---------------------------------------------------------------

void Session::typeInfo(const Column &c)
{
    switch (c.type) {
    case ColType::Int1: case ColType::Int2: case ColType::Int4: case ColType::Int8:
        out.u8(tds::TIntN); out.u8(uint8_t(c.size)); break;
    case ColType::Bit: out.u8(tds::TBitN); out.u8(1); break;
    case ColType::Float: out.u8(tds::TFltN); out.u8(8); break;
    case ColType::DateTime: out.u8(tds::TDateTimN); out.u8(8); break;
    case ColType::VarChar:
        out.u8(tds::TBigVarChr); out.u16(c.max ? 0xFFFF : uint16_t(c.size)); out.bytes(std::string_view(collationOf(c).bytes, 5)); break;
    case ColType::NVarChar:
        out.u8(tds::TNVarChar); out.u16(c.max ? 0xFFFF : uint16_t(c.size)); out.bytes(std::string_view(collationOf(c).bytes, 5)); break;
    case ColType::VarBinary:
        out.u8(tds::TBigVarBin); out.u16(c.max ? 0xFFFF : uint16_t(c.size)); break;
    case ColType::Image:
        out.u8(tds::TImage);
        out.u32(0x7FFFFFFF);
        out.u8(2);
        out.usvarchar("dbo");
        out.usvarchar(c.table.empty() ? "t" : db::lower(c.table));
        break;
    }
}

const tds::Collation &Session::collationOf(const Column &c) const
{
    return c.collation ? *c.collation : *cfg.collation;
}

void Session::columns(const std::vector<Column> &cols)
{
    out.u8(0x81);
    out.u16(uint16_t(cols.size()));
    for (auto &c : cols) {
        out.u32(0);
        out.u16(0x0009);
        typeInfo(c);
        out.bvarchar(c.name);
    }
}

void Session::plp(const std::string &bytes)
{
    out.u64(bytes.size());
    const size_t chunk = 1 << 20;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        size_t n = std::min(chunk, bytes.size() - at);
        out.u32(uint32_t(n));
        out.bytes(std::string_view(bytes).substr(at, n));
        if (out.buf.size() > (4u << 20))
            flushPackets(false);
    }
    out.u32(0);
}

void Session::value(const Column &c, const Value &v)
{
    auto asInt = [&]() -> int64_t {
        if (v.kind == Value::Int) return v.i;
        if (v.kind == Value::Real) return int64_t(v.r);
        return std::strtoll(v.s.c_str(), nullptr, 10);
    };
    auto asText = [&]() -> std::string {
        if (v.kind == Value::Int) return std::to_string(v.i);
        if (v.kind == Value::Real) { char b[64]; snprintf(b, sizeof b, "%.15g", v.r); return b; }
        return v.s;
    };
    switch (c.type) {
    case ColType::Int1: case ColType::Int2: case ColType::Int4: case ColType::Int8: case ColType::Bit: {
        if (v.kind == Value::Null) { out.u8(0); return; }
        int64_t x = asInt();
        out.u8(uint8_t(c.size));
        if (c.type == ColType::Bit) x = x != 0;
        for (uint32_t k = 0; k < c.size; ++k)
            out.u8(uint8_t(uint64_t(x) >> (8 * k)));
        return;
    }
    case ColType::Float: {
        if (v.kind == Value::Null) { out.u8(0); return; }
        double d = v.kind == Value::Real ? v.r : v.kind == Value::Int ? double(v.i) : std::strtod(v.s.c_str(), nullptr);
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        out.u8(8);
        out.u64(bits);
        return;
    }
    case ColType::DateTime: {
        int32_t days;
        uint32_t ticks;
        if (v.kind != Value::Text || !db::parseDateTime(v.s, days, ticks)) { out.u8(0); return; }
        out.u8(8);
        out.u32(uint32_t(days));
        out.u32(ticks);
        return;
    }
    case ColType::Image: {
        if (v.kind == Value::Null) { out.u8(0); return; }
        out.u8(16);
        out.bytes(std::string_view("dummy textptr\0\0\0", 16));
        out.bytes(std::string_view("dummyTS\0", 8));
        std::string b = asText();
        out.u32(uint32_t(b.size()));
        out.bytes(b);
        return;
    }
    case ColType::VarChar: case ColType::NVarChar: case ColType::VarBinary: {
        bool isNull = v.kind == Value::Null;
        std::string b;
        if (!isNull) {
            if (c.type == ColType::VarChar) b = v.kind == Value::Blob ? v.s : tds::toCodePage(collationOf(c), asText());
            else if (c.type == ColType::NVarChar) b = tds::utf8ToUtf16le(asText());
            else b = asText();
        }
        if (c.max) {
            if (isNull) out.u64(~uint64_t(0));
            else plp(b);
            return;
        }
        if (isNull) { out.u16(0xFFFF); return; }
        if (b.size() > c.size)
            b.resize(c.type == ColType::NVarChar ? c.size & ~1u : c.size);
        out.u16(uint16_t(b.size()));
        out.bytes(b);
        return;
    }
    }
}

void Session::row(const std::vector<Column> &cols, const std::vector<Value> &values)
{
    out.u8(0xD1);
    for (size_t i = 0; i < cols.size(); ++i)
        value(cols[i], values[i]);
    if (out.buf.size() > (1u << 20))
        flushPackets(false);
}

void Session::done(uint16_t curcmd, bool counted, uint64_t rows, bool more)
{
    uint16_t status = uint16_t((counted ? DoneCount : 0) | (more || inProc ? DoneMore : 0) | (failed ? DoneError : 0));
    doneToken(inProc ? TokDoneInProc : TokDone, status, curcmd, rows);
}

void Session::error(const db::SqlError &e)
{
    errorToken(e);
    failed = true;
}

// Requests ---------------------------------------------------------------

bool Session::runStatements(const std::string &sql, const std::vector<db::Param> &params, bool insideProc)
{
    inProc = insideProc;
    failed = false;
    auto stmts = db::splitStatements(sql);
    if (stmts.empty())
        done(0, false, 0, false);
    for (size_t i = 0; i < stmts.size(); ++i) {
        bool more = i + 1 < stmts.size();
        const std::string &s = stmts[i];
        const std::string l = db::lower(s);
        if (!cfg.closeAt.empty() && s.find(cfg.closeAt) != std::string::npos) {
            flushUnfinished(); // what came before reaches the client, then the line drops
            throw tds::ProtocolError("cut before \"" + s + "\" as --close-at asks");
        }
        if (const auto name = db::usedDatabase(s)) {
            if (!useDatabase(*name, true)) {
                error({911, 1, 16, "Database '" + *name + "' does not exist. Make sure that the name is entered correctly."});
                done(0, false, 0, false);
                return false;
            }
            done(0, false, 0, more);
            continue;
        }
        if (l.rfind("sp_datatype_info", 0) == 0 || l.rfind("exec sp_datatype_info", 0) == 0) {
            typeInfoResult(l, more);
            continue;
        }
        if (l == "select @@spid") {
            Column c;
            c.name = "";
            columns({c});
            row({c}, {Value::integer(spid)});
            done(0xC1, true, 1, more);
            continue;
        }
        if (const auto refused = refusal(s)) {
            error(*refused);
            done(0, false, 0, false);
            return false;
        }
        if (!database->exec(s, params, *this, more))
            return false;
    }
    return true;
}

std::optional<db::SqlError> Session::refusal(const std::string &stmt) const
{
    if (!readOnly)
        return std::nullopt;
    std::vector<std::string> words;
    for (size_t at = 0; words.size() < 4;) {
        while (at < stmt.size() && (std::isspace(uint8_t(stmt[at])) || stmt[at] == '(' || stmt[at] == ','))
            ++at;
        if (at >= stmt.size())
            break;
        size_t end = at;
        while (end < stmt.size() && !std::isspace(uint8_t(stmt[end])) && stmt[end] != '(' && stmt[end] != ',')
            ++end;
        words.push_back(stmt.substr(at, end - at));
        at = end;
    }
    if (words.empty())
        return std::nullopt;
    const std::string verb = db::lower(words[0]);
    const std::string second = words.size() > 1 ? db::lower(words[1]) : std::string();
    const std::string db = database ? database->name() : "master";
    // The object as SQL Server names it in the message: unquoted, without its schema.
    auto object = [&](size_t i) {
        std::string name = i < words.size() ? words[i] : std::string();
        const size_t dot = name.rfind('.');
        if (dot != std::string::npos)
            name = name.substr(dot + 1);
        name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return c == '[' || c == ']'; }), name.end());
        return name;
    };
    auto denied = [&](const char *permission, const std::string &name) {
        return db::SqlError{229, 5, 14,
                            std::string("The ") + permission + " permission was denied on the object '" + name
                                + "', database '" + db + "', schema 'dbo'."};
    };
    if (verb == "insert")
        return denied("INSERT", object(second == "into" ? 2 : 1));
    if (verb == "update")
        return denied("UPDATE", object(1));
    if (verb == "delete")
        return denied("DELETE", object(second == "from" ? 2 : 1));
    if (verb == "truncate")
        return denied("ALTER", object(2));
    if (verb == "create") {
        std::string kind = second;
        std::transform(kind.begin(), kind.end(), kind.begin(), [](char c) { return char(std::toupper(uint8_t(c))); });
        return db::SqlError{262, 1, 14, "CREATE " + kind + " permission denied in database '" + db + "'."};
    }
    if (verb == "drop")
        return db::SqlError{3701, 1, 14, "Cannot drop the " + second + " '" + object(2)
                                             + "', because it does not exist or you do not have permission."};
    if (verb == "alter")
        return db::SqlError{1088, 1, 16, "Cannot find the object \"" + object(2)
                                             + "\" because it does not exist or you do not have permissions."};
    return std::nullopt;
}

// What SQLGetTypeInfo asks for; the client reads the precision of datetime from it.
void Session::typeInfoResult(const std::string &stmt, bool more)
{
    auto name = stmt.find("sp_datatype_info");
    auto digits = stmt.find_first_of("-0123456789", stmt.find_first_of(" \t", name));
    long wanted = digits == std::string::npos ? 0 : std::strtol(stmt.c_str() + digits, nullptr, 10);
    auto col = [](const char *name, ColType t) {
        Column c;
        c.name = name;
        c.type = t;
        c.size = t == ColType::Int2 ? 2 : t == ColType::VarChar ? 128 : 4;
        return c;
    };
    std::vector<Column> cols = {
        col("TYPE_NAME", ColType::VarChar), col("DATA_TYPE", ColType::Int2), col("PRECISION", ColType::Int4),
        col("LITERAL_PREFIX", ColType::VarChar), col("LITERAL_SUFFIX", ColType::VarChar),
        col("CREATE_PARAMS", ColType::VarChar), col("NULLABLE", ColType::Int2), col("CASE_SENSITIVE", ColType::Int2),
        col("SEARCHABLE", ColType::Int2), col("UNSIGNED_ATTRIBUTE", ColType::Int2), col("MONEY", ColType::Int2),
        col("AUTO_INCREMENT", ColType::Int2), col("LOCAL_TYPE_NAME", ColType::VarChar),
        col("MINIMUM_SCALE", ColType::Int2), col("MAXIMUM_SCALE", ColType::Int2), col("SQL_DATA_TYPE", ColType::Int2),
        col("SQL_DATETIME_SUB", ColType::Int2), col("NUM_PREC_RADIX", ColType::Int4),
        col("INTERVAL_PRECISION", ColType::Int2), col("USERTYPE", ColType::Int2)};
    columns(cols);
    uint64_t rows = 0;
    if (wanted == 11 || wanted == 93) {
        auto t = [](const char *s) { return Value::text(s); };
        auto i = [](int64_t v) { return Value::integer(v); };
        row(cols, {t("datetime"), i(wanted), i(23), t("'"), t("'"), Value::null(), i(1), i(0), i(3), Value::null(),
                   i(0), Value::null(), t("datetime"), i(3), i(3), i(9), i(3), Value::null(), Value::null(), i(12)});
        rows = 1;
    }
    done(0xC1, true, rows, more);
}

void Session::sqlBatch(const std::string &payload)
{
    Reader r(payload);
    skipAllHeaders(r);
    std::string sql = tds::utf16leToUtf8(payload.substr(r.offset()));
    runStatements(sql, {}, false);
    inProc = false;
    endMessage();
}

// "RPC " and the procedure's name or number: a line of the request log, so that a test
// can count every request, not only the batches.
static std::string rpcLogLine(const std::string &payload)
{
    try {
        Reader r(payload);
        skipAllHeaders(r);
        const uint16_t nameLen = r.u16();
        if (nameLen == 0xFFFF)
            return "RPC #" + std::to_string(r.u16());
        return "RPC " + tds::utf16leToUtf8(r.bytes(nameLen * 2u));
    } catch (const std::exception &) {
        return "RPC ?";
    }
}

void Session::rpc(const std::string &payload)
{
    Reader r(payload);
    skipAllHeaders(r);
    uint16_t nameLen = r.u16();
    int procId = 0;
    std::string procName;
    if (nameLen == 0xFFFF) {
        procId = r.u16();
    } else {
        procName = db::lower(tds::utf16leToUtf8(r.bytes(nameLen * 2u)));
        static const std::map<std::string, int> known = {{"sp_executesql", 10}, {"sp_prepare", 11},
                                                         {"sp_execute", 12}, {"sp_prepexec", 13},
                                                         {"sp_unprepare", 15}};
        auto k = known.find(procName);
        procId = k == known.end() ? 0 : k->second;
    }
    r.u16(); // option flags
    std::vector<RpcParam> ps;
    while (r.left() > 0) {
        uint8_t peek = uint8_t(r.raw()[r.offset()]);
        if (peek == 0x80 || peek == 0xFF)
            break;
        RpcParam p;
        uint8_t n = r.u8();
        p.name = tds::utf16leToUtf8(r.bytes(n * 2u));
        p.status = r.u8();
        p.value = readTypedValue(r);
        ps.push_back(std::move(p));
    }

    auto text = [&](size_t i) { return i < ps.size() ? ps[i].value.s : std::string(); };
    auto bind = [&](const std::string &decls, size_t from) {
        auto names = declaredNames(decls);
        std::vector<db::Param> out;
        for (size_t i = from; i < ps.size(); ++i) {
            db::Param p;
            p.name = !ps[i].name.empty() ? ps[i].name : (i - from < names.size() ? names[i - from] : std::string());
            p.value = ps[i].value;
            out.push_back(std::move(p));
        }
        return out;
    };
    auto finish = [&](bool withHandle, int32_t handle) {
        inProc = false;
        out.u8(0x79);
        out.u32(failed ? 1 : 0);
        if (withHandle) {
            out.u8(0xAC);
            out.u16(0);
            out.bvarchar(ps.empty() ? "" : ps[0].name);
            out.u8(1);
            out.u32(0);
            out.u16(0x0009);
            out.u8(tds::TIntN);
            out.u8(4);
            out.u8(4);
            out.u32(uint32_t(handle));
        }
        doneToken(TokDoneProc, failed ? DoneError : 0, 0xE0, 0);
        endMessage();
    };
    auto unknown = [&](const std::string &what) {
        failed = true;
        errorToken({2812, 62, 16, "Could not find stored procedure '" + what + "'."});
        finish(false, 0);
    };

    switch (procId) {
    case 10: // sp_executesql @stmt, @params, values
        runStatements(text(0), bind(text(1), 2), true);
        finish(false, 0);
        return;
    case 11: { // sp_prepare @handle out, @params, @stmt
        int32_t h = nextHandle++;
        prepared[h] = {text(1), text(2)};
        failed = false;
        finish(true, h);
        return;
    }
    case 13: { // sp_prepexec @handle out, @params, @stmt, values
        int32_t h = nextHandle++;
        prepared[h] = {text(1), text(2)};
        runStatements(text(2), bind(text(1), 3), true);
        finish(true, h);
        return;
    }
    case 12: { // sp_execute @handle, values
        int32_t h = ps.empty() ? 0 : int32_t(ps[0].value.i);
        auto it = prepared.find(h);
        if (it == prepared.end()) {
            failed = true;
            errorToken({8179, 1, 16, "Could not find prepared statement with handle " + std::to_string(h) + "."});
            finish(false, 0);
            return;
        }
        runStatements(it->second.second, bind(it->second.first, 1), true);
        finish(false, 0);
        return;
    }
    case 15: // sp_unprepare @handle
        if (!ps.empty())
            prepared.erase(int32_t(ps[0].value.i));
        failed = false;
        finish(false, 0);
        return;
    default: {
        static const char *const ids[] = {"", "sp_cursor", "sp_cursoropen", "sp_cursorprepare", "sp_cursorexecute",
                                          "sp_cursorprepexec", "sp_cursorunprepare", "sp_cursorfetch",
                                          "sp_cursoroption", "sp_cursorclose"};
        // Server cursors are not served: clients of the stand-in use forward-only results.
        unknown(!procName.empty() ? procName : procId > 0 && procId < 10 ? ids[procId] : std::to_string(procId));
        return;
    }
    }
}

void Session::transactionRequest(const std::string &payload)
{
    Reader r(payload);
    skipAllHeaders(r);
    uint16_t kind = r.u16();
    const char *sql = kind == 5 ? "BEGIN TRAN" : kind == 7 ? "COMMIT TRAN" : kind == 8 ? "ROLLBACK TRAN" : nullptr;
    failed = false;
    inProc = false;
    if (!sql) {
        errorToken({50000, 1, 16, "Transaction manager request " + std::to_string(kind) + " not supported."});
        doneToken(TokDone, DoneError, 0, 0);
        endMessage();
        return;
    }
    // Run it without a DONE of its own; the request ends with one DONE.
    struct Quiet : db::Sink {
        Session &s;
        explicit Quiet(Session &x) : s(x) {}
        void columns(const std::vector<Column> &) override {}
        void row(const std::vector<Column> &, const std::vector<Value> &) override {}
        void done(uint16_t, bool, uint64_t, bool) override {}
        void error(const db::SqlError &e) override { s.errorToken(e); s.failed = true; }
    } quiet(*this);
    database->exec(sql, {}, quiet, false);
    if (!failed && kind != 5) {
        // Commit and rollback may ask for the next transaction to begin at once.
        uint8_t n = r.u8();
        r.bytes(n * 2u);
        if (r.left() > 0 && (r.u8() & 0x01))
            database->exec("BEGIN TRAN", {}, quiet, false);
    }
    if (!failed) {
        static const std::string descriptor("\x01\x00\x00\x00\x00\x00\x00\x00", 8);
        out.u8(0xE3);
        out.u16(11);
        out.u8(kind == 5 ? 8 : kind == 7 ? 9 : 10);
        if (kind == 5) {
            out.u8(8); out.bytes(descriptor); out.u8(0);
        } else {
            out.u8(0); out.u8(8); out.bytes(descriptor);
        }
    }
    doneToken(TokDone, failed ? DoneError : 0, 0, 0);
    endMessage();
}

void Session::run()
{
    try {
        uint8_t type = 0;
        std::string payload;
        bool loggedIn = false;
        // As over a link, every answer waits its round trip, the prelogin's and the login's too.
        const auto roundTrip = [this] {
            if (cfg.delayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(cfg.delayMs));
        };
        while (readMessage(type, payload)) {
            if (type == tds::PktPrelogin && !loggedIn && !tlsOn) {
                roundTrip();
                if (!prelogin(payload))
                    break;
                continue;
            }
            if (type == tds::PktLogin7 && !loggedIn) {
                roundTrip();
                if (tlsLoginOnly && tlsOn)
                    tlsOff(); // the client reads the answer to its login in the clear
                if (!login(payload))
                    break;
                loggedIn = true;
                continue;
            }
            if (type == tds::PktAttention) {
                out.buf.clear();
                doneToken(TokDone, DoneAttn, 0, 0);
                endMessage();
                continue;
            }
            if (!loggedIn)
                break;
            ++requests;
            if (cfg.closeAfter >= 0 && requests > cfg.closeAfter)
                break;
            if (!cfg.closeOn.empty()
                && (payload.find(tds::utf8ToUtf16le(cfg.closeOn)) != std::string::npos
                    || payload.find(cfg.closeOn) != std::string::npos))
                break;
            if (!cfg.requestLog.empty() && (type == tds::PktSqlBatch || type == tds::PktRpc)) {
                std::string text = type == tds::PktRpc ? rpcLogLine(payload)
                                                       : tds::utf16leToUtf8(payload.substr(std::min<size_t>(payload.size(), 22)));
                std::replace(text.begin(), text.end(), '\n', ' ');
                std::lock_guard<std::mutex> g(cfg.loginLogLock);
                if (FILE *f = fopen(cfg.requestLog.c_str(), "a")) {
                    fprintf(f, "%s\n", text.c_str());
                    fclose(f);
                }
            }
            if (getenv("VESK_DBSERVER_TRACE"))
                fprintf(stderr, "vesk-dbserver: %u: request %ld type %u: %s\n", spid, requests, type,
                        tds::utf16leToUtf8(payload.substr(std::min<size_t>(payload.size(), 22))).substr(0, 300).c_str());
            roundTrip();
            if (type == tds::PktSqlBatch)
                sqlBatch(payload);
            else if (type == tds::PktRpc)
                rpc(payload);
            else if (type == tds::PktTransMgr)
                transactionRequest(payload);
            else
                break;
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "vesk-dbserver: connection %u: %s\n", spid, e.what());
    }
}
