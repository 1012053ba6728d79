#include "output.h"

#include "EventJson.h"

#include <cstdint>

namespace msihost {
namespace {

const std::uint32_t kTypeMask = 0xFF000000u;

std::uint32_t kind_of(const hostwin::Message& message) {
    return static_cast<std::uint32_t>(message.type) & kTypeMask;
}

bool integer_field(const hostwin::Message& message, std::size_t index, long long* value) {
    if (index >= message.fields.size() || message.fields[index].kind != hostwin::Field::Integer) return false;
    *value = message.fields[index].integer;
    return true;
}

// Writes one whole line, ending it unless the text already ends with a line feed.
void put_line(Console& console, const char* prefix, const std::string& text) {
    // A bar being drawn is left on its own line; it is drawn afresh on the next change.
    if (console.shownPercent >= 0) {
        std::fputc('\n', console.out);
        console.shownPercent = -1;
    }
    std::fputs(prefix, console.out);
    std::fputs(text.c_str(), console.out);
    if (text.empty() || text.back() != '\n') std::fputc('\n', console.out);
}

int percent(const Console& console) {
    if (console.total <= 0) return 0;
    long long p = console.done * 100 / console.total;
    return static_cast<int>(p < 0 ? 0 : p > 100 ? 100 : p);
}

void draw_bar(Console& console) {
    const int width = 40;
    int p = percent(console);
    if (p == console.shownPercent) return;
    console.shownPercent = p;
    std::string bar(static_cast<std::size_t>(p * width / 100), '#');
    bar.resize(width, '.');
    std::fprintf(console.out, "\r%s [%s] %3d%%", console.action.c_str(), bar.c_str(), p);
    std::fflush(console.out);
}

}  // namespace

std::string json_string(const std::string& text) {
    std::string out;
    krt_events::AppendJsonString(out, text);
    return out;
}

std::string message_event(const hostwin::Message& message) {
    std::string line = "{\"event\":\"message\",\"type\":";
    line += std::to_string(static_cast<std::uint32_t>(message.type));
    line += ",\"fields\":[";
    for (std::size_t i = 0; i < message.fields.size(); ++i) {
        if (i) line += ',';
        const hostwin::Field& field = message.fields[i];
        switch (field.kind) {
            case hostwin::Field::Integer: line += std::to_string(field.integer); break;
            case hostwin::Field::String: line += json_string(field.text); break;
            default: line += "null";
        }
    }
    line += "]}";
    return line;
}

std::string result_event(const std::string& action, unsigned int code) {
    return "{\"event\":\"result\",\"action\":" + json_string(action) + ",\"code\":" + std::to_string(code) + "}";
}

bool is_progress_increment(const hostwin::Message& message) {
    long long what = 0;
    return kind_of(message) == INSTALLMESSAGE_PROGRESS && integer_field(message, 1, &what) && what == 2;
}

void begin_action(Console& console, const std::string& action) {
    console.action = action;
    console.total = 0;
    console.done = 0;
    console.progressSeen = false;
    console.shownPercent = -1;
}

void show_message(Console& console, const hostwin::Message& message) {
    std::uint32_t kind = kind_of(message);
    // As the installer shows it: field 0 is the template of the text.
    const std::string text = hostwin::formatted_text(message);
    switch (kind) {
        case INSTALLMESSAGE_FATALEXIT:
        case INSTALLMESSAGE_ERROR:
        case INSTALLMESSAGE_WARNING:
        case INSTALLMESSAGE_USER:
            put_line(console, "error: ", text);
            return;
        case INSTALLMESSAGE_INFO:
            if (console.verbose) put_line(console, "log: ", text);
            return;
        case INSTALLMESSAGE_PROGRESS: break;
        default: return;
    }

    long long what = 0, ticks = 0;
    if (!integer_field(message, 1, &what) || !integer_field(message, 2, &ticks)) return;
    if (what == 0) {
        console.total = ticks;
        console.done = 0;
    } else if (what == 2) {
        console.done += ticks;
    } else {
        return;
    }
    console.progressSeen = true;
    if (console.terminal) draw_bar(console);
}

void end_action(Console& console) {
    if (console.terminal) {
        if (console.shownPercent >= 0) std::fputc('\n', console.out);
    } else if (console.progressSeen) {
        std::fprintf(console.out, "progress: %lld of %lld ticks\n", console.done, console.total);
    }
    console.shownPercent = -1;
    std::fflush(console.out);
}

}  // namespace msihost
