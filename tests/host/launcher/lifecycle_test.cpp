// The launcher's main module against a recording fake of the runtime.
#include "DORVAK_KVC_COMPONENT_DATA.h"
#include "DORVAK_MAIN.h"
#include "fake_runtime.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

int dorvakProgramMain(int argc, char **argv);

namespace {

using Calls = std::vector<std::string>;

int otherErrorHandler(const char *) { return -7; }
int otherPrintHandler(const char *) { return -8; }

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override { fake = FakeRuntime(); }
    // Leaves no instance behind for the next test in the same process.
    void TearDown() override { dorvakTerminate(); }
};

TEST_F(Lifecycle, InitialiseWhileAnInstanceExistsMakesNoRuntimeCall)
{
    ASSERT_TRUE(dorvakInitialize());
    EXPECT_EQ(fake.calls, (Calls{"kvlkrtInitialize", "kvlInitializeComponentInstance"}));
    kvlOutputHandler firstError = fake.errorHandler;
    kvlOutputHandler firstPrint = fake.printHandler;
    ASSERT_NE(firstError, nullptr);
    ASSERT_NE(firstPrint, nullptr);
    EXPECT_NE(firstError, firstPrint);

    fake.calls.clear();
    fake.runtimeAnswer = 0; // would make a real attempt fail
    EXPECT_TRUE(dorvakInitialize());
    EXPECT_TRUE(dorvakInitializeWithHandlers(otherErrorHandler, otherPrintHandler));
    EXPECT_EQ(fake.calls, Calls{});
    // The instance keeps the handlers it was created with.
    EXPECT_EQ(fake.errorHandler, firstError);
    EXPECT_EQ(fake.printHandler, firstPrint);
}

TEST_F(Lifecycle, TerminateWithoutInstanceMakesNoRuntimeCall)
{
    dorvakTerminate();
    EXPECT_EQ(fake.calls, Calls{});

    fake.runtimeAnswer = 0;
    EXPECT_FALSE(dorvakInitialize());
    dorvakTerminate();
    EXPECT_EQ(fake.calls, Calls{"kvlkrtInitialize"});
}

TEST_F(Lifecycle, FailedCreationIsRetriedFromRuntimeInitialisation)
{
    fake.instanceAnswer = 0;
    EXPECT_FALSE(dorvakInitialize());
    fake.instanceAnswer = 1;
    EXPECT_TRUE(dorvakInitialize());
    EXPECT_EQ(fake.calls, (Calls{"kvlkrtInitialize", "kvlInitializeComponentInstance",
                                 "kvlkrtInitialize", "kvlInitializeComponentInstance"}));
}

// Any non-zero byte is true; the launcher's own answer is a plain 0 or 1.
TEST_F(Lifecycle, AnyNonZeroByteCountsAsTrue)
{
    for (kvlBoolean answer : {kvlBoolean(2), kvlBoolean(0x80), kvlBoolean(255)}) {
        SCOPED_TRACE(int(answer));
        fake = FakeRuntime();
        fake.runtimeAnswer = answer;
        fake.instanceAnswer = answer;
        bool created = dorvakInitialize();
        EXPECT_EQ(static_cast<int>(created), 1);
        dorvakTerminate();
    }
}

TEST_F(Lifecycle, InstanceCreationGetsTheRecordItselfAndTheDefaultHandlers)
{
    ASSERT_TRUE(dorvakInitialize());
    EXPECT_EQ(fake.publicKey, __KVC_dorvak_public_data);
    EXPECT_EQ(fake.name, __KVC_dorvak_name_data);
    EXPECT_EQ(fake.root, __KVC_dorvak_root_data);
    EXPECT_EQ(fake.sessionKey, __KVC_dorvak_session_data);
    EXPECT_EQ(fake.searchPath, &__KVC_dorvak_kavricpath_data[0]);
    EXPECT_EQ(fake.searchPathCount, 34);
    EXPECT_EQ(fake.classPath, &__KVC_dorvak_classpath_data[0]);
    EXPECT_EQ(fake.classPathCount, 0);
    EXPECT_EQ(fake.runtimeOptions, &__KVC_dorvak_krt_runtime_options[0]);
    EXPECT_EQ(fake.runtimeOptionCount, 0);
    EXPECT_EQ(std::vector<int>(fake.constants, fake.constants + 4), (std::vector<int>{1, 0, 0, 0}));

    // The handlers given to an explicit call are the ones installed.
    dorvakTerminate();
    ASSERT_TRUE(dorvakInitializeWithHandlers(otherErrorHandler, otherPrintHandler));
    EXPECT_EQ(fake.errorHandler, &otherErrorHandler);
    EXPECT_EQ(fake.printHandler, &otherPrintHandler);
}

TEST_F(Lifecycle, MainHandsOverItsOwnArgumentsAndTheIssuedHandle)
{
    char arg0[] = "any/path/dorvak";
    char arg1[] = "x";
    char *argv[] = {arg0, arg1, nullptr};
    fake.mainResult = 0;
    EXPECT_EQ(dorvakProgramMain(2, argv), 0);
    EXPECT_EQ(fake.calls, (Calls{"kvlInitializeApplication", "kvlkrtInitialize",
                                 "kvlInitializeComponentInstance", "kvlMain",
                                 "kvlWaitForFiguresToDie", "kvlTerminateInstance",
                                 "kvlTerminateApplication"}));
    EXPECT_EQ(fake.applicationOptions, &__KVC_dorvak_krt_application_options[0]);
    EXPECT_EQ(fake.applicationOptionCount, 0);
    EXPECT_EQ(fake.mainArgc, 2);
    EXPECT_EQ(fake.mainArgv, argv);
    EXPECT_EQ(fake.mainInstance, &fakeInstanceToken);
    EXPECT_STREQ(fake.mainName, "dorvak");
    EXPECT_EQ(fake.mainMode, 0);
    // The handle's address goes to creation and to termination alike.
    EXPECT_NE(fake.instanceAddress, nullptr);
    EXPECT_EQ(fake.terminatedAddress, fake.instanceAddress);
}

// Only a result of exactly 0 waits for figures: the whole int is compared.
TEST_F(Lifecycle, MainWaitsForFiguresOnlyAfterZero)
{
    char arg0[] = "dorvak";
    char *argv[] = {arg0, nullptr};
    for (int result : {256, 1 << 24, -1, 3}) {
        SCOPED_TRACE(result);
        fake = FakeRuntime();
        fake.mainResult = result;
        EXPECT_EQ(dorvakProgramMain(1, argv), result);
        EXPECT_EQ(fake.calls, (Calls{"kvlInitializeApplication", "kvlkrtInitialize",
                                     "kvlInitializeComponentInstance", "kvlMain",
                                     "kvlTerminateInstance", "kvlTerminateApplication"}));
    }
}

} // namespace
