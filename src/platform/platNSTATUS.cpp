#include "platform/platNSTATUS.h"

#include <cstddef>

namespace {

// NTSTATUS codes that the registration and the kernel services can hand back, then the CryptoAPI
// codes NTE_BAD_UID to NTE_HMAC_NOT_SUPPORTED. Searched from the top: STATUS_SUCCESS comes before
// STATUS_WAIT_0, which has the same code.
const NSTATUSInfo kNSTATUSTable[] = {
    {0x00000000u, "STATUS_SUCCESS", "The operation completed successfully."},
    {0x00000000u, "STATUS_WAIT_0",
     "The caller specified WaitAny for WaitType and one of the dispatcher objects in the Object array has "
     "been "
     "set to the signaled state."},
    {0x00000102u, "STATUS_TIMEOUT", "The given Timeout interval expired."},
    {0x00000103u, "STATUS_PENDING", "The operation that was requested is pending completion."},
    {0x40000000u, "STATUS_OBJECT_NAME_EXISTS",
     "{Object Exists} An attempt was made to create an object but the object name already exists."},
    {0x80000005u, "STATUS_BUFFER_OVERFLOW",
     "{Buffer Overflow} The data was too large to fit into the specified buffer."},
    {0x8000001Au, "STATUS_NO_MORE_ENTRIES",
     "{No More Entries} No more entries are available from an enumeration operation."},
    {0xC0000001u, "STATUS_UNSUCCESSFUL", "{Operation Failed} The requested operation was unsuccessful."},
    {0xC0000002u, "STATUS_NOT_IMPLEMENTED", "{Not Implemented} The requested operation is not implemented."},
    {0xC0000005u, "STATUS_ACCESS_VIOLATION",
     "The instruction at 0x%08lx referenced memory at 0x%08lx. The memory could not be %s."},
    {0xC0000008u, "STATUS_INVALID_HANDLE", "An invalid HANDLE was specified."},
    {0xC000000Du, "STATUS_INVALID_PARAMETER", "An invalid parameter was passed to a service or function."},
    {0xC000000Eu, "STATUS_NO_SUCH_DEVICE", "A device that does not exist was specified."},
    {0xC000000Fu, "STATUS_NO_SUCH_FILE", "{File Not Found} The file %hs does not exist."},
    {0xC0000010u, "STATUS_INVALID_DEVICE_REQUEST",
     "The specified request is not a valid operation for the target device."},
    {0xC0000017u, "STATUS_NO_MEMORY",
     "{Not Enough Quota} Not enough virtual memory or paging file quota is available to complete the "
     "specified "
     "operation."},
    {0xC0000022u, "STATUS_ACCESS_DENIED",
     "{Access Denied} A process has requested access to an object but has not been granted those access "
     "rights."},
    {0xC0000023u, "STATUS_BUFFER_TOO_SMALL",
     "{Buffer Too Small} The buffer is too small to contain the entry. No information has been written to "
     "the "
     "buffer."},
    {0xC0000024u, "STATUS_OBJECT_TYPE_MISMATCH",
     "{Wrong Type} There is a mismatch between the type of object that is required by the requested "
     "operation "
     "and the type of object that is specified in the request."},
    {0xC0000030u, "STATUS_INVALID_PARAMETER_MIX", "An invalid combination of parameters was specified."},
    {0xC0000033u, "STATUS_OBJECT_NAME_INVALID", "The object name is invalid."},
    {0xC0000034u, "STATUS_OBJECT_NAME_NOT_FOUND", "The object name is not found."},
    {0xC0000035u, "STATUS_OBJECT_NAME_COLLISION", "The object name already exists."},
    {0xC0000039u, "STATUS_OBJECT_PATH_INVALID", "The object path component was not a directory object."},
    {0xC000003Au, "STATUS_OBJECT_PATH_NOT_FOUND", "{Path Not Found} The path %hs does not exist."},
    {0xC0000043u, "STATUS_SHARING_VIOLATION",
     "A file cannot be opened because the share access flags are incompatible."},
    {0xC0000061u, "STATUS_PRIVILEGE_NOT_HELD", "A required privilege is not held by the client."},
    {0xC000007Au, "STATUS_PROCEDURE_NOT_FOUND",
     "Indicates the specified procedure address cannot be found in the DLL."},
    {0xC000009Au, "STATUS_INSUFFICIENT_RESOURCES",
     "Insufficient system resources exist to complete the API."},
    {0xC00000BBu, "STATUS_NOT_SUPPORTED", "The request is not supported."},
    {0xC00000E5u, "STATUS_INTERNAL_ERROR", "An internal error occurred."},
    {0xC00000EFu, "STATUS_INVALID_PARAMETER_1",
     "An invalid parameter was passed to a service or function as the first argument."},
    {0xC00000F0u, "STATUS_INVALID_PARAMETER_2",
     "An invalid parameter was passed to a service or function as the second argument."},
    {0xC00000F1u, "STATUS_INVALID_PARAMETER_3",
     "An invalid parameter was passed to a service or function as the third argument."},
    {0xC00000F2u, "STATUS_INVALID_PARAMETER_4",
     "An invalid parameter was passed to a service or function as the fourth argument."},
    {0xC0000120u, "STATUS_CANCELLED", "The I/O request was canceled."},
    {0xC0000135u, "STATUS_DLL_NOT_FOUND",
     "{Unable To Locate Component} This application has failed to start because %hs was not found. "
     "Reinstalling "
     "the application may fix this problem."},
    {0xC0000139u, "STATUS_ENTRYPOINT_NOT_FOUND",
     "{Entry Point Not Found} The procedure entry point %hs could not be located in the dynamic link library "
     "%hs."},
    {0xC000014Cu, "STATUS_REGISTRY_CORRUPT",
     "{The Registry Is Corrupt} The structure of one of the files that contains registry data is corrupt; "
     "the "
     "image of the file in memory is corrupt; or the file could not be recovered because the alternate copy "
     "or "
     "log was absent or corrupt."},
    {0xC000014Du, "STATUS_REGISTRY_IO_FAILED",
     "An I/O operation initiated by the Registry failed and cannot be recovered. The registry could not read "
     "in, "
     "write out, or flush one of the files that contain the system's image of the registry."},
    {0xC000017Cu, "STATUS_KEY_DELETED",
     "An illegal operation was attempted on a registry key that has been marked for deletion."},
    {0xC0000206u, "STATUS_INVALID_BUFFER_SIZE",
     "The size of the buffer is invalid for the specified operation."},
    {0xC0000225u, "STATUS_NOT_FOUND", "The object was not found."},
    {0xC0000229u, "STATUS_FAIL_CHECK", "A consistency check failed."},
    {0xC000A000u, "STATUS_INVALID_SIGNATURE", "The cryptographic signature is invalid."},

    {0x80090001u, "NTE_BAD_UID", "Bad UID."},
    {0x80090002u, "NTE_BAD_HASH", "Bad Hash."},
    {0x80090003u, "NTE_BAD_KEY", "Bad Key."},
    {0x80090004u, "NTE_BAD_LEN", "Bad Length."},
    {0x80090005u, "NTE_BAD_DATA", "Bad Data."},
    {0x80090006u, "NTE_BAD_SIGNATURE", "Invalid Signature."},
    {0x80090007u, "NTE_BAD_VER", "Bad Version of provider."},
    {0x80090008u, "NTE_BAD_ALGID", "Invalid algorithm specified."},
    {0x80090009u, "NTE_BAD_FLAGS", "Invalid flags specified."},
    {0x8009000Au, "NTE_BAD_TYPE", "Invalid type specified."},
    {0x8009000Bu, "NTE_BAD_KEY_STATE", "Key not valid for use in specified state."},
    {0x8009000Cu, "NTE_BAD_HASH_STATE", "Hash not valid for use in specified state."},
    {0x8009000Du, "NTE_NO_KEY", "Key does not exist."},
    {0x8009000Eu, "NTE_NO_MEMORY", "Insufficient memory available for the operation."},
    {0x8009000Fu, "NTE_EXISTS", "Object already exists."},
    {0x80090010u, "NTE_PERM", "Access denied."},
    {0x80090011u, "NTE_NOT_FOUND", "Object was not found."},
    {0x80090012u, "NTE_DOUBLE_ENCRYPT", "Data already encrypted."},
    {0x80090013u, "NTE_BAD_PROVIDER", "Invalid provider specified."},
    {0x80090014u, "NTE_BAD_PROV_TYPE", "Invalid provider type specified."},
    {0x80090015u, "NTE_BAD_PUBLIC_KEY", "Provider's public key is invalid."},
    {0x80090016u, "NTE_BAD_KEYSET", "Keyset does not exist"},
    {0x80090017u, "NTE_PROV_TYPE_NOT_DEF", "Provider type not defined."},
    {0x80090018u, "NTE_PROV_TYPE_ENTRY_BAD", "Provider type as registered is invalid."},
    {0x80090019u, "NTE_KEYSET_NOT_DEF", "The keyset is not defined."},
    {0x8009001Au, "NTE_KEYSET_ENTRY_BAD", "Keyset as registered is invalid."},
    {0x8009001Bu, "NTE_PROV_TYPE_NO_MATCH", "Provider type does not match registered value."},
    {0x8009001Cu, "NTE_SIGNATURE_FILE_BAD", "The digital signature file is corrupt."},
    {0x8009001Du, "NTE_PROVIDER_DLL_FAIL", "Provider DLL failed to initialize correctly."},
    {0x8009001Eu, "NTE_PROV_DLL_NOT_FOUND", "Provider DLL could not be found."},
    {0x8009001Fu, "NTE_BAD_KEYSET_PARAM", "The Keyset parameter is invalid."},
    {0x80090020u, "NTE_FAIL", "An internal error occurred."},
    {0x80090021u, "NTE_SYS_ERR", "A base error occurred."},
    {0x80090022u, "NTE_SILENT_CONTEXT",
     "Provider could not perform the action since the context was acquired as silent."},
    {0x80090023u, "NTE_TOKEN_KEYSET_STORAGE_FULL",
     "The security token does not have storage space available for an additional container."},
    {0x80090024u, "NTE_TEMPORARY_PROFILE", "The profile for the user is a temporary profile."},
    {0x80090025u, "NTE_FIXEDPARAMETER",
     "The key parameters could not be set because the CSP uses fixed parameters."},
    {0x80090026u, "NTE_INVALID_HANDLE", "The supplied handle is invalid."},
    {0x80090027u, "NTE_INVALID_PARAMETER", "The parameter is incorrect."},
    {0x80090028u, "NTE_BUFFER_TOO_SMALL", "The buffer supplied to a function was too small."},
    {0x80090029u, "NTE_NOT_SUPPORTED", "The requested operation is not supported."},
    {0x8009002Au, "NTE_NO_MORE_ITEMS", "No more data is available."},
    {0x8009002Bu, "NTE_BUFFERS_OVERLAP", "The supplied buffers overlap incorrectly."},
    {0x8009002Cu, "NTE_DECRYPTION_FAILURE", "The specified data could not be decrypted."},
    {0x8009002Du, "NTE_INTERNAL_ERROR", "An internal consistency check failed."},
    {0x8009002Eu, "NTE_UI_REQUIRED", "This operation requires input from the user."},
    {0x8009002Fu, "NTE_HMAC_NOT_SUPPORTED", "The cryptographic provider does not support HMAC."},
};

const char kInvalidName[] = "NSTATUS INVALID";
const char kInvalidDescription[] = "PARAM CODE NSTATUS NOT DEFINID, CHECK THE FUNCTION GetNSTATUSInfo";

struct TWin32Error {
    uint32_t Code;
    const char* Name;
    const char* Text;
};

// The Win32 codes the library, its stand-ins and the tools set or meet: the SDK's name and
// FormatMessage's text.
const TWin32Error kWin32Errors[] = {
    {0, "ERROR_SUCCESS", "The operation completed successfully."},
    {1, "ERROR_INVALID_FUNCTION", "Incorrect function."},
    {2, "ERROR_FILE_NOT_FOUND", "The system cannot find the file specified."},
    {3, "ERROR_PATH_NOT_FOUND", "The system cannot find the path specified."},
    {5, "ERROR_ACCESS_DENIED", "Access is denied."},
    {6, "ERROR_INVALID_HANDLE", "The handle is invalid."},
    {8, "ERROR_NOT_ENOUGH_MEMORY", "Not enough memory resources are available to process this command."},
    {13, "ERROR_INVALID_DATA", "The data is invalid."},
    {14, "ERROR_OUTOFMEMORY", "Not enough memory resources are available to complete this operation."},
    {29, "ERROR_WRITE_FAULT", "The system cannot write to the specified device."},
    {30, "ERROR_READ_FAULT", "The system cannot read from the specified device."},
    {50, "ERROR_NOT_SUPPORTED", "The request is not supported."},
    {87, "ERROR_INVALID_PARAMETER", "The parameter is incorrect."},
    {122, "ERROR_INSUFFICIENT_BUFFER", "The data area passed to a system call is too small."},
    {126, "ERROR_MOD_NOT_FOUND", "The specified module could not be found."},
    {127, "ERROR_PROC_NOT_FOUND", "The specified procedure could not be found."},
    {160, "ERROR_BAD_ARGUMENTS", "One or more arguments are not correct."},
    {183, "ERROR_ALREADY_EXISTS", "Cannot create a file when that file already exists."},
    {193, "ERROR_BAD_EXE_FORMAT", "%1 is not a valid Win32 application."},
    {234, "ERROR_MORE_DATA", "More data is available."},
    {258, "WAIT_TIMEOUT", "The wait operation timed out."},
    {259, "ERROR_NO_MORE_ITEMS", "No more data is available."},
    {542, "ERROR_UNWIND", "Unwind exception code."},
    {1010, "ERROR_BADKEY", "The configuration registry key is invalid."},
    {1013, "ERROR_CANTWRITE", "The configuration registry key could not be written."},
    {1018, "ERROR_KEY_DELETED",
     "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1168, "ERROR_NOT_FOUND", "Element not found."},
    {1460, "ERROR_TIMEOUT", "This operation returned because the timeout period expired."},
    {1627, "ERROR_FUNCTION_FAILED", "Function failed during execution."},
    {10038, "WSAENOTSOCK", "An operation was attempted on something that is not a socket."},
    {10060, "WSAETIMEDOUT",
     "A connection attempt failed because the connected party did not properly respond after a period "
     "of time, "
     "or established connection failed because connected host has failed to respond."},
    {10061, "WSAECONNREFUSED", "No connection could be made because the target machine actively refused it."},
    {11001, "WSAHOST_NOT_FOUND", "No such host is known."},
};

const TWin32Error* FindWin32Error(uint32_t code) {
    for (const TWin32Error& row : kWin32Errors)
        if (row.Code == code) return &row;
    return nullptr;
}

} // namespace

NSTATUSInfo GetNSTATUSInfo(uint32_t code) {
    for (const NSTATUSInfo& row : kNSTATUSTable)
        if (row.Code == code) return row;
    return NSTATUSInfo{code, kInvalidName, kInvalidDescription};
}

bool IsKnownNSTATUS(uint32_t code) {
    for (const NSTATUSInfo& row : kNSTATUSTable)
        if (row.Code == code) return true;
    return false;
}

const char* GetWin32ErrorText(uint32_t code) {
    // HRESULT_FROM_WIN32 carries the Win32 code in its low word.
    if ((code & 0xFFFF0000u) == 0x80070000u) code &= 0xFFFFu;
    const TWin32Error* row = FindWin32Error(code);
    return row ? row->Text : nullptr;
}

const char* GetWin32ErrorName(uint32_t code) {
    const TWin32Error* row = FindWin32Error(code);
    return row ? row->Name : nullptr;
}
