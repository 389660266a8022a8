// Registry keys kept open for values that are read again and again (a certificate's token, the personal
// store's listing): opening and closing a key around every read costs two kernel calls more, each a
// round trip to the server under Wine. A kept key still shows the registry as it is now: its values are
// read afresh every time, and a key deleted meanwhile (and perhaps made again) answers
// ERROR_KEY_DELETED, after which the reader opens it again by its path.
#pragma once

#include "os/platTypes.h"

#include <memory>
#include <string>

// One open key; closed when the last reader lets it go.
struct TPlatKeptKey {
    TPlatKeptKey() = default;
    ~TPlatKeptKey();
    TPlatKeptKey(const TPlatKeptKey&) = delete;
    TPlatKeptKey& operator=(const TPlatKeptKey&) = delete;

    HKEY Key = nullptr;
};
using TPlatKeptKeyRef = std::shared_ptr<TPlatKeptKey>;

// The process's kept key of root\path opened for reading in view (KEY_WOW64_32KEY, KEY_WOW64_64KEY or
// 0): the kept one, or, when there is none or fresh is set, one opened now. Null when it cannot be
// opened (nothing is kept then).
TPlatKeptKeyRef platKeptKey(HKEY root, const std::string& path, REGSAM view, bool fresh);

// Runs read(key) on the kept key; when the key was deleted since it was opened, once more on a key opened
// again. Returns read's status, or ERROR_FILE_NOT_FOUND when the key cannot be opened (opened false).
template <typename TRead>
LONG platKeptKeyRead(HKEY root, const std::string& path, REGSAM view, bool* opened, TRead read) {
    TPlatKeptKeyRef key = platKeptKey(root, path, view, false);
    LONG status = key ? read(key->Key) : ERROR_FILE_NOT_FOUND;
    if (!key || status == ERROR_KEY_DELETED) {
        key = platKeptKey(root, path, view, true);
        status = key ? read(key->Key) : ERROR_FILE_NOT_FOUND;
    }
    if (opened) *opened = key != nullptr;
    return status;
}
