/*
 * Interface of the runtime library kvlkrtrt71: the seven functions that the
 * launcher calls, from application initialisation to application
 * termination, and the output handler type by which the runtime calls back.
 *
 * The launcher links against the library at load time. On Windows the
 * functions are imported from kvlkrtrt71.dll; the library itself is built
 * with KVLKRT_BUILDING_RUNTIME defined so that it exports them.
 */
#ifndef KVLKRTRT71_H
#define KVLKRTRT71_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(KVLKRT_BUILDING_RUNTIME)
#    define KVLKRT_API __declspec(dllexport)
#  else
#    define KVLKRT_API __declspec(dllimport)
#  endif
#else
#  define KVLKRT_API __attribute__((visibility("default")))
#endif

/* The functions and the output handlers use the C calling convention, stated
 * here so that a build whose default convention is another one cannot change
 * it. */
#if defined(_WIN32)
#  define KVLKRT_CALL __cdecl
#else
#  define KVLKRT_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The runtime's boolean: one byte, any non-zero value is true. Callers test
 * it against zero and never compare it with 1. */
typedef unsigned char kvlBoolean;

/* Opaque instance handle issued by the runtime. */
typedef void *kvlInstance;

/* Output handler: gets one NUL-terminated text, returns the bytes written. */
typedef int (KVLKRT_CALL *kvlOutputHandler)(const char *text);

KVLKRT_API kvlBoolean KVLKRT_CALL kvlInitializeApplication(const char *const *options,
                                                       int32_t optionCount);

KVLKRT_API kvlBoolean KVLKRT_CALL kvlkrtInitialize(void);

/* Creates the component instance and stores its handle in *instance. */
KVLKRT_API kvlBoolean KVLKRT_CALL kvlInitializeComponentInstance(
    kvlInstance *instance,
    const char *publicKey,
    const char *name,
    const char *root,
    const char *sessionKey,
    const char *const *searchPath, int32_t searchPathCount,
    const char *const *classPath, int32_t classPathCount,
    const char *const *runtimeOptions, int32_t runtimeOptionCount,
    int32_t option12, int32_t option13, int32_t option14, int32_t option15,
    kvlOutputHandler errorHandler,
    kvlOutputHandler printHandler);

/* Runs the component under the given name; returns the run's result. */
KVLKRT_API int KVLKRT_CALL kvlMain(kvlInstance instance, int argc, const char *const *argv,
                                   const char *name, int32_t mode);

/* Returns once no figure window of the component is open any more. */
KVLKRT_API void KVLKRT_CALL kvlWaitForFiguresToDie(int32_t mode);

KVLKRT_API void KVLKRT_CALL kvlTerminateInstance(kvlInstance *instance);

KVLKRT_API void KVLKRT_CALL kvlTerminateApplication(void);

#ifdef __cplusplus
}
#endif

#endif /* KVLKRTRT71_H */
