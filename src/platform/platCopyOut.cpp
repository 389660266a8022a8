#include "platform/platCopyOut.h"

#include "platform/platDebug.h"

#include <cstring>

const TPlatCopyRule kCopyParam = {ERROR_MORE_DATA, true, false, false, "paramSize", "SizeBuffReturn"};
const TPlatCopyRule kCopyProvParam = {ERROR_MORE_DATA, true, true, false, "paramSize", "SizeBuffReturn"};
const TPlatCopyRule kCopyKeyParam = {ERROR_MORE_DATA, false, false, false, "paramSize", "SizeBuffReturn"};
const TPlatCopyRule kCopyExport = {ERROR_MORE_DATA, false, false, false, "pdwDataLen", "LenFileData"};
const TPlatCopyRule kCopyResult = {static_cast<uint32_t>(NTE_BAD_LEN), true, false, false, nullptr, nullptr};
const TPlatCopyRule kCopyNCrypt = {
    static_cast<uint32_t>(NTE_BUFFER_TOO_SMALL), true, false, false, "cbOutput", "cbResult"};
const TPlatCopyRule kCopyResultReversed = {
    static_cast<uint32_t>(NTE_BAD_LEN), true, false, true, nullptr, nullptr};

int CopyOutValue(const void* value, uint32_t size, BYTE* buffer, DWORD* len, uint32_t capacity,
                 const TPlatCopyRule& rule) {
    if (!buffer) {
        if (rule.ShortCode == static_cast<uint32_t>(NTE_BAD_LEN))
            TRACE(DBINFO_0, "Retornando apenas o tamanho LenBuffToCopy=[%d]\n", static_cast<int>(size));
        *len = size;
        return 0;
    }
    if (rule.ZeroFillFirst && capacity > 0) memset(buffer, 0, capacity);
    if (capacity < size) {
        if (rule.LenName)
            TRACE(DBERRO_0, "Tamanho do parametro é maior do que o alocado, %s=[%d], %s=[%d]\n", rule.LenName,
                  static_cast<int>(capacity), rule.SizeName, static_cast<int>(size));
        else
            TRACE(DBERRO_0,
                  "Tamanho do buffer a ser retornado é menor do que o recebido, MaxLenBuffToCopy=[%d] "
                  "LenFileData=[%d]\n",
                  static_cast<int>(capacity), static_cast<int>(size));
        if (rule.SizeWhenShort) *len = size;
        return static_cast<int>(rule.ShortCode);
    }
    if (size > 0) {
        const BYTE* bytes = static_cast<const BYTE*>(value);
        if (rule.Reversed) {
            TRACE(DBWARN_0, "Invertando Buffer de retorno para LITTLE-ENDIAN\n");
            for (uint32_t i = 0; i < size; ++i)
                buffer[i] = bytes[size - 1 - i];
        } else {
            memcpy(buffer, bytes, size);
        }
        if (rule.ShortCode == static_cast<uint32_t>(NTE_BAD_LEN))
            TRACE_DUMP(DBINFO_0, "Retornando DataValue", buffer, static_cast<int>(size));
    }
    *len = size;
    return 0;
}
