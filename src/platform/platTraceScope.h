// A function's entry and exit lines, written once each: the entry line where TRACE_SCOPE stands, the
// exit line "</Name ...>" at TRACE_RETURN (before the function's locals go, as their own traces follow it)
// or else when the scope ends. Every early return passes through it, so no way out misses its line.
#pragma once

#include "platform/platDebug.h"

#include <exception>
#include <type_traits>

// What the exit line shows: nothing, or the result as "%d", "0x%08X" or "%p".
enum class TPlatTraceExit { Plain, Int, Hex, Pointer };

class TPlatTraceScope {
  public:
    // name: the function, for the line header; traced: the name its lines show (the function's when null).
    TPlatTraceScope(unsigned level, TPlatTraceExit exit, const char* file, const char* name, int line,
                    const char* traced)
        : Level(level), Exit(exit), File(file), Name(name), Traced(traced ? traced : name), Line(line),
          Done(false), IntValue(0), PointerValue(nullptr), Unwinding(std::uncaught_exceptions()) {}
    // An exception passing through writes no exit line.
    ~TPlatTraceScope() {
        if (std::uncaught_exceptions() == Unwinding) Leave();
    }
    TPlatTraceScope(const TPlatTraceScope&) = delete;
    TPlatTraceScope& operator=(const TPlatTraceScope&) = delete;

    bool On() const { return gPlatDebug && gPlatDebug->Wants(Level); }
    const char* TracedName() const { return Traced; }

    // The result the exit line shows.
    template <typename T> void Set(T value) {
        if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
            PointerValue = static_cast<const void*>(value);
        } else {
            IntValue = static_cast<int>(value);
        }
    }
    // Writes the exit line with value and hands value back: return scope.Return(value).
    template <typename T> T Return(T value) {
        Set(value);
        Leave();
        return value;
    }
    // Writes the exit line now; later ways out write none.
    void Leave() {
        if (Done) return;
        Done = true;
        if (!On()) return;
        switch (Exit) {
        case TPlatTraceExit::Plain:
            gPlatDebug->Print(Level, File, Name, Line, "</%s>\n", Traced);
            break;
        case TPlatTraceExit::Int:
            gPlatDebug->Print(Level, File, Name, Line, "</%s result=[%d]>\n", Traced, IntValue);
            break;
        case TPlatTraceExit::Hex:
            gPlatDebug->Print(Level, File, Name, Line, "</%s result=[0x%08X]>\n", Traced,
                              static_cast<unsigned>(IntValue));
            break;
        case TPlatTraceExit::Pointer:
            gPlatDebug->Print(Level, File, Name, Line, "</%s result=[%p]>\n", Traced, PointerValue);
            break;
        }
    }

  private:
    unsigned Level;
    TPlatTraceExit Exit;
    const char* File;
    const char* Name;
    const char* Traced;
    int Line;
    bool Done;
    int IntValue;
    const void* PointerValue;
    int Unwinding;
};

// The entry line's name of the function as its lines show it.
struct TPlatTraceName {
    const char* Name;
};

// Opens the function's trace scope: its exit line shows the result as exitKind says (Plain, Int, Hex,
// Pointer); the rest is the entry line's format and arguments, as TRACE takes them (LU_FN names the
// function), evaluated only when the level is on.
#define TRACE_SCOPE(level, exitKind, ...) TRACE_SCOPE_AS(level, exitKind, nullptr, __VA_ARGS__)
// The same for a function whose lines show another name than its own (LU_FN is that name).
#define TRACE_SCOPE_AS(level, exitKind, tracedName, ...)                                                     \
    static const TPlatFuncName luScopeFn_(__PRETTY_FUNCTION__);                                              \
    TPlatTraceScope luScope_((level), TPlatTraceExit::exitKind, __FILE__, luScopeFn_.Name, __LINE__,         \
                             (tracedName));                                                                  \
    do {                                                                                                     \
        if (luScope_.On()) {                                                                                 \
            const TPlatTraceName luFn_{luScope_.TracedName()};                                               \
            gPlatDebug->Print((level), __FILE__, luScopeFn_.Name, __LINE__, __VA_ARGS__);                    \
        }                                                                                                    \
    } while (0)
// Every way out of a traced function that has a result: the exit line with it, then the return.
#define TRACE_RETURN(value) return luScope_.Return(value)
// The same where the exit line shows another value than the one returned.
#define TRACE_RETURN_AS(value, traced) return (luScope_.Set(traced), luScope_.Leave(), (value))
// The result the exit line shows when the scope ends.
#define TRACE_RESULT(value) luScope_.Set(value)
