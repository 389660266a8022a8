// The few kernel services the library needs, behind one small interface: the Win32 API on Windows,
// POSIX on Linux. Everything above this folder is the same on both platforms.
#pragma once

#include "os/platTypes.h"

#include <cstdio>
#include <string>

struct TOsLocalTime {
    int Year, Month, Day, Hour, Minute, Second, Milliseconds;
};

// Recursive, process-local lock that stays in user mode unless it is contended; the handle is opaque and
// null when creation failed. A finite time-out is honoured.
void* osMutexCreate();
void osMutexDestroy(void* handle);
int osMutexLock(void* handle, DWORD timeoutMs);
void osMutexUnlock(void* handle);

unsigned long osCurrentThreadId();
unsigned long osCurrentProcessId();
void osGetLocalTime(TOsLocalTime& out);
// Milliseconds from an arbitrary fixed point, monotonic.
unsigned long long osTickMs();

// Paths are given in Windows form; on Linux they are mapped below the data root
// (C:\Varno\008 -> $LUCSP_ROOT/C/Varno/008).
std::string osMapPath(const char* windowsPath);
// Creates exactly one directory level; 1 when it was created.
int osCreateDirectory(const char* windowsPath);
// Whether the path names an existing file (not a directory); asks the file system without opening it.
bool osIsFile(const char* windowsPath);
// A file opened for appending only (created when missing): every osAppendWrite lands whole at the end
// of the file, also when other processes append to it at the same time. Null when it cannot be opened.
void* osAppendOpen(const char* windowsPath);
// 1 when all bytes were written.
int osAppendWrite(void* file, const char* data, size_t length);
void osAppendClose(void* file);
// Size of the file behind an append handle now, with what other processes appended; -1 when unknown.
long long osAppendSize(void* file);
// Starts a new file at windowsPath when the one behind `file` has to give way: under a lock that every
// process appending to that path takes, the file is renamed to rotatedPath (replacing it) only while the
// path still names it, since another process may have done so already; then the path is opened again.
// Returns the new handle and closes `file`; null, with `file` left open, when the path cannot be opened.
void* osAppendRotate(void* file, const char* windowsPath, const char* rotatedPath);

// Secrets kept at rest (tokens, passwords). Windows: DPAPI without UI; user scope: only this user on
// this machine reads them back; machine scope: any process of this machine. Linux: a stand-in with a
// key per user (readable by that user only) or one for the machine under the data root. The blob holds
// its scope; false when the system refused.
bool osProtectData(const std::string& plain, bool machineScope, std::string& blob);
bool osUnprotectData(const std::string& blob, std::string& plain);
// Whether bytes are a blob of osProtectData (rather than a secret stored as text by earlier versions).
bool osIsProtectedData(const void* data, size_t length);

// The system's text for an error code without its line end; empty when the system has none.
std::string osSystemMessage(DWORD code);
// "major.minor.build" from the file's version resource; empty when it has none.
std::string osFileVersion(const char* path);
std::string osExecutablePath();
// The process's environment (the Win32 block on Windows, not a C runtime's copy, so that a DLL and the
// program that loads it see the same). Get: false when the variable is not set. Set: null removes it.
bool osGetEnvironment(const char* name, std::string& value);
bool osSetEnvironment(const char* name, const char* value);

// A pointer of each thread whose cleanup runs when its thread ends, kept by the system (fiber-local
// storage on Windows, a key on Linux) instead of C++ thread_local objects with destructors: in the
// mingw-w64 runtime those destructors can run after the thread's thread_local memory was freed, which
// corrupted the heap of a host whose threads come and go. Create: 0 when none is left.
typedef void(WINAPI* TOsThreadCleanup)(void* value);
unsigned long osThreadSlotCreate(TOsThreadCleanup cleanup);
void* osThreadSlotGet(unsigned long slot);
bool osThreadSlotSet(unsigned long slot, void* value);
// Windows runs the cleanup of every thread's value; Linux runs none.
void osThreadSlotFree(unsigned long slot);

// Keeps the module holding this code loaded until the process ends, whatever unloads it later: its
// kept-alive connections and caches then outlive the last context. True once pinned.
bool osPinModule();

// Frees what the OS layer keeps for the process; the last thing the library does when it unloads.
void osShutdown();

// Single-byte text of the ANSI code page <-> UTF-16, and locale upper-casing of UTF-16 text.
std::u16string osAnsiToWide(const char* text);
void osWideUpper(std::u16string& text);

// The system's static proxy settings: the proxy list and its bypass list, as the system holds them;
// false when the system names no proxy. Windows: WinHTTP (the user's Internet settings, then the
// machine's WinHTTP default); Linux: none (libcurl reads the *_proxy environment variables itself).
bool osSystemProxyConfig(std::string& proxyList, std::string& bypassList);
