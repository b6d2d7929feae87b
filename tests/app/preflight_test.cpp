// The Win32 side of the start-up checks: placement and installed version (in a copy of this
// program placed in a game layout), descriptor loading and decoding, and the silent gate rows.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "app/preflight.h"
#include "app/state.h"
#include "format/version.h"
#include "payload/window_api.h"

namespace {

std::wstring TempFolder(const wchar_t *name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder =
        std::wstring(temp) + name + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void WriteBytes(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(file);
}

std::wstring ReadUtf16(const std::wstring &path)
{
    std::wstring text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return L"<no output>";
    wchar_t buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read)
        text.append(buffer, read / sizeof(wchar_t));
    CloseHandle(file);
    return text;
}

// A game layout: root\Bin\Tolvar2.exe (a file, or a folder), root\Bin\game.ini, and a copy of this
// program in root\<folder>\probe.exe that reports what it found.
struct Probe {
    std::wstring gameRoot;
    PackedVersion version;
    DWORD exitCode;
};

Probe RunProbe(const std::wstring &root, const wchar_t *folder, bool executableIsFolder,
               const std::string *ini)
{
    CreateDirectoryW((root + L"Bin").c_str(), nullptr);
    CreateDirectoryW((root + folder).c_str(), nullptr);
    std::wstring game = root + L"Bin\\Tolvar2.exe";
    if (executableIsFolder)
        CreateDirectoryW(game.c_str(), nullptr);
    else
        WriteBytes(game, "MZ");
    DeleteFileW((root + L"Bin\\game.ini").c_str());
    if (ini)
        WriteBytes(root + L"Bin\\game.ini", *ini);

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring probe = root + folder + L"\\probe.exe";
    std::wstring output = root + L"probe-output.txt";
    CopyFileW(self, probe.c_str(), FALSE);
    DeleteFileW(output.c_str());
    std::wstring command = L"\"" + probe + L"\" --probe \"" + output + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    Probe result = {L"", 0, 999};
    if (!CreateProcessW(probe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return result;
    WaitForSingleObject(process.hProcess, 60000);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::wstring text = ReadUtf16(output);
    size_t bar = text.find(L'|');
    result.gameRoot = text.substr(0, bar);
    result.version =
        bar == std::wstring::npos ? 0 : (PackedVersion)wcstoul(text.c_str() + bar + 1, nullptr, 16);
    return result;
}

// In the copy: report gameRoot and the installed version, "root|hex".
int ProbeMain(const wchar_t *output)
{
    if (!LocateGameRoot())
        return 3;
    PackedVersion v = ReadInstalledVersion();
    wchar_t text[PathCapacity + 16];
    int n = _snwprintf(text, PathCapacity + 16, L"%ls|%08x", gameRoot, v);
    HANDLE file = CreateFileW(output, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written;
    WriteFile(file, text, n * sizeof(wchar_t), &written, nullptr);
    CloseHandle(file);
    return 0;
}

}  // namespace

TEST(LocateGameRoot, ParentOfTheInstallerFolderWithDotsKept)
{
    std::wstring root = TempFolder(L"qpatch-locate");
    std::string ini = "[GAME]\r\nVERSION=1.1.0.1\r\n";
    Probe p = RunProbe(root, L"Update", false, &ini);
    EXPECT_EQ(p.exitCode, 0u);
    EXPECT_EQ(p.gameRoot, root + L"Update\\..\\");
    EXPECT_EQ(p.version, 0x01010001u);

    // Any folder name passes, and a folder named Tolvar2.exe counts as the game executable.
    p = RunProbe(root, L"Downloads here", true, &ini);
    EXPECT_EQ(p.exitCode, 0u);
    EXPECT_EQ(p.gameRoot, root + L"Downloads here\\..\\");
}

TEST(ReadInstalledVersion, DefaultsAndValues)
{
    std::wstring root = TempFolder(L"qpatch-version");
    EXPECT_EQ(RunProbe(root, L"Update", false, nullptr).version, 0x01000000u);  // no game.ini

    std::string ini = "[OTHER]\r\nVERSION=2.0.0.0\r\n";
    EXPECT_EQ(RunProbe(root, L"Update", false, &ini).version, 0x01000000u);  // no section
    ini = "[GAME]\r\nNAME=x\r\n";
    EXPECT_EQ(RunProbe(root, L"Update", false, &ini).version, 0x01000000u);  // no key
    ini = "[GAME]\r\nVERSION=\r\n";
    EXPECT_EQ(RunProbe(root, L"Update", false, &ini).version, 0u);  // empty value
    ini = "[GAME]\r\nVERSION=-1.0.0.0\r\n";
    EXPECT_EQ(RunProbe(root, L"Update", false, &ini).version, 0xFF000000u);
    ini = "[GAME]\r\nVERSION=1.256.0.0\r\n";
    EXPECT_EQ(RunProbe(root, L"Update", false, &ini).version, 0x02000000u);
}

// Only the first 127 characters of the value are read: the final 7 at position 128 is lost.
TEST(ReadInstalledVersion, ValueCutTo127Characters)
{
    std::wstring root = TempFolder(L"qpatch-long");
    std::string value = "1.2.3." + std::string(121, '0') + "7";
    ASSERT_EQ(value.size(), 128u);
    std::string ini = "[GAME]\r\nVERSION=" + value + "\r\n";
    EXPECT_EQ(RunProbe(root, L"Update", false, &ini).version, PackVersion(1, 2, 3, 0));
    ini = "[GAME]\r\nVERSION=" + value.substr(0, 6) + value.substr(7) + "\r\n";  // 127 characters
    EXPECT_EQ(RunProbe(root, L"Update", false, &ini).version, PackVersion(1, 2, 3, 7));
}

// This program carries tests/app/data/descriptor.txt as QPATCH 2000.
TEST(LoadDescriptorText, CopiesTheResourceExactly)
{
    DescriptorText text = LoadDescriptorText();
    const std::string expected = "1.1.0.1 = 1.1.0.0\r\n《Tolvar二》v1.1.0.0 升级到 v1.1.0.1\r\n";
    ASSERT_NE(text.bytes, nullptr);
    EXPECT_EQ(std::string((const char *)text.bytes, text.size), expected);
    FreeDescriptorText(text);
}

TEST(ParseDescriptor, SetsTheValuesAndDecodesTheDescription)
{
    const std::string text = "1.1.0.1 = 1.1.0.0\r\n《Tolvar二》v1.1.0.0 升级到 v1.1.0.1\r\n";
    ParseDescriptor((const uint8_t *)text.data(), (uint32_t)text.size());
    EXPECT_EQ(targetVersion, 0x01010001u);
    EXPECT_EQ(gateOperator, GateOperator::Exact);
    EXPECT_EQ(baseVersion, 0x01010000u);
    ASSERT_NE(patchDescription, nullptr);
    EXPECT_EQ(std::wstring(patchDescription, patchDescriptionLength),
              L"《Tolvar二》v1.1.0.0 升级到 v1.1.0.1\r\n");
    EXPECT_EQ(patchDescription[patchDescriptionLength], 0);
}

TEST(ParseDescriptor, EmptyAndInvalidDescriptions)
{
    const std::string empty = "1.2.0.0 <= 1.1.9.9";
    ParseDescriptor((const uint8_t *)empty.data(), (uint32_t)empty.size());
    EXPECT_EQ(gateOperator, GateOperator::UpTo);
    ASSERT_NE(patchDescription, nullptr);
    EXPECT_EQ(patchDescriptionLength, 0u);
    EXPECT_EQ(patchDescription[0], 0);

    // Invalid UTF-8 never fails the descriptor; the bad bytes become replacement characters.
    const std::string invalid = "1.2.0.0 = 1.1.0.0\r\nA\xFF\xC3"
                                "B\xE4\xB8";
    ParseDescriptor((const uint8_t *)invalid.data(), (uint32_t)invalid.size());
    EXPECT_EQ(targetVersion, 0x01020000u);
    ASSERT_NE(patchDescription, nullptr);
    std::wstring d(patchDescription, patchDescriptionLength);
    EXPECT_EQ(d.front(), L'A');
    EXPECT_NE(d.find(L'B'), std::wstring::npos);
    EXPECT_NE(d.find(L'\uFFFD'), std::wstring::npos);
    EXPECT_EQ(wcslen(patchDescription), patchDescriptionLength);
}

// Rows 2 and 4 proceed without any message box (a box would hang this test).
TEST(CheckVersionGate, SilentRowsProceed)
{
    targetVersion = 0x01010001;
    gateOperator = GateOperator::Exact;
    baseVersion = 0x01010000;
    EXPECT_TRUE(CheckVersionGate(0x01010000));
    targetVersion = 0x01020000;
    gateOperator = GateOperator::UpTo;
    baseVersion = 0x01010909;
    EXPECT_TRUE(CheckVersionGate(0x01000000));
    EXPECT_TRUE(CheckVersionGate(0x01010909));
}

int wmain(int argc, wchar_t **argv)
{
    if (!LoadWindowApi())
        return 2;
    if (argc == 3 && wcscmp(argv[1], L"--probe") == 0)
        return ProbeMain(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
