// The stand-in runtime called directly, for what a run of dorvak cannot show.
#include "kvlkrtrt71.h"

#include <gtest/gtest.h>

#include <stdlib.h>

namespace {

int gPrinted = 0;

int countingHandler(const char *)
{
    ++gPrinted;
    return 0;
}

const char *const kEmptyList[] = {""};

kvlBoolean createInstance(kvlInstance *instance)
{
    return kvlInitializeComponentInstance(instance, "AB", "dorvak", "", "CD", kEmptyList, 0,
                                          kEmptyList, 0, kEmptyList, 0, 1, 0, 0, 0,
                                          countingHandler, countingHandler);
}

// A true byte of 0 makes creation answer false, and then no instance may be
// left behind: no handle stored, and the handle the stand-in issues stays
// dead (a run with it does nothing).
TEST(StandInRuntime, CreationAnsweringFalseLeavesNoInstance)
{
    for (const char *name : {"KVLKRT_FAIL", "KVLKRT_RESULT", "KVLKRT_SCRIPT", "KVLKRT_TRACE"})
        unsetenv(name);
    setenv("KVLKRT_TRUE", "1", 1);
    kvlInstance issued = nullptr;
    ASSERT_NE(createInstance(&issued), 0);
    ASSERT_NE(issued, nullptr);
    kvlInstance terminated = issued;
    kvlTerminateInstance(&terminated);

    setenv("KVLKRT_TRUE", "0", 1);
    kvlInstance instance = nullptr;
    EXPECT_EQ(createInstance(&instance), 0);
    EXPECT_EQ(instance, nullptr);

    const char *const argv[] = {"dorvak", nullptr};
    gPrinted = 0;
    EXPECT_EQ(kvlMain(issued, 1, argv, "dorvak", 0), 0);
    EXPECT_EQ(gPrinted, 0) << "the component ran in an instance that creation said it did not make";
}

} // namespace
