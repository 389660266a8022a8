// The certificate holder of the process: the certificates the provider offers, the access to the
// certificate stores, the machine identity and the signing-service client.
#pragma once

#include "certificates/libCertificate.h"
#include "certificates/libCertificateStore.h"
#include "certificates/libLUIdentify.h"
#include "platform/platMutex.h"
#include "platform/shells/platThread.h"
#include "service/libLUConex.h"

#include <string>

// A method bound to its object: the state callback and the call to be synchronised.
struct TLUFuncUpdateState {
    bool (*Code)(void* object, int state, void* a, void* b);
    void* Object;
};
struct TLUFuncToSync {
    void (*Code)(void* object);
    void* Object;
};

class TLumidra {
  public:
    TLumidra();
    ~TLumidra();
    TLumidra(const TLumidra&) = delete;
    TLumidra& operator=(const TLumidra&) = delete;

    // Fills the certificate list with the personal store's certificates of this provider.
    bool Load_CertStore();
    // Loads the list when the personal store changed since the last load (or none was loaded yet).
    bool Refresh_CertStore();
    // The state callback of the signing-service client; a and b are passed through.
    bool UpdateState(int state, void* a, void* b);
    static bool UpdateStateCallback(void* object, int state, void* a, void* b);

    TPlatThread Thread;
    TLUFuncUpdateState FuncUpdateState;
    TLUFuncToSync FuncToSync;
    // Signing-service client; its state callback is bound to UpdateState.
    TLUConex Conex;
    TLUIdentify Identify;
    TCertificateStore Store;
    TListCertificate ListCertificate;

  private:
    TPlatMutex SyncMutex;
    // The personal store's stamp at the last load; the list is read again when it differs. No stamp
    // is "?": the first session always reads the store.
    std::string LoadedStamp = "?";
};

// The certificate holder of the process; null before start-up and after teardown.
extern TLumidra* gLumidra;
