// krt-msihost: runs exported custom actions of a host build of the custom-action
// library against the stand-in platform, in one process and one installer
// session, the way the installer's custom-action host does.
#include "output.h"

#include <hostwin/control.h>
#include <hostwin/hostwin.h>

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

const char kUsage[] =
    "usage: krt-msihost [--library FILE] [--root DIR] [--registry FILE] [--property NAME=VALUE]...\n"
    "                   [--cancel-at N] [--fail Func[:N][=ERR]]... [--events FILE] [--verbose] ACTION...\n"
    "\n"
    "Runs the named custom actions (Install, Commit, Rollback, Uninstall) of the library in\n"
    "order, in one session, and stops at the first that does not return 0.\n"
    "\n"
    "  --library FILE      custom-action library (default: KRTCustomActions.so beside krt-msihost)\n"
    "  --root DIR          host folder that drive paths map into (default: $HOSTWIN_ROOT or ./sim)\n"
    "  --registry FILE     registry as JSON, read before the first action and written after the last;\n"
    "                      a missing file starts from the default machine registry\n"
    "  --property N=V      sets an installer property of the session\n"
    "  --cancel-at N       answers cancel to the Nth progress increment (counting from 1)\n"
    "  --fail SPEC         makes a stand-in call fail: Func[:N][=ERR][,...]\n"
    "  --events FILE       writes every message and each action's result as JSON lines\n"
    "  --verbose           shows info messages as log lines\n"
    "\n"
    "Exit status: the last action's result (truncated to 8 bits by the system: 1602 shows as 66),\n"
    "or 2 when the driver itself cannot run.\n";

const char* const kActions[] = {"Install", "Commit", "Rollback", "Uninstall"};

typedef unsigned int (*ActionFn)(MSIHANDLE);
typedef BOOL (*EntryFn)(HINSTANCE, DWORD, LPVOID);

struct Options {
    std::string library;
    std::string root;
    std::string registry;
    std::string events;
    std::vector<std::pair<std::string, std::string>> properties;
    std::vector<std::string> faults;
    std::vector<std::string> actions;
    int cancelAt = 0;
    bool verbose = false;
};

int fail_usage(const std::string& why) {
    std::fprintf(stderr, "krt-msihost: %s\n%s", why.c_str(), kUsage);
    return 2;
}

int fail_setup(const std::string& why) {
    std::fprintf(stderr, "krt-msihost: %s\n", why.c_str());
    return 2;
}

bool known_action(const std::string& name) {
    for (const char* action : kActions)
        if (name == action) return true;
    return false;
}

bool parse_count(const std::string& text, int* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    unsigned long n = std::strtoul(text.c_str(), nullptr, 10);
    if (errno != 0 || n == 0 || n > INT_MAX) return false;
    *value = static_cast<int>(n);
    return true;
}

// Returns 0 when the options are good, otherwise the exit status after the
// message has been printed (-1: --help was printed, exit 0).
int parse_options(int argc, char** argv, Options* options) {
    static const char* const withValue[] = {"--library", "--root",      "--registry", "--property",
                                           "--cancel-at", "--fail", "--events"};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        }
        if (arg == "--verbose") {
            options->verbose = true;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0) {
            if (!known_action(arg))
                return fail_setup("unknown action '" + arg + "' (expected Install, Commit, Rollback or Uninstall)");
            options->actions.push_back(arg);
            continue;
        }

        // --name VALUE or --name=VALUE
        std::string name = arg, value;
        bool hasValue = false;
        std::size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        bool takesValue = false;
        for (const char* option : withValue)
            if (name == option) takesValue = true;
        if (!takesValue) return fail_usage("unknown option '" + name + "'");
        if (!hasValue) {
            if (i + 1 >= argc) return fail_usage("option " + name + " needs a value");
            value = argv[++i];
        }

        if (name == "--library") {
            options->library = value;
        } else if (name == "--root") {
            if (value.empty()) return fail_usage("--root needs a folder");
            options->root = value;
        } else if (name == "--registry") {
            if (value.empty()) return fail_usage("--registry needs a file");
            options->registry = value;
        } else if (name == "--events") {
            if (value.empty()) return fail_usage("--events needs a file");
            options->events = value;
        } else if (name == "--property") {
            std::size_t split = value.find('=');
            if (split == std::string::npos || split == 0)
                return fail_usage("--property takes NAME=VALUE, not '" + value + "'");
            options->properties.emplace_back(value.substr(0, split), value.substr(split + 1));
        } else if (name == "--cancel-at") {
            if (!parse_count(value, &options->cancelAt))
                return fail_usage("--cancel-at takes a positive count, not '" + value + "'");
        } else if (name == "--fail") {
            options->faults.push_back(value);
        }
    }
    if (options->actions.empty()) return fail_usage("no action named");
    return 0;
}

std::string absolute(const std::string& path) {
    std::error_code ec;
    std::string full = std::filesystem::absolute(path, ec).lexically_normal().string();
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    return ec ? path : full;
}

bool make_dirs(const std::string& path, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (!ec && std::filesystem::is_directory(path, ec)) return true;
    *error = ec ? ec.message() : "not a folder";
    return false;
}

std::string default_library() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "KRTCustomActions.so";
    std::string path(self, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + "KRTCustomActions.so";
}

bool read_file(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return false;
    *text = content.str();
    return true;
}

// Writes beside the file and renames, so that a failed write leaves the old file whole.
bool write_file(const std::string& path, const std::string& text) {
    std::string temp = path + ".tmp";
    std::FILE* out = std::fopen(temp.c_str(), "wb");
    if (!out) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    ok = (std::fclose(out) == 0) && ok;
    if (ok) ok = std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) std::remove(temp.c_str());
    return ok;
}

// The symbol when the library itself defines it, not one of the libraries it links.
void* own_symbol(void* module, const char* name) {
    void* symbol = dlsym(module, name);
    link_map* map = nullptr;
    Dl_info info;
    if (!symbol || dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return symbol;
    if (!dladdr(symbol, &info) || !info.dli_fname) return symbol;
    return std::strcmp(info.dli_fname, map->l_name) == 0 ? symbol : nullptr;
}

struct EventFile {
    std::FILE* file = nullptr;
    ~EventFile() {
        if (file) std::fclose(file);
    }
    void line(const std::string& text) {
        if (!file) return;
        std::fputs(text.c_str(), file);
        std::fputc('\n', file);
        std::fflush(file);
    }
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (int status = parse_options(argc, argv, &options)) return status < 0 ? 0 : status;

    // Drive mapping, for this process and the programs that the actions start.
    std::string root = absolute(options.root.empty() ? hostwin::root() : options.root);
    std::string error;
    if (!make_dirs(root, &error)) return fail_setup("cannot create the root folder " + root + ": " + error);
    hostwin::set_root(root);

    // Registry: from the file when there is one, else the default machine.
    bool registryFileExists = false;
    if (!options.registry.empty()) {
        struct stat st;
        registryFileExists = stat(options.registry.c_str(), &st) == 0;
        if (!registryFileExists && errno != ENOENT)
            return fail_setup("cannot read the registry file " + options.registry + ": " + std::strerror(errno));
    }
    if (registryFileExists) {
        std::string json;
        if (!read_file(options.registry, &json)) return fail_setup("cannot read the registry file " + options.registry);
        if (!hostwin::registry_from_json(json, &error))
            return fail_setup("malformed registry file " + options.registry + ": " + error);
    } else {
        hostwin::reg_clear();
        hostwin::reg_set_default_machine();
    }

    EventFile events;
    if (!options.events.empty()) {
        events.file = std::fopen(options.events.c_str(), "w");
        if (!events.file)
            return fail_setup("cannot write the events file " + options.events + ": " + std::strerror(errno));
    }

    // The library is a host shared object; it is loaded directly, so that the
    // stand-in's logs hold the actions' own calls only.
    std::string library = options.library.empty() ? default_library() : options.library;
    if (library.find('/') == std::string::npos) library = "./" + library;
    void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return fail_setup(std::string("cannot load the library: ") + dlerror());

    std::vector<ActionFn> entries;
    for (const std::string& action : options.actions) {
        void* symbol = own_symbol(module, action.c_str());
        if (!symbol) return fail_setup("the library " + library + " does not export " + action);
        entries.push_back(reinterpret_cast<ActionFn>(symbol));
    }

    // As the platform's loader does, the entry function, when the library has
    // one, sees the attach before any action and the detach after the last.
    EntryFn entry = reinterpret_cast<EntryFn>(own_symbol(module, "DllMain"));
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(module);
    if (entry && !entry(instance, DLL_PROCESS_ATTACH, nullptr))
        return fail_setup("the library's entry function failed the process attach");

    MSIHANDLE session = hostwin::create_session();
    for (const auto& property : options.properties) hostwin::set_property(session, property.first, property.second);

    msihost::Console console;
    console.terminal = isatty(STDERR_FILENO) == 1;
    console.verbose = options.verbose;
    int increments = 0;
    hostwin::set_message_handler([&](const hostwin::Message& message) {
        events.line(msihost::message_event(message));
        msihost::show_message(console, message);
        if (msihost::is_progress_increment(message) && ++increments == options.cancelAt) return IDCANCEL;
        return IDOK;
    });

    hostwin::clear_calls();
    hostwin::clear_messages();
    for (const std::string& spec : options.faults)
        if (!hostwin::fail_from_spec(spec)) {
            hostwin::set_message_handler(nullptr);
            return fail_usage("bad --fail value '" + spec + "'");
        }

    unsigned int code = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& action = options.actions[i];
        msihost::begin_action(console, action);
        code = entries[i](session);
        msihost::end_action(console);
        events.line(msihost::result_event(action, code));
        if (code != 0) {
            std::fprintf(stderr, "krt-msihost: %s returned %u\n", action.c_str(), code);
            break;
        }
    }

    hostwin::set_message_handler(nullptr);
    hostwin::clear_faults();
    if (entry) entry(instance, DLL_PROCESS_DETACH, nullptr);
    hostwin::close_session(session);

    if (!options.registry.empty() && !write_file(options.registry, hostwin::registry_to_json()))
        return fail_setup("cannot write the registry file " + options.registry);
    return static_cast<int>(code);
}
