// _putenv over the real process environment, so that getenv and every child
// process see the change.
#include "state.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace hostwin;
using namespace hostwin::detail;

extern "C" {

int _putenv(const char* assignment) {
    return guarded<int>(-1, [&]() -> int {
        Scope s("_putenv");
        const char* eq = assignment ? std::strchr(assignment, '=') : nullptr;
        std::string name = assignment == nullptr ? "(null)"
                           : eq != nullptr       ? std::string(assignment, eq)
                                                 : std::string(assignment);
        if (s.enter(name)) {
            errno = ENOMEM;
            return -1;
        }
        if (eq == nullptr || eq == assignment) {
            s.failed();
            errno = EINVAL;
            return -1;
        }
        Lock lock(mutex());
        // An empty value removes the variable.
        int r = eq[1] == '\0' ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), eq + 1, 1);
        if (r != 0) {
            s.failed();
            return -1;
        }
        return 0;
    });
}

}  // extern "C"
