#pragma once
#include <windows.h>

// A text of the string table, at most 511 characters and zero-terminated.
struct Text {
    wchar_t chars[512];
};

// Loads string id from the running executable's string table, in the variant the platform's
// loader picks for the user's interface language. Nothing is cached.
// Returns: the text; empty when the id is missing.
Text LoadText(UINT id);

// Shows text in a message box captioned IDS_TITLE, owned by owner (null for none).
// Returns: the button the user chose, as MessageBoxW returns it.
int ShowTitledBox(HWND owner, const wchar_t *text, UINT style);

// Shows string id in a message box captioned IDS_TITLE, owned by owner (null for none).
// Returns: the button the user chose, as MessageBoxW returns it.
int ShowText(HWND owner, UINT id, UINT style);
