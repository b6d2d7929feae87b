#include "app/texts.h"
#include "resources/resource.h"
#include "payload/window_api.h"

Text LoadText(UINT id)
{
    // A missing id leaves the text empty; the caller's box still appears.
    Text text;
    text.chars[0] = 0;
    if (windowApi.LoadStringW(nullptr, id, text.chars, 512) <= 0)
        text.chars[0] = 0;
    return text;
}

int ShowTitledBox(HWND owner, const wchar_t *text, UINT style)
{
    Text title = LoadText(IDS_TITLE);
    return windowApi.MessageBoxW(owner, text, title.chars, style);
}

int ShowText(HWND owner, UINT id, UINT style)
{
    return ShowTitledBox(owner, LoadText(id).chars, style);
}
