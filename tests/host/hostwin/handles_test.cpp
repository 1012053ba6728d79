// Kernel handles: the table, standard handles, duplication, reads and writes,
// and handing a handle to the C runtime.
#include "fixture.h"

#include <sys/stat.h>
#include <unistd.h>

namespace hwtest {
namespace {

class HandlesTest : public HostwinTest {};

TEST_F(HandlesTest, HandleValuesAreDistinctFromPseudoAndInvalidValues) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, &sa, 0));
    for (HANDLE h : {r, w}) {
        EXPECT_NE(h, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
    }
    EXPECT_NE(r, w);
    EXPECT_EQ(GetCurrentProcess(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(hostwin::open_handles(), (std::vector<std::string>{"pipe-read", "pipe-write"}));

    ASSERT_TRUE(CloseHandle(r));
    EXPECT_FALSE(CloseHandle(r));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x7777)));
    EXPECT_EQ(hostwin::open_handles(), (std::vector<std::string>{"pipe-write"}));
    hostwin::reset();
    EXPECT_TRUE(hostwin::open_handles().empty());
}

TEST_F(HandlesTest, SetStdHandleChangesTheTableNotTheDescriptors) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    EXPECT_NE(out, nullptr);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    EXPECT_NE(out, GetStdHandle(STD_ERROR_HANDLE));

    struct stat before, after;
    ASSERT_EQ(::fstat(1, &before), 0);
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, &sa, 0));
    ASSERT_TRUE(SetStdHandle(STD_OUTPUT_HANDLE, w));
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), w);
    ASSERT_EQ(::fstat(1, &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_dev, after.st_dev);

    hostwin::reset();
    EXPECT_NE(GetStdHandle(STD_OUTPUT_HANDLE), w);
}

TEST_F(HandlesTest, DuplicationFollowsInheritAndCloseSource) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr, dup = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, &sa, 0));
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), w, GetCurrentProcess(), &dup, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_FALSE(CloseHandle(w)) << "the source was closed";
    EXPECT_EQ(hostwin::open_handles(), (std::vector<std::string>{"pipe-read", "pipe-write"}));

    // The duplicate writes into the same pipe.
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(dup, "abc", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    CloseHandle(dup);
    EXPECT_EQ(read_all(r), "abc");
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), w, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
    CloseHandle(r);
}

TEST_F(HandlesTest, WritingIntoAPipeWithoutReaderFailsWithoutASignal) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, &sa, 0));
    CloseHandle(r);
    DWORD n = 5;
    EXPECT_FALSE(WriteFile(w, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(n, 0u);
    CloseHandle(w);
}

TEST_F(HandlesTest, PeekSaysWhatIsWaitingAndWhenThePipeHasEnded) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, &sa, 0));
    DWORD waiting = 99, written = 0, got = 0;
    ASSERT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &waiting, nullptr));
    EXPECT_EQ(waiting, 0u);
    ASSERT_TRUE(WriteFile(w, "abc\n", 4, &written, nullptr));
    ASSERT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &waiting, nullptr));
    EXPECT_EQ(waiting, 4u);
    char buf[8];
    EXPECT_FALSE(PeekNamedPipe(r, buf, sizeof buf, &got, &waiting, nullptr)) << "copying is not modelled";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Bytes still waiting are reported after the write end has gone; the end
    // only once they have been read.
    CloseHandle(w);
    ASSERT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &waiting, nullptr));
    EXPECT_EQ(waiting, 4u);
    ASSERT_TRUE(ReadFile(r, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(got, 4u);
    EXPECT_FALSE(PeekNamedPipe(r, nullptr, 0, nullptr, &waiting, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    CloseHandle(r);
}

TEST_F(HandlesTest, DescriptorTakesOverTheHandle) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, &sa, 0));
    int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(r), _O_TEXT);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_open_osfhandle(reinterpret_cast<std::intptr_t>(r), _O_TEXT), -1) << "only once";
    FILE* stream = _fdopen(fd, "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(hostwin::open_handles(), (std::vector<std::string>{"pipe-read", "pipe-write"}));

    DWORD n = 0;
    WriteFile(w, "line one\nline two\n", 18, &n, nullptr);
    CloseHandle(w);
    char line[512];
    ASSERT_NE(std::fgets(line, sizeof line, stream), nullptr);
    EXPECT_STREQ(line, "line one\n");
    EXPECT_FALSE(CloseHandle(r)) << "the descriptor owns it";
    std::fclose(stream);
    EXPECT_TRUE(hostwin::open_handles().empty()) << "closing the stream closed the handle";
    EXPECT_EQ(_open_osfhandle(0x7777, 0), -1);

    // The same through _close, without a stream.
    ASSERT_TRUE(CreatePipe(&r, &w, &sa, 0));
    fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(w), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_close(fd), 0);
    EXPECT_EQ(_close(fd), -1);
    EXPECT_FALSE(CloseHandle(w));
    EXPECT_EQ(hostwin::open_handles(), (std::vector<std::string>{"pipe-read"}));
    EXPECT_EQ(read_all(r), "") << "the write end is really closed";
    CloseHandle(r);
}

}  // namespace
}  // namespace hwtest
