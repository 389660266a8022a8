#include "platform/platTraceScope.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

// Traced functions of each form the layers use; outside any namespace, so that their traced names are
// their plain names.
static int gArgumentsEvaluated = 0;

static int Counted() {
    return ++gArgumentsEvaluated;
}

static int Checked(int value) {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s value=[%d]>\n", LU_FN, value);
    if (value < 0) {
        TRACE(DBERRO_0, "negativo\n");
        TRACE_RETURN(-1);
    }
    TRACE_RETURN(value * 2);
}

static int Coded(int code) {
    TRACE_SCOPE(DBHEAD_0, Hex, "<%s>\n", LU_FN);
    TRACE_RETURN(code);
}

static const char* Found() {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s>\n", LU_FN);
    TRACE_RETURN(static_cast<const char*>(nullptr));
}

static void Plain(bool early) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    if (early) return;
    TRACE(DBINFO_0, "fim\n");
}

static void Throws() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    throw std::runtime_error("falha");
}

static bool Named() {
    TRACE_SCOPE_AS(DBHEAD_L, Int, "Outro::Nome", "<%s>\n", LU_FN);
    TRACE_RETURN_AS(true, 7);
}

// Its end traces: the exit line written at the return comes before it, as it did by hand.
struct TTracedLocal {
    ~TTracedLocal() { TRACE(DBINFO_0, "local\n"); }
};

static int WithLocal() {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s n=[%d]>\n", LU_FN, Counted());
    TTracedLocal local;
    TRACE_RETURN(3);
}

namespace {

class TraceScope : public ::testing::Test {
  protected:
    void SetUp() override { Saved = gPlatDebug; }
    void TearDown() override { gPlatDebug = Saved; }

    // The text one run writes with the given levels and no line header.
    std::string Traced(const std::function<void()>& run, uint32_t level = 0xFFFFFFFFu) {
        TPlatDebug log;
        TPlatDebugConfig cfg{};
        cfg.TypeOut = 1;
        cfg.Level = level;
        cfg.Flush = 1;
        std::string path = Root.Path() + "/trace" + std::to_string(++Runs) + ".log";
        snprintf(cfg.FilePath, sizeof(cfg.FilePath), "%s", path.c_str());
        log.Config(1, cfg);
        gPlatDebug = &log;
        run();
        gPlatDebug = Saved;
        log.Close();
        return ReadWholeFile(path);
    }

    TTestRoot Root;
    TPlatDebug* Saved = nullptr;
    int Runs = 0;
};

} // namespace

TEST_F(TraceScope, EveryWayOutWritesTheExitLineOnceInTheFunctionsForm) {
    struct {
        const char* name;
        std::function<void()> run;
        const char* expected;
    } cases[] = {
        {"result", [] { EXPECT_EQ(4, Checked(2)); }, " <Checked value=[2]>\n </Checked result=[4]>\n"},
        {"early return", [] { EXPECT_EQ(-1, Checked(-5)); },
         " <Checked value=[-5]>\n  negativo\n </Checked result=[-1]>\n"},
        {"hex", [] { EXPECT_EQ(NTE_BAD_KEY, Coded(NTE_BAD_KEY)); },
         " <Coded>\n </Coded result=[0x80090003]>\n"},
        {"pointer", [] { EXPECT_EQ(nullptr, Found()); }, " <Found>\n </Found result=[(nil)]>\n"},
        {"plain at the end", [] { Plain(false); }, " <Plain>\n  fim\n </Plain>\n"},
        {"plain early", [] { Plain(true); }, " <Plain>\n </Plain>\n"},
        {"other name, other value", [] { EXPECT_TRUE(Named()); },
         " <Outro::Nome>\n </Outro::Nome result=[7]>\n"},
        {"local ends after", [] { EXPECT_EQ(3, WithLocal()); },
         " <WithLocal n=[1]>\n </WithLocal result=[3]>\nlocal\n"},
        // As before the scope: an exception passing through leaves the entry line only.
        {"exception", [] { EXPECT_THROW(Throws(), std::runtime_error); }, " <Throws>\n"},
    };
    for (const auto& c : cases) {
        gArgumentsEvaluated = 0;
        EXPECT_EQ(c.expected, Traced(c.run)) << c.name;
    }
}

TEST_F(TraceScope, LevelOffWritesNothingAndEvaluatesNoArgument) {
    gArgumentsEvaluated = 0;
    EXPECT_EQ("", Traced([] { EXPECT_EQ(3, WithLocal()); }, DBERRO_0));
    EXPECT_EQ(0, gArgumentsEvaluated);
    EXPECT_EQ("negativo\n", Traced([] { EXPECT_EQ(-1, Checked(-1)); }, DBERRO_0));
}
