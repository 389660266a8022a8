// What the entry points share (lock, exception capture, last error), and the start-up and teardown of
// the process-wide objects.
#include "frontend/libLUProvider.h"
#include "frontend/libLumidra.h"
#include "frontend/luAppGlobal.h"
#include "frontend/luEntryFrame.h"
#include "platform/platDebug.h"
#include "service/luAppConfig.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

TEST(EntryFrame, HoldsTheProviderLockUntilTheEnd) {
    TLUProvider provider;
    gLUProvider = &provider;
    int lockedElsewhere = -1;
    {
        TLUEntryLock lock;
        EXPECT_TRUE(lock.IsLocked());
        std::thread other([&] { lockedElsewhere = provider.Mutex.Lock(50); });
        other.join();
        EXPECT_EQ(0, lockedElsewhere);
        // Re-entrant for the holding thread.
        TLUEntryLock again;
        EXPECT_TRUE(again.IsLocked());
    }
    std::thread after([&] {
        lockedElsewhere = provider.Mutex.Lock(1000);
        if (lockedElsewhere) provider.Mutex.Unlock();
    });
    after.join();
    EXPECT_EQ(1, lockedElsewhere);
    gLUProvider = nullptr;

    // Without a provider object there is nothing to take and nothing to release.
    TLUEntryLock none;
    EXPECT_FALSE(none.IsLocked());
}

TEST(EntryFrame, ReleasingTheLockKeepsTheLastError) {
    TLUProvider provider;
    gLUProvider = &provider;
    {
        TLUEntryLock lock;
        SetLastError(static_cast<DWORD>(NTE_BAD_SIGNATURE));
    }
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_SIGNATURE), GetLastError());
    gLUProvider = nullptr;
    {
        TLUKeepLastError keep;
        SetLastError(5);
    }
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_SIGNATURE), GetLastError());
}

TEST(EntryFrame, CaughtExceptionGivesErrorUnwind) {
    SetLastError(0);
    std::runtime_error error("boom");
    EXPECT_EQ(FALSE, luCatchEntryException(error, "CPTest", __LINE__));
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNWIND), GetLastError());
    SetLastError(0);
    EXPECT_EQ(FALSE, luCatchEntryException("unknown exception", "CPTest", __LINE__));
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNWIND), GetLastError());
}

TEST(EntryFrame, OneFrameForEveryExport) {
    TLUProvider provider;
    gLUProvider = &provider;
    // Work that succeeds clears the last error; a code becomes FALSE with that code.
    SetLastError(77);
    {
        TLUEntryFrame frame(kEntryWorking, __FILE__, "CPTest", __LINE__);
        EXPECT_EQ(TRUE, frame.Run([] { return 0; }));
        EXPECT_EQ(0u, GetLastError());
    }
    {
        TLUEntryFrame frame(kEntryWorking, __FILE__, "CPTest", __LINE__);
        EXPECT_EQ(FALSE, frame.Run([] { return static_cast<int>(NTE_BAD_HASH); }));
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_HASH), GetLastError());
    }
    // Whatever is thrown, of any type, ends as ERROR_UNWIND and the lock is released.
    {
        TLUEntryFrame frame(kEntryWorking, __FILE__, "CPTest", __LINE__);
        EXPECT_EQ(FALSE, frame.Run([]() -> int { throw 42; }));
        EXPECT_EQ(static_cast<DWORD>(ERROR_UNWIND), GetLastError());
    }
    {
        TLUEntryFrame frame(kEntryExport, __FILE__, "TrelisServer_Test", __LINE__);
        EXPECT_EQ(FALSE, frame.Run([]() -> int { throw std::runtime_error("boom"); }));
        EXPECT_EQ(static_cast<DWORD>(ERROR_UNWIND), GetLastError());
    }
    int lockedElsewhere = -1;
    std::thread other([&] {
        lockedElsewhere = provider.Mutex.Lock(1000);
        if (lockedElsewhere) provider.Mutex.Unlock();
    });
    other.join();
    EXPECT_EQ(1, lockedElsewhere);
    // The refusing entry points take no lock.
    {
        TLUEntryFrame frame(kEntryRefusing, __FILE__, "CPTest", __LINE__);
        std::thread probe([&] {
            lockedElsewhere = provider.Mutex.Lock(50);
            if (lockedElsewhere) provider.Mutex.Unlock();
        });
        probe.join();
        EXPECT_EQ(1, lockedElsewhere);
        EXPECT_EQ(FALSE, frame.Run([] { return static_cast<int>(NTE_NOT_SUPPORTED); }));
    }
    // A clean-up call may be made to leave the caller's last error on success.
    const TLUEntryStyle keep = {true, DBHEAD_E, true};
    SetLastError(1234);
    {
        TLUEntryFrame frame(keep, __FILE__, "CPTest", __LINE__);
        EXPECT_EQ(TRUE, frame.Run([] { return 0; }));
    }
    EXPECT_EQ(1234u, GetLastError());
    gLUProvider = nullptr;
}

TEST(AppGlobal, StartCreatesOnceAndStopDestroysInOrder) {
    TTestRoot root;
    ASSERT_EQ(nullptr, gLUProvider);
    luAppGlobal_Start();
    EXPECT_STREQ("Trelis_Server", APP_NOME);
    EXPECT_STREQ("Trelis_Server LUKeyCSP", APP_NOME_SHOW);
    EXPECT_STREQ("Vestrum", APP_NOME_CLIENTE);
    EXPECT_STREQ("IPC_Trelis_Server", APP_IPC_NAME);
    EXPECT_STREQ("Varno_LUKSP_Server.dll", LU_KSP_DLL);
    EXPECT_STREQ("Varno_LUCSP_Server.dll", LU_CSP_DLL);
    EXPECT_STREQ("Varno Base Cryptographic Provider Server", LU_CSP_NAME);
    EXPECT_STREQ("Varno Key Storage Provider Server", LU_KSP_NAME);
    EXPECT_STREQ(APP_NOME_SHOW, APP_TITLE);
    ASSERT_NE(nullptr, gPlatDebug);
    ASSERT_NE(nullptr, gModAppConfig);
    ASSERT_NE(nullptr, gLumidra);
    ASSERT_NE(nullptr, gLUProvider);
    // Nothing read from the store at start-up.
    EXPECT_EQ(0u, gLumidra->ListCertificate.Count);
    EXPECT_EQ(0, gLUProvider->QtdProvSession);

    TLUProvider* provider = gLUProvider;
    TLumidra* lumidra = gLumidra;
    luAppGlobal_Start();
    EXPECT_EQ(provider, gLUProvider);
    EXPECT_EQ(lumidra, gLumidra);

    luAppGlobal_Stop();
    EXPECT_EQ(nullptr, gLUProvider);
    EXPECT_EQ(nullptr, gLumidra);
    EXPECT_EQ(nullptr, gModAppConfig);
    EXPECT_EQ(nullptr, gPlatDebug);
}

TEST(AppGlobal, UpdateStateCallsWhatIsSet) {
    TLumidra lumidra;
    EXPECT_TRUE(lumidra.UpdateState(3, nullptr, nullptr));
    struct TSeen {
        int State = 0;
        int Synced = 0;
    } seen;
    lumidra.FuncUpdateState = {[](void* o, int state, void*, void*) {
                                   static_cast<TSeen*>(o)->State = state;
                                   return false;
                               },
                               &seen};
    lumidra.FuncToSync = {[](void* o) { static_cast<TSeen*>(o)->Synced++; }, &seen};
    EXPECT_FALSE(TLumidra::UpdateStateCallback(&lumidra, 7, nullptr, nullptr));
    EXPECT_EQ(7, seen.State);
    EXPECT_EQ(1, seen.Synced);
    EXPECT_FALSE(TLumidra::UpdateStateCallback(nullptr, 7, nullptr, nullptr));
}
