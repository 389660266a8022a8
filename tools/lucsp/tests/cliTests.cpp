// The command line itself: help on every command, and every error path ends in one line naming the
// code, with a non-zero exit status, within a bounded time.
#include "lucspProcess.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

const std::vector<std::vector<std::string>> kCommands = {
    {"serve"},         {"register"},       {"unregister"}, {"list"},      {"sign"},
    {"verify"},        {"export-pubkey"},  {"install"},    {"uninstall"}, {"config", "get"},
    {"config", "set"}, {"config", "list"}, {"log"},
};

std::string Joined(const std::vector<std::string>& args) {
    std::string s;
    for (const std::string& a : args)
        s += (s.empty() ? "" : " ") + a;
    return s;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(LucspHelp, EveryCommandHasHelpWithItsUsageAndOptions) {
    TTestRoot root;
    for (const auto& cmd : kCommands) {
        std::vector<std::string> args = cmd;
        args.push_back("--help");
        TLucspResult r = lucspRun(args);
        SCOPED_TRACE(Joined(args));
        EXPECT_FALSE(r.TimedOut);
        EXPECT_EQ(r.ExitCode, 0);
        EXPECT_EQ(r.Err, "");
        EXPECT_NE(r.Out.find("usage: lucsp " + Joined(cmd)), std::string::npos) << r.Out;
        EXPECT_NE(r.Out.find("--help"), std::string::npos);
        // "lucsp help CMD" shows the same text.
        std::vector<std::string> viaHelp = {"help"};
        viaHelp.insert(viaHelp.end(), cmd.begin(), cmd.end());
        TLucspResult h = lucspRun(viaHelp);
        EXPECT_EQ(h.ExitCode, 0);
        EXPECT_EQ(h.Out, r.Out);
    }
}

TEST(LucspHelp, OverviewListsEveryCommand) {
    TTestRoot root;
    for (const char* flag : {"--help", "-h", "help"}) {
        TLucspResult r = lucspRun({flag});
        EXPECT_EQ(r.ExitCode, 0) << flag;
        for (const auto& cmd : kCommands)
            EXPECT_NE(r.Out.find("  " + Joined(cmd)), std::string::npos) << Joined(cmd);
    }
    TLucspResult c = lucspRun({"config", "--help"});
    EXPECT_EQ(c.ExitCode, 0);
    EXPECT_NE(c.Out.find("lucsp config get"), std::string::npos);
    // No command at all: the overview, but as a usage error.
    TLucspResult none = lucspRun({});
    EXPECT_EQ(none.ExitCode, 2);
    EXPECT_NE(none.Out.find("commands:"), std::string::npos);
}

TEST(LucspHelp, SignHelpDescribesOrderAndFormats) {
    TTestRoot root;
    TLucspResult r = lucspRun({"sign", "--help"});
    for (const char* word : {"--container", "--alg", "--hash", "--file", "--no-hash-oid", "--out", "--format",
                             "--order", "big-endian", "cryptoapi", "--library"})
        EXPECT_NE(r.Out.find(word), std::string::npos) << word;
}

struct TBadCase {
    std::vector<std::string> Args;
    int Exit;         // expected exit status
    const char* Code; // the code's text in the line
};

TEST(LucspErrors, BadCommandLinesGiveOneLineWithTheCode) {
    TTestRoot root;
    std::string hash32(64, 'a');
    const std::vector<TBadCase> cases = {
        {{"frobnicate"}, 2, "0x000000A0 ERROR_BAD_ARGUMENTS"},
        {{"config"}, 2, "0x000000A0 ERROR_BAD_ARGUMENTS"},
        {{"config", "drop"}, 2, "0x000000A0 ERROR_BAD_ARGUMENTS"},
        {{"help", "frobnicate"}, 2, "0x000000A0 ERROR_BAD_ARGUMENTS"},
        {{"sign"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"sign", "--container"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"sign", "--container", "AB", "--alg", "md4", "--hash", hash32}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"sign", "--container", "AB", "--alg", "sha256"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"sign", "--container", "AB", "--alg", "sha256", "--hash", hash32, "--file", "/x"},
         2,
         "ERROR_BAD_ARGUMENTS"},
        {{"sign", "--container", "AB", "--alg", "sha256", "--hash", "xyz"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"sign", "--container", "AB", "--alg", "sha256", "--hash", "abcd"}, 1, "0x80090004 NTE_BAD_LEN"},
        {{"sign", "--container", "AB", "--alg", "sha1", "--file", "/nonexistent/file"},
         1,
         "0x00000002 ERROR_FILE_NOT_FOUND"},
        {{"sign", "--container", "AB", "--alg", "sha256", "--hash", hash32, "--format", "raw"},
         2,
         "ERROR_BAD_ARGUMENTS"},
        {{"sign", "--container", "AB", "--alg", "sha256", "--hash", hash32, "--order", "middle"},
         2,
         "ERROR_BAD_ARGUMENTS"},
        {{"sign", "--container", "AB", "--alg", "sha256", "--hash", hash32, "--repeat", "0"},
         2,
         "ERROR_BAD_ARGUMENTS"},
        {{"sign", "--bogus"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"sign", "extra"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"list", "--serials=yes"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"verify", "--container", "AB", "--alg", "sha256", "--hash", hash32}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"verify", "--container", "AB", "--alg", "sha256", "--hash", hash32, "--signature", "zz"},
         1,
         "0x0000000D ERROR_INVALID_DATA"},
        {{"verify", "--container", "AB", "--alg", "sha256", "--hash", hash32, "--signature-file",
          "/nonexistent"},
         1,
         "0x00000002 ERROR_FILE_NOT_FOUND"},
        {{"export-pubkey"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"export-pubkey", "--container", "AB", "--format", "der"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"register", "--cert", "/nonexistent.pem", "--token", "t"}, 1, "0x00000002 ERROR_FILE_NOT_FOUND"},
        {{"register", "--token", "t"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"unregister"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"config", "get"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"config", "get", "NoSuchSetting"}, 1, "0x00000490 ERROR_NOT_FOUND"},
        {{"config", "set", "LOG_Level"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"config", "set", "LOG_Level", "lots"}, 1, "0x0000000D ERROR_INVALID_DATA"},
        {{"config", "set", "LOG_Level", "99999999999"}, 1, "0x0000000D ERROR_INVALID_DATA"},
        {{"config", "set", "NoSuchSetting", "1"}, 1, "0x00000490 ERROR_NOT_FOUND"},
        {{"config", "list", "extra"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"log", "--lines", "-3"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"serve", "--port", "70000"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"serve", "--keys", "1", "--token", "a", "--token", "b"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"serve", "--tls-cert", "/x.pem"}, 2, "ERROR_BAD_ARGUMENTS"},
        {{"serve", "--keys-dir", "/nonexistent-dir"}, 1, "0x00000003 ERROR_PATH_NOT_FOUND"},
        {{"serve", "--keys-dir", "/"}, 1, "0x0000000D ERROR_INVALID_DATA"},
    };
    for (const TBadCase& c : cases) {
        TLucspResult r = lucspRun(c.Args, {}, 30000);
        SCOPED_TRACE(Joined(c.Args));
        EXPECT_EQ(lucspCheckFailureLine(r), "");
        EXPECT_EQ(r.ExitCode, c.Exit) << r.Err;
        EXPECT_NE(r.Err.find(c.Code), std::string::npos) << r.Err;
    }
}

TEST(LucspErrors, BadCertificateAndTokenInputsAreRefusedBeforeTheLibrary) {
    TTestRoot root;
    std::string junk = root.Path() + "/junk.pem", empty = root.Path() + "/empty.token";
    std::string twoCerts = root.Path() + "/two.pem";
    WriteText(junk, "this is not a certificate\n");
    WriteText(empty, "\n");
    struct TCase {
        std::vector<std::string> Args;
        const char* Code;
    };
    const std::vector<TCase> cases = {
        {{"register", "--cert", junk, "--token", "t"}, "0x0000000D ERROR_INVALID_DATA"},
        {{"unregister", "--cert", junk}, "0x0000000D ERROR_INVALID_DATA"},
        {{"register", "--cert", junk, "--token-file", "/nonexistent"}, "ERROR_"},
        {{"register", "--cert", junk, "--token", "a", "--token-file", empty}, "ERROR_BAD_ARGUMENTS"},
    };
    for (const TCase& c : cases) {
        TLucspResult r = lucspRun(c.Args);
        SCOPED_TRACE(Joined(c.Args));
        EXPECT_EQ(lucspCheckFailureLine(r), "");
        EXPECT_NE(r.Err.find(c.Code), std::string::npos) << r.Err;
    }
}

TEST(LucspErrors, MissingLibraryIsNamedWithModNotFound) {
    TTestRoot root;
    std::string hash32(64, 'a');
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"sign", "--container", "AB", "--alg", "sha256", "--hash", hash32},
             {"verify", "--container", "AB", "--alg", "sha256", "--hash", hash32, "--signature", "abcd"},
             {"export-pubkey", "--container", "AB"},
             {"install"},
             {"uninstall"}}) {
        TLucspResult r = lucspRun(args, {{"LUCSP_LIBRARY", "/nonexistent/Varno_LUCSP_Server.so"}});
        SCOPED_TRACE(Joined(args));
        EXPECT_EQ(lucspCheckFailureLine(r), "");
        EXPECT_NE(r.Err.find("0x0000007E ERROR_MOD_NOT_FOUND"), std::string::npos) << r.Err;
        EXPECT_NE(r.Err.find("/nonexistent/Varno_LUCSP_Server.so"), std::string::npos) << r.Err;
    }
    // --library wins over the environment; a bare name is a file of the current directory, not a search.
    TLucspResult r = lucspRun({"install", "--library", "libc.so.6"});
    EXPECT_EQ(lucspCheckFailureLine(r), "");
    EXPECT_NE(r.Err.find("./libc.so.6"), std::string::npos) << r.Err;
}

TEST(LucspErrors, LibraryWithoutTheEntryPointsIsRefused) {
    TTestRoot root;
    // A real shared object that is not a provider.
    TLucspResult r = lucspRun({"install", "--library", "/lib/x86_64-linux-gnu/libz.so.1"});
    if (r.Err.find("ERROR_MOD_NOT_FOUND") != std::string::npos) GTEST_SKIP() << "no libz.so.1 here";
    EXPECT_EQ(lucspCheckFailureLine(r), "");
    EXPECT_NE(r.Err.find("0x0000007F ERROR_PROC_NOT_FOUND"), std::string::npos) << r.Err;
}

TEST(LucspErrors, UnknownContainerIsNoKeyFromTheProvider) {
    TTestRoot root;
    std::string hash32(64, 'a');
    TLucspResult r =
        lucspRun({"sign", "--container", "0123456789ABCDEF", "--alg", "sha256", "--hash", hash32});
    EXPECT_EQ(lucspCheckFailureLine(r), "");
    EXPECT_NE(r.Err.find("0x8009000D NTE_NO_KEY"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("CPAcquireContext"), std::string::npos) << r.Err;
    // Without LUCSP_LIBRARY the tool finds the library of its own build.
    TLucspResult d =
        lucspRun({"sign", "--container", "0123456789ABCDEF", "--alg", "sha256", "--hash", hash32},
                 {{"LUCSP_LIBRARY", ""}});
    EXPECT_NE(d.Err.find("NTE_NO_KEY"), std::string::npos) << d.Err;
    TLucspResult v = lucspRun({"export-pubkey", "--container", "0123456789ABCDEF"});
    EXPECT_EQ(lucspCheckFailureLine(v), "");
    EXPECT_NE(v.Err.find("NTE_NO_KEY"), std::string::npos) << v.Err;
}

} // namespace
