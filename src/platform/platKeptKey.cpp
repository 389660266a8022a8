#include "platform/platKeptKey.h"

#include "platform/platMutex.h"

#include <map>
#include <tuple>

namespace {

struct TKeptKeys {
    TPlatMutex Lock;
    std::map<std::tuple<HKEY, std::string, REGSAM>, TPlatKeptKeyRef> Keys;
};

TKeptKeys& Kept() {
    // Never destroyed: a thread of the host may still read while the process exits.
    static TKeptKeys* kept = new TKeptKeys;
    return *kept;
}

} // namespace

TPlatKeptKey::~TPlatKeptKey() {
    if (Key) RegCloseKey(Key);
}

TPlatKeptKeyRef platKeptKey(HKEY root, const std::string& path, REGSAM view, bool fresh) {
    TKeptKeys& kept = Kept();
    TPlatLockGuard guard(kept.Lock);
    TPlatKeptKeyRef& slot = kept.Keys[std::make_tuple(root, path, view)];
    if (slot && !fresh) return slot;
    // A reader still holding the old key keeps it open until it is done.
    slot.reset();
    auto opened = std::make_shared<TPlatKeptKey>();
    if (RegOpenKeyExA(root, path.c_str(), 0, view | KEY_READ, &opened->Key) != ERROR_SUCCESS) {
        opened->Key = nullptr;
        return nullptr;
    }
    slot = opened;
    return slot;
}
