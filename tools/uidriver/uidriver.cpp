// uidriver: runs an installer and plays its user. It watches the installer's top-level windows,
// records every message box and the progress dialog's state, answers boxes from a script,
// presses Close at given progress, marks a moment for a screenshot, and prints one JSON object
// per line (UTF-8, flushed).
//
//   uidriver [--answers OK,No,Yes,Esc] [--close-at PERCENT]... [--screenshot FILE.bmp]
//            [--screenshot-at PERCENT] [--screenshot-pause MS] [--box-pause MS]
//            [--timeout SECONDS] [--no-hook] INSTALLER [-- ARGS...]
//
// Events: started, window (any other top-level window), dialog (on every change), close,
// screenshot (with the dialog's screen rectangle and "areas": its client area, then the
// description and the two buttons; the driver then pauses so that the caller can grab the X
// screen), msgbox (with the box's rectangle and areas: client area, then text and buttons;
// --box-pause MS waits that long before answering, so that the caller can grab the box),
// dialog_closed, timeout, error, and last of all exit (the installer's exit code; -1 when it
// had to be killed at the timeout).
//
// How things are found under Wine:
// - Message boxes and the dialog are both class #32770; the dialog is the one with a
//   msctls_progress32 child of id 101. A box's owner is GW_OWNER.
// - Icon kind: STM_GETICON of the box's SS_ICON static tells whether there is an icon; its
//   pixels on the screen are then compared with IDI_ERROR/WARNING/QUESTION/INFORMATION drawn in
//   this process over the same background. Handles cannot be compared across processes.
// - The dialog may show or end within milliseconds. A WM_CALLWNDPROC hook (uidriver_hook.dll,
//   beside this program) on the installer's main thread reports the dialog's state in-process
//   when it is shown, on WM_INSTALL_DONE and on WM_DESTROY, so its final state is always known.
// - --screenshot FILE.bmp asks the hook to render the dialog in-process; Wine leaves themed
//   child controls out of such renderings, so the tests take their pictures from the X screen.
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
const DWORD BoxSettleMs = 150;  // a box is read and answered this long after it first shows
const int IconRetries = 40;
const int StartAttempts = 3;
const DWORD IconRetryMs = 50;

struct Options {
    std::wstring installer;
    std::wstring arguments;
    std::vector<std::wstring> answers;
    std::vector<int> closeAt;
    std::wstring screenshot;
    int screenshotAt = 1;
    int screenshotPauseMs = 0;
    int boxPauseMs = 0;
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
               closeEnabled == o.closeEnabled && updateEnabled == o.updateEnabled &&
               pos == o.pos && rangeLow == o.rangeLow && rangeHigh == o.rangeHigh;
    }
};

// ---- JSON output -------------------------------------------------------------------------

std::string Utf8(const std::wstring &text)
{
    if (text.empty()) return std::string();
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
    Event &Str(const char *key, const std::wstring &value)
    {
        return Raw(key, Quote(value));
    }
    Event &Int(const char *key, long long value) { return Raw(key, std::to_string(value)); }
    Event &Bool(const char *key, bool value) { return Raw(key, value ? "true" : "false"); }
    Event &List(const char *key, const std::vector<std::wstring> &items)
    {
        std::string list = "[";
        for (size_t i = 0; i < items.size(); ++i) list += (i ? "," : "") + Quote(items[i]);
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
    if (!window) return std::wstring();
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, ReadTimeoutMs,
                             &length))
        return std::wstring();
    std::vector<wchar_t> buffer(length + 2, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), (LPARAM)buffer.data(),
                        SMTO_ABORTIFHUNG, ReadTimeoutMs, &copied);
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
        if (part && GetWindowRect(part, &r)) rects.push_back(r);
    }
    for (size_t i = 0; i < rects.size(); ++i) {
        const RECT &r = rects[i];
        json += (i ? ",[" : "[") + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                std::to_string(r.right - r.left) + "," + std::to_string(r.bottom - r.top) + "]";
    }
    return json + "]";
}

// ---- screen capture and icon kinds --------------------------------------------------------

// Paints into a w x h 32-bit top-down bitmap and returns its pixels as BGRX; empty when the
// bitmap cannot be made or paint returns false.
template <typename Paint>
std::vector<DWORD> PaintPixels(int w, int h, Paint paint)
{
    std::vector<DWORD> pixels;
    if (w <= 0 || h <= 0) return pixels;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (paint(memory, screen, (DWORD *)bits)) {
            GdiFlush();
            pixels.assign((DWORD *)bits, (DWORD *)bits + (size_t)w * h);
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// Pixels of a screen rectangle. The windows are on an X server without a window manager, so the
// screen holds exactly what the installer drew on top.
std::vector<DWORD> CaptureScreen(const RECT &r)
{
    return PaintPixels(r.right - r.left, r.bottom - r.top, [&](HDC memory, HDC screen, DWORD *) {
        return BitBlt(memory, 0, 0, r.right - r.left, r.bottom - r.top, screen, r.left, r.top,
                      SRCCOPY) != FALSE;
    });
}

// Draws a system icon the way a static control does, over a given background colour.
std::vector<DWORD> RenderIcon(LPCWSTR id, int w, int h, DWORD background)
{
    return PaintPixels(w, h, [&](HDC memory, HDC, DWORD *bits) {
        for (int i = 0; i < w * h; ++i) bits[i] = background;
        DrawIconEx(memory, 0, 0, LoadIconW(nullptr, id), w, h, 0, nullptr, DI_NORMAL);
        return true;
    });
}

int ChannelDistance(DWORD a, DWORD b)
{
    int d = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        int x = (int)((a >> shift) & 255) - (int)((b >> shift) & 255);
        d += x < 0 ? -x : x;
    }
    return d;
}

// Share of pixels, in per mille, that differ noticeably.
int Mismatch(const std::vector<DWORD> &a, const std::vector<DWORD> &b)
{
    if (a.empty() || a.size() != b.size()) return 1000;
    size_t differing = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (ChannelDistance(a[i], b[i]) > 48) ++differing;
    return (int)(differing * 1000 / a.size());
}

// Matches the icon static's pixels on screen against the system icons; "unknown" for none.
std::wstring MatchShownIcon(HWND icon)
{
    RECT r;
    GetClientRect(icon, &r);
    MapWindowPoints(icon, nullptr, (POINT *)&r, 2);
    std::vector<DWORD> shown = CaptureScreen(r);
    if (shown.empty()) return L"unknown";
    int w = r.right - r.left, h = r.bottom - r.top;
    struct Candidate { LPCWSTR id; const wchar_t *kind; };
    const Candidate candidates[] = {
        {IDI_ERROR, L"error"},
        {IDI_WARNING, L"warning"},
        {IDI_QUESTION, L"question"},
        {IDI_INFORMATION, L"information"},
    };
    std::wstring best = L"unknown";
    int bestMismatch = 150;  // more than 15 % differing pixels is no match
    for (const Candidate &c : candidates) {
        int m = Mismatch(shown, RenderIcon(c.id, w, h, shown[0]));
        if (m < bestMismatch) {
            bestMismatch = m;
            best = c.kind;
        }
    }
    return best;
}

// The icon kind of a message box: the icon static's pixels on screen are compared with the
// system icons drawn in this process over the same background. Icon handles cannot be compared
// across processes, because each process loads its own copy of a system icon.
std::wstring IconKind(HWND box)
{
    HWND icon = nullptr;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (ClassOf(child) == L"Static" &&
            (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            icon = child;
    if (!icon || !IsWindowVisible(icon) || !SendInt(icon, STM_GETICON, 0)) return L"none";
    // On a loaded machine the box may not have painted its icon yet: look again for a while.
    std::wstring kind = MatchShownIcon(icon);
    for (int tries = 0; kind == L"unknown" && tries < IconRetries; ++tries) {
        Sleep(IconRetryMs);
        kind = MatchShownIcon(icon);
    }
    return kind;
}

// Asks the hook inside the installer for a screenshot of the window, to the file named at start;
// the file exists afterwards only if that worked.
bool SaveScreenshot(HWND window, const std::wstring &path)
{
    DeleteFileW(path.c_str());
    DWORD_PTR ignored;
    SendMessageTimeoutW(window, RegisterWindowMessageW(HookScreenshotMessage), 0, 0,
                        SMTO_ABORTIFHUNG, 5000, &ignored);
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ---- message boxes ------------------------------------------------------------------------

const wchar_t *ButtonName(int id)
{
    switch (id) {
    case IDOK: return L"OK";
    case IDCANCEL: return L"Cancel";
    case IDABORT: return L"Abort";
    case IDRETRY: return L"Retry";
    case IDIGNORE: return L"Ignore";
    case IDYES: return L"Yes";
    case IDNO: return L"No";
    case IDTRYAGAIN: return L"TryAgain";
    case IDCONTINUE: return L"Continue";
    default: return L"Other";
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
        if (ClassOf(child) != L"Button" || !IsWindowVisible(child)) continue;
        RECT r;
        GetWindowRect(child, &r);
        BoxButton b = {GetDlgCtrlID(child), child, r.left};
        size_t at = 0;
        while (at < buttons.size() && buttons[at].left <= b.left) ++at;
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
    if (answer == L"Esc") return PostMessageW(box, WM_KEYDOWN, VK_ESCAPE, 0) != FALSE;
    for (const BoxButton &b : buttons)
        if (answer == ButtonName(b.id)) return PostMessageW(b.window, BM_CLICK, 0, 0) != FALSE;
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
    std::vector<std::pair<HWND, DWORD>> pendingBoxes;  // first seen at tick
};

Driver *driver = nullptr;

LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COPYDATA && driver) {
        const COPYDATASTRUCT *data = (const COPYDATASTRUCT *)lParam;
        if (data->dwData == HookReportMagic && data->cbData == sizeof(HookReport)) {
            driver->hookReports.push_back(*(const HookReport *)data->lpData);
            if (!driver->hookDialog) driver->hookDialog = (HWND)wParam;
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
    if (!RegisterClassW(&wc)) return nullptr;
    return CreateWindowExW(0, className, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           wc.hInstance, nullptr);
}

// The hook DLL lies beside the driver.
HHOOK InstallHook(DWORD threadId)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    while (n > 0 && path[n - 1] != L'\\' && path[n - 1] != L'/') --n;
    path[n] = 0;
    std::wstring dll = std::wstring(path) + L"uidriver_hook.dll";
    HMODULE module = LoadLibraryW(dll.c_str());
    if (!module) return nullptr;
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

void PollDialog(Driver &d)
{
    ProcessHookReports(d);
    if (d.dialog && !IsWindow(d.dialog)) {
        d.dialogClosed = true;
        d.dialog = nullptr;
    }
    if (!d.dialog) return;
    DialogState s = ReadDialog(d.dialog);
    if (!IsWindow(d.dialog) || !Complete(s) || d.endReported) return;  // went while being read
    if (!d.dialogSeen || !(s == d.lastDialog)) EmitDialog(s);
    d.dialogSeen = true;
    d.lastDialog = s;
    if (s.pos > d.maxPos) d.maxPos = s.pos;
    bool boxOpen = !d.pendingBoxes.empty();
    if (d.nextClose < d.options.closeAt.size() && s.pos >= d.options.closeAt[d.nextClose] &&
        !boxOpen) {
        HWND close = GetDlgItem(d.dialog, IDCANCEL);
        Event("close").Int("pos", s.pos).Bool("closeEnabled", s.closeEnabled);
        PostMessageW(close, BM_CLICK, 0, 0);
        ++d.nextClose;
    }
    if (!d.options.screenshot.empty() && !d.screenshotTaken && s.pos >= d.options.screenshotAt &&
        !boxOpen) {
        bool ok = SaveScreenshot(d.dialog, d.options.screenshot);
        RECT r;
        GetWindowRect(d.dialog, &r);
        Event("screenshot")
            .Str("file", d.options.screenshot)
            .Int("pos", s.pos)
            .Bool("ok", ok)
            .Int("left", r.left)
            .Int("top", r.top)
            .Int("width", r.right - r.left)
            .Int("height", r.bottom - r.top)
            .Raw("areas", Rects(d.dialog, {GetDlgItem(d.dialog, IdcInfo),
                                           GetDlgItem(d.dialog, IdcUpdate),
                                           GetDlgItem(d.dialog, IDCANCEL)}));
        // The caller may grab the X screen now; the dialog stays as it is meanwhile unless the
        // installer itself changes it.
        Sleep((DWORD)d.options.screenshotPauseMs);
        d.screenshotTaken = true;
    }
}

void HandleBox(Driver &d, HWND box)
{
    std::vector<BoxButton> buttons = ButtonsOf(box);
    std::vector<std::wstring> names;
    for (const BoxButton &b : buttons) names.push_back(ButtonName(b.id));
    HWND owner = GetWindow(box, GW_OWNER);
    std::wstring ownerKind = !owner ? L"none"
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
        .Str("icon", IconKind(box))
        .List("buttons", names)
        .Str("answer", answer)
        .Bool("dialogOpen", d.dialog != nullptr && IsWindow(d.dialog))
        .Int("left", r.left)
        .Int("top", r.top)
        .Int("width", r.right - r.left)
        .Int("height", r.bottom - r.top)
        .Raw("areas", Rects(box, areas));
    Sleep((DWORD)d.options.boxPauseMs);
    if (!Answer(box, buttons, answer)) Event("error").Str("message", L"cannot answer " + answer);
}

void PollWindows(Driver &d)
{
    std::vector<HWND> windows;
    EnumWindows(CollectWindow, (LPARAM)&windows);
    DWORD now = GetTickCount();
    for (HWND w : windows) {
        bool isNew = d.seenWindows.insert(w).second;
        bool dialogClass = ClassOf(w) == L"#32770";
        if (dialogClass && IsProgressDialog(w)) {
            if (!d.dialog && !d.dialogClosed) d.dialog = w;
            continue;
        }
        if (!dialogClass) {
            if (isNew) Event("window").Str("class", ClassOf(w)).Str("caption", TextOf(w));
            continue;
        }
        if (d.answeredBoxes.count(w)) continue;
        bool pending = false;
        for (auto &p : d.pendingBoxes) pending |= p.first == w;
        if (!pending) d.pendingBoxes.push_back({w, now});
    }
    // Boxes are read once they have had time to paint, oldest first.
    for (size_t i = 0; i < d.pendingBoxes.size();) {
        HWND box = d.pendingBoxes[i].first;
        if (!IsWindow(box)) {
            d.pendingBoxes.erase(d.pendingBoxes.begin() + i);
        } else if (now - d.pendingBoxes[i].second >= BoxSettleMs) {
            HandleBox(d, box);
            d.answeredBoxes.insert(box);
            d.pendingBoxes.erase(d.pendingBoxes.begin() + i);
        } else {
            ++i;
        }
    }
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
        if (d.endReported) break;
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
        if (!d.dialogSeen || !(s == d.lastDialog)) EmitDialog(s, L"hook");
        d.dialogSeen = true;
        d.lastDialog = s;
        if (s.pos > d.maxPos) d.maxPos = s.pos;
        d.endReported = r.reason != HookReasonShown;
        if (!d.dialog && !d.dialogClosed) d.dialog = d.hookDialog;
    }
    d.hookReports.clear();
}

void ReportDialogEnd(Driver &d)
{
    ProcessHookReports(d);
    if (!d.dialogSeen) return;
    Event("dialog_closed")
        .Int("finalPos", d.lastDialog.pos)
        .Int("maxPos", d.maxPos)
        .Bool("reached100", d.maxPos >= 100)
        .Str("source", d.endReported ? L"hook" : L"poll");
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

int Run(Driver &d)
{
    std::wstring commandLine = L"\"" + d.options.installer + L"\"" + d.options.arguments;
    if (!d.options.screenshot.empty()) {
        wchar_t full[MAX_PATH];
        if (GetFullPathNameW(d.options.screenshot.c_str(), MAX_PATH, full, nullptr))
            d.options.screenshot = full;
        SetEnvironmentVariableW(HookScreenshotVariable, d.options.screenshot.c_str());
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    // Wine on a loaded machine now and then fails a start with an internal error: try again.
    bool started = false;
    DWORD error = 0;
    for (int attempt = 0; attempt < StartAttempts && !started; ++attempt) {
        started = CreateProcessW(d.options.installer.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                                 nullptr, nullptr, &startup, &d.process);
        error = started ? 0 : GetLastError();
        if (!started && error != ERROR_INTERNAL_ERROR) break;
        if (!started) Sleep(500);
    }
    if (!started) {
        Event("error").Str("message", L"cannot start installer").Int("code", error);
        Event("exit").Int("code", -1).Bool("started", false);
        return 1;
    }
    HWND sink = CreateSink(d.process.dwProcessId);
    HHOOK hook = d.options.hook ? InstallHook(d.process.dwThreadId) : nullptr;
    Event("started").Int("pid", d.process.dwProcessId).Bool("hook", hook != nullptr);
    DWORD deadline = GetTickCount() + (DWORD)d.options.timeoutSeconds * 1000;
    bool timedOut = false;
    for (;;) {
        DWORD wait = MsgWaitForMultipleObjects(1, &d.process.hProcess, FALSE, PollMs, QS_ALLINPUT);
        PumpMessages();
        if (wait == WAIT_OBJECT_0) break;
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
    if (hook) UnhookWindowsHookEx(hook);
    if (sink) DestroyWindow(sink);
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
        if (comma == std::wstring::npos) comma = text.size();
        if (comma > start) items.push_back(text.substr(start, comma - start));
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
        if (a == L"--answers" && hasValue) o.answers = SplitList(argv[++i]);
        else if (a == L"--close-at" && hasValue) o.closeAt.push_back(_wtoi(argv[++i]));
        else if (a == L"--screenshot" && hasValue) o.screenshot = argv[++i];
        else if (a == L"--screenshot-at" && hasValue) o.screenshotAt = _wtoi(argv[++i]);
        else if (a == L"--screenshot-pause" && hasValue) o.screenshotPauseMs = _wtoi(argv[++i]);
        else if (a == L"--box-pause" && hasValue) o.boxPauseMs = _wtoi(argv[++i]);
        else if (a == L"--timeout" && hasValue) o.timeoutSeconds = _wtoi(argv[++i]);
        else if (a == L"--no-hook") o.hook = false;
        else if (a.rfind(L"--", 0) == 0) return false;
        else break;
    }
    if (i >= argc) return false;
    o.installer = argv[i++];
    if (i < argc && std::wstring(argv[i]) == L"--") ++i;
    for (; i < argc; ++i) o.arguments += std::wstring(L" \"") + argv[i] + L"\"";
    return o.timeoutSeconds > 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    Driver d;
    driver = &d;
    if (!ParseArguments(argc, argv, d.options)) {
        fputs("usage: uidriver [--answers A,B] [--close-at PERCENT]... [--screenshot FILE.bmp]\n"
              "                [--screenshot-at PERCENT] [--screenshot-pause MS] [--box-pause MS]\n"
              "                [--timeout SECONDS] [--no-hook]\n"
              "                INSTALLER [-- ARGS...]\n",
              stderr);
        return 1;
    }
    return Run(d);
}
