// The start-up checks of one installer run.
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>
#include "format/descriptor.h"
#include "app/directory_part.h"
#include "app/preflight.h"
#include "app/texts.h"
#include "format/version.h"
#include "payload/chunk.h"
#include "payload/entry_writers.h"
#include "payload/self_check.h"
#include "resources/resource.h"

static const wchar_t GameExecutable[] = L"Bin\\Tolvar2.exe";
static const wchar_t ParentFolder[] = L"..\\";
static const uint32_t IniValueSize = 128;

// The module's path, then the game path of the current step.
static wchar_t pathBuffer[TargetPathCapacity];

bool LocateGameRoot()
{
    const uint32_t tail = 3 + (sizeof GameExecutable / sizeof(wchar_t));  // terminator included
    uint32_t n = GetModuleFileNameW(nullptr, pathBuffer, PathCapacity);
    uint32_t i = n < PathCapacity ? DirectoryPartLength(pathBuffer, n) : PathCapacity;
    // A truncated module path, or one with no room behind it for "..\Bin\Tolvar2.exe", is refused.
    bool placed = i <= PathCapacity - tail;
    if (placed) {
        memcpy(gameRoot, pathBuffer, i * sizeof(wchar_t));
        memcpy(gameRoot + i, ParentFolder, sizeof ParentFolder);
        placed = MakeTargetPath(pathBuffer, GameExecutable, WholeName) &&
                 GetFileAttributesW(pathBuffer) != INVALID_FILE_ATTRIBUTES;
    }
    if (!placed)
        ShowText(nullptr, IDS_WRONG_PLACE, MB_ICONERROR | MB_OK);
    return placed;
}

PackedVersion ReadInstalledVersion()
{
    wchar_t value[256];
    // Fits: LocateGameRoot left room behind gameRoot for a longer name.
    MakeTargetPath(pathBuffer, GameIniPath, WholeName);
    DWORD n =
        GetPrivateProfileStringW(L"GAME", L"VERSION", L"1.0.0.0", value, IniValueSize, pathBuffer);
    if (n >= IniValueSize)
        n = IniValueSize - 1;
    value[n] = 0;
    return ParseDottedVersion(value, n);
}

DescriptorText LoadDescriptorText()
{
    DescriptorText text = {nullptr, 0};
    const uint8_t *bytes;
    uint32_t size;
    if (FindOwnResource(QPATCH_TYPE, IDR_DESCRIPTOR, &bytes, &size) && bytes && size > 0) {
        text.bytes = (uint8_t *)malloc(size);
        if (text.bytes) {
            memcpy(text.bytes, bytes, size);
            text.size = size;
        }
    }
    return text;
}

void FreeDescriptorText(DescriptorText text)
{
    free(text.bytes);
}

// Returns: the UTF-8 bytes as a new zero-terminated UTF-16 string of *length units, or null.
static wchar_t *DecodeUtf8(const uint8_t *bytes, uint32_t size, uint32_t *length)
{
    *length = 0;
    if (size > INT32_MAX)
        return nullptr;
    int units =
        size ? MultiByteToWideChar(CP_UTF8, 0, (const char *)bytes, (int)size, nullptr, 0) : 0;
    if (size && units <= 0)
        return nullptr;
    wchar_t *text = (wchar_t *)malloc(((size_t)units + 1) * sizeof(wchar_t));
    if (!text)
        return nullptr;
    if (units &&
        MultiByteToWideChar(CP_UTF8, 0, (const char *)bytes, (int)size, text, units) != units) {
        free(text);
        return nullptr;
    }
    text[units] = 0;
    *length = (uint32_t)units;
    return text;
}

void ParseDescriptor(const uint8_t *text, uint32_t size)
{
    DescriptorHead head = ParseDescriptorHead(text, size);
    targetVersion = head.target;
    gateOperator = head.gate;
    baseVersion = head.base;
    free(patchDescription);  // a second parse replaces the description of the first
    patchDescription = DecodeUtf8(text + head.descriptionOffset, size - head.descriptionOffset,
                                  &patchDescriptionLength);
}

static bool ShowNeedBaseVersion(PackedVersion base, UINT style)
{
    wchar_t message[4096];
    Text format = LoadText(IDS_NEED_BASE_VERSION);
    VersionParts v = UnpackVersion(base);
    _snwprintf(message, 4095, format.chars, v.part[0], v.part[1], v.part[2], v.part[3]);
    message[4095] = 0;
    ShowTitledBox(nullptr, message, style);
    return false;
}

bool CheckVersionGate(PackedVersion installedVersion)
{
    GateDecision decision =
        DecideVersionGate(installedVersion, targetVersion, gateOperator, baseVersion);
    switch (decision.outcome) {
    case GateOutcome::Proceed:
        return true;
    case GateOutcome::Ask:
        return ShowText(nullptr, decision.textId, decision.style) == IDOK;
    case GateOutcome::Refuse:
        break;
    }
    if (decision.textId == IDS_NEED_BASE_VERSION)
        return ShowNeedBaseVersion(baseVersion, decision.style);
    ShowText(nullptr, decision.textId, decision.style);
    return false;
}

bool Preflight()
{
    if (!LocateGameRoot())
        return false;
    PackedVersion installed = ReadInstalledVersion();
    DescriptorText descriptor = LoadDescriptorText();
    if (!descriptor.size) {
        ShowText(nullptr, IDS_NO_DESCRIPTOR, MB_ICONERROR | MB_OK);
        return false;
    }
    // A damaged download is refused before any question is asked or anything is written.
    if (CheckOwnPackage() == SelfCheck::Damaged) {
        FreeDescriptorText(descriptor);
        ShowText(nullptr, IDS_PACKAGE_CORRUPT, MB_ICONERROR | MB_OK);
        return false;
    }
    ParseDescriptor(descriptor.bytes, descriptor.size);
    FreeDescriptorText(descriptor);
    return CheckVersionGate(installed);
}
