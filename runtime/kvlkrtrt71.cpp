// Stand-in for the runtime library kvlkrtrt71, for rehearsing a deployment of
// dorvak without the real runtime. It has the real library's seven functions
// and is steered only by environment variables and files:
//
//   KVLKRT_FAIL        comma-separated function names among
//                      kvlInitializeApplication, kvlkrtInitialize and
//                      kvlInitializeComponentInstance; each one named fails
//   KVLKRT_TRUE        the byte returned for true (0..255, default 1)
//   KVLKRT_RESULT      the int that kvlMain returns (default 0)
//   KVLKRT_SCRIPT      file of "print TEXT" / "error TEXT" lines that the
//                      component sends to its handlers during kvlMain
//   KVLKRT_FIGURES_MS  how long kvlWaitForFiguresToDie blocks (default 0)
//   KVLKRT_TRACE       file to which every call appends what it received
//
// Numbers are decimal: an optional sign, then digits. A numeric control that
// is set but cannot be read, or lies outside its range, is reported once on
// standard error and its default is used.
//
// Trace format: one line per call, the function's name followed by
// space-separated key=value pairs, then for some calls one line per list
// entry (path=, classpath=, runtime_option=, option=, arg=) and, during
// kvlMain, one line per handler call (print_result=, error_result=).
// Texts are written with C escapes (\\, \n, \r, \t, \xHH for other control
// bytes); inside key=value pairs a space is written as \x20 so that the pairs
// stay separable, while in the one-entry lines the rest of the line is the
// text, spaces included.
#define KVLKRT_BUILDING_RUNTIME
#include "kvlkrtrt71.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace {

// The one instance this runtime hands out; its handle is the token's address.
int gInstanceToken;
bool gInstanceLive = false;
kvlOutputHandler gErrorHandler = nullptr;
kvlOutputHandler gPrintHandler = nullptr;

const char *env(const char *name)
{
    const char *value = getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

// A numeric control variable: its range, its default, and whether an
// unreadable value of it has been reported already.
struct NumericControl {
    const char *name;
    long low;
    long high;
    long fallback;
    bool reported;
};

NumericControl gTrueControl = {"KVLKRT_TRUE", 0, 255, 1, false};
NumericControl gResultControl = {"KVLKRT_RESULT", INT_MIN, INT_MAX, 0, false};
NumericControl gFiguresControl = {"KVLKRT_FIGURES_MS", 0, INT_MAX, 0, false};

// An optional sign and decimal digits, nothing else, within [low, high].
bool parseDecimal(const char *text, long low, long high, long &value)
{
    const char *digits = (*text == '-' || *text == '+') ? text + 1 : text;
    if (*digits < '0' || *digits > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    long parsed = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

// The control's value, or its default when it is not set. A value that
// cannot be read is said on standard error, so that a mistyped control does
// not pass for the default silently.
long controlValue(NumericControl &control)
{
    const char *text = env(control.name);
    long value = control.fallback;
    if (text == nullptr || parseDecimal(text, control.low, control.high, value))
        return value;
    if (!control.reported) {
        control.reported = true;
        fprintf(stderr,
                "kvlkrtrt71 stand-in: %s=%s is not a decimal number from %ld to %ld; %ld is used\n",
                control.name, text, control.low, control.high, control.fallback);
    }
    return control.fallback;
}

kvlBoolean trueByte()
{
    return static_cast<kvlBoolean>(controlValue(gTrueControl));
}

// Whether KVLKRT_FAIL names this function (entries may carry blanks).
bool told_to_fail(const char *function)
{
    const char *list = env("KVLKRT_FAIL");
    if (list == nullptr)
        return false;
    std::string all(list);
    size_t start = 0;
    while (start <= all.size()) {
        size_t comma = all.find(',', start);
        if (comma == std::string::npos)
            comma = all.size();
        std::string item = all.substr(start, comma - start);
        size_t first = item.find_first_not_of(" \t");
        size_t last = item.find_last_not_of(" \t");
        if (first != std::string::npos && item.compare(first, last - first + 1, function) == 0)
            return true;
        start = comma + 1;
    }
    return false;
}

kvlBoolean answer(bool ok)
{
    return ok ? trueByte() : 0;
}

std::string escape(const char *text, bool inPair)
{
    std::string out;
    if (text == nullptr)
        return out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        unsigned char c = *p;
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c == 0x7f || (inPair && c == ' ')) {
            char buffer[8];
            snprintf(buffer, sizeof buffer, "\\x%02X", c);
            out += buffer;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

std::string pair(const char *key, long value)
{
    return std::string(" ") + key + "=" + std::to_string(value);
}

std::string pair(const char *key, const char *text)
{
    return std::string(" ") + key + "=" + escape(text, true);
}

std::string flag(const char *key, const void *pointer)
{
    return pair(key, pointer == nullptr ? 1L : 0L);
}

// One line per list entry given, in order.
std::string entries(const char *key, const char *const *list, long count)
{
    std::string out;
    if (list == nullptr)
        return out;
    for (long i = 0; i < count; ++i)
        out += std::string(key) + "=" + escape(list[i], false) + "\n";
    return out;
}

// The first entry of a list even when its count is 0: the caller's lists
// always hold at least one entry.
const char *first(const char *const *list)
{
    return list != nullptr ? list[0] : nullptr;
}

void trace(const std::string &lines)
{
    const char *path = env("KVLKRT_TRACE");
    if (path == nullptr)
        return;
    FILE *file = fopen(path, "ab");
    if (file == nullptr)
        return;
    fwrite(lines.data(), 1, lines.size(), file);
    fclose(file);
}

bool isUpperHex(const char *text)
{
    if (text == nullptr || *text == '\0')
        return false;
    for (; *text; ++text)
        if (!((*text >= '0' && *text <= '9') || (*text >= 'A' && *text <= 'F')))
            return false;
    return true;
}

long length(const char *text)
{
    return text != nullptr ? static_cast<long>(strlen(text)) : -1;
}

// Decodes a script text: \n \r \t \\ and \0, which ends the text as it would
// end a C string. Any other backslash stands for itself.
std::string decode(const std::string &raw)
{
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c != '\\' || i + 1 == raw.size()) {
            out += c;
            continue;
        }
        char next = raw[i + 1];
        switch (next) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        case '0': return out;
        default: out += c; out += next; break;
        }
        ++i;
    }
    return out;
}

// False at the end of the file and on a read error.
bool readLine(FILE *file, std::string &line)
{
    line.clear();
    int c;
    while ((c = fgetc(file)) != EOF) {
        if (c == '\n')
            return true;
        line += static_cast<char>(c);
    }
    return !line.empty() && !ferror(file);
}

// Said on standard error too, so that a rehearsal without a trace does not
// pass for a component that had nothing to say.
void reportUnreadableScript(const char *path)
{
    fprintf(stderr, "kvlkrtrt71 stand-in: cannot open KVLKRT_SCRIPT file %s\n", path);
    trace(std::string("script_error=cannot-open") + pair("file", path) + "\n");
}

// The component when KVLKRT_SCRIPT is set: each line sends one text to a
// handler, in order; blank lines (empty or only spaces and tabs) and lines
// starting with '#' are skipped. A file that cannot be read (a folder opens
// on some systems but cannot be read) is reported like one that cannot be
// opened.
void runScript(const char *path)
{
    FILE *file = fopen(path, "rb");
    if (file == nullptr) {
        reportUnreadableScript(path);
        return;
    }
    std::string line;
    long number = 0;
    while (readLine(file, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#')
            continue;
        bool isPrint = line.compare(0, 5, "print") == 0;
        bool isError = line.compare(0, 5, "error") == 0;
        if ((!isPrint && !isError) || (line.size() > 5 && line[5] != ' ')) {
            trace("script_skipped=" + std::to_string(number) + "\n");
            continue;
        }
        std::string text = decode(line.size() > 6 ? line.substr(6) : std::string());
        if (isPrint) {
            int result = gPrintHandler(text.c_str());
            trace("print_result=" + std::to_string(result) + "\n");
        } else {
            int result = gErrorHandler(text.c_str());
            trace("error_result=" + std::to_string(result) + "\n");
        }
    }
    if (ferror(file))
        reportUnreadableScript(path);
    fclose(file);
}

// The built-in demonstration component: one line per argument received.
void runDemonstration(int argc, const char *const *argv)
{
    for (int i = 0; i < argc; ++i) {
        std::string text = std::string(argv[i] != nullptr ? argv[i] : "") + "\n";
        int result = gPrintHandler(text.c_str());
        trace("print_result=" + std::to_string(result) + "\n");
    }
}

void sleepMilliseconds(long ms)
{
    if (ms <= 0)
        return;
#ifdef _WIN32
    Sleep(static_cast<DWORD>(ms));
#else
    struct timespec wait;
    wait.tv_sec = ms / 1000;
    wait.tv_nsec = (ms % 1000) * 1000000L;
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
#endif
}

} // namespace

extern "C" {

KVLKRT_API kvlBoolean KVLKRT_CALL kvlInitializeApplication(const char *const *options,
                                                       int32_t optionCount)
{
    try {
        bool ok = !told_to_fail("kvlInitializeApplication");
        kvlBoolean result = answer(ok);
        trace(std::string("kvlInitializeApplication") + pair("option_count", optionCount) +
              flag("options_null", options) + pair("option_first", first(options)) +
              pair("result", result) + "\n" + entries("option", options, optionCount));
        return result;
    } catch (...) {
        return 0;
    }
}

KVLKRT_API kvlBoolean KVLKRT_CALL kvlkrtInitialize(void)
{
    try {
        kvlBoolean result = answer(!told_to_fail("kvlkrtInitialize"));
        trace(std::string("kvlkrtInitialize") + pair("result", result) + "\n");
        return result;
    } catch (...) {
        return 0;
    }
}

KVLKRT_API kvlBoolean KVLKRT_CALL kvlInitializeComponentInstance(
    kvlInstance *instance, const char *publicKey, const char *name, const char *root,
    const char *sessionKey, const char *const *searchPath, int32_t searchPathCount,
    const char *const *classPath, int32_t classPathCount, const char *const *runtimeOptions,
    int32_t runtimeOptionCount, int32_t option12, int32_t option13, int32_t option14,
    int32_t option15, kvlOutputHandler errorHandler, kvlOutputHandler printHandler)
{
    try {
        bool ok = !told_to_fail("kvlInitializeComponentInstance") && instance != nullptr &&
                  errorHandler != nullptr && printHandler != nullptr;
        // An answer of false (a true byte of 0 included) creates nothing.
        kvlBoolean result = answer(ok);
        if (result != 0) {
            gInstanceLive = true;
            gErrorHandler = errorHandler;
            gPrintHandler = printHandler;
            *instance = &gInstanceToken;
        }
        trace(std::string("kvlInitializeComponentInstance") + flag("instance_null", instance) +
              pair("public_len", length(publicKey)) + pair("public_hex", isUpperHex(publicKey)) +
              pair("session_len", length(sessionKey)) + pair("session_hex", isUpperHex(sessionKey)) +
              pair("name", name) + flag("name_null", name) + pair("root", root) +
              flag("root_null", root) + pair("path_count", searchPathCount) +
              pair("classpath_count", classPathCount) + pair("classpath_first", first(classPath)) +
              pair("runtime_option_count", runtimeOptionCount) +
              pair("runtime_option_first", first(runtimeOptions)) + pair("c12", option12) +
              pair("c13", option13) + pair("c14", option14) + pair("c15", option15) +
              flag("error_handler_null", reinterpret_cast<const void *>(errorHandler)) +
              flag("print_handler_null", reinterpret_cast<const void *>(printHandler)) +
              pair("result", result) + "\n" + entries("path", searchPath, searchPathCount) +
              entries("classpath", classPath, classPathCount) +
              entries("runtime_option", runtimeOptions, runtimeOptionCount));
        return result;
    } catch (...) {
        return 0;
    }
}

KVLKRT_API int KVLKRT_CALL kvlMain(kvlInstance instance, int argc, const char *const *argv,
                                   const char *name, int32_t mode)
{
    try {
        bool valid = gInstanceLive && instance == &gInstanceToken;
        int result = static_cast<int>(controlValue(gResultControl));
        const char *script = env("KVLKRT_SCRIPT");
        trace(std::string("kvlMain") + pair("instance_ok", valid) + pair("argc", argc) +
              flag("argv_null", argv) + pair("name", name) + pair("mode", mode) +
              pair("script", script != nullptr) + pair("result", result) + "\n" +
              entries("arg", argv, argv != nullptr ? argc : 0));
        if (valid) {
            if (script != nullptr)
                runScript(script);
            else if (argv != nullptr)
                runDemonstration(argc, argv);
        }
        return result;
    } catch (...) {
        return -1;
    }
}

KVLKRT_API void KVLKRT_CALL kvlWaitForFiguresToDie(int32_t mode)
{
    try {
        long ms = controlValue(gFiguresControl);
        trace(std::string("kvlWaitForFiguresToDie") + pair("mode", mode) + pair("wait_ms", ms) + "\n");
        sleepMilliseconds(ms);
    } catch (...) {
    }
}

KVLKRT_API void KVLKRT_CALL kvlTerminateInstance(kvlInstance *instance)
{
    try {
        bool valid = instance != nullptr && gInstanceLive && *instance == &gInstanceToken;
        if (valid) {
            gInstanceLive = false;
            gErrorHandler = nullptr;
            gPrintHandler = nullptr;
            *instance = nullptr;
        }
        trace(std::string("kvlTerminateInstance") + flag("instance_null", instance) +
              pair("instance_ok", valid) + "\n");
    } catch (...) {
    }
}

KVLKRT_API void KVLKRT_CALL kvlTerminateApplication(void)
{
    try {
        trace("kvlTerminateApplication\n");
    } catch (...) {
    }
}

} // extern "C"
