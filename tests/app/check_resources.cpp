// Compares the QPATCH resources of an installer with the files of its patch directory:
//   check_resources INSTALLER.exe PATCH_DIR
// Every descriptor.txt / NNNN.bin must be there byte for byte, and no other QPATCH resource.
// Also prints the size of the checksum record and the version information as Windows' file
// properties read it. Exit code 0 when everything matches; each difference is printed.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static int failures;

static void Fail(const char *what, unsigned id)
{
    printf("FAIL: %s (resource %u)\n", what, id);
    ++failures;
}

// Returns: the file's bytes (malloc'd, caller frees) and *size; null when absent.
static unsigned char *ReadFileBytes(const wchar_t *path, DWORD *size)
{
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    *size = GetFileSize(file, nullptr);
    unsigned char *bytes = (unsigned char *)malloc(*size ? *size : 1);
    DWORD read = 0;
    BOOL ok = bytes && ReadFile(file, bytes, *size, &read, nullptr) && read == *size;
    CloseHandle(file);
    if (!ok) {
        free(bytes);
        return nullptr;
    }
    return bytes;
}

static void Compare(HMODULE installer, const wchar_t *dir, unsigned id)
{
    wchar_t path[MAX_PATH * 2];
    if (id == 2000)
        _snwprintf(path, MAX_PATH * 2, L"%ls\\descriptor.txt", dir);
    else
        _snwprintf(path, MAX_PATH * 2, L"%ls\\%u.bin", dir, id);
    DWORD fileSize = 0;
    unsigned char *file = ReadFileBytes(path, &fileSize);
    HRSRC found = FindResourceW(installer, MAKEINTRESOURCEW(id), L"QPATCH");
    if (!file) {
        if (found)
            Fail("resource without a file", id);
        return;
    }
    if (!found) {
        Fail("file without a resource", id);
    } else {
        DWORD size = SizeofResource(installer, found);
        const void *bytes = LockResource(LoadResource(installer, found));
        if (size != fileSize)
            Fail("size differs", id);
        else if (size && (!bytes || memcmp(bytes, file, size) != 0))
            Fail("bytes differ", id);
        else
            printf("ok: resource %u, %lu bytes\n", id, (unsigned long)size);
    }
    free(file);
}

// Prints "version: FILE PRODUCT | description | product name", or "version: none".
static void PrintVersion(const wchar_t *path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    void *info = size ? malloc(size) : nullptr;
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (!info || !GetFileVersionInfoW(path, 0, size, info) ||
        !VerQueryValueW(info, L"\\", (void **)&fixed, &length) || length < sizeof *fixed) {
        printf("version: none\n");
        free(info);
        return;
    }
    printf("version: %lu.%lu.%lu.%lu %lu.%lu.%lu.%lu", fixed->dwFileVersionMS >> 16,
           fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16,
           fixed->dwFileVersionLS & 0xFFFF, fixed->dwProductVersionMS >> 16,
           fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16,
           fixed->dwProductVersionLS & 0xFFFF);
    static const wchar_t *const keys[] = {L"\\StringFileInfo\\000004b0\\FileDescription",
                                          L"\\StringFileInfo\\000004b0\\ProductName"};
    for (const wchar_t *key : keys) {
        wchar_t *text = nullptr;
        char utf8[2048] = "";
        if (VerQueryValueW(info, key, (void **)&text, &length) && text)
            WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
        printf(" | %s", utf8);
    }
    printf("\n");
    free(info);
}

static BOOL CALLBACK CountName(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count)
{
    ++*(int *)count;
    return TRUE;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        printf("usage: check_resources INSTALLER.exe PATCH_DIR\n");
        return 2;
    }
    HMODULE installer =
        LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!installer) {
        printf("FAIL: cannot load %ls as data (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    for (unsigned id = 1; id <= 2100; ++id)
        Compare(installer, argv[2], id);
    int names = 0;
    EnumResourceNamesW(installer, L"QPATCH", CountName, (LONG_PTR)&names);
    printf("QPATCH resources: %d\n", names);
    if (!FindResourceW(installer, MAKEINTRESOURCEW(100), RT_DIALOG))
        Fail("product dialog missing", 100);
    HRSRC record = FindResourceW(installer, MAKEINTRESOURCEW(1), L"QPATCHCRC");
    if (record)
        printf("checksum record: %lu bytes\n", (unsigned long)SizeofResource(installer, record));
    else
        printf("checksum record: none\n");
    FreeLibrary(installer);
    PrintVersion(argv[1]);
    return failures ? 1 : 0;
}
