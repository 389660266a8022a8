// Inside of the certificate-store stand-in: the objects behind HCERTSTORE and PCCERT_CONTEXT and the
// persisted form of a certificate with its properties (docs/certificate-store.md).
#pragma once

#include "os/posix/winCertStore.h"

#include <map>
#include <string>
#include <vector>

namespace lucert {

using Bytes = std::vector<BYTE>;

// Property id under which the blob carries the certificate itself (as Windows' serialized form does).
const DWORD kCertPropId = 32;

struct TCertStore;

// One certificate: a store element or a context made by CertCreateCertificateContext. The
// CERT_CONTEXT comes first so that the handle given out is the element's address.
struct TCertElement {
    CERT_CONTEXT Context;
    CERT_INFO Info;
    Bytes Der;
    Bytes SerialLE;
    Bytes IssuerDer;
    Bytes SubjectDer;
    std::string SignatureOid;
    Bytes SignatureParams;
    std::string KeyOid;
    Bytes KeyParams;
    Bytes KeyBits;
    Bytes Sha1;
    // Properties in their persisted form (CRYPT_KEY_PROV_INFO self-relative, the others as given).
    std::map<DWORD, Bytes> Props;
    // Name of the registry key the element was read from or written to.
    std::string RegKeyName;
    int Refs = 0;
    bool Deleted = false;
    TCertStore* Store = nullptr;
};

struct TCertStore {
    std::string Name;
    bool Persistent = false;
    bool ReadOnly = false;
    int OpenHandles = 0;
    std::vector<TCertElement*> Elements;
};

// Parses a DER certificate into a new element (Refs 0, no store); null when it is not a certificate.
TCertElement* NewElementFromDer(const BYTE* der, DWORD lenDer);

// CRYPT_KEY_PROV_INFO <-> its self-relative persisted form.
bool SerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO* info, Bytes& out);
// Size the caller's buffer needs for the pointer form; 0 when the persisted form is malformed.
DWORD KeyProvInfoSize(const Bytes& persisted);
// Writes the pointer form into out (at least KeyProvInfoSize bytes).
bool ExpandKeyProvInfo(const Bytes& persisted, BYTE* out, DWORD lenOut);

// The registry value "Blob": properties then the certificate, each {id, 1, length} + bytes, little-endian.
Bytes EncodeBlob(const TCertElement& element);
// Reads a blob into a new element; null when malformed or without a certificate.
TCertElement* DecodeBlob(const Bytes& blob);

std::string HexUpper(const Bytes& bytes);

} // namespace lucert
