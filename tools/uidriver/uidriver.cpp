// uidriver: runs an installer and plays its user. It watches the installer's top-level windows,
// records every message box and the progress dialog's state, answers boxes from a script,
// presses Close at given progress, marks a moment for a screenshot, holds the installer's writes
// at chosen points, and prints one JSON object per line (UTF-8, flushed).
//
//   uidriver [--answers OK,No,Yes,Esc] [--close-at PERCENT]... [--screenshot-at PERCENT]
//            [--ack FILE] [--hold POINTS] [--timeout SECONDS] [--no-hook]
//            INSTALLER [-- ARGS...]
//
// Events: started, window (any other top-level window), dialog (on every change), close,
// screenshot (once the dialog has been redrawn: its screen rectangle and "areas", its client
// area, then the description and the two buttons), msgbox (with the box's rectangle and areas:
// client area, then text and buttons), held (the installer's worker waits at a hold point),
// released (it may go on), dialog_closed, timeout, error, and last of all exit (the installer's
// exit code; -1 when it had to be killed at the timeout).
//
// With --ack FILE the driver waits after each screenshot and msgbox event until FILE exists
// (and deletes it): the caller grabs the X screen meanwhile. --hold POINTS (see
// HookHoldsVariable) makes the installer's writes wait at those points; the driver lets the
// worker past one point after each acknowledged screenshot and after each answered box, once
// the box's owner has acted on the answer. So a test chooses where the worker is while it
// presses Close, answers, grabs or kills, instead of racing it.
//
// How things are found under Wine:
// - Message boxes and the dialog are both class #32770; the dialog is the one with a
//   msctls_progress32 child of id 101. A box's owner is GW_OWNER.
// - The installer starts suspended and a WM_CALLWNDPROC hook (uidriver_hook.dll, beside this
//   program) is set on its main thread first. In-process it reports the dialog's state when it
//   is shown, on WM_INSTALL_DONE and on WM_DESTROY, so its final state is always known although
//   it may last milliseconds; it tells a box's icon kind from the icon's handle; it redraws the
//   dialog before a screenshot; and it holds writes.
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <set>
#include <string>
#include <vector>

#include "tools/uidriver/hook_protocol.h"

namespace {

const int IdcProgress = 101;
const int IdcUpdate = 102;
const int IdcInfo = 1000;
const DWORD PollMs = 10;
const DWORD ReadTimeoutMs = 1000;
const int StartAttempts = 3;

struct Options {
    std::wstring installer;
    std::wstring arguments;
    std::vector<std::wstring> answers;
    std::vector<int> closeAt;
    int screenshotAt = -1;  // none
    std::wstring ack;
    std::wstring holds;
    int timeoutSeconds = 60;
    bool hook = true;
};

struct DialogState {
    std::wstring caption, info, closeText, updateText;
    bool visible = false, enabled = false, closeEnabled = false, updateEnabled = false;
    int pos = -1, rangeLow = -1, rangeHigh = -1;
    bool operator==(const DialogState &o) const
    {
        return caption == o.caption && info == o.info && closeText == o.closeText &&
               updateText == o.updateText && visible == o.visible && enabled == o.enabled &&
               closeEnabled == o.closeEnabled && updateEnabled == o.updateEnabled && pos == o.pos &&
               rangeLow == o.rangeLow && rangeHigh == o.rangeHigh;
    }
};

// ---- JSON output -------------------------------------------------------------------------

std::string Utf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr,
                                nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::string Quote(const std::wstring &text)
{
    std::string out = "\"";
    for (char c : Utf8(text)) {
        unsigned char u = (unsigned char)c;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

class Event {
public:
    explicit Event(const char *name) { text_ = std::string("{\"event\":\"") + name + "\""; }
    Event &Str(const char *key, const std::wstring &value) { return Raw(key, Quote(value)); }
    Event &Int(const char *key, long long value) { return Raw(key, std::to_string(value)); }
    Event &Bool(const char *key, bool value) { return Raw(key, value ? "true" : "false"); }
    Event &List(const char *key, const std::vector<std::wstring> &items)
    {
        std::string list = "[";
        for (size_t i = 0; i < items.size(); ++i)
            list += (i ? "," : "") + Quote(items[i]);
        return Raw(key, list + "]");
    }
    Event &Raw(const char *key, const std::string &json)
    {
        text_ += std::string(",\"") + key + "\":" + json;
        return *this;
    }
    ~Event()
    {
        text_ += "}\n";
        fwrite(text_.data(), 1, text_.size(), stdout);
        fflush(stdout);
    }

private:
    std::string text_;
};

// ---- reading other processes' windows ----------------------------------------------------

std::wstring ClassOf(HWND window)
{
    wchar_t name[128] = {0};
    GetClassNameW(window, name, 128);
    return name;
}

std::wstring TextOf(HWND window)
{
    if (!window)
        return std::wstring();
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, ReadTimeoutMs,
                             &length))
        return std::wstring();
    std::vector<wchar_t> buffer(length + 2, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), (LPARAM)buffer.data(), SMTO_ABORTIFHUNG,
                        ReadTimeoutMs, &copied);
    return std::wstring(buffer.data(), copied < buffer.size() ? copied : 0);
}

int SendInt(HWND window, UINT message, WPARAM wParam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, 0, SMTO_ABORTIFHUNG, ReadTimeoutMs, &result))
        return -1;
    return (int)result;
}

bool IsProgressDialog(HWND window)
{
    HWND bar = GetDlgItem(window, IdcProgress);
    return bar && ClassOf(bar) == PROGRESS_CLASSW;
}

DialogState ReadDialog(HWND dialog)
{
    DialogState s;
    HWND close = GetDlgItem(dialog, IDCANCEL), update = GetDlgItem(dialog, IdcUpdate);
    HWND bar = GetDlgItem(dialog, IdcProgress);
    s.caption = TextOf(dialog);
    s.info = TextOf(GetDlgItem(dialog, IdcInfo));
    s.closeText = TextOf(close);
    s.updateText = TextOf(update);
    s.visible = IsWindowVisible(dialog) != FALSE;
    s.enabled = IsWindowEnabled(dialog) != FALSE;
    s.closeEnabled = close && IsWindowEnabled(close);
    s.updateEnabled = update && IsWindowEnabled(update);
    s.pos = SendInt(bar, PBM_GETPOS, 0);
    s.rangeLow = SendInt(bar, PBM_GETRANGE, TRUE);
    s.rangeHigh = SendInt(bar, PBM_GETRANGE, FALSE);
    return s;
}

// A read that met a dying window is incomplete.
bool Complete(const DialogState &s)
{
    return s.pos >= 0 && s.rangeLow >= 0 && s.rangeHigh >= 0;
}

void EmitDialog(const DialogState &s, const wchar_t *source = L"poll")
{
    Event("dialog")
        .Str("source", source)
        .Str("caption", s.caption)
        .Str("info", s.info)
        .Str("closeText", s.closeText)
        .Str("updateText", s.updateText)
        .Bool("visible", s.visible)
        .Bool("enabled", s.enabled)
        .Bool("closeEnabled", s.closeEnabled)
        .Bool("updateEnabled", s.updateEnabled)
        .Int("pos", s.pos)
        .Int("rangeLow", s.rangeLow)
        .Int("rangeHigh", s.rangeHigh);
}

// Screen rectangles as JSON [left, top, width, height]: the client area first, then the given
// windows (the areas a test reads text from).
std::string Rects(HWND window, const std::vector<HWND> &parts)
{
    RECT client;
    GetClientRect(window, &client);
    MapWindowPoints(window, nullptr, (POINT *)&client, 2);
    std::string json = "[";
    std::vector<RECT> rects(1, client);
    for (HWND part : parts) {
        RECT r;
        if (part && GetWindowRect(part, &r))
            rects.push_back(r);
    }
    for (size_t i = 0; i < rects.size(); ++i) {
        const RECT &r = rects[i];
        json += (i ? ",[" : "[") + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                std::to_string(r.right - r.left) + "," + std::to_string(r.bottom - r.top) + "]";
    }
    return json + "]";
}

// ---- requests to the hook ---------------------------------------------------------------

const wchar_t *IconKindName(uint32_t kind)
{
    static const wchar_t *const names[] = {L"none", L"error", L"warning", L"question",
                                           L"information"};
    return kind < sizeof names / sizeof names[0] ? names[kind] : L"unknown";
}

// Asks the hook to redraw window at once and, for a box, to report its icon kind to the sink
// before the request returns. The hook lives on the installer's main thread: a window of another
// thread is named through via, a window of the main thread. Returns: false when unanswered.
bool Inspect(HWND window, HWND via)
{
    DWORD_PTR ignored;
    return SendMessageTimeoutW(via ? via : window, RegisterWindowMessageW(HookInspectMessage),
                               via ? (WPARAM)window : 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored) != 0;
}

// ---- message boxes ------------------------------------------------------------------------

struct Driver;
std::wstring IconKind(Driver &d, HWND box);

const wchar_t *ButtonName(int id)
{
    switch (id) {
    case IDOK:
        return L"OK";
    case IDCANCEL:
        return L"Cancel";
    case IDABORT:
        return L"Abort";
    case IDRETRY:
        return L"Retry";
    case IDIGNORE:
        return L"Ignore";
    case IDYES:
        return L"Yes";
    case IDNO:
        return L"No";
    case IDTRYAGAIN:
        return L"TryAgain";
    case IDCONTINUE:
        return L"Continue";
    default:
        return L"Other";
    }
}

struct BoxButton {
    int id;
    HWND window;
    int left;
};

std::vector<BoxButton> ButtonsOf(HWND box)
{
    std::vector<BoxButton> buttons;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) != L"Button" || !IsWindowVisible(child))
            continue;
        RECT r;
        GetWindowRect(child, &r);
        BoxButton b = {GetDlgCtrlID(child), child, r.left};
        size_t at = 0;
        while (at < buttons.size() && buttons[at].left <= b.left)
            ++at;
        buttons.insert(buttons.begin() + at, b);
    }
    return buttons;
}

std::wstring BoxText(HWND box)
{
    std::wstring text;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (ClassOf(child) == L"Static" &&
            (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON && IsWindowVisible(child))
            text += TextOf(child);
    return text;
}

// Presses a button as a user would: a posted click, so that no call here waits for the modal
// loop that the click may open.
bool Answer(HWND box, const std::vector<BoxButton> &buttons, const std::wstring &answer)
{
    if (answer == L"Esc")
        return PostMessageW(box, WM_KEYDOWN, VK_ESCAPE, 0) != FALSE;
    for (const BoxButton &b : buttons)
        if (answer == ButtonName(b.id))
            return PostMessageW(b.window, BM_CLICK, 0, 0) != FALSE;
    return false;
}

// ---- the driver ---------------------------------------------------------------------------

struct Driver {
    Options options;
    PROCESS_INFORMATION process = {};
    size_t nextAnswer = 0;
    size_t nextClose = 0;
    bool screenshotTaken = false;
    HWND dialog = nullptr;
    DialogState lastDialog;
    bool dialogSeen = false;
    bool dialogClosed = false;  // the one dialog has gone
    bool endSent = false;
    int maxPos = -1;
    std::vector<HookReport> hookReports;  // received, not yet processed
    bool endReported = false;             // a hook report from the dialog's end was processed
    HWND hookDialog = nullptr;
    std::set<HWND> seenWindows;
    std::set<HWND> answeredBoxes;
    std::vector<HWND> pendingBoxes;               // seen, not yet answered
    std::vector<std::pair<HWND, HWND>> answered;  // box and owner, until the owner handled it
    int iconKind = -1;                            // the hook's answer to the last inspect
    HANDLE holdRelease = nullptr;                 // with --hold
};

Driver *driver = nullptr;

LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COPYDATA && driver) {
        const COPYDATASTRUCT *data = (const COPYDATASTRUCT *)lParam;
        if (data->dwData == HookReportMagic && data->cbData == sizeof(HookReport)) {
            driver->hookReports.push_back(*(const HookReport *)data->lpData);
            if (!driver->hookDialog)
                driver->hookDialog = (HWND)wParam;
            return TRUE;
        }
        if (data->dwData == HookIconMagic && data->cbData == sizeof(uint32_t)) {
            driver->iconKind = (int)*(const uint32_t *)data->lpData;
            return TRUE;
        }
        if (data->dwData == HookHeldMagic && data->cbData == sizeof(HookHeldReport)) {
            const HookHeldReport *held = (const HookHeldReport *)data->lpData;
            Event("held")
                .Int("point", held->point)
                .Bool("version", held->version != 0)
                .Int("written", (long long)held->written);
            return TRUE;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateSink(DWORD installerPid)
{
    wchar_t className[64];
    swprintf(className, 64, L"%ls%lu", HookSinkClassPrefix, installerPid);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = SinkProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = className;
    if (!RegisterClassW(&wc))
        return nullptr;
    return CreateWindowExW(0, className, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance,
                           nullptr);
}

// The hook DLL lies beside the driver.
HHOOK InstallHook(DWORD threadId)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    while (n > 0 && path[n - 1] != L'\\' && path[n - 1] != L'/')
        --n;
    path[n] = 0;
    std::wstring dll = std::wstring(path) + L"uidriver_hook.dll";
    HMODULE module = LoadLibraryW(dll.c_str());
    if (!module)
        return nullptr;
    HOOKPROC proc = (HOOKPROC)(void *)GetProcAddress(module, "UiDriverCallWndProc");
    return proc ? SetWindowsHookExW(WH_CALLWNDPROC, proc, module, threadId) : nullptr;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM list)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == driver->process.dwProcessId && IsWindowVisible(window))
        ((std::vector<HWND> *)list)->push_back(window);
    return TRUE;
}

void ProcessHookReports(Driver &d);
void ReportDialogEnd(Driver &d);
void PumpMessages();

// Reports the dialog's end first when it has gone by the time a box is seen: a box shown after
// the dialog ended must follow dialog_closed whichever of the two a poll happens to see first.
void ReportEndBeforeBox(Driver &d)
{
    ProcessHookReports(d);
    if (d.dialog && !IsWindow(d.dialog)) {
        d.dialogClosed = true;
        d.dialog = nullptr;
    }
    if (d.dialogClosed && !d.endSent) {
        ReportDialogEnd(d);
        d.endSent = true;
    }
}

// The caller grabs the screen after a screenshot or msgbox event and then creates the --ack file;
// the driver waits for it (messages pumped, so that the hook's reports are taken meanwhile).
void WaitForAck(Driver &d, DWORD deadline)
{
    if (d.options.ack.empty())
        return;
    while (!DeleteFileW(d.options.ack.c_str()) && (LONG)(GetTickCount() - deadline) < 0) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, PollMs, QS_ALLINPUT);
        PumpMessages();
    }
}

// Lets the installer's held write go on, past one hold point.
void ReleaseHold(Driver &d)
{
    if (!d.holdRelease)
        return;
    ReleaseSemaphore(d.holdRelease, 1, nullptr);
    Event("released");
}

BOOL CALLBACK FirstWindow(HWND window, LPARAM found)
{
    *(HWND *)found = window;
    return FALSE;
}

// A window of the installer's main thread, through which the hook is asked about other threads'.
HWND MainThreadWindow(Driver &d)
{
    HWND found = nullptr;
    EnumThreadWindows(d.process.dwThreadId, FirstWindow, (LPARAM)&found);
    return found;
}

void PollDialog(Driver &d)
{
    ProcessHookReports(d);
    if (d.dialog && !IsWindow(d.dialog)) {
        d.dialogClosed = true;
        d.dialog = nullptr;
    }
    if (!d.dialog)
        return;
    DialogState s = ReadDialog(d.dialog);
    if (!IsWindow(d.dialog) || !Complete(s) || d.endReported)
        return;  // went while being read
    if (!d.dialogSeen || !(s == d.lastDialog))
        EmitDialog(s);
    d.dialogSeen = true;
    d.lastDialog = s;
    if (s.pos > d.maxPos)
        d.maxPos = s.pos;
    bool boxOpen = !d.pendingBoxes.empty() || !d.answered.empty();
    if (d.nextClose < d.options.closeAt.size() && s.pos >= d.options.closeAt[d.nextClose] &&
        !boxOpen) {
        HWND close = GetDlgItem(d.dialog, IDCANCEL);
        Event("close").Int("pos", s.pos).Bool("closeEnabled", s.closeEnabled);
        PostMessageW(close, BM_CLICK, 0, 0);
        ++d.nextClose;
    }
    if (d.options.screenshotAt >= 0 && !d.screenshotTaken && s.pos >= d.options.screenshotAt &&
        !boxOpen) {
        // Every child has painted once the hook's redraw returns.
        bool ok = Inspect(d.dialog, nullptr);
        RECT r;
        GetWindowRect(d.dialog, &r);
        Event("screenshot")
            .Int("pos", s.pos)
            .Bool("ok", ok)
            .Int("left", r.left)
            .Int("top", r.top)
            .Int("width", r.right - r.left)
            .Int("height", r.bottom - r.top)
            .Raw("areas",
                 Rects(d.dialog, {GetDlgItem(d.dialog, IdcInfo), GetDlgItem(d.dialog, IdcUpdate),
                                  GetDlgItem(d.dialog, IDCANCEL)}));
        d.screenshotTaken = true;
        WaitForAck(d, GetTickCount() + (DWORD)d.options.timeoutSeconds * 1000);
        ReleaseHold(d);
    }
}

// The icon kind of a message box, from the hook: it compares the box's icon handle with the
// system icons of the installer's process.
std::wstring IconKind(Driver &d, HWND box)
{
    HWND icon = nullptr;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (ClassOf(child) == L"Static" &&
            (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            icon = child;
    if (!icon || !IsWindowVisible(icon) || !SendInt(icon, STM_GETICON, 0))
        return L"none";
    bool mainThread = GetWindowThreadProcessId(box, nullptr) == d.process.dwThreadId;
    d.iconKind = -1;
    if (!Inspect(box, mainThread ? nullptr : MainThreadWindow(d)) || d.iconKind < 0)
        return L"unknown";
    return IconKindName((uint32_t)d.iconKind);
}

void HandleBox(Driver &d, HWND box)
{
    ReportEndBeforeBox(d);
    std::vector<BoxButton> buttons = ButtonsOf(box);
    std::vector<std::wstring> names;
    for (const BoxButton &b : buttons)
        names.push_back(ButtonName(b.id));
    HWND owner = GetWindow(box, GW_OWNER);
    std::wstring ownerKind = !owner                                           ? L"none"
                             : (owner == d.dialog || IsProgressDialog(owner)) ? L"dialog"
                                                                              : L"other";
    std::wstring answer;
    if (d.nextAnswer < d.options.answers.size())
        answer = d.options.answers[d.nextAnswer++];
    else if (!buttons.empty())
        answer = ButtonName(buttons[0].id);
    RECT r;
    GetWindowRect(box, &r);
    std::vector<HWND> areas;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (IsWindowVisible(child) && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
            areas.push_back(child);
    Event("msgbox")
        .Str("caption", TextOf(box))
        .Str("text", BoxText(box))
        .Str("owner", ownerKind)
        .Str("icon", IconKind(d, box))
        .List("buttons", names)
        .Str("answer", answer)
        .Bool("dialogOpen", d.dialog != nullptr && IsWindow(d.dialog))
        .Int("left", r.left)
        .Int("top", r.top)
        .Int("width", r.right - r.left)
        .Int("height", r.bottom - r.top)
        .Raw("areas", Rects(box, areas));
    WaitForAck(d, GetTickCount() + (DWORD)d.options.timeoutSeconds * 1000);
    if (!Answer(box, buttons, answer))
        Event("error").Str("message", L"cannot answer " + answer);
    d.answered.push_back({box, owner});
}

// Once an answered box is gone, its owner is asked for nothing (WM_NULL): the reply comes when
// the owner's thread is back in its message loop, that is when the code that showed the box has
// acted on the answer (a cancel is requested by then). The dialog's state is read after that,
// and then a held write may go on.
void FinishAnswers(Driver &d)
{
    for (size_t i = 0; i < d.answered.size();) {
        HWND box = d.answered[i].first, owner = d.answered[i].second;
        if (IsWindow(box)) {
            ++i;
            continue;
        }
        DWORD_PTR ignored;
        if (owner && IsWindow(owner))
            SendMessageTimeoutW(owner, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
        d.answered.erase(d.answered.begin() + i);
        PollDialog(d);
        ReleaseHold(d);
    }
}

void PollWindows(Driver &d)
{
    std::vector<HWND> windows;
    EnumWindows(CollectWindow, (LPARAM)&windows);
    for (HWND w : windows) {
        bool isNew = d.seenWindows.insert(w).second;
        bool dialogClass = ClassOf(w) == L"#32770";
        if (dialogClass && IsProgressDialog(w)) {
            if (!d.dialog && !d.dialogClosed)
                d.dialog = w;
            continue;
        }
        if (!dialogClass) {
            if (isNew)
                Event("window").Str("class", ClassOf(w)).Str("caption", TextOf(w));
            continue;
        }
        if (d.answeredBoxes.count(w))
            continue;
        bool pending = false;
        for (HWND p : d.pendingBoxes)
            pending |= p == w;
        if (!pending)
            d.pendingBoxes.push_back(w);
    }
    // A visible box has had its WM_INITDIALOG: its texts, buttons and icon are in place. Boxes
    // are answered oldest first, one at a time.
    if (!d.pendingBoxes.empty() && d.answered.empty()) {
        HWND box = d.pendingBoxes.front();
        d.pendingBoxes.erase(d.pendingBoxes.begin());
        if (IsWindow(box)) {
            HandleBox(d, box);
            d.answeredBoxes.insert(box);
        }
    }
    FinishAnswers(d);
}

std::wstring Terminated(wchar_t *text, size_t capacity)
{
    text[capacity - 1] = 0;
    return text;
}

// Hook reports are dialog states like the polled ones. The first report from the dialog's end
// (WM_INSTALL_DONE, else WM_DESTROY) is the state in which it ended; later ones are ignored.
void ProcessHookReports(Driver &d)
{
    for (HookReport &r : d.hookReports) {
        if (d.endReported)
            break;
        DialogState s;
        s.caption = Terminated(r.caption, 256);
        s.info = Terminated(r.info, HookInfoCapacity);
        s.closeText = Terminated(r.closeText, 64);
        s.updateText = Terminated(r.updateText, 64);
        s.visible = true;
        s.enabled = r.enabled != 0;
        s.closeEnabled = r.closeEnabled != 0;
        s.updateEnabled = r.updateEnabled != 0;
        s.pos = r.position;
        s.rangeLow = r.rangeLow;
        s.rangeHigh = r.rangeHigh;
        if (!d.dialogSeen || !(s == d.lastDialog))
            EmitDialog(s, L"hook");
        d.dialogSeen = true;
        d.lastDialog = s;
        if (s.pos > d.maxPos)
            d.maxPos = s.pos;
        d.endReported = r.reason != HookReasonShown;
        if (!d.dialog && !d.dialogClosed)
            d.dialog = d.hookDialog;
    }
    d.hookReports.clear();
}

void ReportDialogEnd(Driver &d)
{
    ProcessHookReports(d);
    if (!d.dialogSeen)
        return;
    Event("dialog_closed")
        .Int("finalPos", d.lastDialog.pos)
        .Int("maxPos", d.maxPos)
        .Bool("reached100", d.maxPos >= 100)
        .Str("source", d.endReported ? L"hook" : L"poll");
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

int Run(Driver &d)
{
    std::wstring commandLine = L"\"" + d.options.installer + L"\"" + d.options.arguments;
    if (!d.options.holds.empty())
        SetEnvironmentVariableW(HookHoldsVariable, d.options.holds.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    // Wine on a loaded machine now and then fails a start with an internal error: try again.
    bool started = false;
    DWORD error = 0;
    for (int attempt = 0; attempt < StartAttempts && !started; ++attempt) {
        // Suspended, so that the hook is in place before the installer makes its first window.
        started = CreateProcessW(d.options.installer.c_str(), &commandLine[0], nullptr, nullptr,
                                 FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &d.process);
        error = started ? 0 : GetLastError();
        if (!started && error != ERROR_INTERNAL_ERROR)
            break;
        if (!started)
            Sleep(500);
    }
    if (!started) {
        Event("error").Str("message", L"cannot start installer").Int("code", error);
        Event("exit").Int("code", -1).Bool("started", false);
        return 1;
    }
    HWND sink = CreateSink(d.process.dwProcessId);
    HHOOK hook = d.options.hook ? InstallHook(d.process.dwThreadId) : nullptr;
    if (!d.options.holds.empty()) {
        wchar_t name[64];
        swprintf(name, 64, L"%ls%lu", HookHoldSemaphorePrefix, d.process.dwProcessId);
        d.holdRelease = CreateSemaphoreW(nullptr, 0, 1 << 20, name);
    }
    Event("started").Int("pid", d.process.dwProcessId).Bool("hook", hook != nullptr);
    ResumeThread(d.process.hThread);
    DWORD deadline = GetTickCount() + (DWORD)d.options.timeoutSeconds * 1000;
    bool timedOut = false;
    for (;;) {
        DWORD wait = MsgWaitForMultipleObjects(1, &d.process.hProcess, FALSE, PollMs, QS_ALLINPUT);
        PumpMessages();
        if (wait == WAIT_OBJECT_0)
            break;
        if ((LONG)(GetTickCount() - deadline) >= 0) {
            timedOut = true;
            break;
        }
        PollWindows(d);
        PollDialog(d);
        if (d.dialogClosed && !d.endSent) {
            ReportDialogEnd(d);
            d.endSent = true;
        }
    }
    PumpMessages();
    if (!d.endSent) {
        PollDialog(d);
        d.dialogClosed = true;
        ReportDialogEnd(d);
    }
    DWORD code = (DWORD)-1;
    if (timedOut) {
        Event("timeout").Int("seconds", d.options.timeoutSeconds);
        TerminateProcess(d.process.hProcess, 255);
        WaitForSingleObject(d.process.hProcess, 5000);
        Event("exit").Int("code", -1).Bool("killed", true);
    } else {
        GetExitCodeProcess(d.process.hProcess, &code);
        Event("exit").Int("code", (long long)code);
    }
    if (hook)
        UnhookWindowsHookEx(hook);
    if (d.holdRelease)
        CloseHandle(d.holdRelease);
    if (sink)
        DestroyWindow(sink);
    CloseHandle(d.process.hThread);
    CloseHandle(d.process.hProcess);
    return timedOut ? 3 : 0;
}

std::vector<std::wstring> SplitList(const std::wstring &text)
{
    std::vector<std::wstring> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(L',', start);
        if (comma == std::wstring::npos)
            comma = text.size();
        if (comma > start)
            items.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

bool ParseArguments(int argc, wchar_t **argv, Options &o)
{
    int i = 1;
    for (; i < argc; ++i) {
        std::wstring a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == L"--answers" && hasValue)
            o.answers = SplitList(argv[++i]);
        else if (a == L"--close-at" && hasValue)
            o.closeAt.push_back(_wtoi(argv[++i]));
        else if (a == L"--screenshot-at" && hasValue)
            o.screenshotAt = _wtoi(argv[++i]);
        else if (a == L"--ack" && hasValue)
            o.ack = argv[++i];
        else if (a == L"--hold" && hasValue)
            o.holds = argv[++i];
        else if (a == L"--timeout" && hasValue)
            o.timeoutSeconds = _wtoi(argv[++i]);
        else if (a == L"--no-hook")
            o.hook = false;
        else if (a.rfind(L"--", 0) == 0)
            return false;
        else
            break;
    }
    if (i >= argc)
        return false;
    o.installer = argv[i++];
    if (i < argc && std::wstring(argv[i]) == L"--")
        ++i;
    for (; i < argc; ++i)
        o.arguments += std::wstring(L" \"") + argv[i] + L"\"";
    return o.timeoutSeconds > 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    Driver d;
    driver = &d;
    if (!ParseArguments(argc, argv, d.options)) {
        fputs("usage: uidriver [--answers A,B] [--close-at PERCENT]... [--screenshot-at PERCENT]\n"
              "                [--ack FILE] [--hold POINTS] [--timeout SECONDS] [--no-hook]\n"
              "                INSTALLER [-- ARGS...]\n",
              stderr);
        return 1;
    }
    return Run(d);
}
