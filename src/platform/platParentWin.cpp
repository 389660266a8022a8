#include "platform/platParentWin.h"

#include "os/platWindow.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platRotPadroes.h"

#include <cstdio>
#include <cstring>

namespace {

const char kBrowserClass[] = "Chrome_WidgetWin_1";
// Chromium names its accessibility nodes by negative unique ids; the address bar is one of these.
const long kAddressBarNodes[] = {-74, -75};

bool IsAddressBarName(const std::u16string& name) {
    static const char16_t* const kNames[] = {u"Address and search bar", u"Barra de pesquisa e endere\u00e7o",
                                             u"Barra de endere\u00e7o e pesquisa"};
    for (const char16_t* known : kNames)
        if (name == known) return true;
    return false;
}

} // namespace

TParentWin::TParentWin() : hParentWnd(nullptr), hParentWndExtern(nullptr) {}

void TParentWin::Update() {
    TitleParentWnd.Clear();
    TitleParentWnd.AddString("UNKNOW");

    if (hParentWndExtern) {
        hParentWnd = hParentWndExtern;
        TRACE(DBINFO_0, "ParentWin.Update: Using hParentWndExtern=[%p]\n", static_cast<void*>(hParentWnd));
    } else {
        hParentWnd = osGetForegroundWindow();
        TRACE(DBINFO_0, "ParentWin.Update: Using GetForegroundWindow=[%p]\n", static_cast<void*>(hParentWnd));
    }

    bool found = false;
    if (hParentWnd) {
        found = TryGetBrowserURL(hParentWnd);
        if (!found && osGetWindowThreadId(hParentWnd) != 0) {
            char text[1024];
            memset(text, 0, sizeof(text));
            if (osGetWindowTitle(hParentWnd, text, 1023) > 0) {
                TitleParentWnd.Clear();
                TitleParentWnd.AddString(text);
                TRACE(DBINFO_0, "Achou Janela=[%s], hParentWnd=[%p]\n", text, static_cast<void*>(hParentWnd));
                found = true;
            }
        }
    }
    if (!found) {
        TRACE(DBERRO_0, "Não foi encontrado a janela. hParentWnd=[%p] hParentWndExtern=[%p]\n",
              static_cast<void*>(hParentWnd), static_cast<void*>(hParentWndExtern));
        hParentWnd = nullptr;
    }
}

const char* TParentWin::ParentGetTitle() {
    TRACE(DBHEAD_0, "<%s hParentWnd=[%p]>\n", LU_FN, static_cast<void*>(hParentWnd));
    const char* result = kParentWinNoTitle;
    if (hParentWnd && TitleParentWnd.FileData)
        result = reinterpret_cast<const char*>(TitleParentWnd.FileData);
    else
        TRACE(DBERRO_0, "ParentWin: Não foi encontrado a janela para ParentGetTitle, hParentWnd=[%p]\n",
              static_cast<void*>(hParentWnd));
    TRACE(DBHEAD_0, "</%s result=[%s]>\n", LU_FN, result);
    return result;
}

bool TParentWin::TryGetBrowserURL(HWND hTryGetURL) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s hTryGetURL=[%p]>\n", LU_FN, static_cast<void*>(hTryGetURL));
    bool result = false;
    char className[50];
    osGetWindowClassName(hTryGetURL, className, sizeof(className));
    if (strcmp(className, kBrowserClass) == 0) {
        for (long childId : kAddressBarNodes) {
            TOsAccessibleNode node;
            osAccessibleReadNode(hTryGetURL, childId, node);
            if (node.Failed == TOsAccessibleNode::FailObject) {
                TRACE(DBERRO_0, "Erro na AccessibleObjectFromEvent, pAcc=[%p] resultTmp=[%d], valRIID=[%d]\n",
                      node.Object, static_cast<int>(node.Result), node.ChildType);
                continue;
            }
            if (node.Failed == TOsAccessibleNode::FailValue) {
                TRACE(DBERRO_0, "Erro na pAcc->get_accValue, pAcc=[%p] resultTmp=[%d] valRIID=[%d]\n",
                      node.Object, static_cast<int>(node.Result), node.ChildType);
                continue;
            }
            if (node.Failed == TOsAccessibleNode::FailName) {
                TRACE(DBERRO_0, "Erro na pAcc->get_accValue, pAcc=[%p] resultTmp=[%d], valRIID=[%d]\n",
                      node.Object, static_cast<int>(node.Result), node.ChildType);
                continue;
            }
            if (IsAddressBarName(node.Name)) {
                TitleParentWnd.Clear();
                TitleParentWnd.AddString(
                    ConvWideToAnsiTemp(reinterpret_cast<const WCHAR*>(node.Value.c_str())));
                TRACE(DBWARN_0, "Encontrou janela do navegado, TitleParentWnd=[%s]\n",
                      reinterpret_cast<const char*>(TitleParentWnd.FileData));
                result = true;
                break;
            }
            TRACE(DBWARN_0, "Falha ao tentar recuperar URL, bstrName=[%s], bstrValue=[%s]\n",
                  ConvWideToAnsiTemp(reinterpret_cast<const WCHAR*>(node.Name.c_str())),
                  ConvWideToAnsiTemp(reinterpret_cast<const WCHAR*>(node.Value.c_str())));
        }
    }
    TRACE_RETURN(result);
}

const char* ParentGetTitle() {
    // Trivially destructible, so nothing runs at thread exit (safe after the library is unloaded).
    static thread_local char tTitle[1024];
    TParentWin window;
    window.Update();
    snprintf(tTitle, sizeof(tTitle), "%s", window.ParentGetTitle());
    return tTitle;
}
