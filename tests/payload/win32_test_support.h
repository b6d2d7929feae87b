#pragma once
// A real temporary game folder for the Windows-side payload tests, and file helpers.
#include <windows.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <string>
#include <vector>
#include "payload/run_state.h"
#include "payload/progress.h"
#include "payload/window_api.h"

inline std::wstring CurrentFolder()
{
    wchar_t buffer[MAX_PATH];
    DWORD n = GetCurrentDirectoryW(MAX_PATH, buffer);
    std::wstring folder(buffer, n);
    if (folder.empty() || folder.back() != L'\\') {
        folder += L'\\';
    }
    return folder;
}

inline void RemoveTree(const std::wstring &folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring path = folder + L"\\" + name;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

inline bool ReadBytes(const std::wstring &path, std::vector<uint8_t> *out)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    out->clear();
    uint8_t buffer[65536];
    DWORD n = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &n, nullptr)) && n != 0) {
        out->insert(out->end(), buffer, buffer + n);
    }
    CloseHandle(file);
    return ok;
}

inline void WriteBytes(const std::wstring &path, const std::vector<uint8_t> &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    if (!bytes.empty()) {
        ASSERT_TRUE(WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr));
    }
    CloseHandle(file);
}

inline bool Exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool IsFolder(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// True when nobody else holds the file open: it opens at once for writing without sharing.
inline bool OpensExclusively(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

// Each test gets an empty game folder under the current folder, set as gameRoot.
class GameFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        root = CurrentFolder() + L"game-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++counter) + L"\\";
        RemoveTree(root.substr(0, root.size() - 1));  // left by an earlier run that failed
        ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
        ASSERT_LT(root.size(), (size_t)PathCapacity);
        ASSERT_TRUE(LoadWindowApi());  // the progress bar is moved through the table
        wcscpy(gameRoot, root.c_str());
        cancelRequested = false;
        progressBytes = 0;
        progressDivisor = 1;
        progressPercent = 0;
        progressWindow = nullptr;
    }

    void TearDown() override
    {
        cancelRequested = false;
        progressWindow = nullptr;
        RemoveTree(root.substr(0, root.size() - 1));
    }

    std::wstring at(const std::wstring &name) const { return root + name; }

    // Read-only files can be written by root under Wine, so those cases run only unprivileged.
    bool readOnlyIsEnforced()
    {
        std::wstring probe = at(L"probe.ro");
        WriteBytes(probe, {1});
        SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_READONLY);
        HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        bool enforced = file == INVALID_HANDLE_VALUE;
        if (!enforced) {
            CloseHandle(file);
        }
        SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(probe.c_str());
        return enforced;
    }

    std::wstring root;
};
