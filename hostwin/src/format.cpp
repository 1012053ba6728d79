// The installer's formatting of a message record: field 0 is a template whose
// bracketed references are replaced before the text is shown or logged.
#include "state.h"

#include <cctype>

namespace hostwin {

using namespace detail;

namespace {

std::string field_text(const Field& field) {
    if (field.kind == Field::String) return field.text;
    if (field.kind == Field::Integer) return std::to_string(field.integer);
    return std::string();
}

bool all_digits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// Replaces the references of text; *unresolved is set when a property named in
// it is not defined.
std::string expand(const std::string& text, const Message& message, const Session* session, bool* unresolved) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '[') {
            const std::size_t close = text.find(']', i + 1);
            if (close == std::string::npos) {
                out.append(text, i, std::string::npos);
                break;
            }
            const std::string name = text.substr(i + 1, close - i - 1);
            i = close + 1;
            if (all_digits(name)) {
                const std::size_t n = std::stoul(name);
                if (n < message.fields.size() && n > 0) out += field_text(message.fields[n]);
            } else if (name.size() == 2 && name[0] == '\\') {
                out += name[1];
            } else if (name == "~") {
                out += '\0';
            } else {
                const std::string* value = nullptr;
                if (session != nullptr) {
                    auto it = session->properties.find(name);
                    if (it != session->properties.end()) value = &it->second;
                }
                if (value != nullptr)
                    out += *value;
                else
                    *unresolved = true;
            }
        } else if (c == '{') {
            const std::size_t close = text.find('}', i + 1);
            if (close == std::string::npos) {
                out.append(text, i, std::string::npos);
                break;
            }
            const std::string group = text.substr(i + 1, close - i - 1);
            i = close + 1;
            if (group.find('[') == std::string::npos) {
                out += '{' + group + '}';
                continue;
            }
            bool groupUnresolved = false;
            const std::string expanded = expand(group, message, session, &groupUnresolved);
            if (!groupUnresolved) out += expanded;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

}  // namespace

std::string formatted_text(const Message& message) {
    if (message.fields.empty()) return std::string();
    Lock lock(mutex());
    auto it = state().sessions.find(message.session);
    const Session* session = it == state().sessions.end() ? nullptr : &it->second;
    bool unresolved = false;
    return expand(field_text(message.fields[0]), message, session, &unresolved);
}

}  // namespace hostwin
