// The installer's resources as the loader sees them: every string of both Chinese variants, the
// dialog template, and LoadText.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "app/texts.h"
#include "resources/resource.h"

namespace {

const LANGID Simplified = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);    // 2052
const LANGID Traditional = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL);  // 1028

struct Expected {
    UINT id;
    const char16_t *simplified;
    const char16_t *traditional;
};

const Expected Strings[] = {
    {IDS_TITLE, u"《Tolvar\u00B7二》补丁安装包", u"《Tolvar二》更新程式"},
    {IDS_CONFIRM_CANCEL, u"放弃安装可能导致游戏运行不能正常运行，真的要放弃安装吗?",
     u"放棄安裝可能導致遊戲運行不能正常進行，真的要放棄安裝嗎？"},
    {IDS_CANCELLING, u"正在取消安装...", u"正在取消安裝..."},
    {IDS_WRITE_FAILED, u"补丁文件写入失败，请检查是否有足够的磁盘空间！",
     u"更新檔案寫入失敗，請檢查是否有足夠的硬碟空間！"},
    {IDS_PACKAGE_CORRUPT, u"安装包已损坏，请重新下载！", u"更新檔已損壞，請重新下載！"},
    {IDS_CANNOT_WRITE_GAME, u"请检查游戏文件夹是否存在且可以写入补丁包！",
     u"請檢查遊戲目錄是否可以寫入更新檔案！"},
    {IDS_NO_CONTENT, u"没有找到更新内容!", u"沒有找到更新內容！"},
    {IDS_WRONG_PLACE, u"请将此安装包放在游戏文件夹下与Bin目录同级的Update文件夹中运行!",
     u"請將此更新檔放在遊戲目錄下的Update目錄中執行！"},
    {IDS_NO_DESCRIPTOR, u"没有找到补丁包配置文件!", u"沒有找到更新程式配置檔案！"},
    {IDS_ALREADY_CURRENT, u"您的游戏版本高于或等于此补丁版本,请确认是否再次安装!",
     u"您的遊戲版本高於或者等於此更新版本，請確認再次安裝！"},
    {IDS_NEED_BASE_VERSION, u"请先安装%u.%u.%u.%u版本!", u"請先安裝%u.%u.%u.%u版本！"},
    {IDS_DESCRIPTOR_ERROR, u"补丁包配置文件错误!", u"更新程式配置檔錯誤！"},
    {IDS_INSTALL_OK, u"补丁包安装成功！", u"更新程式安裝成功！"},
    {IDS_DELTA_BASE_MISMATCH,
     u"游戏文件%s与此补丁所需的版本不符，可能已被修改或损坏，请修复或重新安装游戏后再运行此补丁！",
     u"遊戲檔案%s與此更新所需的版本不符，可能已被修改或損毀，請修復或重新安裝遊戲後再執行此更新！"},
};

std::u16string Wide(const wchar_t *text)
{
    return std::u16string((const char16_t *)text);
}

const uint8_t *FindInLanguage(LPCWSTR type, LPCWSTR name, LANGID language, DWORD *size)
{
    HRSRC found = FindResourceExW(nullptr, type, name, language);
    if (!found)
        return nullptr;
    *size = SizeofResource(nullptr, found);
    return (const uint8_t *)LockResource(LoadResource(nullptr, found));
}

// Returns: the string-table entry with that id in that language; "<absent>" when there is none.
std::u16string TableString(UINT id, LANGID language)
{
    DWORD size = 0;
    const uint8_t *block =
        FindInLanguage(RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language, &size);
    if (!block)
        return u"<absent>";
    const uint16_t *p = (const uint16_t *)block;
    for (UINT i = 0; i < id % 16; ++i)
        p += 1 + *p;
    return std::u16string((const char16_t *)p + 1, *p);
}

}  // namespace

// Exact UTF-16 comparison: the middle dot U+00B7 and every ASCII or full-width mark as quoted.
TEST(StringTable, EveryTextInBothVariants)
{
    for (const Expected &e : Strings) {
        EXPECT_EQ(TableString(e.id, Simplified), e.simplified) << e.id;
        EXPECT_EQ(TableString(e.id, Traditional), e.traditional) << e.id;
    }
}

// Ids 201 to 214 and nothing else: the neighbours of the table are absent.
TEST(StringTable, HoldsNoOtherTexts)
{
    for (LANGID language : {Simplified, Traditional}) {
        for (UINT id = 192; id < 224; ++id) {
            if (id >= IDS_TITLE && id <= IDS_LAST_TEXT)
                continue;
            std::u16string text = TableString(id, language);
            EXPECT_TRUE(text.empty() || text == u"<absent>") << id;
        }
    }
}

namespace {

// Reads a DLGTEMPLATEEX in place.
struct TemplateReader {
    const uint8_t *p;
    uint16_t Word()
    {
        uint16_t v;
        memcpy(&v, p, 2);
        p += 2;
        return v;
    }
    uint32_t Dword()
    {
        uint32_t v;
        memcpy(&v, p, 4);
        p += 4;
        return v;
    }
    std::u16string String()
    {
        std::u16string s;
        for (uint16_t c; (c = Word()) != 0;)
            s += (char16_t)c;
        return s;
    }
    // A name or an ordinal, the ordinal given as "#n".
    std::u16string NameOrOrdinal()
    {
        uint16_t first;
        memcpy(&first, p, 2);
        if (first == 0xFFFF) {
            p += 2;
            std::string n = "#" + std::to_string(Word());
            return std::u16string(n.begin(), n.end());
        }
        return String();
    }
    void Align(const uint8_t *base) { p += (4 - (p - base) % 4) % 4; }
};

struct Control {
    uint32_t id, style, exStyle;
    int16_t x, y, cx, cy;
    std::u16string windowClass, text;
};

std::u16string Lower(std::u16string s)
{
    for (char16_t &c : s)
        if (c >= u'A' && c <= u'Z')
            c = c - u'A' + u'a';
    return s;
}

// Ordinal classes as their names, lower case.
std::u16string ClassName(const std::u16string &c)
{
    if (c == u"#128")
        return u"button";
    if (c == u"#129")
        return u"edit";
    return Lower(c);
}

void CheckDialog(LANGID language, const char16_t *caption, const char16_t *closeText)
{
    DWORD size = 0;
    const uint8_t *base = FindInLanguage(RT_DIALOG, MAKEINTRESOURCEW(IDD_UPDATE), language, &size);
    ASSERT_NE(base, nullptr);
    TemplateReader r{base};
    EXPECT_EQ(r.Word(), 1);       // version
    EXPECT_EQ(r.Word(), 0xFFFF);  // extended template
    EXPECT_EQ(r.Dword(), 0u);     // help id
    EXPECT_EQ(r.Dword(), 0u);     // extended style
    EXPECT_EQ(r.Dword(), (uint32_t)(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER |
                                    DS_SETFONT | DS_FIXEDSYS));
    uint16_t count = r.Word();
    EXPECT_EQ(count, 4);
    int16_t box[4];
    for (int16_t &v : box)
        v = (int16_t)r.Word();
    EXPECT_EQ(box[0], 0);
    EXPECT_EQ(box[1], 0);
    EXPECT_EQ(box[2], 242);
    EXPECT_EQ(box[3], 79);
    EXPECT_EQ(r.NameOrOrdinal(), u"");  // no menu
    EXPECT_EQ(r.NameOrOrdinal(), u"");  // default class
    EXPECT_EQ(r.String(), caption);
    EXPECT_EQ(r.Word(), 8);    // points
    EXPECT_EQ(r.Word(), 400);  // weight
    EXPECT_EQ(*r.p++, 0);      // not italic
    EXPECT_EQ(*r.p++, 1);      // DEFAULT_CHARSET
    EXPECT_EQ(r.String(), u"MS Shell Dlg");

    std::vector<Control> controls;
    for (uint16_t i = 0; i < count && i < 4; ++i) {
        r.Align(base);
        Control c;
        r.Dword();  // help id
        c.exStyle = r.Dword();
        c.style = r.Dword();
        c.x = (int16_t)r.Word();
        c.y = (int16_t)r.Word();
        c.cx = (int16_t)r.Word();
        c.cy = (int16_t)r.Word();
        c.id = r.Dword();
        c.windowClass = ClassName(r.NameOrOrdinal());
        c.text = r.NameOrOrdinal();
        r.p += r.Word();  // creation data
        controls.push_back(c);
    }
    ASSERT_EQ(controls.size(), 4u);
    EXPECT_LE((size_t)(r.p - base), (size_t)size);

    const DWORD child = WS_CHILD | WS_VISIBLE;
    const Control expected[] = {
        {IDCANCEL, child | WS_TABSTOP | BS_PUSHBUTTON, 0, 165, 58, 50, 14, u"button", closeText},
        {IDC_PROGRESS, child | WS_BORDER, 0, 7, 35, 228, 14, u"msctls_progress32", u""},
        {IDC_UPDATE, child | WS_TABSTOP | BS_PUSHBUTTON, 0, 108, 58, 50, 14, u"button", u"更新"},
        {IDC_INFO, child | ES_MULTILINE | ES_AUTOHSCROLL | ES_NOHIDESEL | ES_READONLY, 0, 7, 7, 228,
         26, u"edit", u""},
    };
    for (int i = 0; i < 4; ++i) {
        const Control &c = controls[i], &e = expected[i];
        EXPECT_EQ(c.id, e.id) << i;
        EXPECT_EQ(c.style, e.style) << i;
        EXPECT_EQ(c.exStyle, e.exStyle) << i;
        EXPECT_EQ(c.x, e.x) << i;
        EXPECT_EQ(c.y, e.y) << i;
        EXPECT_EQ(c.cx, e.cx) << i;
        EXPECT_EQ(c.cy, e.cy) << i;
        EXPECT_EQ(c.windowClass, e.windowClass) << i;
        EXPECT_EQ(c.text, e.text) << i;
    }
    // Neither button is the default one.
    EXPECT_EQ(controls[0].style & BS_DEFPUSHBUTTON, 0u);
    EXPECT_EQ(controls[2].style & BS_DEFPUSHBUTTON, 0u);
}

}  // namespace

TEST(DialogTemplate, SimplifiedChinese)
{
    CheckDialog(Simplified, u"《Tolvar二》更新程序", u"关闭");
}

TEST(DialogTemplate, TraditionalChinese)
{
    CheckDialog(Traditional, u"《Tolvar二》更新程式", u"關閉");
}

// Draws the icon at size over a grey background; returns the pixel at (x, y).
static COLORREF IconPixelOverGrey(HICON icon, int size, int x, int y)
{
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, size, size);
    HGDIOBJ old = SelectObject(dc, bitmap);
    RECT all = {0, 0, size, size};
    HBRUSH grey = CreateSolidBrush(RGB(128, 128, 128));
    FillRect(dc, &all, grey);
    DrawIconEx(dc, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
    COLORREF pixel = GetPixel(dc, x, y);
    SelectObject(dc, old);
    DeleteObject(grey);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return pixel;
}

// The disc is blue and its corners transparent, at full size and as the caption's small icon.
TEST(Icon, OneImageOf96PixelsWithAlphaRendersBlueOnTransparent)
{
    HRSRC group = FindResourceW(nullptr, MAKEINTRESOURCEW(IDI_APP), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    const uint8_t *dir = (const uint8_t *)LockResource(LoadResource(nullptr, group));
    uint16_t count;
    memcpy(&count, dir + 4, 2);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(dir[6], 96);
    EXPECT_EQ(dir[7], 96);
    uint16_t bits;
    memcpy(&bits, dir + 6 + 6, 2);
    EXPECT_EQ(bits, 32);
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP));
    ASSERT_NE(icon, nullptr);
    for (int size : {96, 16}) {
        EXPECT_EQ(IconPixelOverGrey(icon, size, 0, 0), RGB(128, 128, 128)) << size;
        COLORREF disc = IconPixelOverGrey(icon, size, size / 8 * 3, size / 2);
        EXPECT_GT(GetBValue(disc), GetRValue(disc) + 60) << size << ": " << std::hex << disc;
    }
}

TEST(Manifest, AsksForAdministratorAndCommonControls6)
{
    DWORD size = 0;
    const char *text = (const char *)FindInLanguage(
        RT_MANIFEST, MAKEINTRESOURCEW(1), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &size);
    ASSERT_NE(text, nullptr);
    std::string manifest(text, size);
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos);
    EXPECT_NE(manifest.find("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"),
              std::string::npos);  // Windows 7
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"),
              std::string::npos);  // 10 and 11
}

// LoadText goes through the platform's loader, which picks the variant of the user's interface
// language; CTest runs this case under each Chinese language (Wine takes it from LANG).
TEST(LoadText, FollowsTheUiLanguage)
{
    LANGID language = GetUserDefaultUILanguage();
    if (language != Simplified && language != Traditional)
        GTEST_SKIP() << "interface language " << language << " is neither Chinese variant";
    for (const Expected &e : Strings)
        EXPECT_EQ(Wide(LoadText(e.id).chars), language == Simplified ? e.simplified : e.traditional)
            << e.id << " in " << language;
}

TEST(LoadText, MissingIdGivesAnEmptyText)
{
    EXPECT_EQ(LoadText(200).chars[0], 0);
    EXPECT_EQ(LoadText(IDS_LAST_TEXT + 1).chars[0], 0);
    EXPECT_EQ(LoadText(65535).chars[0], 0);
}

// String 990 exists only in this test program and is 600 characters long.
TEST(LoadText, CutsAt511Characters)
{
    Text text = LoadText(990);
    EXPECT_EQ(wcslen(text.chars), 511u);
    EXPECT_EQ(text.chars[0], L'A');
    EXPECT_EQ(text.chars[510], L'A');
}
