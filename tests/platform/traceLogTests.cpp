#include "platform/platDebug.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

// A trace log of its own per test, written to a file in a private root.
class TraceLog : public ::testing::Test {
  protected:
    void Open(int headInfo, uint32_t level = 0xFFFFFFFFu, int typeOut = 1, int flush = 1) {
        TPlatDebugConfig cfg{};
        cfg.TypeOut = typeOut;
        cfg.HeadInfo = headInfo;
        cfg.Level = level;
        cfg.Flush = flush;
        Path = Root.Path() + "/trace.log";
        snprintf(cfg.FilePath, sizeof(cfg.FilePath), "%s", Path.c_str());
        Log.Config(1, cfg);
        Cfg = cfg;
    }
    std::string Text() { return ReadWholeFile(Path); }

    TTestRoot Root;
    TPlatDebug Log;
    std::string Path;
    TPlatDebugConfig Cfg{};
};

} // namespace

TEST_F(TraceLog, NoHeaderWritesIndentationAndTextOnly) {
    Open(0);
    EXPECT_EQ(1, Log.Print(DBHEAD_E, "f.cpp", "CPAcquireContext", 10, "<%s>\n", "CPAcquireContext"));
    EXPECT_EQ(1, Log.Print(DBINFO_0, "f.cpp", "CPAcquireContext", 11, "valor=[%d]\n", 7));
    EXPECT_EQ(1, Log.Print(DBHEAD_E, "f.cpp", "CPAcquireContext", 12, "</%s result=[%d]>\n",
                           "CPAcquireContext", 1));
    EXPECT_EQ(" <CPAcquireContext>\n  valor=[7]\n </CPAcquireContext result=[1]>\n", Text());
    EXPECT_EQ(0, Log.Depth);
}

TEST_F(TraceLog, LevelTagHeaderAndNesting) {
    Open(1);
    Log.Print(DBHEAD_E, "f.cpp", "CPSignHash", 1, "<%s>\n", "CPSignHash");
    Log.Print(DBHEAD_0, "f.cpp", "Inner", 2, "<%s>\n", "Inner");
    Log.Print(DBERRO_0, "f.cpp", "Inner", 3, "Falha=[%d]\n", 5);
    Log.Print(DBHEAD_0, "f.cpp", "Inner", 4, "</%s>\n", "Inner");
    Log.Print(DBHEAD_E, "f.cpp", "CPSignHash", 5, "</%s>\n", "CPSignHash");
    EXPECT_EQ("[DBHEAD_E]: <CPSignHash>\n"
              "[DBHEAD_0]:   <Inner>\n"
              "[DBERRO_0]:    Falha=[5]\n"
              "[DBHEAD_0]:   </Inner>\n"
              "[DBHEAD_E]: </CPSignHash>\n",
              Text());
}

TEST_F(TraceLog, FullHeaderInOrder) {
    Open(0x7F);
    Log.Print(DBHEAD_E, "src/x.cpp", "TLUProvider::OpenKey", 42, "<%s>\n", "TLUProvider::OpenKey");
    std::regex line(
        R"(\[TID_[0-9A-F]{4,}\]\[PID_[0-9A-F]{4,}\]\[\d{8}_\d{6}\.\d{4}\]\[DBHEAD_E\]\[src/x\.cpp\])"
        R"(\[TLUProvider::OpenKey\]\[42\]: <TLUProvider::OpenKey>\n)");
    EXPECT_TRUE(std::regex_match(Text(), line)) << Text();
}

TEST_F(TraceLog, DepthRules) {
    Open(0);
    // An exit at depth 0 stays at 0; other levels never move the depth, whatever their text.
    Log.Print(DBHEAD_0, "f", "f", 1, "</%s>\n", "f");
    EXPECT_EQ(0, Log.Depth);
    Log.Print(DBINFO_0, "f", "f", 1, "<abc>\n");
    Log.Print(DBERRO_0, "f", "f", 1, "</abc>\n");
    EXPECT_EQ(0, Log.Depth);
    Log.Print(DBHEAD_L, "f", "f", 1, "<x>\n");
    EXPECT_EQ(1, Log.Depth);
}

TEST_F(TraceLog, DisabledLevelsWriteNothingAndKeepDepth) {
    Open(1, 271);
    EXPECT_EQ(0, Log.Print(DBHEAD_L, "f", "TVarnoMemory::Clear", 1, "<%s>\n", "TVarnoMemory::Clear"));
    EXPECT_EQ(0, Log.Depth);
    EXPECT_EQ(1, Log.Print(DBHEAD_E, "f", "CPGetProvParam", 1, "<%s>\n", "CPGetProvParam"));
    EXPECT_EQ(1, Log.Depth);
    EXPECT_EQ("[DBHEAD_E]: <CPGetProvParam>\n", Text());
}

TEST_F(TraceLog, UnknownLevelTag) {
    Open(1, 0xFFFFFFFFu);
    Log.Print(0x00000080u, "f", "f", 1, "x\n");
    EXPECT_EQ("[UNDEFINE]:x\n", Text());
}

TEST_F(TraceLog, DumpFormat) {
    Open(0);
    BYTE bytes[17];
    for (int i = 0; i < 17; ++i)
        bytes[i] = static_cast<BYTE>(i * 16 + 1);
    EXPECT_EQ(1, Log.PrintDump(DBINFO_0, "f", "f", 1, "Retornando DataValue", bytes, 17));
    std::string t = Text();
    std::string expectFirst = "-> Retornando DataValue, buffDump=[";
    ASSERT_EQ(0u, t.find(expectFirst));
    std::string rest = t.substr(t.find("lenDump=[17]\n") + strlen("lenDump=[17]\n"));
    EXPECT_EQ(
        "---> [0x0000]:0x01,0x11,0x21,0x31,0x41,0x51,0x61,0x71,0x81,0x91,0xA1,0xB1,0xC1,0xD1,0xE1,0xF1,\n"
        "---> [0x0010]:0x01,\n",
        rest);
    // Offsets past four hex digits grow the field, as %04X does.
    std::vector<BYTE> big(0x10011, 0xAB);
    EXPECT_EQ(1, Log.PrintDump(DBINFO_0, "f", "f", 1, "Grande", big.data(), static_cast<int>(big.size())));
    t = Text();
    EXPECT_NE(std::string::npos, t.find("\n---> [0xFFF0]:0xAB,"));
    EXPECT_NE(std::string::npos, t.find("\n---> [0x10000]:0xAB,"));
    EXPECT_TRUE(t.size() > 2 && t.substr(t.size() - 22) == "\n---> [0x10010]:0xAB,\n")
        << t.substr(t.size() - 40);
}

TEST_F(TraceLog, EmptyDumpWritesOnlyTitleLine) {
    Open(0);
    BYTE b = 0;
    Log.PrintDump(DBINFO_0, "f", "f", 1, "T", &b, 0);
    std::string t = Text();
    EXPECT_EQ(1, std::count(t.begin(), t.end(), '\n'));
}

TEST_F(TraceLog, OtherOutputKindWritesNothing) {
    Open(1, 0xFFFFFFFFu, 2);
    EXPECT_EQ(0, Log.Print(DBERRO_0, "f", "f", 1, "x\n"));
    EXPECT_TRUE(Text().empty());
}

TEST_F(TraceLog, LongHeaderIsCutNotOverrun) {
    Open(0x7F);
    std::string longFile(600, 'a');
    EXPECT_EQ(1, Log.Print(DBINFO_0, longFile.c_str(), "f", 1, "texto\n"));
    std::string t = Text();
    size_t colon = t.find("texto");
    ASSERT_NE(std::string::npos, colon);
    // The header with its ':' holds at most 255 characters.
    EXPECT_LE(t.find(":" + std::string("texto")) + 1, 256u);
}

TEST_F(TraceLog, CloseStopsWriting) {
    Open(1);
    Log.Close();
    EXPECT_EQ(0, Log.Print(DBERRO_0, "f", "f", 1, "x\n"));
}

// Each entry reaches the file whole: two processes appending at once never cut into each other's lines.
TEST_F(TraceLog, TwoProcessesNeverTearALine) {
    const int kLines = 3000;
    Path = Root.Path() + "/shared.log";
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            TPlatDebug log;
            TPlatDebugConfig cfg{};
            cfg.TypeOut = 1;
            cfg.HeadInfo = 0x03;
            cfg.Level = 0xFFFFFFFFu;
            cfg.Flush = 1;
            snprintf(cfg.FilePath, sizeof(cfg.FilePath), "%s", Path.c_str());
            log.Config(1, cfg);
            std::string body(300, static_cast<char>('a' + c));
            for (int i = 0; i < kLines; ++i)
                log.Print(DBINFO_0, "f", "f", 1, "%d:%d:%s\n", c, i, body.c_str());
            log.Close();
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::istringstream in(Text());
    std::regex shape(R"(\[TID_[0-9A-F]{4,}\]\[PID_[0-9A-F]{4,}\]\[DBINFO_0\]:([01]):(\d+):(a{300}|b{300}))");
    int seen[2] = {0, 0};
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << "torn line: " << line.substr(0, 120);
        int c = m[1].str()[0] - '0';
        EXPECT_EQ(std::string(300, static_cast<char>('a' + c)), m[3].str());
        EXPECT_EQ(seen[c], std::stoi(m[2].str()));
        ++seen[c];
    }
    EXPECT_EQ(kLines, seen[0]);
    EXPECT_EQ(kLines, seen[1]);
}

// Four processes append to one capped file at once: the one that passes the cap moves the file to
// "<name>.1.log", the others follow to the new file; neither file ends above the cap by more than one
// entry per process, no line is torn, and each process's lines stay in order.
TEST_F(TraceLog, ProcessesShareOneCappedFile) {
    const int kProcesses = 4, kLines = 2500;
    const long long kCap = 64 * 1024;
    for (int flush = 1; flush >= 0; --flush) {
        SCOPED_TRACE(flush);
        Path = Root.Path() + "/capped.log";
        std::string rotated = Root.Path() + "/capped.1.log";
        unlink(Path.c_str());
        unlink(rotated.c_str());
        std::vector<pid_t> children;
        for (int c = 0; c < kProcesses; ++c) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                TPlatDebug log;
                TPlatDebugConfig cfg{};
                cfg.TypeOut = 1;
                cfg.HeadInfo = 0x01;
                cfg.Level = 0xFFFFFFFFu;
                cfg.Flush = flush;
                cfg.MaxSize = kCap;
                snprintf(cfg.FilePath, sizeof(cfg.FilePath), "%s", Path.c_str());
                log.Config(1, cfg);
                std::string body(200, static_cast<char>('a' + c));
                for (int i = 0; i < kLines; ++i)
                    log.Print(DBINFO_0, "f", "f", 1, "%d:%d:%s\n", c, i, body.c_str());
                log.Close();
                _exit(0);
            }
            children.push_back(pid);
        }
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(child, waitpid(child, &status, 0));
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        // Without Flush an append is a whole gathered batch of entries (16 KiB at most).
        const long long slack = kProcesses * (flush ? 300 : 16384);
        std::vector<int> last(kProcesses, -1);
        std::regex shape(R"(\[DBINFO_0\]:(\d):(\d+):([a-d]{200}))");
        for (const std::string& file : {rotated, Path}) {
            // The current file may be empty: the last append can be the one that passed the cap.
            std::string text = ReadWholeFile(file);
            EXPECT_LE(static_cast<long long>(text.size()), kCap + slack) << file;
            std::istringstream in(text);
            std::string line;
            while (std::getline(in, line)) {
                std::smatch m;
                ASSERT_TRUE(std::regex_match(line, m, shape)) << "torn line: " << line.substr(0, 120);
                int c = m[1].str()[0] - '0';
                int i = std::stoi(m[2].str());
                EXPECT_EQ(std::string(200, static_cast<char>('a' + c)), m[3].str());
                EXPECT_GT(i, last[c]);
                last[c] = i;
            }
        }
        // The rotated file is the full one: it passed the cap.
        EXPECT_GE(static_cast<long long>(ReadWholeFile(rotated).size()), kCap);
    }
}

// Without Flush the entries gather in the process and reach the file, byte for byte the same, by Close.
TEST_F(TraceLog, UnflushedEntriesArriveWholeAtClose) {
    Open(1, 0xFFFFFFFFu, 1, 0);
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        Log.Print(DBHEAD_E, "f", "CPSignHash", 1, "<%s n=[%d]>\n", "CPSignHash", i);
        Log.Print(DBHEAD_E, "f", "CPSignHash", 2, "</%s result=[%d]>\n", "CPSignHash", 1);
        expected +=
            "[DBHEAD_E]: <CPSignHash n=[" + std::to_string(i) + "]>\n[DBHEAD_E]: </CPSignHash result=[1]>\n";
    }
    Log.Close();
    EXPECT_EQ(expected, Text());
}

// With Flush set, the entries of an exported call reach the file together when the call ends; an error
// and an explicit flush (before a network wait) put them there at once; outside calls every entry is
// written as it comes. The bytes are those of entries written one by one.
TEST_F(TraceLog, EntriesOfACallArriveWhenItEnds) {
    Open(1);
    Log.Print(DBINFO_0, "f", "Start", 1, "antes\n");
    EXPECT_EQ("[DBINFO_0]:antes\n", Text());
    Log.CallBegin();
    Log.Print(DBHEAD_E, "f", "CPSignHash", 2, "<%s>\n", "CPSignHash");
    Log.Print(DBINFO_0, "f", "CPSignHash", 3, "valor=[%d]\n", 1);
    Log.PrintDump(DBINFO_0, "f", "CPSignHash", 4, "bloco", "ab", 2);
    EXPECT_EQ("[DBINFO_0]:antes\n", Text());
    Log.FlushNow();
    std::string afterFlush = Text();
    EXPECT_NE(std::string::npos, afterFlush.find("---> [0x0000]:0x61,0x62,\n"));
    Log.Print(DBINFO_0, "f", "CPSignHash", 5, "depois=[%d]\n", 2);
    EXPECT_EQ(afterFlush, Text());
    Log.Print(DBERRO_0, "f", "CPSignHash", 6, "Falha=[%d]\n", 3);
    EXPECT_EQ(afterFlush + "[DBINFO_0]:  depois=[2]\n[DBERRO_0]:  Falha=[3]\n", Text());
    Log.Print(DBHEAD_E, "f", "CPSignHash", 7, "</%s>\n", "CPSignHash");
    Log.CallEnd();
    const std::string opening = "[DBINFO_0]:antes\n"
                                "[DBHEAD_E]: <CPSignHash>\n"
                                "[DBINFO_0]:  valor=[1]\n"
                                "[DBINFO_0]:  -> bloco, buffDump=[0x";
    EXPECT_EQ(opening, Text().substr(0, opening.size()));
    EXPECT_EQ(afterFlush + "[DBINFO_0]:  depois=[2]\n[DBERRO_0]:  Falha=[3]\n[DBHEAD_E]: </CPSignHash>\n",
              Text());
    // Two calls at once (two threads): the entries wait for the first call that ends.
    Log.CallBegin();
    Log.CallBegin();
    Log.Print(DBINFO_0, "f", "A", 8, "a\n");
    Log.CallEnd();
    EXPECT_NE(std::string::npos, Text().find("[DBINFO_0]:a\n"));
    Log.Print(DBINFO_0, "f", "B", 9, "b\n");
    Log.Close();
    EXPECT_NE(std::string::npos, Text().find("[DBINFO_0]:b\n"));
}

// A level that is off costs no formatting: its arguments are never rendered.
TEST_F(TraceLog, OffLevelDoesNotFormat) {
    Open(1, DBERRO_0);
    EXPECT_EQ(0, Log.Print(DBHEAD_L, "f", "f", 1, "%s\n",
                           reinterpret_cast<const char*>(static_cast<uintptr_t>(1))));
    EXPECT_EQ(0, Log.IsLevelOn(DBHEAD_L));
    EXPECT_EQ(1, Log.IsLevelOn(DBERRO_0));
    // A trace point of a level that is off does not even evaluate its arguments; one that is on does.
    TPlatDebug* saved = gPlatDebug;
    gPlatDebug = &Log;
    int evaluated = 0;
    auto count = [&evaluated] { return ++evaluated; };
    TRACE(DBHEAD_L, "valor=[%d]\n", count());
    EXPECT_EQ(0, evaluated);
    TRACE(DBERRO_0, "valor=[%d]\n", count());
    EXPECT_EQ(1, evaluated);
    // Closed, every level is off; configured again, its levels are on.
    Log.Close();
    EXPECT_FALSE(Log.Wants(DBERRO_0));
    TRACE(DBERRO_0, "valor=[%d]\n", count());
    EXPECT_EQ(1, evaluated);
    Log.Config(1, Cfg);
    EXPECT_TRUE(Log.Wants(DBERRO_0));
    EXPECT_FALSE(Log.Wants(DBHEAD_L));
    gPlatDebug = saved;
    EXPECT_EQ("[DBERRO_0]:valor=[1]\n", Text());
}

// Texts longer than the stack buffer are written whole.
TEST_F(TraceLog, LongTextWrittenWhole) {
    Open(1);
    std::string body(5000, 'z');
    EXPECT_EQ(1, Log.Print(DBINFO_U, "f", "f", 1, "%s\n", body.c_str()));
    EXPECT_EQ("[DBINFO_U]:" + body + "\n", Text());
}

// Threads tracing and asking for levels while another closes and reopens the log (what the
// registration exports do beside a signing thread): every piece of state is taken under the lock, so
// this runs clean under ThreadSanitizer, and every line written is whole.
TEST_F(TraceLog, ConcurrentTracingWhileReconfigured) {
    Open(1);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&, t] {
            BYTE bytes[20] = {};
            for (int i = 0; !stop; ++i) {
                Log.Print(DBINFO_0, "f", "f", 1, "thread=[%d] i=[%d]\n", t, i);
                if (Log.IsLevelOn(DBINFO_U)) Log.PrintDump(DBINFO_U, "f", "f", 1, "T", bytes, sizeof(bytes));
            }
        });
    for (int k = 0; k < 200; ++k) {
        Log.Close();
        Log.Config(1, Cfg);
    }
    stop = true;
    for (auto& w : writers)
        w.join();
    Log.Close();
    std::istringstream in(Text());
    std::regex shape(
        R"(\[DBINFO_(0\]:thread=\[\d\] i=\[\d+\]|U\]:(-> T, buffDump=\[.*\], lenDump=\[20\]|---> \[0x00[01]0\]:(0x00,)+)))");
    std::string line;
    while (std::getline(in, line))
        ASSERT_TRUE(std::regex_match(line, shape)) << line;
}

TEST(TraceLogFormat, FormatAlloc) {
    char* text = nullptr;
    int len = -1;
    auto call = [&](const char* fmt, ...) {
        va_list ap;
        va_start(ap, fmt);
        int r = FormatAlloc(fmt, ap, &text, &len);
        va_end(ap);
        return r;
    };
    EXPECT_EQ(1, call("a%db", 12));
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("a12b", text);
    EXPECT_EQ(4, len);
    free(text);
    EXPECT_EQ(0, call(nullptr));
}

TEST(TraceLogFormat, QualifiedFunctionNames) {
    EXPECT_STREQ("TVarnoMemory::Clear", TPlatFuncName("int TVarnoMemory::Clear()").Name);
    EXPECT_STREQ("TVarnoMemory::~TVarnoMemory", TPlatFuncName("TVarnoMemory::~TVarnoMemory()").Name);
    EXPECT_STREQ("luConvResultNTE", TPlatFuncName("BOOL luConvResultNTE(DWORD)").Name);
    EXPECT_STREQ("ns::T<int>::f",
                 TPlatFuncName("void ns::T<int>::f(std::vector<int, std::allocator<int> >)").Name);
    EXPECT_STREQ("TListCertificate::Search_FromKeyName",
                 TPlatFuncName("TCertificate* TListCertificate::Search_FromKeyName(const char*)").Name);
}
