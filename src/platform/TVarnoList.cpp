#include "platform/TVarnoList.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

#include <cstdlib>
#include <cstring>

TVarnoList::TVarnoList() : Count(0), Items(nullptr) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    TRACE_RESULT(1);
}

TVarnoList::~TVarnoList() {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    Clear();
    TRACE_RESULT(1);
}

bool TVarnoList::Clear() {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    Count = 0;
    free(Items);
    Items = nullptr;
    TRACE_RETURN(true);
}

bool TVarnoList::Clear(bool freeItems) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    if (freeItems && Items) {
        for (uint32_t i = 0; i < Count; ++i) {
            free(Items[i]);
            Items[i] = nullptr;
        }
    }
    bool result = Clear();
    TRACE_RETURN(result);
}

int TVarnoList::IndexOf(const void* item) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s buffParam=[%p]>\n", LU_FN, item);
    int result = -1;
    {
        TPlatLockGuard guard(Mutex);
        if (Items && Count > 0 && item) {
            for (uint32_t i = 0; i < Count; ++i) {
                if (Items[i] == item) {
                    result = static_cast<int>(i);
                    break;
                }
            }
        }
    }
    TRACE_RETURN(result);
}

bool TVarnoList::Add(void* item) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s buffParam=[%p]>\n", LU_FN, item);
    bool result = false;
    {
        TPlatLockGuard guard(Mutex);
        if (Count < UINT32_MAX / sizeof(void*) - 1) {
            void** grown =
                static_cast<void**>(realloc(Items, (static_cast<size_t>(Count) + 1) * sizeof(void*)));
            if (grown) {
                Items = grown;
                Items[Count++] = item;
                result = true;
            }
        }
    }
    TRACE_RETURN(result);
}

bool TVarnoList::Delete(uint32_t index) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s Indice=[%d]>\n", LU_FN, static_cast<int>(index));
    bool result = false;
    {
        TPlatLockGuard guard(Mutex);
        if (Items && index < Count) {
            memmove(&Items[index], &Items[index + 1], (Count - index - 1) * sizeof(void*));
            --Count;
            if (Count == 0) {
                free(Items);
                Items = nullptr;
            } else {
                // Shrinking cannot lose data; a failed shrink keeps the larger block.
                void** shrunk = static_cast<void**>(realloc(Items, Count * sizeof(void*)));
                if (shrunk) Items = shrunk;
            }
            result = true;
        }
    }
    TRACE_RETURN(result);
}

bool TVarnoList::Delete(const void* item) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    bool result = false;
    {
        TPlatLockGuard guard(Mutex);
        int index = IndexOf(item);
        if (index >= 0) result = Delete(static_cast<uint32_t>(index));
    }
    TRACE_RETURN(result);
}

void* TVarnoList::GetItem(uint32_t index) {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s Indice=[%d]>\n", LU_FN, static_cast<int>(index));
    void* result = nullptr;
    {
        TPlatLockGuard guard(Mutex);
        if (Items && index < Count) result = Items[index];
    }
    TRACE_RETURN(result);
}
