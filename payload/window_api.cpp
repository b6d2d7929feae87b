#include "payload/window_api.h"

#define QPATCH_FUNCTION_STRING(name) #name
#define QPATCH_FUNCTION_NAME(name) QPATCH_FUNCTION_STRING(name) "\0"

WindowApi windowApi = {{'Q', 'P', 'W', 'I', 'N', 'A', 'P', 'I'}, WindowApiSlotCount, {}};

static const char user32Names[] = QPATCH_USER32_FUNCTIONS(QPATCH_FUNCTION_NAME);
static const char comctl32Names[] = QPATCH_COMCTL32_FUNCTIONS(QPATCH_FUNCTION_NAME);

int LookUpFunctions(const wchar_t *dll, const char *names, FARPROC *slots)
{
    HMODULE module = LoadLibraryW(dll);
    if (!module)
        return -1;
    int filled = 0;
    for (const char *name = names; *name; name += lstrlenA(name) + 1) {
        FARPROC function = GetProcAddress(module, name);
        if (!function)
            return -1;
        slots[filled++] = function;
    }
    return filled;
}

bool LoadWindowApi()
{
    int user32Count = LookUpFunctions(L"user32.dll", user32Names, windowApi.slots);
    if (user32Count < 0)
        return false;
    return LookUpFunctions(L"comctl32.dll", comctl32Names, windowApi.slots + user32Count) >= 0;
}
