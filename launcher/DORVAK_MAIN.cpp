// The dorvak launcher: initialises the runtime, creates the one component
// instance from the compiled-in data record, runs the component with the
// program's own arguments and exits with the component's result.
#include "DORVAK_MAIN.h"

#include "DORVAK_KVC_COMPONENT_DATA.h"

#include <stdio.h>
#include <string.h>

// Issued by the runtime through its address; non-null while an instance exists.
static kvlInstance _krt_inst = nullptr;

static const char kRunName[] = "dorvak";
static const char kLineFeed[] = "\n";

static int KVLKRT_CALL kvlDefaultPrintHandler(const char *text)
{
    size_t length = strlen(text);
    return static_cast<int>(fwrite(text, 1, length, stdout));
}

// Error texts always end a line: a line feed is added when the text does not
// end with one. Only the last byte is looked at.
static int KVLKRT_CALL kvlDefaultErrorHandler(const char *text)
{
    size_t length = strlen(text);
    size_t written = fwrite(text, 1, length, stderr);
    if (length > 0 && text[length - 1] != '\n')
        written += fwrite(kLineFeed, 1, 1, stderr);
    return static_cast<int>(written);
}

bool dorvakInitializeWithHandlers(kvlOutputHandler errorHandler, kvlOutputHandler printHandler)
{
    if (_krt_inst != nullptr)
        return true;
    if (kvlkrtInitialize() == 0)
        return false;
    kvlBoolean created = kvlInitializeComponentInstance(
        &_krt_inst,
        __KVC_dorvak_public_data,
        __KVC_dorvak_name_data,
        __KVC_dorvak_root_data,
        __KVC_dorvak_session_data,
        &__KVC_dorvak_kavricpath_data[0], __KVC_dorvak_kavricpath_data_count,
        &__KVC_dorvak_classpath_data[0], __KVC_dorvak_classpath_data_count,
        &__KVC_dorvak_krt_runtime_options[0], __KVC_dorvak_krt_runtime_option_count,
        1, 0, 0, 0,
        errorHandler,
        printHandler);
    return created != 0;
}

bool dorvakInitialize()
{
    return dorvakInitializeWithHandlers(kvlDefaultErrorHandler, kvlDefaultPrintHandler);
}

void dorvakTerminate()
{
    if (_krt_inst != nullptr)
        kvlTerminateInstance(&_krt_inst);
}

// Every handler write must reach its stream at once: the C runtime would
// otherwise buffer a redirected standard output. The streams keep the mode
// the C runtime gives them.
static void prepareStandardStreams()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

int main(int argc, char **argv)
{
    prepareStandardStreams();

    // A runtime that cannot initialise the application has run nothing:
    // report it as the failure it is, like the other initialisation failures,
    // rather than with the status of a successful run.
    if (kvlInitializeApplication(&__KVC_dorvak_krt_application_options[0],
                                 __KVC_dorvak_krt_application_option_count) == 0)
        return -1;

    // The application stays initialised on this path: there is no instance
    // to terminate, and the process ends right away.
    if (!dorvakInitialize())
        return -1;

    int result = kvlMain(_krt_inst, argc, argv, kRunName, 0);
    if (result == 0)
        kvlWaitForFiguresToDie(0);

    dorvakTerminate();
    kvlTerminateApplication();
    return result;
}
