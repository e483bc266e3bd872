#include "app/remote/url_components.h"

#include "app/core/text.h"

namespace pavonix::remote {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

// Unreserved, general delimiters, sub-delimiters and "%". Bytes of UTF-8 sequences are checked
// separately (the whole text must be valid UTF-8).
bool isURLCharacter(char c) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
    if (isUnreserved(c)) return true;
    constexpr std::string_view delimiters = ":/?#[]@!$&'()*+,;=%";
    return delimiters.find(c) != std::string_view::npos;
}

bool isSchemeCharacter(char c) { return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.'; }

bool hasBracket(std::string_view text) { return text.find_first_of("[]") != std::string_view::npos; }

std::optional<std::int64_t> parsePortDigits(std::string_view text) {
    // Ten digits already exceed any port; the limit only keeps the arithmetic in range.
    if (text.size() > 10) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (!isDigit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<std::vector<URLQueryItem>> parseQuery(std::string_view query) {
    std::vector<URLQueryItem> items;
    if (query.empty()) return items;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = query.find('&', start);
        const std::string_view piece = query.substr(start, end == std::string_view::npos ? end : end - start);
        const std::size_t equals = piece.find('=');
        URLQueryItem item;
        auto name = percentDecode(piece.substr(0, equals));
        if (!name) return std::nullopt;
        item.name = std::move(*name);
        if (equals != std::string_view::npos) {
            auto value = percentDecode(piece.substr(equals + 1));
            if (!value) return std::nullopt;
            item.value = std::move(*value);
        }
        items.push_back(std::move(item));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return items;
}

}  // namespace

std::string percentEncodeQueryComponent(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (isUnreserved(c)) {
            out.push_back(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 0x0F]);
        }
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (!isValidUTF8(out)) return std::nullopt;
    return out;
}

std::optional<URLComponents> URLComponents::parse(std::string_view text) {
    if (!isValidUTF8(text)) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!isURLCharacter(text[i])) return std::nullopt;
        if (text[i] == '%' && (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0)) {
            return std::nullopt;
        }
    }

    URLComponents components;
    std::string_view rest = text;

    const std::size_t colon = rest.find(':');
    const std::size_t firstDelimiter = rest.find_first_of("/?#");
    if (colon != std::string_view::npos && (firstDelimiter == std::string_view::npos || colon < firstDelimiter)) {
        // A colon before any "/", "?" or "#" can only end a scheme.
        const std::string_view scheme = rest.substr(0, colon);
        if (scheme.empty() || !isAlpha(scheme.front())) return std::nullopt;
        for (char c : scheme) {
            if (!isSchemeCharacter(c)) return std::nullopt;
        }
        components.scheme = std::string(scheme);
        rest.remove_prefix(colon + 1);
    }

    if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
        const std::string_view fragment = rest.substr(hash + 1);
        if (hasBracket(fragment) || fragment.find('#') != std::string_view::npos) return std::nullopt;
        rest = rest.substr(0, hash);
    }

    std::optional<std::string_view> query;
    if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
        query = rest.substr(question + 1);
        if (hasBracket(*query)) return std::nullopt;
        rest = rest.substr(0, question);
    }

    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const std::size_t slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);

        if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
            if (hasBracket(authority.substr(0, at))) return std::nullopt;
            authority.remove_prefix(at + 1);
        }
        std::string_view host;
        std::string_view portText;
        bool hasPort = false;
        if (authority.starts_with("[")) {
            const std::size_t close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            host = authority.substr(0, close + 1);
            const std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return std::nullopt;
                hasPort = true;
                portText = after.substr(1);
            }
            if (hasBracket(host.substr(1, host.size() - 2)) || hasBracket(after)) return std::nullopt;
        } else {
            if (hasBracket(authority)) return std::nullopt;
            const std::size_t portColon = authority.find(':');
            host = authority.substr(0, portColon);
            if (portColon != std::string_view::npos) {
                hasPort = true;
                portText = authority.substr(portColon + 1);
            }
        }
        auto decodedHost = percentDecode(host);
        if (!decodedHost) return std::nullopt;
        components.host = std::move(*decodedHost);
        if (hasPort && !portText.empty()) {
            components.port = parsePortDigits(portText);
            if (!components.port) return std::nullopt;
        }
    }

    if (hasBracket(rest)) return std::nullopt;
    components.path = std::string(rest);

    if (query) {
        components.queryItems = parseQuery(*query);
        if (!components.queryItems) return std::nullopt;
    }
    return components;
}

std::string URLComponents::string() const {
    std::string out = scheme;
    out += "://";
    if (host) {
        const bool needsBrackets = host->find(':') != std::string::npos && !host->starts_with("[");
        if (needsBrackets) out.push_back('[');
        out += *host;
        if (needsBrackets) out.push_back(']');
    }
    if (port) {
        out.push_back(':');
        out += std::to_string(*port);
    }
    out += path;
    if (queryItems) {
        out.push_back('?');
        bool first = true;
        for (const URLQueryItem& item : *queryItems) {
            if (!first) out.push_back('&');
            first = false;
            out += percentEncodeQueryComponent(item.name);
            if (item.value) {
                out.push_back('=');
                out += percentEncodeQueryComponent(*item.value);
            }
        }
    }
    return out;
}

}  // namespace pavonix::remote
