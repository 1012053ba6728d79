#include "fake_runtime.h"

FakeRuntime fake;
int fakeInstanceToken;

extern "C" {

kvlBoolean kvlInitializeApplication(const char *const *options, int32_t optionCount)
{
    fake.calls.push_back("kvlInitializeApplication");
    fake.applicationOptions = options;
    fake.applicationOptionCount = optionCount;
    return fake.applicationAnswer;
}

kvlBoolean kvlkrtInitialize(void)
{
    fake.calls.push_back("kvlkrtInitialize");
    return fake.runtimeAnswer;
}

kvlBoolean kvlInitializeComponentInstance(
    kvlInstance *instance, const char *publicKey, const char *name, const char *root,
    const char *sessionKey, const char *const *searchPath, int32_t searchPathCount,
    const char *const *classPath, int32_t classPathCount, const char *const *runtimeOptions,
    int32_t runtimeOptionCount, int32_t option12, int32_t option13, int32_t option14,
    int32_t option15, kvlOutputHandler errorHandler, kvlOutputHandler printHandler)
{
    fake.calls.push_back("kvlInitializeComponentInstance");
    fake.instanceAddress = instance;
    fake.publicKey = publicKey;
    fake.name = name;
    fake.root = root;
    fake.sessionKey = sessionKey;
    fake.searchPath = searchPath;
    fake.searchPathCount = searchPathCount;
    fake.classPath = classPath;
    fake.classPathCount = classPathCount;
    fake.runtimeOptions = runtimeOptions;
    fake.runtimeOptionCount = runtimeOptionCount;
    fake.constants[0] = option12;
    fake.constants[1] = option13;
    fake.constants[2] = option14;
    fake.constants[3] = option15;
    fake.errorHandler = errorHandler;
    fake.printHandler = printHandler;
    if (fake.instanceAnswer != 0)
        *instance = &fakeInstanceToken;
    return fake.instanceAnswer;
}

int kvlMain(kvlInstance instance, int argc, const char *const *argv, const char *name, int32_t mode)
{
    fake.calls.push_back("kvlMain");
    fake.mainInstance = instance;
    fake.mainArgc = argc;
    fake.mainArgv = argv;
    fake.mainName = name;
    fake.mainMode = mode;
    return fake.mainResult;
}

void kvlWaitForFiguresToDie(int32_t)
{
    fake.calls.push_back("kvlWaitForFiguresToDie");
}

// Resets the handle, so that the next test starts without an instance.
void kvlTerminateInstance(kvlInstance *instance)
{
    fake.calls.push_back("kvlTerminateInstance");
    fake.terminatedAddress = instance;
    *instance = nullptr;
}

void kvlTerminateApplication(void)
{
    fake.calls.push_back("kvlTerminateApplication");
}

} // extern "C"
