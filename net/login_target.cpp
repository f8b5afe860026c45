#include "net/login_target.h"

#include <algorithm>
#include <cctype>

namespace {

// The highest TCP port; "5 digits" alone would let 99999 through.
constexpr int kHighestPort = 65535;
constexpr size_t kMaxPortDigits = 5;

// Returns the port `text` names, or 0 when it is not one.
int PortOf(std::string_view text) {
    if (text.empty() || text.size() > kMaxPortDigits) return 0;
    if (!std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return 0;
    }
    const int port = std::stoi(std::string(text));
    return port <= kHighestPort ? port : 0;
}

// Returns the position of the first ":" at or after `from` that is not
// inside brackets, or npos.
size_t ColonOutsideBrackets(std::string_view text, size_t from) {
    int depth = 0;
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] == '[') ++depth;
        if (text[i] == ']' && depth > 0) --depth;
        if (text[i] == ':' && depth == 0) return i;
    }
    return std::string_view::npos;
}

}  // namespace

LoginTarget ParseLoginTarget(std::string_view text) {
    LoginTarget target;
    size_t first = ColonOutsideBrackets(text, 0);
    if (first != std::string_view::npos) {
        const size_t second = ColonOutsideBrackets(text, first + 1);
        // "name:digits" with nothing after is host and port; anything else
        // has its method in front.
        if (second != std::string_view::npos || PortOf(text.substr(first + 1)) == 0) {
            target.hasMethod = true;
            target.method = std::string(text.substr(0, first));
            text.remove_prefix(first + 1);
        }
    }
    const size_t colon = ColonOutsideBrackets(text, 0);
    if (colon != std::string_view::npos && PortOf(text.substr(colon + 1)) != 0) {
        target.port = PortOf(text.substr(colon + 1));
        text = text.substr(0, colon);
    }
    target.host = std::string(text);
    return target;
}
