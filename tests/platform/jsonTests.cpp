#include "platform/platDebug.h"
#include "platform/platStringJSON.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Encoded(TPlatStringJSON& json, BYTE force = 0) {
    EXPECT_EQ(1, json.EncodeJSON(force));
    return json.TextJSON ? json.TextJSON : "<null>";
}

std::string ValueOf(TPlatStringJSON& json, int index, const char* name) {
    const char* v = json.GetValue(index, name);
    return v ? v : "<null>";
}

// Failures must leave a DBERRO_0 line in a real trace file.
class JsonTrace : public ::testing::Test {
  protected:
    void SetUp() override {
        TPlatDebugConfig cfg{};
        cfg.TypeOut = 1;
        cfg.HeadInfo = 1;
        cfg.Level = DBERRO_0;
        cfg.Flush = 1;
        Path = Root.Path() + "/trace.log";
        snprintf(cfg.FilePath, sizeof(cfg.FilePath), "%s", Path.c_str());
        Log.Config(1, cfg);
        Previous = gPlatDebug;
        gPlatDebug = &Log;
    }
    void TearDown() override { gPlatDebug = Previous; }
    std::string Text() { return ReadWholeFile(Path); }
    void ExpectLoadFails(const std::string& text, const char* message) {
        size_t before = Text().size();
        TPlatStringJSON json;
        EXPECT_EQ(0, json.LoadFromMemory(text.c_str())) << text;
        std::string added = Text().substr(before);
        EXPECT_NE(std::string::npos, added.find(std::string("[DBERRO_0]:") + message))
            << "text=" << text << " trace=" << added;
    }

    TTestRoot Root;
    TPlatDebug Log;
    TPlatDebug* Previous = nullptr;
    std::string Path;
};

} // namespace

// ---- writing

TEST(JsonWrite, FlatObjectWithoutBlanksAndBracketsOnlyWhenAsked) {
    TPlatStringJSON json;
    json.Add("a", "x");
    EXPECT_EQ(1, json.Add("b", "12", "", 0));
    EXPECT_EQ("{\"a\":\"x\",\"b\":12}", Encoded(json));
    EXPECT_EQ("[{\"a\":\"x\",\"b\":12}]", Encoded(json, 1));
    EXPECT_EQ(1, json.GetQtdArray());
}

TEST(JsonWrite, TwoObjectsNullsNestedAndEmpty) {
    TPlatStringJSON json;
    EXPECT_EQ("", Encoded(json));
    EXPECT_EQ("", Encoded(json, 1));
    json.Add("id", "1");
    EXPECT_EQ(1, json.Add("v", nullptr, "\"", 0));
    EXPECT_EQ(1, json.NewArray());
    EXPECT_EQ(1, json.IndiceAddArray);
    EXPECT_EQ(1, json.Add("o", "{\"k\":\"a\\\"b\"}", "", 1));
    EXPECT_EQ("[{\"id\":\"1\",\"v\":null},{\"o\":{\"k\":\"a\\\"b\"}}]", Encoded(json));
    EXPECT_EQ(0, json.Add(nullptr, "x"));
    json.Clear();
    EXPECT_EQ(0, json.GetQtdArray());
    EXPECT_EQ(0, json.IndiceAddArray);
    EXPECT_EQ(nullptr, json.TextJSON);
}

TEST(JsonWrite, StringsAndNamesAreEscaped) {
    TPlatStringJSON json;
    json.Add("n\"m", "q\"b\\s/\b\f\n\r\t\x01\x1f\x7f\xe7");
    EXPECT_EQ("{\"n\\\"m\":\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xe7\"}", Encoded(json));
    // Bare and nested values are written as they stand.
    TPlatStringJSON bare;
    bare.Add("b", "tr\"ue", "", 0);
    EXPECT_EQ("{\"b\":tr\"ue}", Encoded(bare));
}

TEST(JsonWrite, ScapeUnicodeValuesAreWrittenOnce) {
    char* out = nullptr;
    EXPECT_EQ(0, TValueJSON::ScapeUnicode(nullptr, &out));
    EXPECT_EQ(0, TValueJSON::ScapeUnicode("x", nullptr));
    ASSERT_EQ(1, TValueJSON::ScapeUnicode("Az09 ()+,-./=", &out));
    EXPECT_STREQ("Az09 ()+,-./=", out);
    free(out);
    ASSERT_EQ(1, TValueJSON::ScapeUnicode("a_b:\"\\\xe7\n", &out));
    EXPECT_STREQ("a\\u005fb\\u003a\\u0022\\u005c\\u00e7\\u000a", out);
    free(out);

    TPlatStringJSON json;
    json.IsScapeUnicode = 1;
    json.Add("s", "ç_\"");
    json.Add("o", "[1]", "", 1);
    EXPECT_EQ(1, json.Add("z", nullptr, "\"", 0));
    EXPECT_EQ("{\"s\":\"\\u00c3\\u00a7\\u005f\\u0022\",\"o\":[1],\"z\":null}", Encoded(json));
    // What the reader gives back of that text is the original bytes.
    TPlatStringJSON back;
    ASSERT_EQ(1, back.LoadFromMemory(json.TextJSON));
    EXPECT_EQ("ç_\"", ValueOf(back, 0, "s"));
}

// ---- reading

TEST(JsonRead, ArraysObjectsAndIndexes) {
    TPlatStringJSON json;
    ASSERT_EQ(1, json.LoadFromMemory("[{\"id\":\"1\",\"n\":5},{\"id\":\"2\"}]"));
    EXPECT_EQ(2, json.GetQtdArray());
    EXPECT_EQ("1", ValueOf(json, 0, "id"));
    EXPECT_EQ("5", ValueOf(json, 0, "n"));
    EXPECT_EQ("2", ValueOf(json, 1, "id"));
    EXPECT_EQ(nullptr, json.GetListValue(2));
    EXPECT_EQ(nullptr, json.GetListValue(-1));
    EXPECT_STREQ("[{\"id\":\"1\",\"n\":5},{\"id\":\"2\"}]", json.TextJSON);

    ASSERT_EQ(1, json.LoadFromMemory("  { \"a\" : \"x\" , \"b\":true}trailing is not read"));
    EXPECT_EQ(1, json.GetQtdArray());
    EXPECT_EQ("x", ValueOf(json, 0, "a"));
    EXPECT_EQ("true", ValueOf(json, 0, "b"));
    EXPECT_STREQ("{\"a\":\"x\",\"b\":true}", json.TextJSON);
}

TEST(JsonRead, NestedArrayIsRawTextAndFirstObjectCanBeRead) {
    const char* answer =
        "{\"signatures\":[{\"id\":\"a1\",\"rawSignature\":\"QUJD\"},{\"id\":\"a2\"}] ,\"n\":1}";
    TPlatStringJSON json;
    ASSERT_EQ(1, json.LoadFromMemory(answer));
    TValueJSON* member = json.GetValueJSON(0, "signatures");
    ASSERT_NE(nullptr, member);
    EXPECT_EQ(1, member->IsObjectValue);
    EXPECT_STREQ("", member->ScapeValue);
    EXPECT_STREQ("[{\"id\":\"a1\",\"rawSignature\":\"QUJD\"},{\"id\":\"a2\"}] ", member->Value);

    TPlatStringJSON inner;
    ASSERT_EQ(1, inner.LoadFromMemory(member->Value, '{'));
    EXPECT_EQ(1, inner.GetQtdArray());
    EXPECT_EQ("a1", ValueOf(inner, 0, "id"));
    EXPECT_EQ("QUJD", ValueOf(inner, 0, "rawsignature"));
    EXPECT_EQ(0, inner.LoadFromMemory("[]", '{'));
    EXPECT_EQ(0, inner.GetQtdArray());
    EXPECT_EQ(0, inner.LoadFromMemory(nullptr, '{'));
}

TEST(JsonRead, BareValuesKeepBlanksNullAndCase) {
    TPlatStringJSON json;
    ASSERT_EQ(1, json.LoadFromMemory("{\"a\":12  ,\"id\":null,\"ID\":\"second\",\"e\":\"\"}"));
    EXPECT_EQ("12  ", ValueOf(json, 0, "a"));
    TValueJSON* nul = json.GetValueJSON(0, "Id");
    ASSERT_NE(nullptr, nul);
    EXPECT_STREQ("null", nul->Value); // first match wins
    EXPECT_STREQ("", nul->ScapeValue);
    EXPECT_EQ(0, nul->IsObjectValue);
    EXPECT_EQ("", ValueOf(json, 0, "e"));
    EXPECT_STREQ("{\"a\":12  ,\"id\":null,\"ID\":\"second\",\"e\":\"\"}", json.TextJSON);
    EXPECT_STREQ("dflt", json.GetValue(0, "missing", "dflt"));
    EXPECT_STREQ("dflt", json.GetValue(7, "a", "dflt"));
    EXPECT_EQ(nullptr, json.GetValue(0, nullptr, "dflt"));
    EXPECT_EQ(nullptr, json.GetValue("missing"));
}

TEST(JsonRead, WhitespaceBetweenTokens) {
    // A pretty-printed sign answer, CRLF line ends, tabs and a closing line break.
    const char* answer = "{\r\n\t\"signatures\" :\r\n\t[\r\n\t\t{\r\n\t\t\t\"id\" : \"a1\",\r\n"
                         "\t\t\t\"rawSignature\" : \"QUJD\"\r\n\t\t}\r\n\t]\r\n}\r\n";
    TPlatStringJSON json;
    ASSERT_EQ(1, json.LoadFromMemory(answer));
    const char* signatures = json.GetValue("signatures");
    ASSERT_NE(nullptr, signatures);
    EXPECT_EQ('[', signatures[0]);
    TPlatStringJSON element;
    ASSERT_EQ(1, element.LoadFromMemory(signatures, '{'));
    EXPECT_EQ("a1", ValueOf(element, 0, "id"));
    EXPECT_EQ("QUJD", ValueOf(element, 0, "rawSignature"));
    EXPECT_STREQ("{\"id\":\"a1\",\"rawSignature\":\"QUJD\"}", element.TextJSON);

    // An array of objects over several lines; whitespace inside strings is kept as it is.
    TPlatStringJSON list;
    ASSERT_EQ(1, list.LoadFromMemory("\n[\n  {\"a\":\"x\ty\"}\n  ,\n  {\n\"b\"\t:\t\" z \"}\n]\n"));
    ASSERT_EQ(2, list.GetQtdArray());
    EXPECT_EQ("x\ty", ValueOf(list, 0, "a"));
    EXPECT_EQ(" z ", ValueOf(list, 1, "b"));
    // A bare value keeps what follows it up to the separator, line ends included, as with blanks.
    TPlatStringJSON bare;
    ASSERT_EQ(1, bare.LoadFromMemory("{\"n\":\t12\n}"));
    EXPECT_EQ("12\n", ValueOf(bare, 0, "n"));
}

TEST(JsonRead, EscapesAreDecoded) {
    TPlatStringJSON json;
    ASSERT_EQ(
        1, json.LoadFromMemory("{\"sig\":\"ab\\/cd+ef\\/==\",\"q\":\"say \\\"hi\\\", ok\",\"p\":\"C:\\\\\","
                               "\"c\":\"\\b\\f\\n\\r\\t\\\"\\\\\\/\",\"n\\\"m\":1}"));
    EXPECT_EQ("ab/cd+ef/==", ValueOf(json, 0, "sig"));
    EXPECT_EQ("say \"hi\", ok", ValueOf(json, 0, "q"));
    EXPECT_EQ("C:\\", ValueOf(json, 0, "p"));
    EXPECT_EQ("\b\f\n\r\t\"\\/", ValueOf(json, 0, "c"));
    EXPECT_EQ("1", ValueOf(json, 0, "N\"M"));
    EXPECT_STREQ("{\"sig\":\"ab/cd+ef/==\",\"q\":\"say \\\"hi\\\", ok\",\"p\":\"C:\\\\\","
                 "\"c\":\"\\b\\f\\n\\r\\t\\\"\\\\/\",\"n\\\"m\":1}",
                 json.TextJSON);
}

TEST(JsonRead, UnicodeEscapesToEightBitText) {
    TPlatStringJSON json;
    ASSERT_EQ(1, json.LoadFromMemory(
                     "{\"a\":\"\\u0041\\u00e7\\u00C7\\u0001\",\"b\":\"\\u20ac|\\ud83d\\ude00|\\ud83d|"
                     "\\ude00|\\ud83dx\"}"));
    EXPECT_EQ("A\xe7\xc7\x01", ValueOf(json, 0, "a"));
    EXPECT_EQ("?|?|?|?|?x", ValueOf(json, 0, "b"));
    EXPECT_STREQ("{\"a\":\"A\xe7\xc7\\u0001\",\"b\":\"?|?|?|?|?x\"}", json.TextJSON);
}

TEST(JsonRead, BracketsInsideStringsOfNestedValues) {
    TPlatStringJSON json;
    ASSERT_EQ(1, json.LoadFromMemory(
                     "{\"a\":[{\"x\":\"]\"},{\"y\":\"\\\"]\\\\\"}],\"o\":{\"k\":\"}{\\\\\"},\"b\":2}"));
    EXPECT_EQ("[{\"x\":\"]\"},{\"y\":\"\\\"]\\\\\"}]", ValueOf(json, 0, "a"));
    EXPECT_EQ("{\"k\":\"}{\\\\\"}", ValueOf(json, 0, "o"));
    EXPECT_EQ("2", ValueOf(json, 0, "b"));
    TPlatStringJSON inner;
    ASSERT_EQ(1, inner.LoadFromMemory(json.GetValue("o")));
    EXPECT_EQ("}{\\", ValueOf(inner, 0, "k"));
}

TEST(JsonRead, RoundTripOfEncodedText) {
    const char* values[] = {"plain",
                            "",
                            "q\"uote",
                            "back\\",
                            "\\\\\"",
                            "a/b\\/c",
                            "\x01\x02\x1f\x7f",
                            "\xe7\xe3\xff",
                            "line\r\nnext\ttab",
                            "{not:\"nested\"}",
                            "[1,2]",
                            ",}:]"};
    TPlatStringJSON json;
    int n = 0;
    for (const char* v : values) {
        std::string name = "k" + std::to_string(n++) + v;
        json.Add(name.c_str(), v);
        if (n == 6) json.NewArray();
    }
    json.Add("bare", "-1.5e3", "", 0);
    json.Add("obj", "{\"in\":\"x\\\"y\"}", "", 1);
    std::string text = Encoded(json);

    TPlatStringJSON back;
    ASSERT_EQ(1, back.LoadFromMemory(text.c_str())) << text;
    EXPECT_EQ(text, back.TextJSON);
    ASSERT_EQ(2, back.GetQtdArray());
    n = 0;
    for (const char* v : values) {
        std::string name = "k" + std::to_string(n) + v;
        EXPECT_EQ(v, ValueOf(back, n < 6 ? 0 : 1, name.c_str())) << name;
        ++n;
    }
    EXPECT_EQ("-1.5e3", ValueOf(back, 1, "bare"));
    EXPECT_EQ("{\"in\":\"x\\\"y\"}", ValueOf(back, 1, "OBJ"));
}

// ---- bad input

TEST_F(JsonTrace, StructuralErrorsAreTraced) {
    ExpectLoadFails("]", "Parse JSON, Caracteres invalido, StepParse=[0], count=[0], BuffAtual=[]][5D]");
    ExpectLoadFails("}", "Parse JSON, Caracteres invalido, StepParse=[0], count=[0], BuffAtual=[}][7D]");
    ExpectLoadFails("[[{}]]", "Parse JSON, Caracteres invalido, StepParse=[0], count=[1], BuffAtual=[[][5B]");
    ExpectLoadFails("{}", "Parse JSON, Caracteres Invalidos, StepParse=[1], count=[1], BuffAtual=[}][7D]");
    // Only space, tab, CR and LF separate tokens; other control bytes are refused in every state.
    ExpectLoadFails("{\f\"a\":1}",
                    "Parse JSON, Caracteres Invalidos, StepParse=[1], count=[1], BuffAtual=[\f][0C]");
    ExpectLoadFails("\v{\"a\":1}", "Parse JSON, Caracteres invalido, StepParse=[0], count=[0]");
    ExpectLoadFails("{\"a\"\f:1}", "Parse JSON, Caracteres invalido, StepParse=[2], count=[4]");
    ExpectLoadFails("{\"a\":\"x\"\v}", "Parse JSON, Caracteres invalido, StepParse=[4], count=[8]");
    ExpectLoadFails("[{\"a\":1}\f]", "Parse JSON, Caracteres invalido, StepParse=[5], count=[8]");
    ExpectLoadFails("{\"a\" x:1}",
                    "Parse JSON, Caracteres invalido, StepParse=[2], count=[5], BuffAtual=[x][78]");
    ExpectLoadFails("{\"a\":,\"b\":1}", "Parse JSON, Caracteres invalido, StepParse=[3], count=[5]");
    ExpectLoadFails("{\"a\":\"x\" y,\"b\":1}", "Parse JSON, Caracteres invalido, StepParse=[4], count=[9]");
    ExpectLoadFails("[{\"a\":1} {", "Parse JSON, Caracteres invalido, StepParse=[5], count=[9]");
    ExpectLoadFails("[{\"a\":1},]", "Parse JSON, Caracteres invalido, StepParse=[0], count=[9]");
    ExpectLoadFails("\x01\xff{",
                    "Parse JSON, Caracteres invalido, StepParse=[0], count=[0], BuffAtual=[\x01][01]");
}

TEST_F(JsonTrace, MalformedEscapesAreTraced) {
    ExpectLoadFails("{\"a\":\"\\x\"}", "Parse JSON, Sequencia de escape invalida, StepParse=[3], count=[6], "
                                       "BuffAtual=[x][78]");
    ExpectLoadFails("{\"a\":\"\\u12\"}",
                    "Parse JSON, Sequencia de escape invalida, StepParse=[3], count=[6]");
    ExpectLoadFails("{\"a\":\"\\u12", "Parse JSON, Sequencia de escape invalida, StepParse=[3], count=[6]");
    ExpectLoadFails("{\"a\":\"\\u0000\"}", "Parse JSON, Sequencia de escape invalida");
    ExpectLoadFails("{\"a\\q\":1}", "Parse JSON, Sequencia de escape invalida, StepParse=[1], count=[3]");
    ExpectLoadFails("{\"a\":\"x\\", "Parse JSON, Texto JSON incompleto, StepParse=[3]");
}

TEST_F(JsonTrace, MissingAndTruncatedTextFail) {
    {
        TPlatStringJSON json;
        EXPECT_EQ(0, json.LoadFromMemory(nullptr));
        EXPECT_NE(std::string::npos, Text().find("Parametro invalido, BuffInput=[")) << Text();
    }
    ExpectLoadFails("", "Parse JSON, Texto JSON incompleto, StepParse=[0], count=[0]");
    ExpectLoadFails("   ", "Parse JSON, Texto JSON incompleto, StepParse=[0], count=[3]");
    ExpectLoadFails("{\"a", "Parse JSON, Texto JSON incompleto, StepParse=[1], count=[3]");
    ExpectLoadFails("{\"a\":[1,2", "Parse JSON, Texto JSON incompleto, StepParse=[3]");
    ExpectLoadFails("[{\"a\":1}", "Parse JSON, Texto JSON incompleto, StepParse=[5]");
    ExpectLoadFails("{\"a\":\"x\\\"}", "Parse JSON, Texto JSON incompleto, StepParse=[3]");
    ExpectLoadFails("{\"a\":" + std::string(200000, '[') + "\"", "Parse JSON, Texto JSON incompleto");

    // A cut after a complete member fails; what was read stays until the next load.
    TPlatStringJSON json;
    EXPECT_EQ(0, json.LoadFromMemory("{\"a\":\"x\",\"b\":\"y"));
    EXPECT_EQ(1, json.GetQtdArray());
    EXPECT_EQ("x", ValueOf(json, 0, "a"));
    EXPECT_EQ(nullptr, json.GetValueJSON(0, "b"));
    EXPECT_EQ(nullptr, json.TextJSON);

    EXPECT_EQ(0, json.LoadFromMemory("{\"a\":1}", '['));
    EXPECT_EQ(0, json.GetQtdArray());
    EXPECT_NE(std::string::npos, Text().find("foi encontrado o caractere FindFirstChar=[5b]")) << Text();

    EXPECT_STREQ("d", json.GetValue(0, "nada", "d"));
    EXPECT_NE(std::string::npos, Text().find("foi encontrado a NameVar=[nada], retornando valor default\n"));
}

// Error traces are on, so their texts are formatted for every kind of broken input too.
TEST_F(JsonTrace, MutatedInputsNeverCrash) {
    const std::vector<std::string> seeds = {
        "{\"signatures\":[{\"id\":\"a1\",\"rawSignature\":\"QU\\/JD+==\"}],\"n\":12}",
        "[{\"a\":\"x\\\"y\\\\\",\"b\":null},{\"c\":{\"d\":[1,\"]\\\"\"]},\"e\":\"\\u00e7\\ud83d\\ude00\"}]",
        "{\"k\":\"\\b\\f\\n\\r\\t\\/\",\"o\":{\"x\":{\"y\":\"}\"}} , \"z\":true }",
    };
    const char pieces[] = "\"\\{}[],: u0/";
    std::mt19937 rng(20240611u);
    int loaded = 0;
    for (int iter = 0; iter < 20000; ++iter) {
        std::string text = seeds[iter % seeds.size()];
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            size_t pos = rng() % text.size();
            switch (rng() % 5) {
            case 0:
                text[pos] = pieces[rng() % (sizeof(pieces) - 1)];
                break;
            case 1:
                text.insert(pos, 1, pieces[rng() % (sizeof(pieces) - 1)]);
                break;
            case 2:
                text.erase(pos, 1);
                break;
            case 3:
                text.resize(pos);
                break;
            default:
                text[pos] = static_cast<char>(1 + rng() % 255);
                break;
            }
        }
        TPlatStringJSON json;
        if (json.LoadFromMemory(text.c_str()) != 1) continue;
        ++loaded;
        // Whatever loads re-encodes to a text that loads again to the same text.
        ASSERT_NE(nullptr, json.TextJSON) << text;
        std::string first = json.TextJSON;
        TPlatStringJSON again;
        ASSERT_EQ(1, again.LoadFromMemory(first.c_str())) << text << " -> " << first;
        ASSERT_EQ(first, again.TextJSON) << text;
        for (int i = 0; i < json.GetQtdArray(); ++i) {
            TVarnoList* object = json.GetListValue(i);
            for (uint32_t j = 0; object && j < object->Count; ++j) {
                TValueJSON* m = static_cast<TValueJSON*>(object->GetItem(j));
                if (!m->IsObjectValue) continue;
                TPlatStringJSON inner;
                inner.LoadFromMemory(m->Value);
                inner.LoadFromMemory(m->Value, '{');
            }
        }
    }
    EXPECT_GT(loaded, 1000);
    EXPECT_NE(std::string::npos, Text().find("Parse JSON"));
}
