// Installer sessions: property reads, records, messages and handle accounting.
#include "fixture.h"

#include <cstring>

namespace hwtest {
namespace {

using hostwin::Field;

class InstallerTest : public HostwinTest {};

TEST_F(InstallerTest, PropertyReadFollowsTheBufferRules) {
    MSIHANDLE session = hostwin::create_session();
    hostwin::set_property(session, "FITS", std::string(521, 'a'));
    hostwin::set_property(session, "LONG", std::string(522, 'b'));

    char buf[522];
    DWORD len = sizeof buf;
    ASSERT_EQ(MsiGetPropertyA(session, "FITS", buf, &len), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(len, 521u);
    EXPECT_EQ(std::string(buf), std::string(521, 'a'));

    // One character more than fits: what fits is copied and terminated, and the
    // length needed (without terminator) is left behind.
    len = sizeof buf;
    ASSERT_EQ(MsiGetPropertyA(session, "LONG", buf, &len), static_cast<UINT>(ERROR_MORE_DATA));
    EXPECT_EQ(len, 522u);
    EXPECT_EQ(std::string(buf), std::string(521, 'b'));

    // An undefined property is an empty value, not an error.
    std::memset(buf, 'x', sizeof buf);
    len = sizeof buf;
    ASSERT_EQ(MsiGetPropertyA(session, "UNDEFINED", buf, &len), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(buf[0], '\0');

    // A null buffer asks for the size only.
    len = 0;
    ASSERT_EQ(MsiGetPropertyA(session, "LONG", nullptr, &len), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(len, 522u);

    len = sizeof buf;
    EXPECT_EQ(MsiGetPropertyA(session + 100, "FITS", buf, &len), static_cast<UINT>(ERROR_INVALID_HANDLE));
    MsiCloseHandle(session);
    EXPECT_EQ(MsiGetPropertyA(session, "FITS", buf, &len), static_cast<UINT>(ERROR_INVALID_HANDLE));
}

TEST_F(InstallerTest, RecordFieldsStartNullAndRejectBadFieldsAndHandles) {
    MSIHANDLE session = hostwin::create_session();
    MSIHANDLE rec = MsiCreateRecord(2);
    EXPECT_EQ(session, 1u);
    EXPECT_EQ(rec, 2u);  // one counter for sessions and records
    EXPECT_EQ(MsiRecordGetFieldCount(rec), 2u);
    for (UINT f = 0; f <= 2; ++f) {
        EXPECT_TRUE(MsiRecordIsNull(rec, f));
        EXPECT_EQ(MsiRecordGetInteger(rec, f), MSI_NULL_INTEGER);
    }
    char buf[16] = "junk";
    DWORD len = sizeof buf;
    EXPECT_EQ(MsiRecordGetStringA(rec, 1, buf, &len), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(std::string(buf), "");

    EXPECT_EQ(MsiRecordSetStringA(rec, 0, "text"), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(MsiRecordSetInteger(rec, 2, 8800), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_FALSE(MsiRecordIsNull(rec, 0));
    EXPECT_TRUE(MsiRecordIsNull(rec, 1));
    EXPECT_EQ(MsiRecordGetInteger(rec, 2), 8800);
    len = sizeof buf;
    MsiRecordGetStringA(rec, 0, buf, &len);
    EXPECT_EQ(std::string(buf), "text");

    EXPECT_EQ(MsiRecordSetInteger(rec, 3, 1), static_cast<UINT>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MsiRecordSetStringA(rec, 3, "x"), static_cast<UINT>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MsiRecordSetInteger(0, 1, 1), static_cast<UINT>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(MsiRecordSetStringA(session, 0, "x"), static_cast<UINT>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(MsiRecordSetInteger(rec + 7, 1, 1), static_cast<UINT>(ERROR_INVALID_HANDLE));
}

TEST_F(InstallerTest, MessagesAreLoggedWithACopyOfTheRecord) {
    MSIHANDLE session = hostwin::create_session();
    MSIHANDLE rec = MsiCreateRecord(2);
    MsiRecordSetStringA(rec, 0, "Aborting installation - test");
    EXPECT_EQ(MsiProcessMessage(session, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_USER + MB_ICONERROR), rec), IDOK);
    MsiRecordSetStringA(rec, 0, "changed later");

    // Nothing is recorded for an unknown session or an invalid record.
    EXPECT_EQ(MsiProcessMessage(session + 50, INSTALLMESSAGE_INFO, rec), -1);
    EXPECT_EQ(MsiProcessMessage(session, INSTALLMESSAGE_INFO, 0), -1);
    EXPECT_EQ(MsiProcessMessage(session, INSTALLMESSAGE_INFO, rec + 50), -1);

    const auto& log = hostwin::messages();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].session, session);
    EXPECT_EQ(log[0].type, 0x03000010);
    EXPECT_EQ(log[0].answer, IDOK);
    ASSERT_EQ(log[0].fields.size(), 3u);
    EXPECT_EQ(log[0].fields[0], (Field{Field::String, 0, "Aborting installation - test"}));
    EXPECT_EQ(log[0].fields[1], Field{});
    EXPECT_EQ(log[0].fields[2], Field{});
}

TEST_F(InstallerTest, FormattedTextExpandsTheTemplateField) {
    MSIHANDLE session = hostwin::create_session();
    hostwin::set_property(session, "Defined", "D");
    MSIHANDLE rec = MsiCreateRecord(2);
    MsiRecordSetStringA(rec, 0, "[1]|[2]|[Defined]|[Missing]|{[Missing]x}|{[Defined]y}|{plain}|[\\[]");
    MsiRecordSetStringA(rec, 1, "Kit [x86]");
    MsiRecordSetInteger(rec, 2, 7);
    MsiProcessMessage(session, INSTALLMESSAGE_INFO, rec);
    MsiCloseHandle(rec);
    ASSERT_EQ(hostwin::messages().size(), 1u);
    // A field's own text is not expanded again.
    EXPECT_EQ(hostwin::formatted_text(hostwin::messages()[0]), "Kit [x86]|7|D|||Dy|{plain}|[");
}

TEST_F(InstallerTest, CancelAtIncrementAnswersOnlyTheNthIncrement) {
    MSIHANDLE session = hostwin::create_session();
    MSIHANDLE rec = MsiCreateRecord(3);
    auto send = [&](int f1, int f2) {
        MsiRecordSetInteger(rec, 1, f1);
        MsiRecordSetInteger(rec, 2, f2);
        MsiRecordSetInteger(rec, 3, 0);
        return MsiProcessMessage(session, INSTALLMESSAGE_PROGRESS, rec);
    };
    hostwin::cancel_at_increment(2);
    EXPECT_EQ(send(0, 8800), IDOK);  // a reset record is not an increment
    EXPECT_EQ(send(2, 1), IDOK);
    EXPECT_EQ(send(2, 1), IDCANCEL);
    EXPECT_EQ(send(2, 1), IDOK);
    ASSERT_EQ(hostwin::messages().size(), 4u);
    EXPECT_EQ(hostwin::messages()[2].answer, IDCANCEL);

    hostwin::set_message_handler([](const hostwin::Message& m) { return m.fields[2].integer == 1 ? 7 : 0; });
    EXPECT_EQ(send(2, 1), 7);
    hostwin::cancel_at_increment(0);
    EXPECT_EQ(send(2, 1), IDOK);
}

TEST_F(InstallerTest, HandleAccountingShowsLeakedRecordsAndStrayCloses) {
    MSIHANDLE session = hostwin::create_session();
    MSIHANDLE a = MsiCreateRecord(1), b = MsiCreateRecord(1), c = MsiCreateRecord(1);
    EXPECT_EQ(MsiCloseHandle(b), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(hostwin::open_records(), (std::vector<MSIHANDLE>{a, c}));

    EXPECT_EQ(MsiCloseHandle(b), static_cast<UINT>(ERROR_INVALID_HANDLE));  // twice
    EXPECT_EQ(MsiCloseHandle(0), static_cast<UINT>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(hostwin::unknown_handle_closes(), 2);
    EXPECT_EQ(hostwin::open_records().size(), 2u);
    (void)session;
}

}  // namespace
}  // namespace hwtest
