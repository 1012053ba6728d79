// The library frame and installer messaging: Rollback, the entry function,
// error messages and the records they use.
#include "ActionTest.h"
#include "Messaging.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

namespace krt_test {
namespace {

using FrameTest = ActionTest;

TEST_F(FrameTest, RollbackChangesNothingForAnyHandle) {
    setMachinePath("C:\\A;C:\\B");
    for (MSIHANDLE handle : {MSIHANDLE(0), session(), MSIHANDLE(0xFFFFFFFF)}) EXPECT_EQ(Rollback(handle), 0u);
    EXPECT_TRUE(hostwin::messages().empty());
    EXPECT_EQ(machinePath(), "C:\\A;C:\\B");
    EXPECT_EQ(env("TargetDir"), "<unset>");
    EXPECT_TRUE(fs::is_empty(root()));
}

TEST_F(FrameTest, EntryFunctionSucceedsForEveryReason) {
    for (DWORD reason : {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH})
        EXPECT_EQ(DllMain(nullptr, reason, nullptr), TRUE) << reason;
}

TEST_F(FrameTest, ErrorMessageIsATwoFieldUserRecordWithTheTextInFieldZero) {
    EXPECT_EQ(krt::ReportError(session(), "Something broke", MB_ICONERROR), IDOK);
    ASSERT_EQ(hostwin::messages().size(), 1u);
    const hostwin::Message& message = hostwin::messages()[0];
    EXPECT_EQ(message.type, kErrorMessageType);
    ASSERT_EQ(message.fields.size(), 3u);
    EXPECT_EQ(message.fields[0].kind, hostwin::Field::String);
    EXPECT_EQ(message.fields[0].text, "Something broke");
    EXPECT_EQ(message.fields[1].kind, hostwin::Field::Null);
    EXPECT_EQ(message.fields[2].kind, hostwin::Field::Null);
    EXPECT_TRUE(hostwin::open_records().empty());
}

TEST_F(FrameTest, ErrorMessageReturnsTheInstallersAnswerAndClosesItsRecordOnEveryPath) {
    hostwin::set_message_handler([](const hostwin::Message&) { return IDCANCEL; });
    EXPECT_EQ(krt::ReportError(session(), "text", MB_ICONERROR), IDCANCEL);

    hostwin::fail("MsiProcessMessage");
    EXPECT_EQ(krt::ReportError(session(), "text", MB_ICONERROR), -1);

    // No record at all: nothing is shown, nothing to close.
    hostwin::fail("MsiCreateRecord");
    EXPECT_EQ(krt::ReportError(session(), "text", MB_ICONERROR), -1);
    EXPECT_EQ(hostwin::unknown_handle_closes(), 0);

    // An installation handle the installer does not know: no message reaches anyone.
    EXPECT_EQ(krt::ReportError(session() + 1000, "text", MB_ICONERROR), -1);

    EXPECT_EQ(hostwin::messages().size(), 1u);
    EXPECT_TRUE(hostwin::open_records().empty());
}

TEST_F(FrameTest, ActionsAnswerOnlySuccessOrUserExit) {
    // Each action refused for want of an install root, and run with a handle the
    // installer does not know.
    for (MSIHANDLE handle : {session(), session() + 1000}) {
        EXPECT_EQ(Install(handle), 1602u);
        EXPECT_EQ(Uninstall(handle), 1602u);
        EXPECT_EQ(Commit(handle), 1602u);
    }
    EXPECT_TRUE(hostwin::open_records().empty());
}

}  // namespace
}  // namespace krt_test
