// Compiled with -mrtd, which makes stdcall the compiler's default: the
// runtime's functions and the output handler type must keep the C calling
// convention all the same, as the real runtime library is built with it.
#include "kvlkrtrt71.h"

#include <type_traits>

#define KRT_CDECL __attribute__((cdecl))

template <typename Declared, typename Expected>
constexpr bool same = std::is_same<Declared, Expected>::value;

static_assert(same<kvlOutputHandler, int(KRT_CDECL *)(const char *)>,
              "the output handler type is cdecl");
static_assert(same<decltype(&kvlInitializeApplication),
                   kvlBoolean(KRT_CDECL *)(const char *const *, int32_t)>,
              "kvlInitializeApplication is cdecl");
static_assert(same<decltype(&kvlkrtInitialize), kvlBoolean(KRT_CDECL *)(void)>,
              "kvlkrtInitialize is cdecl");
static_assert(same<decltype(&kvlInitializeComponentInstance),
                   kvlBoolean(KRT_CDECL *)(kvlInstance *, const char *, const char *, const char *,
                                           const char *, const char *const *, int32_t,
                                           const char *const *, int32_t, const char *const *,
                                           int32_t, int32_t, int32_t, int32_t, int32_t,
                                           kvlOutputHandler, kvlOutputHandler)>,
              "kvlInitializeComponentInstance is cdecl");
static_assert(same<decltype(&kvlMain),
                   int(KRT_CDECL *)(kvlInstance, int, const char *const *, const char *, int32_t)>,
              "kvlMain is cdecl");
static_assert(same<decltype(&kvlWaitForFiguresToDie), void(KRT_CDECL *)(int32_t)>,
              "kvlWaitForFiguresToDie is cdecl");
static_assert(same<decltype(&kvlTerminateInstance), void(KRT_CDECL *)(kvlInstance *)>,
              "kvlTerminateInstance is cdecl");
static_assert(same<decltype(&kvlTerminateApplication), void(KRT_CDECL *)(void)>,
              "kvlTerminateApplication is cdecl");
