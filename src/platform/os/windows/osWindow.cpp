#include "os/platWindow.h"

#include <oleacc.h>
#include <oleauto.h>

HWND osGetForegroundWindow() {
    return GetForegroundWindow();
}

int osGetWindowClassName(HWND window, char* out, int size) {
    if (!out || size <= 0) return 0;
    out[0] = '\0';
    int n = GetClassNameA(window, out, size);
    out[size - 1] = '\0';
    return n > 0 ? n : 0;
}

DWORD osGetWindowThreadId(HWND window) {
    return GetWindowThreadProcessId(window, nullptr);
}

int osGetWindowTitle(HWND window, char* out, int maxChars) {
    if (!out || maxChars < 0) return 0;
    out[0] = '\0';
    WCHAR wide[1024];
    int room = maxChars + 1 < 1024 ? maxChars + 1 : 1024;
    // The title the window manager keeps: one kernel call, where WM_GETTEXT would be a message to the
    // window's thread and a wait for its answer.
    int n = InternalGetWindowText(window, wide, room);
    if (n <= 0) return 0;
    if (n > room - 1) n = room - 1;
    for (int i = 0; i < n; ++i)
        out[i] = static_cast<char>(wide[i] & 0xFF);
    out[n] = '\0';
    return n;
}

static std::u16string TakeBSTR(BSTR text) {
    std::u16string out;
    if (text) out.assign(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
    return out;
}

void osAccessibleReadNode(HWND window, long childId, TOsAccessibleNode& node) {
    node = TOsAccessibleNode();
    // The caller's thread may or may not have COM; a thread in another apartment keeps its own.
    HRESULT comInit = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    IAccessible* acc = nullptr;
    VARIANT child;
    VariantInit(&child);
    HRESULT hr = AccessibleObjectFromEvent(window, static_cast<DWORD>(OBJID_CLIENT), childId, &acc, &child);
    node.Object = acc;
    node.ChildType = child.vt;
    if (FAILED(hr) || !acc) {
        node.Failed = TOsAccessibleNode::FailObject;
        node.Result = hr;
    } else {
        VARIANT self;
        VariantInit(&self);
        self.vt = VT_I4;
        self.lVal = CHILDID_SELF;
        BSTR value = nullptr;
        BSTR name = nullptr;
        hr = acc->get_accValue(self, &value);
        if (FAILED(hr)) {
            node.Failed = TOsAccessibleNode::FailValue;
            node.Result = hr;
        } else {
            hr = acc->get_accName(self, &name);
            if (FAILED(hr)) {
                node.Failed = TOsAccessibleNode::FailName;
                node.Result = hr;
            }
        }
        node.Value = TakeBSTR(value);
        node.Name = TakeBSTR(name);
        if (value) SysFreeString(value);
        if (name) SysFreeString(name);
        acc->Release();
    }
    VariantClear(&child);
    if (SUCCEEDED(comInit)) CoUninitialize();
}
