// The caller's window: USER32 and Active Accessibility on Windows. Linux has no foreground window,
// so its side answers "no window" and the rest is never reached.
#pragma once

#include "os/platTypes.h"

#include <string>

HWND osGetForegroundWindow();
// Class name of the window into out (size bytes, always terminated); the length copied.
int osGetWindowClassName(HWND window, char* out, int size);
// Thread that created the window; 0 when there is none.
DWORD osGetWindowThreadId(HWND window);
// The window's title as the window manager holds it, into out (up to maxChars characters plus the
// terminator), narrowed byte by byte. The length copied; 0 when it has none. No message is sent to the
// window, so a hung window, or one whose thread waits for this very call, never holds the caller.
int osGetWindowTitle(HWND window, char* out, int maxChars);

// Outcome of reading one accessibility node of a window.
struct TOsAccessibleNode {
    enum Step { Ok = 0, FailObject = 1, FailValue = 2, FailName = 3 };
    int Failed;    // the step that failed, Ok when both texts were read
    void* Object;  // the IAccessible, for the traces only
    long Result;   // HRESULT of the failed step
    int ChildType; // VARIANT type of the child that came back with the object
    std::u16string Name;
    std::u16string Value;
};
// AccessibleObjectFromEvent (window, OBJID_CLIENT, childId), then the node's value and name; every
// interface and string is released before returning.
void osAccessibleReadNode(HWND window, long childId, TOsAccessibleNode& node);
