#include "platform/TVarnoList.h"

#include "platform/platDebug.h"

#include <cstdlib>
#include <cstring>

TVarnoList::TVarnoList() : Count(0), Items(nullptr) {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, 1);
}

TVarnoList::~TVarnoList() {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    Clear();
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, 1);
}

bool TVarnoList::Clear() {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    Count = 0;
    free(Items);
    Items = nullptr;
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, 1);
    return true;
}

bool TVarnoList::Clear(bool freeItems) {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    if (freeItems && Items) {
        for (uint32_t i = 0; i < Count; ++i) {
            free(Items[i]);
            Items[i] = nullptr;
        }
    }
    bool result = Clear();
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

int TVarnoList::IndexOf(const void* item) {
    TRACE(DBHEAD_L, "<%s buffParam=[%p]>\n", LU_FN, item);
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
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

bool TVarnoList::Add(void* item) {
    TRACE(DBHEAD_L, "<%s buffParam=[%p]>\n", LU_FN, item);
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
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

bool TVarnoList::Delete(uint32_t index) {
    TRACE(DBHEAD_L, "<%s Indice=[%d]>\n", LU_FN, static_cast<int>(index));
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
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

bool TVarnoList::Delete(const void* item) {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    bool result = false;
    {
        TPlatLockGuard guard(Mutex);
        int index = IndexOf(item);
        if (index >= 0) result = Delete(static_cast<uint32_t>(index));
    }
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

void* TVarnoList::GetItem(uint32_t index) {
    TRACE(DBHEAD_L, "<%s Indice=[%d]>\n", LU_FN, static_cast<int>(index));
    void* result = nullptr;
    {
        TPlatLockGuard guard(Mutex);
        if (Items && index < Count) result = Items[index];
    }
    TRACE(DBHEAD_L, "</%s result=[%p]>\n", LU_FN, result);
    return result;
}
