// The compiled-in component data record, as the program carries it.
#include "DORVAK_KVC_COMPONENT_DATA.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

bool isUpperHex(const std::string &text)
{
    return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

std::vector<unsigned char> decodeHex(const std::string &text)
{
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Runs a shell command and returns what it printed on standard output.
std::string capture(const std::string &command, int &status)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    status = pclose(pipe);
    return out;
}

class TempFile {
public:
    explicit TempFile(const std::vector<unsigned char> &bytes)
    {
        char name[] = "/tmp/dorvak-key-XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) {
            path_ = name;
            ssize_t written = write(fd, bytes.data(), bytes.size());
            ok_ = written == static_cast<ssize_t>(bytes.size());
            close(fd);
        }
    }
    ~TempFile()
    {
        if (!path_.empty())
            unlink(path_.c_str());
    }
    bool ok() const { return ok_; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    bool ok_ = false;
};

TEST(ComponentData, KeysAreNulTerminatedUpperCaseHexOfTheirFixedLengths)
{
    EXPECT_EQ(sizeof __KVC_dorvak_public_data, 321u);
    EXPECT_EQ(strlen(__KVC_dorvak_public_data), 320u);
    EXPECT_TRUE(isUpperHex(__KVC_dorvak_public_data));
    EXPECT_EQ(sizeof __KVC_dorvak_session_data, 257u);
    EXPECT_EQ(strlen(__KVC_dorvak_session_data), 256u);
    EXPECT_TRUE(isUpperHex(__KVC_dorvak_session_data));
}

// The public key decodes to a canonical DER SubjectPublicKeyInfo of a 1024-bit
// RSA key, and the session key is a number below its modulus, as an RSA
// ciphertext under that key must be.
TEST(ComponentData, PublicKeyIsAn1024BitRsaSubjectPublicKeyInfo)
{
    std::vector<unsigned char> der = decodeHex(__KVC_dorvak_public_data);
    ASSERT_EQ(der.size(), 160u);
    TempFile file(der);
    ASSERT_TRUE(file.ok());

    int status = 0;
    std::string text = capture("openssl pkey -pubin -inform DER -text -noout -in '" + file.path() + "' 2>&1", status);
    ASSERT_EQ(status, 0) << text;
    EXPECT_NE(text.find("Public-Key: (1024 bit)"), std::string::npos) << text;
    EXPECT_NE(text.find("Modulus:"), std::string::npos) << text;
    EXPECT_NE(text.find("Exponent:"), std::string::npos) << text;

    // Re-encoding gives the same bytes: no trailing data, no odd encoding.
    std::string again = capture("openssl pkey -pubin -inform DER -outform DER -in '" + file.path() + "' | od -An -v -tx1 | tr -d ' \\n' | tr a-f A-F", status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(again, __KVC_dorvak_public_data);

    std::string modulus = capture("openssl rsa -pubin -inform DER -noout -modulus -in '" + file.path() + "' 2>&1", status);
    ASSERT_EQ(status, 0) << modulus;
    ASSERT_EQ(modulus.rfind("Modulus=", 0), 0u) << modulus;
    modulus = modulus.substr(8, 256);
    ASSERT_EQ(modulus.size(), 256u);
    EXPECT_LT(std::string(__KVC_dorvak_session_data), modulus);
}

TEST(ComponentData, ListsAndTextsKeepTheirInvariants)
{
    ASSERT_NE(__KVC_dorvak_root_data, nullptr);
    EXPECT_STREQ(__KVC_dorvak_root_data, "");
    EXPECT_STREQ(__KVC_dorvak_name_data, "dorvak");
    EXPECT_EQ(std::string(__KVC_dorvak_kavricpath_data[0]), std::string(__KVC_dorvak_name_data) + "/");

    EXPECT_EQ(__KVC_dorvak_kavricpath_data_count, 34);
    int variableEntries = 0;
    for (const char *entry : __KVC_dorvak_kavricpath_data) {
        std::string text(entry);
        SCOPED_TRACE(text);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '/');
        EXPECT_NE(text.front(), '/');
        EXPECT_EQ(text.find(':'), std::string::npos);
        EXPECT_EQ(text.find('\\'), std::string::npos);
        if (text.rfind("$TOOLBOXKAVRICDIR/", 0) == 0)
            ++variableEntries;
    }
    EXPECT_EQ(variableEntries, 28);

    struct List {
        const char *const *entries;
        int32_t count;
    };
    for (List list : {List{__KVC_dorvak_classpath_data, __KVC_dorvak_classpath_data_count},
                      List{__KVC_dorvak_krt_application_options, __KVC_dorvak_krt_application_option_count},
                      List{__KVC_dorvak_krt_runtime_options, __KVC_dorvak_krt_runtime_option_count}}) {
        EXPECT_EQ(list.count, 0);
        ASSERT_NE(list.entries[0], nullptr);
        EXPECT_STREQ(list.entries[0], "");
    }
}

} // namespace
