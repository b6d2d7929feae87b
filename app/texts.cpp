#include "app/texts.h"

Text LoadText(UINT id)
{
    // A missing id leaves the text empty; the caller's box still appears.
    Text text;
    text.chars[0] = 0;
    if (LoadStringW(nullptr, id, text.chars, 512) <= 0)
        text.chars[0] = 0;
    return text;
}
