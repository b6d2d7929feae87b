// The directory part of the installer's path, from which gameRoot is composed.
#include <gtest/gtest.h>
#include <wchar.h>
#include "app/directory_part.h"

static uint32_t Part(const wchar_t *path)
{
    return DirectoryPartLength(path, (uint32_t)wcslen(path));
}

TEST(DirectoryPartLength, LastSeparatorOfEitherKind)
{
    EXPECT_EQ(Part(L"D:\\Play\\Update\\patch.exe"), 15u);
    EXPECT_EQ(Part(L"D:\\Play\\Update/patch.exe"), 15u);  // D:\Play\Update/
    EXPECT_EQ(Part(L"D:/Play/Update\\patch.exe"), 15u);
    EXPECT_EQ(Part(L"\\\\server\\share\\patch.exe"), 15u);
    EXPECT_EQ(Part(L"D:\\Play\\Update\\"), 15u);
}

TEST(DirectoryPartLength, NoSeparator)
{
    EXPECT_EQ(Part(L"patch.exe"), 0u);
    EXPECT_EQ(Part(L"D:patch.exe"), 0u);
    EXPECT_EQ(Part(L""), 0u);
    EXPECT_EQ(DirectoryPartLength(nullptr, 0), 0u);  // GetModuleFileNameW failed
}

// Only the given length counts: a separator beyond it is not seen.
TEST(DirectoryPartLength, StopsAtTheLength)
{
    EXPECT_EQ(DirectoryPartLength(L"a\\b\\c", 3), 2u);
    EXPECT_EQ(DirectoryPartLength(L"ab\\c", 2), 0u);
}
