// The key storage provider: the handler of GetKeyStorageInterface and the table of its 26 functions. Each
// runs in the CSP's entry frame (the provider's lock, traces, exceptions caught); a key is a context of the
// provider's handle table, so a signature takes the CSP's road (frontend/luSignPipeline) with CNG's
// padding and byte order. Decryption, key creation and everything else CNG offers is refused.
#include "frontend/luKspFunctionTable.h"

#include "frontend/luEntryFrame.h"
#include "frontend/luKspHandlers.h"
#include "os/platCNG.h"
#include "platform/platDebug.h"
#include "platform/platRotPadroes.h"

namespace {

// Made once, by the first call; every caller gets the same table.
NCRYPT_KEY_STORAGE_FUNCTION_TABLE* KspFunctionTable() {
    static NCRYPT_KEY_STORAGE_FUNCTION_TABLE table = [] {
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE entries{};
        entries.Version = {LU_NCRYPT_INTERFACE_MAJOR, LU_NCRYPT_INTERFACE_MINOR};
        luKspProviderEntries(&entries);
        luKspKeyEntries(&entries);
        luKspSignEntries(&entries);
        luKspEnumKeysEntry(&entries);
        luKspRefusedEntries(&entries);
        return entries;
    }();
    return &table;
}

} // namespace

NTSTATUS luKspGetInterface(LPCWSTR pszProviderName, NCRYPT_KEY_STORAGE_FUNCTION_TABLE** ppFunctionTable,
                           DWORD dwFlags) {
    LU_EXPORT_FRAME(frame, kEntryRefusing, "GetKeyStorageInterface");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s pszProviderName=[%s] dwFlags=[%X]>\n",
                   pszProviderName ? ConvWideToAnsiTemp(pszProviderName) : "(null)",
                   static_cast<unsigned>(dwFlags));
    const BOOL ok = frame.Run([&] {
        if (!ppFunctionTable) return static_cast<int>(NTE_INVALID_PARAMETER);
        *ppFunctionTable = KspFunctionTable();
        return 0;
    });
    return ok ? LU_STATUS_SUCCESS : LU_STATUS_INVALID_PARAMETER;
}
