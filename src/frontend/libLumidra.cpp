#include "frontend/libLumidra.h"

#include "frontend/luAppGlobal.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

TLumidra* gLumidra = nullptr;

bool TLumidra::UpdateStateCallback(void* object, int state, void* a, void* b) {
    return object ? static_cast<TLumidra*>(object)->UpdateState(state, a, b) : false;
}

TLumidra::TLumidra() : FuncUpdateState{nullptr, nullptr}, FuncToSync{nullptr, nullptr} {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    Conex.FuncUpdateState = UpdateStateCallback;
    Conex.FuncUpdateStateCtx = this;
}

TLumidra::~TLumidra() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    ListCertificate.Clear();
}

bool TLumidra::Load_CertStore() {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s>\n", LU_FN);
    // Registered for either provider, a certificate opens in both.
    bool result = Store.LoadCert(&ListCertificate, "MY", LU_CSP_NAME, LU_KSP_NAME);
    TRACE_RETURN(result);
}

bool TLumidra::Refresh_CertStore() {
    // The stamp is read before the store: a change in between makes the next stamp differ.
    std::string stamp = Store.ChangeStamp("MY");
    if (stamp == LoadedStamp) return true;
    if (LoadedStamp != "?")
        TRACE(DBINFO_0, "Repositorio MY alterado, recarregando a lista de certificados\n");
    bool result = Load_CertStore();
    // A load that failed is tried again next time.
    LoadedStamp = result ? stamp : std::string("?");
    return result;
}

bool TLumidra::UpdateState(int state, void* a, void* b) {
    bool result = true;
    TRACE_SCOPE(DBHEAD_L, Int, "<%s state=[%d]>\n", LU_FN, state);
    if (FuncUpdateState.Code) {
        TRACE(DBINFO_L, "Chamando a rotina 'funcUpdateState'=[%p]\n",
              reinterpret_cast<void*>(FuncUpdateState.Code));
        result = FuncUpdateState.Code(FuncUpdateState.Object, state, a, b);
    }
    if (FuncToSync.Code) {
        TRACE(DBINFO_L, "Sicronizando a Thread com 'funcToSync'=[%p]\n",
              reinterpret_cast<void*>(FuncToSync.Code));
        // No worker thread runs in this library: synchronised means one call at a time.
        TPlatLockGuard guard(SyncMutex);
        FuncToSync.Code(FuncToSync.Object);
    }
    TRACE_RETURN(result);
}
