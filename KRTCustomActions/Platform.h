// The one place that decides which platform the custom actions are built on:
// the toolchain's Windows headers for the Windows builds, the stand-in platform
// for the host tier. Every other source of the library includes this header and
// nothing platform-specific of its own.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <shellapi.h>
#else
#include <hostwin/hostwin.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The custom actions run in the installer's 32-bit host process: the layouts
// they hand to the platform must be the 32-bit ones.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SECURITY_ATTRIBUTES) == 12, "SECURITY_ATTRIBUTES must be 12 bytes");
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA must be 68 bytes");
static_assert(sizeof(SHFILEOPSTRUCTA) == 30, "SHFILEOPSTRUCTA must be 30 bytes (byte-packed)");
static_assert(sizeof(MSIHANDLE) == 4, "MSIHANDLE must be 32 bits");
#endif
