// Expected windows, answered on the helper thread: the save, message and
// "Video Compression" dialogs and menus; and the export progress window.
#include "tests/win32/host.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>

namespace {

// Shared by the main thread and the helper thread, under gLock.
SRWLOCK gLock = SRWLOCK_INIT;
struct Locked {
    Locked() { AcquireSRWLockExclusive(&gLock); }
    ~Locked() { ReleaseSRWLockExclusive(&gLock); }
};
std::vector<ExpectedWindow> gExpected;  // the windows the running test expects, in order
size_t gExpectedMet = 0;                // how many of them were handled
bool gExpectArmed = false;
LONG gExpectGeneration = 0;             // bumped at every arming and disarming
bool gActing = false;                   // the helper is inside an expectation's act
// The windows the helper is done with, and their owners. A window it
// answered may stay visible while it closes, and a system dialog may show
// its own owner for a moment on the way out (Video for Windows' save options
// box, which holds the "Video Compression" dialog): neither is a new window.
std::set<HWND> gSettled;
std::vector<std::string> gHelperFailures;

std::string ClassOf(HWND window) {
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

void Settle(HWND window) {
    for (HWND w = window; w; w = GetWindow(w, GW_OWNER)) gSettled.insert(w);
}

void Disarm() {
    Locked locked;
    ++gExpectGeneration;
    gExpectArmed = false;
    gExpected.clear();
    gExpectedMet = 0;
}

}  // namespace

void Dismiss(HWND window) {
    const bool menu = ClassOf(window) == "#32768";
    PostMessageA(window, menu ? WM_KEYDOWN : WM_COMMAND, menu ? VK_ESCAPE : IDCANCEL, 0);
    PostMessageA(window, menu ? WM_KEYDOWN : WM_CLOSE, menu ? VK_ESCAPE : 0, 0);
}

std::string Describe(HWND window) {
    const std::string text = ClassOf(window) + " \"" + WindowText(window) + "\"", body = DialogItemText(window, 0xFFFF);
    return body.empty() ? text : text + " saying \"" + body + "\"";
}

void HandleWindows(const std::vector<HWND>& visible) {
    for (HWND window : visible) {
        const std::string name = ClassOf(window);
        if (name != "#32770" && name != "#32768") continue;
        std::function<bool(HWND)> act;
        LONG generation = 0;
        {
            Locked locked;
            const bool mine = gExpectArmed && gExpectedMet < gExpected.size() && name == gExpected[gExpectedMet].windowClass;
            if (gSettled.count(window) && !(mine && gExpected[gExpectedMet].again)) continue;
            if (mine) act = gExpected[gExpectedMet].act;
            generation = gExpectGeneration;
            gActing = mine;
        }
        if (act) {
            const bool done = act(window);
            Locked locked;
            // Met only if the main thread still waits for this very window;
            // one that is not ready yet is looked at again.
            if (done && generation == gExpectGeneration) {
                ++gExpectedMet;
                Settle(window);
            }
            gActing = false;
            return;
        }
        const std::string description = Describe(window);
        if (!IsWindow(window)) return;  // it closed by itself and blocks nothing
        {
            Locked locked;
            gHelperFailures.push_back("unexpected window: " + description);
            Settle(window);
        }
        Dismiss(window);
        return;
    }
}

std::vector<std::string> TakeHelperFailures() {
    Locked locked;
    std::vector<std::string> failures;
    failures.swap(gHelperFailures);
    return failures;
}

void ResetHelper() {
    Disarm();
    Locked locked;
    gHelperFailures.clear();
    gSettled.clear();
}

void ReportHelperFailure(const std::string& failure) {
    Locked locked;
    gHelperFailures.push_back(failure);
}

void ExpectWindows(std::vector<ExpectedWindow> windows) {
    Locked locked;
    ++gExpectGeneration;
    gExpected = std::move(windows);
    gExpectedMet = 0;
    gExpectArmed = true;
}

bool ExpectationMet() {
    // The modal loop may end before the helper has left its act: wait for
    // it, answering what it sends meanwhile.
    for (;;) {
        {
            Locked locked;
            if (!gActing) break;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_SENDMESSAGE);
        MSG ignored;
        PeekMessageA(&ignored, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    bool met = false;
    {
        Locked locked;
        met = !gExpected.empty() && gExpectedMet == gExpected.size();
    }
    Disarm();
    return met;
}

bool AskWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR* result) {
    // The main thread answers at once inside its modal loops, however busy
    // the machine is; the time-out only keeps the helper, the watchdog, from
    // blocking for good on a thread that hangs.
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, 10000, result ? result : &ignored) != 0;
}

std::string WindowText(HWND window) {
    wchar_t text[1024] = L"";
    AskWindow(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return Utf8(text);
}

std::string DialogItemText(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    return item ? WindowText(item) : std::string();
}

// ---- The save and compression dialogs, boxes and menus ----------------------------------

namespace {

constexpr int kFileTypeList = 0x470;  // cmb1
constexpr int kFileNameBox = 0x47C;   // cmb13, an edit inside a combo box
constexpr int kCompressorList = 0x370;

std::vector<std::string> ComboItems(HWND combo) {
    std::vector<std::string> items;
    DWORD_PTR count = 0;
    if (!combo || !AskWindow(combo, CB_GETCOUNT, 0, 0, &count) || static_cast<LRESULT>(count) == CB_ERR) return items;
    for (DWORD_PTR i = 0; i < count; ++i) {
        wchar_t text[512] = L"";
        DWORD_PTR length = 0;
        if (AskWindow(combo, CB_GETLBTEXTLEN, i, 0, &length) && length < 512) AskWindow(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        items.push_back(Utf8(text));
    }
    return items;
}

HWND FileNameEdit(HWND dialog) {
    HWND box = GetDlgItem(dialog, kFileNameBox);
    HWND edit = box ? FindWindowExA(box, nullptr, "Edit", nullptr) : nullptr;
    return edit ? edit : box;
}

// False while the dialog is not ready yet: under load it may show before its title.
bool ReadSaveDialog(HWND dialog, SaveDialogView* view) {
    if (WindowText(dialog).empty()) return false;
    HWND types = GetDlgItem(dialog, kFileTypeList);
    view->types = ComboItems(types);
    DWORD_PTR selected = static_cast<DWORD_PTR>(CB_ERR);
    if (types) AskWindow(types, CB_GETCURSEL, 0, 0, &selected);
    view->type = static_cast<int>(static_cast<LRESULT>(selected));
    view->name = WindowText(FileNameEdit(dialog));
    wchar_t folder[MAX_PATH] = L"";
    AskWindow(dialog, CDM_GETFOLDERPATH, MAX_PATH, reinterpret_cast<LPARAM>(folder));
    view->folder = Utf8(folder);
    view->owner = GetWindow(dialog, GW_OWNER);
    return true;
}

// Types `name` (nullopt keeps the default), picks entry `type` of the type
// list (-1 keeps it) and presses Save; false when the dialog did not take them.
bool AcceptSaveDialog(HWND dialog, const std::optional<std::string>& name, int type) {
    // A name without a folder goes into the test's output folder, wherever the dialog started.
    std::string typed = name ? *name : WindowText(FileNameEdit(dialog));
    const bool relative = !typed.empty() && typed[0] != '\\' && typed[0] != '/' && typed.find(':') == std::string::npos;
    if (relative && !gSaveFolder.empty()) typed = gSaveFolder + "\\" + typed;
    if (!AskWindow(FileNameEdit(dialog), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(WideFromUtf8(typed.c_str()).c_str())))
        return false;
    if (type >= 0) {
        HWND types = GetDlgItem(dialog, kFileTypeList);
        if (!AskWindow(types, CB_SETCURSEL, type, 0)) return false;
        // Wine takes the chosen type over only on CBN_SELENDOK.
        for (WORD code : {WORD{CBN_SELCHANGE}, WORD{CBN_SELENDOK}})
            if (!AskWindow(dialog, WM_COMMAND, MAKEWPARAM(kFileTypeList, code), reinterpret_cast<LPARAM>(types))) return false;
    }
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);  // posted: it may open an overwrite prompt
    return true;
}

// The letter that "&" underlines in a menu item's text, upper case; 0 for none.
char UnderlinedLetter(const char* text) {
    for (const char* p = text; p[0] && p[1]; ++p) {
        if (p[0] != '&') continue;
        if (p[1] != '&') return static_cast<char>(std::toupper(static_cast<unsigned char>(p[1])));
        ++p;  // "&&" is a plain "&"
    }
    return 0;
}

void ReadItems(HMENU menu, MenuSeen* seen) {
    std::map<char, std::string> letters;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        char text[128] = "";
        GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
        seen->texts.push_back(text);
        if (const char letter = UnderlinedLetter(text); letter && !letters.emplace(letter, text).second)
            seen->sharedLetters.push_back(letters[letter] + " | " + text);
        if (HMENU sub = GetSubMenu(menu, i)) {
            ReadItems(sub, seen);
            continue;
        }
        const UINT state = GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION);
        if (state & MF_CHECKED) seen->checked.push_back(GetMenuItemID(menu, i));
        if ((state & MF_GRAYED) && !(state & MF_SEPARATOR)) seen->greyed.push_back(GetMenuItemID(menu, i));
    }
}

}  // namespace

ExpectedWindow SaveDialog(SaveDialogView* view, std::optional<std::string> name, int type) {
    return {"#32770", [=](HWND dialog) { return ReadSaveDialog(dialog, view) && AcceptSaveDialog(dialog, name, type); }};
}

ExpectedWindow CancelSaveDialog(SaveDialogView* view, bool again) {
    auto act = [=](HWND dialog) { return ReadSaveDialog(dialog, view) && PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0); };
    return {"#32770", act, again};
}

ExpectedWindow AnswerBox(BoxSeen* seen, int button) {
    return {"#32770", [=](HWND box) {
                *seen = {WindowText(box), DialogItemText(box, 0xFFFF), GetWindow(box, GW_OWNER), NextSequence()};
                if (seen->caption.empty()) return false;
                HWND pressed = GetDlgItem(box, button);
                return PostMessageA(pressed ? pressed : box, pressed ? BM_CLICK : WM_COMMAND, pressed ? 0 : button, 0) != 0;
            }};
}

ExpectedWindow CompressionDialog(bool ok, const char* compressor) {
    const std::wstring wanted = Wide(compressor);
    return {"#32770", [=](HWND dialog) {
                // Under load the dialog can show before its list of compressors is filled.
                HWND list = GetDlgItem(dialog, kCompressorList);
                DWORD_PTR count = 0, item = static_cast<DWORD_PTR>(CB_ERR);
                if (list) AskWindow(list, CB_GETCOUNT, 0, 0, &count);
                for (DWORD_PTR i = 0; i < count && static_cast<LRESULT>(count) != CB_ERR; ++i) {
                    wchar_t text[256] = {};
                    DWORD_PTR length = 0;
                    if (!AskWindow(list, CB_GETLBTEXTLEN, i, 0, &length) || length >= 256) continue;
                    AskWindow(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
                    if (std::wstring(text).find(wanted) != std::wstring::npos) item = i;
                }
                if (WindowText(dialog) != "Video Compression" || static_cast<LRESULT>(item) == CB_ERR) return false;
                if (ok && (!AskWindow(list, CB_SETCURSEL, item, 0) ||
                           !AskWindow(dialog, WM_COMMAND, MAKEWPARAM(kCompressorList, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list))))
                    return false;
                return PostMessageA(dialog, WM_COMMAND, ok ? IDOK : IDCANCEL, 0) != 0;
            }};
}

ExpectedWindow ReadMenu(MenuSeen* seen, std::vector<WPARAM> keys) {
    return {"#32768", [=](HWND window) {
                *seen = MenuSeen{};
                GetWindowRect(window, &seen->rect);
                DWORD_PTR menu = 0;
                AskWindow(window, MN_GETHMENU, 0, 0, &menu);
                seen->items = GetMenuItemCount(reinterpret_cast<HMENU>(menu));
                ReadItems(reinterpret_cast<HMENU>(menu), seen);
                for (WPARAM key : keys) PostMessageA(window, WM_KEYDOWN, key, 0);
                return true;
            }};
}

MenuSeen OpenMenu(HWND viewer, std::vector<WPARAM> keys) {
    MenuSeen menu;
    ExpectWindows({ReadMenu(&menu, std::move(keys))});
    SendKey(viewer, VK_APPS);
    EXPECT_TRUE(ExpectationMet());
    return menu;
}

bool Checked(const MenuSeen& menu, UINT id) { return std::find(menu.checked.begin(), menu.checked.end(), id) != menu.checked.end(); }

// ---- The export progress window -------------------------------------------------------------

ProgressSeen WatchProgress(const std::function<void(HWND progress, const std::string& line)>& step) {
    ProgressSeen seen;
    HWND progress = FindWindowA("MovrelProgress", nullptr);
    if (!progress) return seen;
    seen.caption = WindowText(progress);
    seen.owner = GetWindow(progress, GW_OWNER);
    HWND text = FindWindowExA(progress, nullptr, "Static", nullptr);
    HWND file = FindWindowExA(progress, text, "Static", nullptr);
    HWND bar = FindWindowExA(progress, nullptr, "msctls_progress32", nullptr);
    // After every message: the window shows each count for at least one.
    auto look = [&] {
        if (!IsWindow(progress)) return true;
        char line[128] = "";
        GetWindowTextA(text, line, sizeof line);
        wchar_t name[MAX_PATH] = L"";
        GetWindowTextW(file, name, MAX_PATH);
        if (seen.files.empty() || seen.files.back() != Utf8(name)) seen.files.push_back(Utf8(name));
        if (seen.lines.empty() || seen.lines.back() != line) {
            seen.lines.push_back(line);
            seen.bar.push_back(static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0)));
            Progress();
            if (step) step(progress, line);
        }
        return false;
    };
    if (!look()) PumpUntil(look, INFINITE);  // the watchdog ends one that never ends
    return seen;
}

int FramesWritten(const std::string& line, int* total) {
    int done = -1, all = -1;
    if (std::sscanf(line.c_str(), "%d of %d frames written", &done, &all) != 2) return -1;
    if (total) *total = all;
    return done;
}
