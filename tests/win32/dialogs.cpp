// Expected windows, answered on the helper thread; the save, message and
// "Video Compression" dialogs; and the plug-in's calls of the system's
// dialogs, recorded through its import table.
#include "tests/win32/host.h"

#include <commdlg.h>

#include <cstring>
#include <set>

namespace {

// Everything below is shared by the main thread and the helper thread.
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
// The windows of the running test that the helper is done with: those it
// answered or closed, and the windows that own them. A window it answered
// may stay visible while it closes, and a system dialog may show its own
// owner for a moment on the way out (Video for Windows' save options box,
// which holds the "Video Compression" dialog): neither is a new window.
std::set<HWND> gSettled;
std::vector<std::string> gHelperFailures;

std::string ClassOf(HWND window) {
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

// Under gLock.
void Settle(HWND window) {
    for (HWND w = window; w; w = GetWindow(w, GW_OWNER)) gSettled.insert(w);
}

}  // namespace

void Dismiss(HWND window) {
    if (ClassOf(window) == "#32768") {
        PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
    } else {
        PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
}

std::string Describe(HWND window) {
    std::string text = ClassOf(window) + " \"" + WindowText(window) + "\"";
    const std::string body = DialogItemText(window, 0xFFFF);
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
            // a window that is not ready yet is looked at again.
            if (done && generation == gExpectGeneration) {
                ++gExpectedMet;
                Settle(window);
            }
            gActing = false;
            return;
        }
        const std::string description = Describe(window);
        // Gone while it was being described: it closed by itself and blocks nothing.
        if (!IsWindow(window)) return;
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
    DisarmExpectations();
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

void ExpectWindow(const char* windowClass, std::function<void(HWND)> act) {
    ExpectWindows({{windowClass, [act = std::move(act)](HWND window) {
                        act(window);
                        return true;
                    }}});
}

void DisarmExpectations() {
    Locked locked;
    ++gExpectGeneration;
    gExpectArmed = false;
    gExpected.clear();
    gExpectedMet = 0;
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
    size_t expected = 0, met = 0;
    {
        Locked locked;
        expected = gExpected.size();
        met = gExpectedMet;
    }
    DisarmExpectations();
    return expected > 0 && met == expected;
}

bool AskWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR* result) {
    // Sent to a window of the main thread, which keeps dispatching inside its
    // modal loop and answers at once however busy the machine is. The time-out
    // only keeps the helper, which is also the watchdog, from blocking for
    // good on a thread that hangs.
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutA(window, message, wparam, lparam, SMTO_ABORTIFHUNG, 10000, result ? result : &ignored) != 0;
}

std::string WindowText(HWND window) {
    wchar_t text[1024] = L"";
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 10000, &ignored);
    return Utf8(text);
}

std::string DialogItemText(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    return item ? WindowText(item) : std::string();
}

void ClickButton(HWND dialog, int id) {
    if (HWND button = GetDlgItem(dialog, id)) PostMessageA(button, BM_CLICK, 0, 0);
    else PostMessageA(dialog, WM_COMMAND, id, 0);
}

// ---- The save and compression dialogs ------------------------------------------------------

namespace {

constexpr int kFileTypeList = 0x470;  // cmb1
constexpr int kFileNameBox = 0x47C;   // cmb13, an edit inside a combo box
constexpr int kCompressorList = 0x370;

std::vector<std::string> ComboItems(HWND combo) {
    std::vector<std::string> items;
    DWORD_PTR count = 0;
    if (!combo || !AskWindow(combo, CB_GETCOUNT, 0, 0, &count) || static_cast<LRESULT>(count) == CB_ERR) return items;
    for (DWORD_PTR i = 0; i < count; ++i) {
        char text[512] = "";
        DWORD_PTR length = 0;
        AskWindow(combo, CB_GETLBTEXTLEN, i, 0, &length);
        if (length < sizeof text) AskWindow(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text), &length);
        items.push_back(text);
    }
    return items;
}

// The edit control where the user types the file name.
HWND FileNameEdit(HWND dialog) {
    HWND box = GetDlgItem(dialog, kFileNameBox);
    HWND edit = box ? FindWindowExA(box, nullptr, "Edit", nullptr) : nullptr;
    return edit ? edit : box;
}

SaveDialogView ReadSaveDialog(HWND dialog) {
    SaveDialogView view;
    view.title = WindowText(dialog);
    HWND types = GetDlgItem(dialog, kFileTypeList);
    view.types = ComboItems(types);
    DWORD_PTR selected = static_cast<DWORD_PTR>(CB_ERR);
    if (types) AskWindow(types, CB_GETCURSEL, 0, 0, &selected);
    view.type = static_cast<int>(static_cast<LRESULT>(selected));
    if (HWND edit = FileNameEdit(dialog)) view.name = WindowText(edit);
    wchar_t folder[MAX_PATH] = L"";
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(dialog, CDM_GETFOLDERPATH, MAX_PATH, reinterpret_cast<LPARAM>(folder), SMTO_ABORTIFHUNG, 10000, &ignored);
    view.folder = Utf8(folder);
    return view;
}

// Types `name` into the file name box (nullopt keeps what is there), picks
// entry `type` of the type list (-1 keeps it) and presses Save. False, with
// nothing pressed, when the dialog did not take them.
bool AcceptSaveDialog(HWND dialog, const std::optional<std::string>& name, int type) {
    DWORD_PTR ignored = 0;
    if (name && !SendMessageTimeoutW(FileNameEdit(dialog), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(WideFromUtf8(name->c_str()).c_str()),
                                     SMTO_ABORTIFHUNG, 10000, &ignored))
        return false;
    if (type >= 0) {
        HWND types = GetDlgItem(dialog, kFileTypeList);
        if (!AskWindow(types, CB_SETCURSEL, type, 0)) return false;
        // Wine takes the chosen type over only on CBN_SELENDOK.
        for (WORD code : {WORD{CBN_SELCHANGE}, WORD{CBN_SELENDOK}})
            if (!AskWindow(dialog, WM_COMMAND, MAKEWPARAM(kFileTypeList, code), reinterpret_cast<LPARAM>(types))) return false;
    }
    // Posted: the click may open another dialog (an overwrite prompt).
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    return true;
}

}  // namespace

ExpectedWindow SaveDialog(SaveDialogView* view, std::optional<std::string> name, int type) {
    return {"#32770", [=](HWND dialog) {
                *view = ReadSaveDialog(dialog);
                return !view->title.empty() && AcceptSaveDialog(dialog, name, type);
            }};
}

ExpectedWindow CancelSaveDialog(SaveDialogView* view, bool again) {
    return {"#32770",
            [=](HWND dialog) {
                *view = ReadSaveDialog(dialog);
                if (view->title.empty()) return false;
                PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
                return true;
            },
            again};
}

ExpectedWindow AnswerBox(BoxSeen* seen, int button) {
    return {"#32770", [=](HWND box) {
                seen->sequence = NextSequence();
                seen->caption = WindowText(box);
                seen->text = DialogItemText(box, 0xFFFF);
                if (seen->caption.empty()) return false;
                ClickButton(box, button);
                return true;
            }};
}

ExpectedWindow CompressionDialog(bool ok) {
    return {"#32770", [=](HWND dialog) {
                // Under load the dialog can show before its list of compressors is filled.
                HWND list = GetDlgItem(dialog, kCompressorList);
                DWORD_PTR item = static_cast<DWORD_PTR>(CB_ERR);
                if (list)
                    AskWindow(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                              reinterpret_cast<LPARAM>("Full Frames (Uncompressed)"), &item);
                if (WindowText(dialog) != "Video Compression" || static_cast<LRESULT>(item) == CB_ERR) return false;
                if (ok && (!AskWindow(list, CB_SETCURSEL, item, 0) ||
                           !AskWindow(dialog, WM_COMMAND, MAKEWPARAM(kCompressorList, CBN_SELCHANGE),
                                      reinterpret_cast<LPARAM>(list))))
                    return false;
                PostMessageA(dialog, WM_COMMAND, ok ? IDOK : IDCANCEL, 0);
                return true;
            }};
}

// ---- Recorded calls of the plug-in -------------------------------------------------------------

namespace {

std::vector<SaveDialogCall> gSaveDialogCalls;
std::vector<MessageBoxCall> gMessageBoxCalls;
decltype(&GetSaveFileNameW) gRealGetSaveFileName = nullptr;
decltype(&MessageBoxW) gRealMessageBox = nullptr;
std::vector<UINT> gTimerDelays;
decltype(&SetTimer) gRealSetTimer = nullptr;

UINT_PTR WINAPI RecordSetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    gTimerDelays.push_back(elapse);
    return gRealSetTimer(window, id, elapse, proc);
}

BOOL WINAPI RecordGetSaveFileName(OPENFILENAMEW* dialog) {
    SaveDialogCall call{dialog->hwndOwner, gRealGetSaveFileName(dialog), dialog->nFilterIndex, ""};
    if (call.result && dialog->lpstrFile) call.chosenFile = Utf8(dialog->lpstrFile);
    gSaveDialogCalls.push_back(call);
    return call.result;
}

int WINAPI RecordMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    gMessageBoxCalls.push_back({owner, Utf8(text), caption ? std::optional<std::string>(Utf8(caption)) : std::nullopt, type});
    return gRealMessageBox(owner, text, caption, type);
}

// Points the module's import of `function` from `dll` at `replacement`; the
// function it called before, or none when the module does not import it.
void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!directory.VirtualAddress) return nullptr;
    for (auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); import->Name;
         ++import) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + import->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            void* previous = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return previous;
        }
    }
    return nullptr;
}

template <typename T>
std::vector<T> Take(std::vector<T>& calls) {
    std::vector<T> taken;
    taken.swap(calls);
    return taken;
}

}  // namespace

bool RecordPluginCalls(HMODULE plugin) {
    gRealGetSaveFileName = reinterpret_cast<decltype(gRealGetSaveFileName)>(
        PatchImport(plugin, "comdlg32.dll", "GetSaveFileNameW", reinterpret_cast<void*>(RecordGetSaveFileName)));
    gRealMessageBox = reinterpret_cast<decltype(gRealMessageBox)>(
        PatchImport(plugin, "user32.dll", "MessageBoxW", reinterpret_cast<void*>(RecordMessageBox)));
    gRealSetTimer = reinterpret_cast<decltype(gRealSetTimer)>(
        PatchImport(plugin, "user32.dll", "SetTimer", reinterpret_cast<void*>(RecordSetTimer)));
    return gRealGetSaveFileName && gRealMessageBox && gRealSetTimer;
}

std::vector<SaveDialogCall> TakeSaveDialogCalls() { return Take(gSaveDialogCalls); }
std::vector<MessageBoxCall> TakeMessageBoxCalls() { return Take(gMessageBoxCalls); }
std::vector<UINT> TakeTimerDelays() { return Take(gTimerDelays); }
