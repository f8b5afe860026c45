#include "web/text_for_html.h"

#include <iconv.h>

#include <array>

namespace {

using ByteTable = std::array<std::string, 256>;

// Converts `bytes` from `charset` to UTF-8 with glibc's converter; false when
// the converter is missing or the bytes are not valid in `charset`.
bool Convert(const char* charset, std::string_view bytes, std::string& out) {
    iconv_t converter = iconv_open("UTF-8", charset);
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    out.assign(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* to = out.data();
    size_t toLeft = out.size();
    size_t result = iconv(converter, &in, &inLeft, &to, &toLeft);
    iconv_close(converter);
    if (result == static_cast<size_t>(-1) || inLeft != 0) return false;
    out.resize(out.size() - toLeft);
    return true;
}

// A single-byte character set as a table, built once; a byte the set leaves
// unassigned becomes U+FFFD.
ByteTable MakeTable(const char* charset) {
    ByteTable table;
    for (int byte = 0; byte < 256; ++byte) {
        char c = static_cast<char>(byte);
        if (!Convert(charset, std::string_view(&c, 1), table[byte])) table[byte] = "\xEF\xBF\xBD";
    }
    return table;
}

std::string ThroughTable(const ByteTable& table, std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) out += table[c];
    return out;
}

}  // namespace

std::string EscapeHtml(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + utf8.size() / 8);
    for (char c : utf8) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string ShowOem(std::string_view oem) {
    return EscapeHtml(OemToUtf8(oem));
}

std::string RawToUtf8(std::string_view bytes) {
    static const ByteTable table = MakeTable("WINDOWS-1252");
    std::string out;
    if (Convert("UTF-8", bytes, out)) return out;
    return ThroughTable(table, bytes);
}

std::string CrLfLines(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += "\r\n";
        } else if (text[i] == '\n') {
            out += "\r\n";
        } else {
            out += text[i];
        }
    }
    return out;
}
