#include "ModuleState.h"

namespace krt {

char g_messageBuffer[kMessageBufferSize];
PathSlots g_pathSlots;

const char* const g_names[3] = {
    "zqcommgr.dll",
    "zqcomutil.dll",
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
};

const char g_versionFolder[] = "v71";

}  // namespace krt
