// What krt-msihost makes of the installer messages that the actions send: the
// event lines of --events and the lines on standard error (errors, log lines and
// the progress display).
#pragma once

#include <hostwin/control.h>

#include <cstdio>
#include <string>

namespace msihost {

// Text as a JSON string literal, quotes included; control characters and bytes
// from 0x80 up are written as \u00xx.
std::string json_string(const std::string& text);
// {"event":"message","type":N,"fields":[...]}, without a line end.
std::string message_event(const hostwin::Message& message);
// {"event":"result","action":"NAME","code":N}, without a line end.
std::string result_event(const std::string& action, unsigned int code);

// The lines on standard error for one run of the driver.
struct Console {
    std::FILE* out = stderr;
    bool terminal = false;  // draw a progress bar in place instead of a summary
    bool verbose = false;   // show info records as log lines

    // Progress of the running action.
    std::string action;
    long long total = 0;
    long long done = 0;
    bool progressSeen = false;
    int shownPercent = -1;  // percentage on the bar line now, -1 when none is drawn
};

void begin_action(Console& console, const std::string& action);
void show_message(Console& console, const hostwin::Message& message);
void end_action(Console& console);

// True for a progress record that moves the bar on (field 1 is 2).
bool is_progress_increment(const hostwin::Message& message);

}  // namespace msihost
