#include "os/platWindow.h"

HWND osGetForegroundWindow() {
    return nullptr;
}

int osGetWindowClassName(HWND, char* out, int size) {
    if (out && size > 0) out[0] = '\0';
    return 0;
}

DWORD osGetWindowThreadId(HWND) {
    return 0;
}

int osGetWindowTitle(HWND, char* out, int maxChars) {
    if (out && maxChars >= 0) out[0] = '\0';
    return 0;
}

void osAccessibleReadNode(HWND, long, TOsAccessibleNode& node) {
    node = TOsAccessibleNode();
    node.Failed = TOsAccessibleNode::FailObject;
    node.Result = static_cast<long>(E_FAIL);
}
