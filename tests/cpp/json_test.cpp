// The JSON reader: values, exact error messages and offsets, labelled access,
// file loading, nesting bound.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "model/json.hpp"
#include "json_writer.hpp"

#include "fixtures.hpp"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unistd.h>

namespace {

using quelbin::detail::JsonArray;
using quelbin::detail::JsonError;
using quelbin::detail::JsonObject;
using quelbin::detail::JsonValue;
using quelbin::detail::parse_json;

std::string error_of(std::string_view text) {
    try {
        parse_json(text);
    } catch (const JsonError& e) {
        return e.what();
    }
    return "<no error>";
}

struct ErrorCase {
    std::string text;
    std::string message;
};

TEST(JsonParse, ErrorsCarryMessageAndOffset) {
    using namespace std::string_literals;
    const ErrorCase cases[] = {
        {"", "unexpected end of JSON at JSON byte 0"},
        {"  \t\r\n", "unexpected end of JSON at JSON byte 5"},
        {"[1,]", "unexpected JSON token at JSON byte 3"},
        {"{} x", "unexpected trailing data at JSON byte 3"},
        {"1 2", "unexpected trailing data at JSON byte 2"},
        {"truex", "unexpected trailing data at JSON byte 4"},
        {"[truex]", "expected ',' at JSON byte 5"},
        {"\f1", "unexpected JSON token at JSON byte 0"},
        {"\xEF\xBB\xBF{}", "unexpected JSON token at JSON byte 0"},
        {"+1", "unexpected JSON token at JSON byte 0"},
        {".5", "unexpected JSON token at JSON byte 0"},
        {"NaN", "unexpected JSON token at JSON byte 0"},
        {"[Infinity]", "unexpected JSON token at JSON byte 1"},
        {"[", "unexpected end of JSON at JSON byte 1"},
        {"[1", "expected ',' at JSON byte 2"},
        {"[1 2]", "expected ',' at JSON byte 3"},
        {"[1:2]", "expected ',' at JSON byte 2"},
        {"tru", "invalid JSON literal at JSON byte 0"},
        {"[nul]", "invalid JSON literal at JSON byte 1"},
        {"True", "unexpected JSON token at JSON byte 0"},
        {"fals", "invalid JSON literal at JSON byte 0"},
        {"-", "truncated number at JSON byte 1"},
        {"-a", "invalid number at JSON byte 1"},
        {"[-]", "invalid number at JSON byte 2"},
        {"01", "leading zero in number at JSON byte 1"},
        {"-012", "leading zero in number at JSON byte 2"},
        {"1.", "missing fractional digits at JSON byte 2"},
        {"1.e5", "missing fractional digits at JSON byte 2"},
        {"1e", "missing exponent digits at JSON byte 2"},
        {"1e+", "missing exponent digits at JSON byte 3"},
        {"1E-x", "missing exponent digits at JSON byte 3"},
        {"1e400", "invalid floating-point number at JSON byte 5"},
        {"[-1.5e309]", "invalid floating-point number at JSON byte 9"},
        {"1" + std::string(400, '0'), "invalid floating-point number at JSON byte 401"},
        {"\"abc", "unterminated string at JSON byte 4"},
        {"\"a\tb\"", "unescaped control character in string at JSON byte 3"},
        {"\"\x1f\"", "unescaped control character in string at JSON byte 2"},
        {"\"a\\", "truncated string escape at JSON byte 3"},
        {"\"\\x\"", "invalid string escape at JSON byte 3"},
        {"\"\\U0041\"", "invalid string escape at JSON byte 3"},
        {"\"\\u12\"", "truncated Unicode escape at JSON byte 3"},
        {"\"\\u00g1\"", "invalid Unicode escape at JSON byte 6"},
        {"\"\\ude00\"", "unpaired low surrogate at JSON byte 7"},
        {"\"\\ud83d\"", "missing low surrogate at JSON byte 7"},
        {"\"\\ud83dx\\ude00\"", "missing low surrogate at JSON byte 7"},
        {"\"\\ud83d\\n12345\"", "missing low surrogate at JSON byte 7"},
        {"\"\\ud83d\\u0041\"", "invalid low surrogate at JSON byte 13"},
        {"\"\\ud83d\\ud83d\"", "invalid low surrogate at JSON byte 13"},
        {"\"\\ud83d\\uzz00\"", "invalid Unicode escape at JSON byte 10"},
        {"{", "expected object key at JSON byte 1"},
        {"{1:2}", "expected object key at JSON byte 1"},
        {"{\"a\":1,}", "expected object key at JSON byte 7"},
        {"{\"a\" 1}", "expected ':' at JSON byte 5"},
        {"{\"a\"", "expected ':' at JSON byte 4"},
        {"{\"a\":}", "unexpected JSON token at JSON byte 5"},
        {"{\"a\":1 \"b\":2}", "expected ',' at JSON byte 7"},
        {"{\"a\":1", "expected ',' at JSON byte 6"},
        {"{\"a\":1,\"a\":2}", "duplicate object key at JSON byte 12"},
        {"{\"a\":1,\"\\u0061\":[1, 2] }", "duplicate object key at JSON byte 22"},
        {"{\"b\":1,\"a\":2,\"b\":{}}", "duplicate object key at JSON byte 19"},
        // The first problem in document order wins.
        {"{\"a\":1,\"a\":2,\"c\":tru}", "duplicate object key at JSON byte 12"},
        {"{\"a\":1,\"b\":{\"c\":1,\"c\":2}}", "duplicate object key at JSON byte 23"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_of(c.text), c.message) << "input: " << c.text;
    }
}

TEST(JsonParse, ScalarValues) {
    EXPECT_TRUE(parse_json("null").is_null());
    EXPECT_TRUE(parse_json(" true ").as_bool(""));
    EXPECT_FALSE(parse_json("false").as_bool(""));
    EXPECT_EQ(parse_json("9223372036854775807").as_integer(""), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(parse_json("-9223372036854775808").as_integer(""), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(parse_json("-0").as_integer(""), 0);
    EXPECT_TRUE(parse_json("-0").is_integer());

    const JsonValue big = parse_json("9223372036854775808");
    EXPECT_FALSE(big.is_integer());
    EXPECT_TRUE(big.is_number());
    EXPECT_EQ(big.as_number(""), 9223372036854775808.0);
    EXPECT_THROW(big.as_integer(""), JsonError);
    EXPECT_EQ(parse_json("-9223372036854775809").as_number(""), -9223372036854775808.0);

    struct DoubleCase {
        const char* text;
        double value;
    };
    const DoubleCase doubles[] = {
        {"1e2", 100.0},
        {"1.0", 1.0},
        {"-0.0", -0.0},
        {"0.1", 0.1},
        {"1E+2", 100.0},
        {"2.5e-3", 0.0025},
        {"1.7976931348623157e308", 1.7976931348623157e308},
        {"4.9e-324", 4.9e-324},          // smallest denormal
        {"2.2250738585072011e-308", 2.2250738585072011e-308},
        {"1e-400", 0.0},                 // underflow reads as zero
        {"-1e-400", -0.0},
        {"0.0000000000000000000000000000001e-300", 0.0},
        {"123456789012345678901234567890", 123456789012345678901234567890.0},
    };
    for (const auto& d : doubles) {
        const JsonValue v = parse_json(d.text);
        ASSERT_FALSE(v.is_integer()) << d.text;
        EXPECT_EQ(v.as_number(""), d.value) << d.text;
        EXPECT_EQ(std::signbit(v.as_number("")), std::signbit(d.value)) << d.text;
    }
    EXPECT_EQ(parse_json("7").as_number(""), 7.0);
    EXPECT_EQ(parse_json("2.0").is_integer(), false);
}

TEST(JsonParse, StringEscapesAndBytes) {
    struct Case {
        std::string text;
        std::string value;
    };
    using namespace std::string_literals;
    const Case cases[] = {
        {R"("\u00e9")", "\xC3\xA9"},
        {R"("\u00E9")", "\xC3\xA9"},
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
        {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
        {R"("\u0000")", "\0"s},
        {R"("\u007f\u0080\u07ff\u0800\uffff")", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {"\"\x80\xFF\xC3\"", "\x80\xFF\xC3"},  // raw high bytes pass unchecked
        {"\"\x7F\"", "\x7F"},
        {R"("")", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_json(c.text).as_string(""), c.value) << c.text;
    }
}

TEST(JsonParse, ContainersAndOrder) {
    const JsonValue v = parse_json(R"( {"b": [1, 2.5, "x", null, true, {}], "a": {"B": 1, "a": 2}, "": []} )");
    const JsonObject& members = v.as_object("");
    ASSERT_EQ(members.size(), 3u);
    std::vector<std::string> keys;
    for (const auto& [key, value] : members) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"", "a", "b"}));
    std::vector<std::string> inner;
    for (const auto& [key, value] : v.at("a", "").as_object("")) inner.push_back(key);
    EXPECT_EQ(inner, (std::vector<std::string>{"B", "a"}));

    const JsonArray& array = v.at("b", "").as_array("");
    ASSERT_EQ(array.size(), 6u);
    EXPECT_EQ(array[0].as_integer(""), 1);
    EXPECT_EQ(array[1].as_number(""), 2.5);
    EXPECT_EQ(array[2].as_string(""), "x");
    EXPECT_TRUE(array[3].is_null());
    EXPECT_TRUE(array[4].as_bool(""));
    EXPECT_TRUE(array[5].as_object("").empty());
    EXPECT_TRUE(v.at("", "").as_array("").empty());

    // Equality over whole trees, and the value constructors.
    JsonObject expected_a;
    expected_a.emplace("B", JsonValue(std::int64_t{1}));
    expected_a.emplace("a", JsonValue(std::int64_t{2}));
    EXPECT_EQ(v.at("a", ""), JsonValue(std::move(expected_a)));
    EXPECT_NE(parse_json("[1]"), parse_json("[1.0]"));
    EXPECT_EQ(parse_json("[ 1 , [ ] ]"), JsonValue(JsonArray{JsonValue(std::int64_t{1}), JsonValue(JsonArray{})}));
}

TEST(JsonAccess, TypeTestsAndTypeErrors) {
    struct Row {
        const char* text;
        bool null, boolean, integer, number, string, array, object;
    };
    const Row rows[] = {
        {"null", true, false, false, false, false, false, false},
        {"false", false, true, false, false, false, false, false},
        {"3", false, false, true, true, false, false, false},
        {"3.5", false, false, false, true, false, false, false},
        {"\"s\"", false, false, false, false, true, false, false},
        {"[]", false, false, false, false, false, true, false},
        {"{}", false, false, false, false, false, false, true},
    };
    for (const auto& r : rows) {
        const JsonValue v = parse_json(r.text);
        EXPECT_EQ(v.is_null(), r.null) << r.text;
        EXPECT_EQ(v.is_bool(), r.boolean) << r.text;
        EXPECT_EQ(v.is_integer(), r.integer) << r.text;
        EXPECT_EQ(v.is_number(), r.number) << r.text;
        EXPECT_EQ(v.is_string(), r.string) << r.text;
        EXPECT_EQ(v.is_array(), r.array) << r.text;
        EXPECT_EQ(v.is_object(), r.object) << r.text;
    }

    auto message = [](auto&& f) -> std::string {
        try {
            f();
        } catch (const JsonError& e) {
            return e.what();
        }
        return "<no error>";
    };
    const JsonValue text = parse_json("\"x\"");
    const JsonValue two = parse_json("2.0");
    EXPECT_EQ(message([&] { text.as_bool("assets.config.use_crf"); }),
              "expected JSON boolean at assets.config.use_crf");
    EXPECT_EQ(message([&] { two.as_integer("assets.config.batch_size"); }),
              "expected JSON integer at assets.config.batch_size");
    EXPECT_EQ(message([&] { two.as_integer(""); }), "expected JSON integer");
    EXPECT_EQ(message([&] { text.as_number("n"); }), "expected JSON number at n");
    EXPECT_EQ(message([&] { two.as_string("s"); }), "expected JSON string at s");
    EXPECT_EQ(message([&] { two.as_array("a[0]"); }), "expected JSON array at a[0]");
    EXPECT_EQ(message([&] { two.as_object(""); }), "expected JSON object");
    EXPECT_EQ(message([&] { JsonValue().as_bool("x"); }), "expected JSON boolean at x");
    EXPECT_EQ(message([] { JsonValue::throw_type("string", "p.q"); }), "expected JSON string at p.q");

    const JsonValue manifest = parse_json(R"({"tensors": [{}, {}, {}, {"name": "w"}]})");
    const JsonValue& fourth = manifest.at("tensors", "manifest").as_array("manifest.tensors")[3];
    EXPECT_EQ(message([&] { fourth.at("shape", "manifest.tensors[3]"); }),
              "missing JSON key 'shape' at manifest.tensors[3]");
    EXPECT_EQ(message([&] { fourth.at("shape", ""); }), "missing JSON key 'shape'");
    EXPECT_EQ(fourth.at("name", "manifest.tensors[3]").as_string("manifest.tensors[3].name"), "w");
    EXPECT_EQ(message([&] { parse_json("[]").at("k", "index"); }), "expected JSON object at index");
    EXPECT_EQ(message([&] { parse_json("7").at("k", ""); }), "expected JSON object");
}

TEST(JsonAccess, FindNeverThrows) {
    const JsonValue v = parse_json(R"({"present": 1, "nothing": null})");
    ASSERT_NE(v.find("present"), nullptr);
    EXPECT_EQ(v.find("present")->as_integer(""), 1);
    ASSERT_NE(v.find("nothing"), nullptr);  // a null member is returned, not absent
    EXPECT_TRUE(v.find("nothing")->is_null());
    EXPECT_EQ(v.find("absent"), nullptr);
    EXPECT_EQ(v.find("presen"), nullptr);
    for (const char* other : {"[1]", "1", "\"present\"", "null", "true"}) {
        EXPECT_EQ(parse_json(other).find("present"), nullptr) << other;
    }
    // Lookup by a view into a longer buffer, no temporary key.
    const std::string buffer = "presentation";
    EXPECT_NE(v.find(std::string_view(buffer).substr(0, 7)), nullptr);
}

TEST(JsonParse, NestingIsBounded) {
    const std::size_t max = quelbin::detail::kJsonMaxDepth;
    const std::string ok = std::string(max, '[') + std::string(max, ']');
    EXPECT_TRUE(parse_json(ok).is_array());
    const std::string deep = std::string(max + 1, '[') + std::string(max + 1, ']');
    EXPECT_EQ(error_of(deep), "JSON nesting is too deep at JSON byte " + std::to_string(max));
    std::string objects;
    for (std::size_t i = 0; i <= max; ++i) objects += "{\"k\":";
    EXPECT_EQ(error_of(objects), "JSON nesting is too deep at JSON byte " + std::to_string(5 * max));
    // Far deeper input is refused the same way, without exhausting the stack.
    EXPECT_EQ(error_of(std::string(1'000'000, '[')), "JSON nesting is too deep at JSON byte 512");
}

TEST(JsonFile, LoadsFilesAndReportsFailures) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("quelbin_json_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto good = dir / "assets.json";
    const std::string content = "{\"config\": {\"batch_size\": 32},\r\n\"raw\": \"\xC3\xA9\x7F\"}\r\n";
    {
        std::ofstream out(good, std::ios::binary);
        out << content;
    }
    EXPECT_EQ(quelbin::detail::load_text_file(good), content);  // binary mode: bytes unchanged
    const JsonValue v = quelbin::detail::load_json(good);
    EXPECT_EQ(v.at("config", "assets").at("batch_size", "assets.config").as_integer("assets.config.batch_size"), 32);
    EXPECT_EQ(v.at("raw", "assets").as_string("assets.raw"), "\xC3\xA9\x7F");

    const auto missing = dir / "missing.json";
    try {
        quelbin::detail::load_json(missing);
        ADD_FAILURE() << "no error for a missing file";
    } catch (const JsonError& e) {
        EXPECT_EQ(std::string(e.what()), "cannot open JSON file: " + missing.native());
    }
    // A directory, a FIFO and a device are refused at once; none is read or
    // waited on.
    const auto fifo = dir / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::filesystem::path& special : {dir, fifo, std::filesystem::path("/dev/zero")}) {
        try {
            quelbin::detail::load_text_file(special);
            ADD_FAILURE() << "read " << special;
        } catch (const JsonError& e) {
            EXPECT_EQ(std::string(e.what()), "cannot read JSON file: " + special.native());
        }
    }

    const auto bad = dir / "bad.json";
    {
        std::ofstream out(bad, std::ios::binary);
        out << "{\"a\": [1,]}";
    }
    try {
        quelbin::detail::load_json(bad);
        ADD_FAILURE() << "no error for a malformed file";
    } catch (const JsonError& e) {
        EXPECT_EQ(std::string(e.what()), "unexpected JSON token at JSON byte 9");
    }
    std::filesystem::remove_all(dir);
}

TEST(JsonParse, NeverReadsPastTheInput) {
    // Every proper prefix of a valid document is cut off inside the buffer that
    // holds exactly that prefix; any over-read would show under the sanitizers.
    const std::string doc = R"({"a":[1,-2.5e+3,true,false,null,"x\u00e9\ud83d\ude00\n"],"b":{"c":0}})";
    for (std::size_t n = 0; n < doc.size(); ++n) {
        const std::unique_ptr<char[]> exact(new char[n == 0 ? 1 : n]);
        std::memcpy(exact.get(), doc.data(), n);
        EXPECT_THROW(parse_json(std::string_view(exact.get(), n)), JsonError) << n;
    }
    EXPECT_NO_THROW(parse_json(doc));
}

// The canonical form the differential fixture writes for Python's reading.
void canonical(const JsonValue& v, std::string& out) {
    static const char hex[] = "0123456789abcdef";
    auto put_hex = [&](const std::string& bytes) {
        for (unsigned char c : bytes) {
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    };
    if (v.is_null()) {
        out += 'n';
    } else if (v.is_bool()) {
        out += v.as_bool("") ? 't' : 'f';
    } else if (v.is_integer()) {
        out += 'i' + std::to_string(v.as_integer(""));
    } else if (v.is_number()) {
        const double d = v.as_number("");
        std::uint64_t bits;
        std::memcpy(&bits, &d, 8);
        out += 'd';
        for (int shift = 60; shift >= 0; shift -= 4) out.push_back(hex[(bits >> shift) & 15]);
    } else if (v.is_string()) {
        out += 's';
        put_hex(v.as_string(""));
        out += ';';
    } else if (v.is_array()) {
        out += '[';
        bool first = true;
        for (const auto& e : v.as_array("")) {
            if (!first) out += ',';
            first = false;
            canonical(e, out);
        }
        out += ']';
    } else {
        out += '{';
        bool first = true;
        for (const auto& [key, value] : v.as_object("")) {
            if (!first) out += ',';
            first = false;
            out += 's';
            put_hex(key);
            out += ";:";
            canonical(value, out);
        }
        out += '}';
    }
}

TEST(JsonDifferential, AgreesWithPythonJson) {
    std::ifstream in(quelbin::testing::fixture_path("json_differential", "documents.bin"), std::ios::binary);
    ASSERT_TRUE(in) << "fixture missing";
    auto read_block = [&](std::string& block) {
        std::uint32_t n = 0;
        if (!in.read(reinterpret_cast<char*>(&n), 4)) return false;
        block.resize(n);
        return static_cast<bool>(in.read(block.data(), n));
    };
    std::string doc, expected;
    std::size_t accepted = 0, refused = 0;
    while (read_block(doc)) {
        ASSERT_TRUE(read_block(expected));
        std::string got;
        try {
            canonical(parse_json(doc), got);
        } catch (const JsonError&) {
            got = "!";
        }
        EXPECT_EQ(got, expected) << "document: " << doc;
        ++(expected == "!" ? refused : accepted);
    }
    EXPECT_GT(accepted, 2000u);
    EXPECT_GT(refused, 2000u);
}


// Bounded mutation fuzzing (the libFuzzer target in tests/fuzz runs the same
// checks for longer): every input either parses, and then survives a round trip
// unchanged, or fails with a known message at an offset within the input.
TEST(JsonFuzz, MutatedDocumentsParseOrFailCleanly) {
    const std::set<std::string> messages = {
        "unexpected end of JSON", "unexpected JSON token", "invalid JSON literal",
        "expected object key", "expected ','", "expected ':'", "truncated number",
        "invalid number", "leading zero in number", "missing fractional digits",
        "missing exponent digits", "invalid floating-point number", "unterminated string",
        "unescaped control character in string", "truncated string escape",
        "invalid string escape", "truncated Unicode escape", "invalid Unicode escape",
        "unpaired low surrogate", "missing low surrogate", "invalid low surrogate",
        "duplicate object key", "unexpected trailing data", "JSON nesting is too deep"};
    const std::vector<std::string> seeds = {
        R"({"config": {"batch_size": 32, "use_crf": true, "dropout": 0.5e-1}, "vocab": {"a": 1, "b": 2}})",
        R"([1, -2.5E+3, "x\u00e9\ud83d\ude00\n", null, [[], {}], false, 0, -0.0])",
        R"({"tensors": [{"name": "w", "shape": [3, 4], "offset": 0, "sha256": "ab"}]})",
        R"("\"\\\/\b\f\n\r\t\u0000")",
        "[[[[[[[[[[1]]]]]]]]]]",
    };
    const std::string alphabet = "{}[],:\"\\ -+.eE0123456789tfnulr\x01\x1f\x7f\xC3\xFF\t\nuU";
    std::mt19937_64 rng(20240601);
    std::size_t parsed = 0, failed = 0;
    for (int iteration = 0; iteration < 100000; ++iteration) {
        std::string doc = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = doc.empty() ? 0 : rng() % (doc.size() + 1);
            switch (rng() % 5) {
                case 0: if (at < doc.size()) doc.erase(at, 1); break;
                case 1: doc.insert(doc.begin() + static_cast<std::ptrdiff_t>(at), alphabet[rng() % alphabet.size()]); break;
                case 2: if (at < doc.size()) doc[at] = alphabet[rng() % alphabet.size()]; break;
                case 3: doc.resize(at); break;
                default: {  // duplicate a slice
                    const std::size_t from = rng() % (doc.size() + 1);
                    const std::size_t len = rng() % 16;
                    doc.insert(at, doc.substr(from, len));
                }
            }
        }
        // An exact-size copy, so that any over-read shows under the sanitizers.
        const std::unique_ptr<char[]> exact(new char[doc.size() + 1]);
        std::memcpy(exact.get(), doc.data(), doc.size());
        const std::string_view view(exact.get(), doc.size());
        try {
            const JsonValue value = parse_json(view);
            std::string text;
            quelbin::testing::write_json(value, text);
            ASSERT_EQ(parse_json(text), value) << doc;
            ++parsed;
        } catch (const JsonError& e) {
            const std::string what = e.what();
            const auto cut = what.rfind(" at JSON byte ");
            ASSERT_NE(cut, std::string::npos) << what;
            EXPECT_EQ(messages.count(what.substr(0, cut)), 1u) << what;
            const auto offset = std::stoull(what.substr(cut + 14));
            EXPECT_LE(offset, doc.size()) << what;
            ++failed;
        }
    }
    EXPECT_GT(parsed, 1000u);
    EXPECT_GT(failed, 1000u);
}

// Objects large enough for the radix sort of member keys: the order of the
// members and the first duplicate match a plain ordered map built member by member.
TEST(JsonParse, LargeObjectsKeepKeyOrderAndFindDuplicates) {
    std::mt19937_64 rng(7);
    const std::vector<std::string> stems = {"", "a", "abcdefgh", "abcdefghij", "\\u0000", "zz\\u0000"};
    auto random_key = [&] {
        std::string key = stems[rng() % stems.size()];
        const int extra = static_cast<int>(rng() % 6);
        for (int i = 0; i < extra; ++i) key.push_back("ab\x7f" "\xc3\xa9"[rng() % 5]);
        return key;
    };
    for (int round = 0; round < 3; ++round) {
        std::map<std::string, std::int64_t> reference;
        std::string doc = "{";
        std::size_t first_duplicate_end = 0;
        const std::size_t members = 70000 + round * 20000;
        for (std::size_t i = 0; i < members; ++i) {
            std::string key = random_key() + std::to_string(rng() % (round == 2 ? 50000 : 1000000000));
            if (i > 0) doc += ',';
            doc += "\"" + key + "\":" + std::to_string(i);
            const std::string unescaped = parse_json("\"" + key + "\"").as_string("");
            if (!reference.emplace(unescaped, static_cast<std::int64_t>(i)).second && first_duplicate_end == 0) {
                first_duplicate_end = doc.size();
            }
        }
        doc += "}";
        if (first_duplicate_end == 0) {
            const JsonValue v = parse_json(doc);
            const JsonObject& object = v.as_object("");
            ASSERT_EQ(object.size(), reference.size());
            auto it = reference.begin();
            for (const auto& [key, value] : object) {
                ASSERT_EQ(key, it->first);
                ASSERT_EQ(value.as_integer(""), it->second);
                ++it;
            }
        } else {
            EXPECT_EQ(error_of(doc), "duplicate object key at JSON byte " + std::to_string(first_duplicate_end));
        }
        // The same members with a syntax error at the very end: a duplicate
        // earlier in the text is still the error reported.
        doc.back() = ']';
        const std::string expected = first_duplicate_end
            ? "duplicate object key at JSON byte " + std::to_string(first_duplicate_end)
            : "expected ',' at JSON byte " + std::to_string(doc.size() - 1);
        EXPECT_EQ(error_of(doc), expected);
        if (round < 2) EXPECT_EQ(first_duplicate_end, 0u) << "round " << round;
        else EXPECT_NE(first_duplicate_end, 0u);
    }
}

}  // namespace
