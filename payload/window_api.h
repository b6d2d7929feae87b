#pragma once
#include <windows.h>
#include <commctrl.h>
#include <stdint.h>

// Every user32 and comctl32 function the installer calls, reached through one table that
// LoadWindowApi fills by name once the DLL search is restricted. The same code on both
// architectures: no import of either DLL exists when the process starts, so nothing can be
// resolved from beside the installer, and no slot is left to a toolchain feature.
// SetWindowLongPtrW is a macro naming SetWindowLongW on 32-bit Windows: names are expanded before
// they are looked up, so each architecture asks for the function its user32 exports.
#define QPATCH_USER32_FUNCTIONS(X)                                                                 \
    X(CallWindowProcW)                                                                             \
    X(DialogBoxParamW)                                                                             \
    X(EnableWindow)                                                                                \
    X(EndDialog)                                                                                   \
    X(GetDlgItem)                                                                                  \
    X(LoadIconW)                                                                                   \
    X(LoadStringW)                                                                                 \
    X(MessageBoxW)                                                                                 \
    X(ReplyMessage)                                                                                \
    X(SendDlgItemMessageW)                                                                         \
    X(SendMessageW)                                                                                \
    X(SetDlgItemTextW)                                                                             \
    X(SetWindowLongPtrW)                                                                           \
    X(wsprintfW)
#define QPATCH_COMCTL32_FUNCTIONS(X) X(InitCommonControls)

#define QPATCH_COUNT_FUNCTION(name) +1
#define QPATCH_FUNCTION_SLOT(name) decltype(&::name) name;

static const uint32_t WindowApiSlotCount = 0 QPATCH_USER32_FUNCTIONS(QPATCH_COUNT_FUNCTION)
    QPATCH_COMCTL32_FUNCTIONS(QPATCH_COUNT_FUNCTION);

// The marker "QPWINAPI" and the count let the image check find the slots in the file: every
// indirect call through a fixed address must land in an import address table or in these slots.
struct WindowApi {
    char marker[8];
    uint32_t slotCount;
    union {
        struct {
            QPATCH_USER32_FUNCTIONS(QPATCH_FUNCTION_SLOT)
            QPATCH_COMCTL32_FUNCTIONS(QPATCH_FUNCTION_SLOT)
        };
        FARPROC slots[WindowApiSlotCount];  // the same slots, as LoadWindowApi fills them
    };
};
extern WindowApi windowApi;

// Loads user32 and comctl32 by plain name (call it after restricting the DLL search) and looks
// up every function of the table.
// Returns: true when every slot is filled; false, with the table unusable, when a DLL or a
// function cannot be found.
bool LoadWindowApi();

// Looks up the functions named in names (each zero-terminated, the list ended by an empty name)
// in the DLL called dll, into consecutive slots.
// Returns: the number of slots filled, or -1 when the DLL or one function cannot be found.
int LookUpFunctions(const wchar_t *dll, const char *names, FARPROC *slots);
