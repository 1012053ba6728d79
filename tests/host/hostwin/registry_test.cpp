// Registry: the size-query and data-read rules, keys, and the JSON form.
#include "fixture.h"

#include <cstring>

namespace hwtest {
namespace {

const char* const kEnvSub = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

class RegistryTest : public HostwinTest {
protected:
    HKEY open_env() {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEnvSub, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        return key;
    }
};

TEST_F(RegistryTest, QueryGivesSizeThenExactlyTheStoredBytes) {
    // Stored without a terminating NUL: it must come back that way.
    hostwin::reg_set(hostwin::kEnvironmentKey, "Path", REG_SZ, "C:\\A;C:\\B");
    HKEY key = open_env();

    DWORD len = 0;
    ASSERT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, nullptr, &len), ERROR_SUCCESS);
    EXPECT_EQ(len, 9u);

    unsigned char buf[32];
    std::memset(buf, 0xAA, sizeof buf);
    DWORD small = 8;
    EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, buf, &small), ERROR_MORE_DATA);
    EXPECT_EQ(small, 9u);
    EXPECT_EQ(buf[0], 0xAA);  // nothing copied

    DWORD type = 0;
    len = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, "path", nullptr, &type, buf, &len), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(len, 9u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 9), "C:\\A;C:\\B");
    EXPECT_EQ(buf[9], 0xAA);  // no terminator added

    len = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, buf, &len), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    const auto& log = hostwin::calls();
    ASSERT_GE(log.size(), 3u);
    EXPECT_NE(log[1].detail.find(": Path : size query"), std::string::npos) << log[1].detail;
    EXPECT_NE(log[2].detail.find(": Path : data read 8"), std::string::npos) << log[2].detail;
    EXPECT_TRUE(log[2].failed);
}

TEST_F(RegistryTest, ValueGrowingAfterTheSizeQueryFailsTheRead) {
    hostwin::reg_set_default_machine();
    int queries = 0;
    hostwin::set_call_hook([&](const std::string& function, bool before) {
        if (function == "RegQueryValueExA" && !before && ++queries == 1) {
            hostwin::RegValue v;
            hostwin::reg_get(hostwin::kEnvironmentKey, "Path", &v);
            hostwin::reg_set(hostwin::kEnvironmentKey, "Path", v.type, "C:\\New;" + v.data);
        }
    });
    HKEY key = open_env();
    DWORD len = 0;
    ASSERT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, nullptr, &len), ERROR_SUCCESS);
    std::vector<BYTE> buf(len + 64);
    DWORD readLen = len;
    EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, buf.data(), &readLen), ERROR_MORE_DATA);
    EXPECT_EQ(readLen, len + 7);
    RegCloseKey(key);
}

TEST_F(RegistryTest, KeysOpenCreateCloseAndDeleteValues) {
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nope", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Maker\\Kit", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(hostwin::reg_key_exists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Maker"));
    const BYTE data[] = {'v', 0, 'x'};
    EXPECT_EQ(RegSetValueExA(key, "Name", 0, REG_BINARY, data, 3), ERROR_SUCCESS);

    // Paths and value names ignore letter case; the first spelling is kept.
    HKEY again = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\MAKER\\kit", 0, KEY_READ, &again), ERROR_SUCCESS);
    EXPECT_NE(again, key);
    EXPECT_EQ(hostwin::open_key_count(), 2);
    hostwin::RegValue v;
    ASSERT_TRUE(hostwin::reg_get("HKEY_LOCAL_MACHINE\\SOFTWARE\\MAKER\\KIT", "name", &v));
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(v.data, std::string("v\0x", 3));
    EXPECT_NE(hostwin::registry_to_json().find("\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Maker\\\\Kit\""),
              std::string::npos);

    EXPECT_EQ(RegDeleteValueA(again, "NAME"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(again, "NAME"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(again), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(hostwin::open_key_count(), 0);
}

TEST_F(RegistryTest, DefaultMachineHasATerminatedExpandablePath) {
    hostwin::reg_set_default_machine();
    hostwin::RegValue v;
    ASSERT_TRUE(hostwin::reg_get(hostwin::kEnvironmentKey, "Path", &v));
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_EXPAND_SZ));
    ASSERT_FALSE(v.data.empty());
    EXPECT_EQ(v.data.back(), '\0');
    EXPECT_NE(v.data.find("%SystemRoot%\\system32"), std::string::npos);
}

TEST_F(RegistryTest, JsonRoundTripKeepsEveryByte) {
    std::string latin1 = "C:\\Caf\xE9;\x80\xFF\"quote\"\ttab\nline";
    std::string binary("\x00\x01\x7F\xFE", 4);
    hostwin::reg_set_text(hostwin::kEnvironmentKey, "Path", REG_EXPAND_SZ, latin1);
    hostwin::reg_set(hostwin::kEnvironmentKey, "Raw", REG_SZ, "no terminator");
    hostwin::reg_set(hostwin::kEnvironmentKey, "Bin", REG_BINARY, binary);
    hostwin::reg_set("HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty", "", REG_SZ, std::string(1, '\0'));

    std::string json = hostwin::registry_to_json();
    EXPECT_NE(json.find("Caf\\u00e9"), std::string::npos) << json;
    EXPECT_NE(json.find("\"terminated\": false"), std::string::npos) << json;
    for (unsigned char c : json) EXPECT_LT(c, 0x80) << "the JSON text itself stays ASCII";

    hostwin::reg_clear();
    std::string error;
    ASSERT_TRUE(hostwin::registry_from_json(json, &error)) << error;
    EXPECT_EQ(hostwin::registry_to_json(), json);
    hostwin::RegValue v;
    ASSERT_TRUE(hostwin::reg_get(hostwin::kEnvironmentKey, "Path", &v));
    EXPECT_EQ(v.data, latin1 + std::string(1, '\0'));
    ASSERT_TRUE(hostwin::reg_get(hostwin::kEnvironmentKey, "Raw", &v));
    EXPECT_EQ(v.data, "no terminator");
    ASSERT_TRUE(hostwin::reg_get(hostwin::kEnvironmentKey, "Bin", &v));
    EXPECT_EQ(v.data, binary);
}

TEST_F(RegistryTest, JsonErrorsLeaveTheRegistryAsItWas) {
    hostwin::reg_set_default_machine();
    const std::string before = hostwin::registry_to_json();
    const char* bad[] = {
        "{\"HKEY_LOCAL_MACHINE\\\\X\": {\"V\": {\"type\": 1, \"data\": \"a}}}",       // unterminated string
        "{\"HKEY_LOCAL_MACHINE\\\\X\": {\"V\": {\"type\": 1, \"data\": \"\\u0100\"}}}",  // not a byte
        "{\"HKEY_LOCAL_MACHINE\\\\X\": {\"V\": {\"typo\": 1}}}",                     // unknown member
        "{\"HKEY_LOCAL_MACHINE\\\\X\": {}} trailing",
        "[]",
    };
    for (const char* text : bad) {
        std::string error;
        EXPECT_FALSE(hostwin::registry_from_json(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_EQ(hostwin::registry_to_json(), before);
    }
    std::string error;
    ASSERT_TRUE(hostwin::registry_from_json(
        "{\"HKEY_LOCAL_MACHINE\\\\A\\\\B\": {\"V\": {\"type\": 2, \"data\": \"x\\u00ff\"}}}", &error))
        << error;
    EXPECT_TRUE(hostwin::reg_key_exists("HKEY_LOCAL_MACHINE\\A"));
    hostwin::RegValue v;
    ASSERT_TRUE(hostwin::reg_get("HKEY_LOCAL_MACHINE\\A\\B", "V", &v));
    EXPECT_EQ(v.data, std::string("x\xFF\0", 3));
}

}  // namespace
}  // namespace hwtest
