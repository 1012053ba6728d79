// The registry as JSON. Strings carry bytes: each byte is one code point, so
// 0x80-0xFF are written \u0080-\u00FF and read back as the same single bytes.
#include "state.h"

#include <cstdio>

namespace hostwin {

using namespace detail;

namespace {

bool is_text_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

void write_string(std::string& out, const std::string& bytes) {
    out += '"';
    for (unsigned char c : bytes) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

class Parser {
public:
    explicit Parser(const std::string& text) : t_(text) {}

    bool parse(RegStore* store, std::string* error) {
        bool ok = document(store);
        if (!ok && error) *error = error_;
        return ok;
    }

private:
    const std::string& t_;
    std::size_t i_ = 0;
    std::string error_;

    bool fail(const std::string& what) {
        std::size_t line = 1, col = 1;
        for (std::size_t k = 0; k < i_ && k < t_.size(); ++k) {
            if (t_[k] == '\n') {
                ++line;
                col = 1;
            } else {
                ++col;
            }
        }
        error_ = "line " + std::to_string(line) + ", column " + std::to_string(col) + ": " + what;
        return false;
    }

    void space() {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r')) ++i_;
    }

    bool expect(char c) {
        space();
        if (i_ >= t_.size() || t_[i_] != c) return fail(std::string("expected '") + c + "'");
        ++i_;
        return true;
    }

    bool peek(char c) {
        space();
        return i_ < t_.size() && t_[i_] == c;
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool string(std::string* out) {
        space();
        if (i_ >= t_.size() || t_[i_] != '"') return fail("expected a string");
        ++i_;
        out->clear();
        while (i_ < t_.size()) {
            char c = t_[i_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return fail("control character in a string");
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (i_ >= t_.size()) break;
            char e = t_[i_++];
            switch (e) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                if (i_ + 4 > t_.size()) return fail("short \\u escape");
                unsigned v = 0;
                for (int k = 0; k < 4; ++k) {
                    int d = hex_digit(t_[i_ + k]);
                    if (d < 0) return fail("bad \\u escape");
                    v = v * 16 + static_cast<unsigned>(d);
                }
                if (v > 0xFF) return fail("\\u escape above \\u00ff: strings hold bytes");
                i_ += 4;
                *out += static_cast<char>(v);
                break;
            }
            default: --i_; return fail("unknown escape");
            }
        }
        return fail("unterminated string");
    }

    bool number(std::uint32_t* out) {
        space();
        std::size_t start = i_;
        std::uint64_t v = 0;
        while (i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '9') {
            v = v * 10 + static_cast<unsigned>(t_[i_] - '0');
            if (v > 0xFFFFFFFFull) return fail("number too large");
            ++i_;
        }
        if (i_ == start) return fail("expected a whole number");
        *out = static_cast<std::uint32_t>(v);
        return true;
    }

    bool boolean(bool* out) {
        space();
        if (t_.compare(i_, 4, "true") == 0) {
            i_ += 4;
            *out = true;
            return true;
        }
        if (t_.compare(i_, 5, "false") == 0) {
            i_ += 5;
            *out = false;
            return true;
        }
        return fail("expected true or false");
    }

    // {"type": N, "data": "...", "terminated": bool}
    bool value(RegEntry* e) {
        if (!expect('{')) return false;
        std::uint32_t type = REG_SZ;
        std::string data;
        bool terminated = true;
        bool first = true;
        while (!peek('}')) {
            if (!first && !expect(',')) return false;
            first = false;
            std::string member;
            if (!string(&member) || !expect(':')) return false;
            if (member == "type") {
                if (!number(&type)) return false;
            } else if (member == "data") {
                if (!string(&data)) return false;
            } else if (member == "terminated") {
                if (!boolean(&terminated)) return false;
            } else {
                return fail("unknown member \"" + member + "\"");
            }
        }
        ++i_;
        e->type = type;
        e->data = data;
        if (is_text_type(type) && terminated) e->data += '\0';
        return true;
    }

    static void add_key(RegStore* store, const std::string& path) {
        std::size_t pos = path.find('\\');
        while (pos != std::string::npos) {
            std::size_t next = path.find('\\', pos + 1);
            std::string prefix = path.substr(0, next);
            RegKey& k = (*store)[lower(prefix)];
            if (k.path.empty()) k.path = prefix;
            pos = next;
        }
    }

    bool document(RegStore* store) {
        if (!expect('{')) return false;
        bool first = true;
        while (!peek('}')) {
            if (!first && !expect(',')) return false;
            first = false;
            std::string path;
            if (!string(&path)) return false;
            if (path.find('\\') == std::string::npos || path.front() == '\\' || path.back() == '\\')
                return fail("\"" + path + "\" is not a key path below a root key");
            if (!expect(':') || !expect('{')) return false;
            add_key(store, path);
            RegKey& key = (*store)[lower(path)];
            bool firstValue = true;
            while (!peek('}')) {
                if (!firstValue && !expect(',')) return false;
                firstValue = false;
                std::string name;
                if (!string(&name) || !expect(':')) return false;
                RegEntry e;
                if (!value(&e)) return false;
                e.name = name;
                key.values[lower(name)] = e;
            }
            ++i_;
        }
        ++i_;
        space();
        if (i_ != t_.size()) return fail("text after the registry object");
        return true;
    }
};

}  // namespace

std::string registry_to_json() {
    Lock lock(mutex());
    const RegStore& keys = state().keys;
    if (keys.empty()) return "{}\n";
    std::string out = "{\n";
    bool firstKey = true;
    for (const auto& kv : keys) {
        const RegKey& key = kv.second;
        if (!firstKey) out += ",\n";
        firstKey = false;
        out += "  ";
        write_string(out, key.path);
        out += ": {";
        bool firstValue = true;
        for (const auto& vv : key.values) {
            const RegEntry& e = vv.second;
            out += firstValue ? "\n" : ",\n";
            firstValue = false;
            out += "    ";
            write_string(out, e.name);
            out += ": {\"type\": " + std::to_string(e.type) + ", \"data\": ";
            bool terminated = !e.data.empty() && e.data.back() == '\0';
            if (is_text_type(e.type) && terminated) {
                write_string(out, e.data.substr(0, e.data.size() - 1));
            } else {
                write_string(out, e.data);
                if (is_text_type(e.type)) out += ", \"terminated\": false";
            }
            out += "}";
        }
        out += firstValue ? "}" : "\n  }";
    }
    out += "\n}\n";
    return out;
}

bool registry_from_json(const std::string& json, std::string* error) {
    RegStore parsed;
    if (!Parser(json).parse(&parsed, error)) return false;
    Lock lock(mutex());
    state().keys.swap(parsed);
    return true;
}

}  // namespace hostwin
