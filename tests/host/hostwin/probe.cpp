// Child-side helper of the stand-in's process tests. Runs its arguments as a
// list of steps, in order:
//   out TEXT     writes TEXT and a line feed to fd 1      err TEXT   the same to fd 2
//   fd N         writes "fd N open" or "fd N closed"       close N    closes fd N
//   mask A,B,..  exits at once with bit k set when the k-th listed fd is open
//   args         writes each argument in [brackets], argv[0] first
//   cwd          writes the current folder                 env NAME   writes NAME=value or NAME unset
//   records N    calls MsiCreateRecord(1) N times and writes each handle (0 when it failed)
//   sleep MS     sleeps                                    exit N     exits with N at once
// and exits with 0 at the end.
#include <hostwin/hostwin.h>

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <chrono>

static void say(int fd, const std::string& text) {
    std::string line = text + "\n";
    if (::write(fd, line.data(), line.size()) < 0) std::_Exit(99);
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string step = argv[i];
        const char* arg = i + 1 < argc ? argv[i + 1] : "";
        if (step == "out") {
            say(1, arg), ++i;
        } else if (step == "err") {
            say(2, arg), ++i;
        } else if (step == "fd") {
            int fd = std::atoi(arg);
            say(1, std::string("fd ") + arg + (::fcntl(fd, F_GETFD) >= 0 ? " open" : " closed")), ++i;
        } else if (step == "mask") {
            int code = 0, bit = 0;
            for (const char* p = arg; *p; ++bit) {
                if (::fcntl(std::atoi(p), F_GETFD) >= 0) code |= 1 << bit;
                p = std::strchr(p, ',');
                if (p == nullptr) break;
                ++p;
            }
            std::_Exit(code);
        } else if (step == "close") {
            ::close(std::atoi(arg)), ++i;
        } else if (step == "args") {
            for (int k = 0; k < argc; ++k) say(1, std::string("[") + argv[k] + "]");
        } else if (step == "cwd") {
            char buf[PATH_MAX];
            say(1, ::getcwd(buf, sizeof buf) ? buf : "?");
        } else if (step == "env") {
            const char* v = std::getenv(arg);
            say(1, std::string(arg) + (v ? std::string("=") + v : std::string(" unset"))), ++i;
        } else if (step == "records") {
            for (int k = std::atoi(arg); k > 0; --k) say(1, std::to_string(MsiCreateRecord(1)));
            ++i;
        } else if (step == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(arg))), ++i;
        } else if (step == "exit") {
            std::_Exit(std::atoi(arg));
        } else {
            say(2, "probe: unknown step " + step);
            return 98;
        }
    }
    return 0;
}
