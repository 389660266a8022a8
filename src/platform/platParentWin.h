#pragma once

#include "os/platTypes.h"
#include "platform/TVarnoMemory.h"

// What ParentGetTitle gives when no usable window was found.
constexpr char kParentWinNoTitle[] = "NO TITLE";

// Names the place a private-key request comes from: the address in a Chromium-family browser's address
// bar when that browser is in front, otherwise the title of the window in front.
class TParentWin {
  public:
    TParentWin();
    ~TParentWin() = default;
    TParentWin(const TParentWin&) = delete;
    TParentWin& operator=(const TParentWin&) = delete;

    void Update();
    // The text found by the last Update, or "NO TITLE" when it found no usable window.
    const char* ParentGetTitle();
    bool TryGetBrowserURL(HWND hTryGetURL);

    HWND hParentWnd;
    HWND hParentWndExtern;
    TVarnoMemory TitleParentWnd;
};

// The calling window's text for this moment (Update, then TParentWin::ParentGetTitle). The text belongs
// to the calling thread and stays valid until its next call.
const char* ParentGetTitle();
