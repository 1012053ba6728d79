// A recording fake of the runtime library for in-process launcher tests.
#ifndef LAUNCHER_FAKE_RUNTIME_H
#define LAUNCHER_FAKE_RUNTIME_H

#include "kvlkrtrt71.h"

#include <string>
#include <vector>

struct FakeRuntime {
    // What each boolean function answers.
    kvlBoolean applicationAnswer = 1;
    kvlBoolean runtimeAnswer = 1;
    kvlBoolean instanceAnswer = 1;
    int mainResult = 0;

    std::vector<std::string> calls;

    // Arguments of the last kvlInitializeComponentInstance.
    kvlInstance *instanceAddress = nullptr;
    const char *publicKey = nullptr;
    const char *name = nullptr;
    const char *root = nullptr;
    const char *sessionKey = nullptr;
    const char *const *searchPath = nullptr;
    int32_t searchPathCount = -1;
    const char *const *classPath = nullptr;
    int32_t classPathCount = -1;
    const char *const *runtimeOptions = nullptr;
    int32_t runtimeOptionCount = -1;
    int32_t constants[4] = {-1, -1, -1, -1};
    kvlOutputHandler errorHandler = nullptr;
    kvlOutputHandler printHandler = nullptr;

    // Arguments of the last kvlInitializeApplication.
    const char *const *applicationOptions = nullptr;
    int32_t applicationOptionCount = -1;

    // Arguments of the last kvlMain.
    kvlInstance mainInstance = nullptr;
    int mainArgc = -1;
    const char *const *mainArgv = nullptr;
    const char *mainName = nullptr;
    int32_t mainMode = -1;

    // Address given to the last kvlTerminateInstance.
    kvlInstance *terminatedAddress = nullptr;
};

extern FakeRuntime fake;

// Opaque handle that the fake issues.
extern int fakeInstanceToken;

#endif
