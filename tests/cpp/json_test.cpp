// The JSON reader: values, errors with their offsets, labelled access, files,
// nesting, large objects, agreement with Python's json and mutation fuzzing.
#include <gtest/gtest.h>

#include "fixtures.hpp"
#include "json_writer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using quelbin::detail::JsonError;
using quelbin::detail::JsonValue;
using quelbin::detail::parse_json;
using quelbin::testing::write_json;

std::string error_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const JsonError& error) {
        return error.what();
    }
    return "<no error>";
}

// The value as written back, or the error's message.
std::string read(std::string_view text) {
    std::string out;
    const std::string error = error_of([&] { out = write_json(parse_json(text)); });
    return out.empty() ? error : out;
}

TEST(JsonParse, ReadsOrFailsWithMessageAndOffset) {
    const std::string zero = "0.00000000000000000e+00";
    const std::pair<std::string, std::string> cases[] = {
        {"\"\x80\xFF\xC3\x7F\"", "\"\x80\xFF\xC3\x7F\""},  // raw bytes pass unchecked
        {"-0", "0"},
        {"-1e-400", "-" + zero},  // below the smallest denormal: zero
        {"0." + std::string(400, '0') + "1e5", zero},
        {"1" + std::string(400, '0'), "invalid floating-point number at JSON byte 401"},
        {"[-1.5e309]", "invalid floating-point number at JSON byte 9"},
        {"  \t\r\n", "unexpected end of JSON at JSON byte 5"},
        {"[1,]", "unexpected JSON token at JSON byte 3"},
        {"1 2", "unexpected trailing data at JSON byte 2"},
        {"[1", "expected ',' at JSON byte 2"},
        {"{\"a\":1", "expected ',' at JSON byte 6"},
        {"tru", "invalid JSON literal at JSON byte 0"},
        {"-", "truncated number at JSON byte 1"},
        {"-a", "invalid number at JSON byte 1"},
        {"-012", "leading zero in number at JSON byte 2"},
        {"1.e5", "missing fractional digits at JSON byte 2"},
        {"1E-x", "missing exponent digits at JSON byte 3"},
        {"\"abc", "unterminated string at JSON byte 4"},
        {"\"\x1f\"", "unescaped control character in string at JSON byte 2"},
        {"\"a\\", "truncated string escape at JSON byte 3"},
        {"\"\\x\"", "invalid string escape at JSON byte 3"},
        {"\"\\u12\"", "truncated Unicode escape at JSON byte 3"},
        {"\"\\u00g1\"", "invalid Unicode escape at JSON byte 6"},
        {"\"\\ude00\"", "unpaired low surrogate at JSON byte 7"},
        {"\"\\ud83d\"", "missing low surrogate at JSON byte 7"},
        {"\"\\ud83dx\\ude00\"", "missing low surrogate at JSON byte 7"},
        {"\"\\ud83d\\n12345\"", "missing low surrogate at JSON byte 7"},
        {"\"\\ud83d\\u0041\"", "invalid low surrogate at JSON byte 13"},
        {"\"\\ud83d\\ue000\"", "invalid low surrogate at JSON byte 13"},
        {"{\"a\":1,}", "expected object key at JSON byte 7"},
        {"{\"a\"", "expected ':' at JSON byte 4"},
        {"{\"a\":1,\"\\u0061\":[1, 2] }", "duplicate object key at JSON byte 22"},
        // The first duplicate in document order, before any later error.
        {"{\"b\":1,\"a\":2,\"c\":3,\"b\":4,\"a\":5,\"c\":6}",
         "duplicate object key at JSON byte 24"},
        {"{\"a\":1,\"a\":2,\"c\":tru}", "duplicate object key at JSON byte 12"},
        {"{\"a\":1,\"b\":{\"c\":1,\"c\":2}}", "duplicate object key at JSON byte 23"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(read(text), expected) << "input: " << text;
}

TEST(JsonAccess, TypedAccessNamesTheLabel) {
    const JsonValue doc = parse_json(R"({"s": "x", "d": 2.0, "i": 3, "n": null})");
    const JsonValue& s = doc.at("s", "");
    const JsonValue& d = doc.at("d", "");
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { s.as_bool("a.use_crf"); }, "expected JSON boolean at a.use_crf"},
        {[&] { d.as_integer(""); }, "expected JSON integer"},
        {[&] { s.as_number("n"); }, "expected JSON number at n"},
        {[&] { d.as_string("n"); }, "expected JSON string at n"},
        {[&] { d.as_array("n"); }, "expected JSON array at n"},
        {[&] { d.as_object("n"); }, "expected JSON object at n"},
        {[&] { doc.at("shape", "m.tensors[3]"); }, "missing JSON key 'shape' at m.tensors[3]"},
        {[&] { d.at("s", "index"); }, "expected JSON object at index"},
    };
    for (const auto& [call, expected] : cases) EXPECT_EQ(error_of(call), expected);
    EXPECT_EQ(doc.at("i", "").as_number(""), 3.0);
    // find never throws: a null member is found, an absent key or a non-object gives nullptr.
    EXPECT_TRUE(doc.find("n") != nullptr && doc.find("n")->is_null());
    EXPECT_EQ(doc.find("x"), nullptr);
    EXPECT_EQ(s.find("s"), nullptr);
}

TEST(JsonParse, NestingIsBounded) {
    const std::size_t max = quelbin::detail::kJsonMaxDepth;
    EXPECT_EQ(read(std::string(max, '[') + std::string(max, ']')).size(), 2 * max);
    const std::string too_deep = "JSON nesting is too deep at JSON byte ";
    std::string objects;
    for (std::size_t i = 0; i <= max; ++i) objects += "{\"k\":";
    EXPECT_EQ(read(objects), too_deep + std::to_string(5 * max));
    // Far deeper input is refused the same way, without exhausting the stack.
    EXPECT_EQ(read(std::string(1'000'000, '[')), too_deep + std::to_string(max));
}

TEST(JsonFile, ReadsRegularFilesOnly) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("quelbin_json_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string content = "{\"config\": {\"size\": 32},\r\n\"raw\": \"\xC3\xA9\x7F\"}\r\n";
    std::ofstream(dir / "assets.json", std::ios::binary) << content;
    EXPECT_EQ(quelbin::detail::load_text_file(dir / "assets.json"), content);
    EXPECT_EQ(quelbin::detail::load_json(dir / "assets.json"), parse_json(content));
    EXPECT_EQ(error_of([&] { quelbin::detail::load_json(dir / "missing.json"); }),
              "cannot open JSON file: " + (dir / "missing.json").native());
    // A directory, a FIFO and a device are refused at once: none is read or waited on.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const fs::path& special : {dir, dir / "fifo", fs::path("/dev/zero")}) {
        EXPECT_EQ(error_of([&] { quelbin::detail::load_json(special); }),
                  "cannot read JSON file: " + special.native());
    }
    fs::remove_all(dir);
}

// Objects large enough for the radix sort of their keys, with keys that share
// their first eight bytes or differ only in trailing NULs.
TEST(JsonParse, LargeObjectsSortKeysAndReportTheFirstDuplicate) {
    std::mt19937_64 rng(7);
    const std::string stems[] = {"", "a", "a\\u0000", "abcdefgh", "abcdefghij", "\\u00e9\x7f"};
    std::map<std::string, std::string> members;  // key -> its text in the document
    std::string doc = "{";
    while (members.size() < 70000) {
        const std::string number = rng() % 4 ? std::to_string(rng() % 100000) : "";
        const std::string text = "\"" + stems[rng() % 6] + number + "\"";
        if (members.emplace(parse_json(text).as_string(""), text).second) doc += text + ":0,";
    }
    doc.back() = '}';
    const JsonValue object = parse_json(doc);
    std::vector<std::string> keys, expected;
    for (const auto& member : object.as_object("")) keys.push_back(member.first);
    for (const auto& member : members) expected.push_back(member.first);
    EXPECT_EQ(keys, expected);
    // A key from the middle of the byte order is repeated first, then the first
    // and the last one; a syntax error follows.
    doc.back() = ',';
    doc += std::next(members.begin(), 35000)->second + ":1";
    const std::size_t first_end = doc.size();
    doc += "," + members.begin()->second + ":1," + members.rbegin()->second + ":1]";
    EXPECT_EQ(read(doc), "duplicate object key at JSON byte " + std::to_string(first_end));
}

// documents.bin: each document with what Python's json reads from it, written
// the same way, or "!" for a refusal.
TEST(JsonDifferential, AgreesWithPythonJson) {
    std::ifstream in(quelbin::testing::fixture_path("json_differential", "documents.bin"),
                     std::ios::binary);
    auto next = [&](std::string& block) {
        std::uint32_t n = 0;
        in.read(reinterpret_cast<char*>(&n), 4);
        block.resize(n);
        return static_cast<bool>(in.read(block.data(), n));
    };
    std::size_t count = 0;
    for (std::string doc, expected; next(doc) && next(expected); ++count) {
        const std::string got = read(doc);
        const bool refused = got.find(" at JSON byte ") != std::string::npos;
        EXPECT_EQ(refused ? "!" : got, expected) << "document: " << doc;
    }
    EXPECT_GT(count, 6000u);
}

// The fuzz target's check on mutated documents, each in an exact-size copy so
// that an over-read shows under the sanitizers.
TEST(JsonFuzz, MutatedDocumentsParseOrFailCleanly) {
    const std::string seeds[] = {
        R"({"config": {"batch_size": 32, "use_crf": true, "dropout": 0.5e-1}, "a": [[[{}]]]})",
        R"([1, -2.5E+3, "x\u00e9\ud83d\ude00\n\"\\\/\b\f\r\t\u0000", null, false, 0, -0.0])",
    };
    const std::string alphabet = "{}[],:\"\\ -+.eE0123456789tfnulr\x01\x1f\x7f\xC3\xFF\t\nuU";
    std::mt19937_64 rng(20240601);
    for (int iteration = 0; iteration < 100000; ++iteration) {
        std::string doc = seeds[rng() % 2];
        for (int edit = 1 + static_cast<int>(rng() % 4); edit > 0; --edit) {
            const std::size_t at = rng() % (doc.size() + 1);
            const char c = alphabet[rng() % alphabet.size()];
            switch (rng() % 4) {
                case 0: doc.erase(at, 1); break;
                case 1: doc.insert(at, 1, c); break;
                case 2: doc.resize(at); break;
                default: doc.insert(at, doc.substr(rng() % (doc.size() + 1), rng() % 16));
            }
        }
        const std::unique_ptr<char[]> exact(new char[doc.size()]);
        std::memcpy(exact.get(), doc.data(), doc.size());
        ASSERT_EQ(quelbin::testing::json_fuzz_fault({exact.get(), doc.size()}), "") << doc;
    }
}

}  // namespace
