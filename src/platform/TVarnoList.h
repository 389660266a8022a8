#pragma once

#include "platform/platMutex.h"

#include <cstdint>

// Growable array of untyped pointers; the base of every list of the library. It does not own what its
// entries point to; the derived lists that do say so.
class TVarnoList {
  public:
    TVarnoList();
    ~TVarnoList();
    TVarnoList(const TVarnoList&) = delete;
    TVarnoList& operator=(const TVarnoList&) = delete;

    bool Clear();
    bool Clear(bool freeItems);
    int IndexOf(const void* item);
    bool Add(void* item);
    bool Delete(uint32_t index);
    bool Delete(int index) { return Delete(static_cast<uint32_t>(index)); }
    bool Delete(const void* item);
    void* GetItem(uint32_t index);

    uint32_t Count;

  protected:
    void** Items;
    TPlatMutex Mutex;
};
