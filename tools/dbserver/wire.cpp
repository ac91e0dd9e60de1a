#include "wire.h"

#include <cerrno>
#include <algorithm>
#include <cctype>
#include <iconv.h>
#include <mutex>

namespace tds {

std::string utf16leToUtf8(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        uint32_t c = uint8_t(s[i]) | uint8_t(s[i + 1]) << 8;
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < s.size()) {
            uint32_t lo = uint8_t(s[i + 2]) | uint8_t(s[i + 3]) << 8;
            if (lo >= 0xDC00 && lo < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | c >> 6));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | c >> 12));
            out.push_back(char(0x80 | (c >> 6 & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | c >> 18));
            out.push_back(char(0x80 | (c >> 12 & 0x3F)));
            out.push_back(char(0x80 | (c >> 6 & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

namespace {
// Decodes one UTF-8 sequence; invalid bytes come out as U+FFFD.
uint32_t nextCodePoint(std::string_view s, size_t &i)
{
    uint8_t b = uint8_t(s[i++]);
    if (b < 0x80)
        return b;
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
    if (extra < 0 || i + extra > s.size())
        return 0xFFFD;
    uint32_t c = b & (0x3F >> extra);
    for (int k = 0; k < extra; ++k)
        c = c << 6 | (uint8_t(s[i++]) & 0x3F);
    return c;
}
} // namespace

std::string utf8ToUtf16le(std::string_view s)
{
    std::string out;
    out.reserve(s.size() * 2);
    for (size_t i = 0; i < s.size();) {
        uint32_t c = nextCodePoint(s, i);
        auto put = [&](uint32_t u) { out.push_back(char(u & 0xFF)); out.push_back(char(u >> 8)); };
        if (c >= 0x10000) {
            c -= 0x10000;
            put(0xD800 + (c >> 10));
            put(0xDC00 + (c & 0x3FF));
        } else {
            put(c);
        }
    }
    return out;
}

size_t utf16Units(std::string_view s)
{
    return utf8ToUtf16le(s).size() / 2;
}

namespace {
std::string convert(const char *to, const char *from, std::string_view in)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1))
        throw std::runtime_error(std::string("no conversion from ") + from + " to " + to);
    std::string out(in.size() * 2 + 16, '\0');
    char *src = const_cast<char *>(in.data());
    size_t srcLeft = in.size();
    char *dst = out.data();
    size_t dstLeft = out.size();
    while (srcLeft > 0) {
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != size_t(-1))
            break;
        if (errno == E2BIG) {
            size_t used = out.size() - dstLeft;
            out.resize(out.size() * 2);
            dst = out.data() + used;
            dstLeft = out.size() - used;
        } else {
            // A character the code page lacks becomes '?', as SQL Server does.
            ++src;
            --srcLeft;
            while (srcLeft > 0 && (uint8_t(*src) & 0xC0) == 0x80 && std::string_view(from) == "UTF-8") {
                ++src;
                --srcLeft;
            }
            if (dstLeft == 0) {
                size_t used = out.size();
                out.resize(out.size() * 2);
                dst = out.data() + used;
                dstLeft = out.size() - used;
            }
            *dst++ = '?';
            --dstLeft;
        }
    }
    out.resize(out.size() - dstLeft);
    iconv_close(cd);
    return out;
}
} // namespace

namespace {
// Case-, kana- and width-insensitive, accent-sensitive (the flags 0xD0); the UTF-8 one
// carries version 2 and the UTF-8 flag in its fourth byte.
const Collation kCollations[] = {
    {"Chinese_PRC_CI_AS", {'\x04', '\x08', '\xD0', '\x00', '\x00'}, "GBK"},
    {"Latin1_General_CI_AS", {'\x09', '\x04', '\xD0', '\x00', '\x00'}, "CP1252"},
    {"SQL_Latin1_General_CP1_CI_AS", {'\x09', '\x04', '\xD0', '\x00', '\x34'}, "CP1252"},
    {"Latin1_General_100_CI_AS_SC_UTF8", {'\x09', '\x04', '\xD0', '\x24', '\x00'}, "UTF-8"},
};

bool sameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
           && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y)); });
}
} // namespace

const Collation *findCollation(std::string_view name)
{
    for (const Collation &c : kCollations)
        if (sameText(c.name, name))
            return &c;
    return nullptr;
}

const Collation &defaultCollation() { return kCollations[0]; }

const Collation &collationOf(std::string_view b)
{
    if (b.size() == 5 && (uint8_t(b[3]) & 0x04))
        return kCollations[3];
    const uint32_t lcid = b.size() == 5 ? (uint8_t(b[0]) | uint8_t(b[1]) << 8 | (uint8_t(b[2]) & 0x0F) << 16) : 0x0804;
    return lcid == 0x0804 || lcid == 0x1004 ? kCollations[0] : kCollations[1];
}

std::string toCodePage(const Collation &c, std::string_view utf8)
{
    return std::string_view(c.charset) == "UTF-8" ? std::string(utf8) : convert(c.charset, "UTF-8", utf8);
}

std::string fromCodePage(const Collation &c, std::string_view bytes)
{
    return std::string_view(c.charset) == "UTF-8" ? std::string(bytes) : convert("UTF-8", c.charset, bytes);
}

void Writer::bvarchar(std::string_view utf8)
{
    std::string w = utf8ToUtf16le(utf8);
    u8(uint8_t(w.size() / 2));
    bytes(w);
}

void Writer::usvarchar(std::string_view utf8)
{
    std::string w = utf8ToUtf16le(utf8);
    u16(uint16_t(w.size() / 2));
    bytes(w);
}

std::string decodePassword(std::string_view ucs2)
{
    std::string plain(ucs2);
    for (char &c : plain) {
        uint8_t b = uint8_t(c) ^ 0xA5;
        c = char((b << 4 | b >> 4) & 0xFF);
    }
    return utf16leToUtf8(plain);
}

} // namespace tds
