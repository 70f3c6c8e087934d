#include "json_line.h"

#include <cstdint>

namespace json {

namespace {

struct reader {
    const std::string &text;
    size_t at = 0;
    std::string error{};

    bool fail(const std::string &why)
    {
        if (error.empty())
            error = why + " at byte " + std::to_string(at);
        return false;
    }
    bool done() const { return at >= text.size(); }
    unsigned char peek() const { return done() ? 0 : static_cast<unsigned char>(text[at]); }
    void skip_space()
    {
        while (!done() && (peek() == ' ' || peek() == '\t' || peek() == '\r' || peek() == '\n'))
            at++;
    }
    bool expect(char wanted)
    {
        skip_space();
        if (peek() != static_cast<unsigned char>(wanted))
            return fail(std::string("expected '") + wanted + "'");
        at++;
        return true;
    }
};

void append_utf8(std::string &out, uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// One raw UTF-8 sequence, copied to out: the shortest form only, no
// surrogate, nothing above U+10FFFF.
bool take_utf8(reader &r, std::string &out)
{
    unsigned char lead = r.peek();
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4)
        return r.fail("a byte that starts no UTF-8 sequence");
    if (r.at + length > r.text.size())
        return r.fail("a UTF-8 sequence cut short");
    uint32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; i++) {
        unsigned char next = static_cast<unsigned char>(r.text[r.at + i]);
        if ((next & 0xC0) != 0x80)
            return r.fail("a UTF-8 sequence cut short");
        code = code << 6 | (next & 0x3F);
    }
    static const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < shortest[length])
        return r.fail("an overlong UTF-8 sequence");
    if (code >= 0xD800 && code <= 0xDFFF)
        return r.fail("a surrogate encoded in UTF-8");
    if (code > 0x10FFFF)
        return r.fail("a UTF-8 sequence beyond U+10FFFF");
    out.append(r.text, r.at, length);
    r.at += length;
    return true;
}

bool take_hex4(reader &r, uint32_t &value)
{
    value = 0;
    for (int i = 0; i < 4; i++, r.at++) {
        unsigned char digit = r.peek();
        value <<= 4;
        if (digit >= '0' && digit <= '9')
            value |= digit - '0';
        else if (digit >= 'a' && digit <= 'f')
            value |= digit - 'a' + 10;
        else if (digit >= 'A' && digit <= 'F')
            value |= digit - 'A' + 10;
        else
            return r.fail("\\u without four hexadecimal digits");
    }
    return true;
}

// After the backslash of \u: the code, a surrogate pair taken whole.
bool take_unicode_escape(reader &r, std::string &out)
{
    uint32_t code;
    if (!take_hex4(r, code))
        return false;
    if (code >= 0xDC00 && code <= 0xDFFF)
        return r.fail("a low surrogate without its high one");
    if (code >= 0xD800 && code <= 0xDBFF) {
        uint32_t low;
        if (r.text.compare(r.at, 2, "\\u") != 0)
            return r.fail("a high surrogate without its low one");
        r.at += 2;
        if (!take_hex4(r, low))
            return false;
        if (low < 0xDC00 || low > 0xDFFF)
            return r.fail("a high surrogate without its low one");
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, code);
    return true;
}

bool take_escape(reader &r, std::string &out)
{
    r.at++;  // the backslash
    char escaped = static_cast<char>(r.peek());
    static const std::string simple = "\"\\/bfnrt";
    static const std::string meaning = "\"\\/\b\f\n\r\t";
    size_t which = simple.find(escaped);
    if (escaped != '\0' && which != std::string::npos) {
        out += meaning[which];
        r.at++;
        return true;
    }
    if (escaped != 'u')
        return r.fail("an escape JSON does not have");
    r.at++;
    return take_unicode_escape(r, out);
}

bool take_string(reader &r, std::string &out)
{
    if (!r.expect('"'))
        return false;
    for (;;) {
        if (r.done())
            return r.fail("a string without its closing quote");
        unsigned char next = r.peek();
        if (next == '"') {
            r.at++;
            return true;
        }
        if (next < 0x20)
            return r.fail("a control character in a string");
        if (next == '\\') {
            if (!take_escape(r, out))
                return false;
        } else if (next >= 0x80) {
            if (!take_utf8(r, out))
                return false;
        } else {
            out += static_cast<char>(next);
            r.at++;
        }
    }
}

bool take_digits(reader &r)
{
    size_t start = r.at;
    while (r.peek() >= '0' && r.peek() <= '9')
        r.at++;
    return r.at > start;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool take_number(reader &r, std::string &out)
{
    size_t start = r.at;
    if (r.peek() == '-')
        r.at++;
    if (r.peek() == '0') {
        r.at++;
    } else if (r.peek() < '1' || r.peek() > '9' || !take_digits(r)) {
        return r.fail("not a value");
    }
    if (r.peek() == '.') {
        r.at++;
        if (!take_digits(r))
            return r.fail("a fraction without digits");
    }
    if (r.peek() == 'e' || r.peek() == 'E') {
        r.at++;
        if (r.peek() == '+' || r.peek() == '-')
            r.at++;
        if (!take_digits(r))
            return r.fail("an exponent without digits");
    }
    out = r.text.substr(start, r.at - start);
    return true;
}

bool take_value(reader &r, field &value)
{
    r.skip_space();
    unsigned char first = r.peek();
    if (first == '"') {
        value.type = kind::string;
        return take_string(r, value.text);
    }
    if (first == '{' || first == '[')
        return r.fail("a nested object or array");
    for (const char *literal : {"true", "false", "null"}) {
        std::string word = literal;
        if (r.text.compare(r.at, word.size(), word) == 0) {
            value.type = kind::literal;
            value.text = word;
            r.at += word.size();
            return true;
        }
    }
    value.type = kind::number;
    return take_number(r, value.text);
}

bool take_member(reader &r, object &parsed)
{
    field member;
    if (!take_string(r, member.name) || !r.expect(':') || !take_value(r, member))
        return false;
    if (parsed.find(member.name) != nullptr)
        return r.fail("a second \"" + member.name + "\"");
    parsed.fields.push_back(member);
    return true;
}

}  // namespace

const field *object::find(const std::string &name) const
{
    for (const auto &member : fields)
        if (member.name == name)
            return &member;
    return nullptr;
}

std::string parse_object(const std::string &line, object &parsed)
{
    parsed.fields.clear();
    reader r{line};
    if (!r.expect('{'))
        return r.error;
    r.skip_space();
    if (r.peek() == '}') {
        r.at++;
    } else {
        for (;;) {
            if (!take_member(r, parsed))
                return r.error;
            r.skip_space();
            if (r.peek() == '}') {
                r.at++;
                break;
            }
            if (!r.expect(','))
                return r.error;
        }
    }
    r.skip_space();
    if (!r.done())
        r.fail("more after the object");
    return r.error;
}

}  // namespace json
