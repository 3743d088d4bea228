// Fuzz targets over text: the JSON reader, the neural tokenizer's paragraph,
// feature and regular-expression paths, and the three subword tokenizers
// (vocabularies, merges and the unigram character map from the input too).
#include "harness.hpp"
#include "targets.hpp"

#include "encoders/byte_bpe.hpp"
#include "json_writer.hpp"
#include "tokenize/byte_regex.hpp"

#include <quelbin/document.hpp>
#include <quelbin/errors.hpp>
#include <quelbin/subword.hpp>
#include <quelbin/subword_bpe.hpp>
#include <quelbin/tokenizer.hpp>

#include <cstdlib>
#include <memory>
#include <set>
#include <stdexcept>

namespace quelbin::fuzz {

namespace {

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out;
    while (!text.empty()) {
        const std::size_t cut = text.find('\n');
        out.emplace_back(text.substr(0, cut));
        if (cut == std::string_view::npos) break;
        text.remove_prefix(cut + 1);
    }
    return out;
}

// The first byte as option bits (0 when the input is empty), and the rest.
std::pair<unsigned, std::string_view> flags(std::string_view data) {
    if (data.empty()) return {0u, data};
    return {static_cast<unsigned char>(data[0]), data.substr(1)};
}

// Every encoding has one word index per id, each -1 or a word of the input.
std::string check_encoding(const WordPieceEncoding& e, std::size_t words, std::size_t vocabulary) {
    if (e.input_ids.size() != e.word_ids.size() || e.input_ids.size() != e.attention_mask.size()) {
        return "encoding columns differ in length";
    }
    for (std::size_t i = 0; i < e.input_ids.size(); ++i) {
        if (e.input_ids[i] < 0 || static_cast<std::size_t>(e.input_ids[i]) >= vocabulary) {
            return "subword id outside the vocabulary: " + std::to_string(e.input_ids[i]);
        }
        if (e.word_ids[i] < -1 || e.word_ids[i] >= static_cast<std::int64_t>(words)) {
            return "word index outside the input: " + std::to_string(e.word_ids[i]);
        }
    }
    return {};
}

}  // namespace

std::string fuzz_json(std::string_view data) { return testing::json_fuzz_fault(data); }

// The whole input as one document's text, then as one paragraph's labels.
std::string fuzz_tokenize_text(std::string_view data) {
    static const TokenizerPlan plan(fixture_bundle("tokenize"), false);
    std::string fault;
    std::string error = outcome<std::invalid_argument, detail::RegexMatchError>([&] {
        const Document document = plan.process(Document(std::string(data)));
        if (document.text() != data) fault = "tokenizer changed the document text";
    });
    if (!error.empty() || !fault.empty()) return error.empty() ? fault : error;
    return outcome<std::invalid_argument, TokenizerModelError, detail::RegexMatchError>(
        [&] { plan.predict_labels(std::string(data)); });
}

// Flags: bit 0 lower-case, bit 1 strip accents, bit 2 special tokens, bits
// 3-5 the longest word (1 to 8 code points, 100 when all are clear). Parts:
// vocabulary lines added to a small base, words one per line.
std::string fuzz_wordpiece(std::string_view data) {
    const auto [flag_bits, rest] = flags(data);
    const unsigned bits = flag_bits;
    const auto parts = split_parts(rest, 2);
    std::vector<std::string> vocabulary = {"[PAD]", "[UNK]", "[CLS]", "[SEP]", "the", "##s",
                                           "dog", "##gy", "un", "##aff", "##able", "é", "."};
    for (std::string& line : lines(parts[0])) vocabulary.push_back(std::move(line));
    const std::size_t longest = (bits >> 3 & 7) == 0 ? 100 : (bits >> 3 & 7);
    const std::vector<std::string> words = lines(parts[1]);
    std::string fault;
    std::string error = outcome<WordPieceError, std::invalid_argument>([&] {
        const WordPieceTokenizer tokenizer(vocabulary, bits & 1, bits & 2, "[UNK]", "[CLS]", "[SEP]",
                                           "##", longest);
        fault = check_encoding(tokenizer.encode(words, bits & 4), words.size(), vocabulary.size());
    });
    return error.empty() ? fault : error;
}

// Flags: bit 0 prefix space, bit 1 special tokens, bit 2 add each merge's
// pieces and result to the vocabulary. Parts: merges ("left right" per line),
// extra vocabulary lines, words one per line.
std::string fuzz_byte_bpe(std::string_view data) {
    const auto [flag_bits, rest] = flags(data);
    const unsigned bits = flag_bits;
    const auto parts = split_parts(rest, 3);
    std::vector<std::string> vocabulary = {"<unk>", "<s>", "</s>"};
    std::set<std::string> known(vocabulary.begin(), vocabulary.end());
    auto add = [&](const std::string& token) {
        if (known.insert(token).second) vocabulary.push_back(token);
    };
    for (unsigned b = 0; b < 256; ++b) add(detail::byte_symbol(static_cast<unsigned char>(b)));
    std::vector<std::pair<std::string, std::string>> merges;
    for (const std::string& line : lines(parts[0])) {
        const std::size_t space = line.find(' ');
        merges.emplace_back(line.substr(0, space),
                            space == std::string::npos ? std::string() : line.substr(space + 1));
        if (bits & 4) {
            add(merges.back().first);
            add(merges.back().second);
            add(merges.back().first + merges.back().second);
        }
    }
    for (std::string& line : lines(parts[1])) vocabulary.push_back(std::move(line));
    const std::vector<std::string> words = lines(parts[2]);
    std::string fault;
    std::string error = outcome<SubwordError>([&] {
        const ByteBPETokenizer tokenizer(vocabulary, merges, "<unk>", "<s>", "</s>", bits & 1);
        fault = check_encoding(tokenizer.encode(words, bits & 2), words.size(), vocabulary.size());
        if (fault.empty()) tokenizer.tokenize(std::string(parts[2]));
    });
    return error.empty() ? fault : error;
}

// Flags: the unknown id is the first byte modulo 8. Parts: the serialised
// character map, pieces ("piece<TAB>score" per line, score -1 when it does not
// parse) after "<s>", "<pad>", "</s>", "<unk>", words one per line.
std::string fuzz_unigram(std::string_view data) {
    const auto [flag_bits, rest] = flags(data);
    const unsigned bits = flag_bits;
    const auto parts = split_parts(rest, 3);
    std::vector<std::string> vocabulary = {"<s>", "<pad>", "</s>", "<unk>"};
    std::vector<float> scores = {0, 0, 0, 0};
    for (const std::string& line : lines(parts[1])) {
        const std::size_t tab = line.find('\t');
        vocabulary.push_back(line.substr(0, tab));
        float score = -1;
        if (tab != std::string::npos) {
            const std::string number = line.substr(tab + 1);
            char* end = nullptr;
            const float parsed = std::strtof(number.c_str(), &end);
            if (end != number.c_str()) score = parsed;
        }
        scores.push_back(score);
    }
    const std::vector<std::uint8_t> charsmap(parts[0].begin(), parts[0].end());
    const std::vector<std::string> words = lines(parts[2]);
    std::string fault;
    std::string error = outcome<SubwordError>([&] {
        const XLMRobertaTokenizer tokenizer(vocabulary, scores, charsmap, bits % 8, "<s>", "</s>");
        fault = check_encoding(tokenizer.encode(words, true), words.size(), vocabulary.size());
        if (fault.empty()) tokenizer.tokenize(std::string(parts[2]));
    });
    return error.empty() ? fault : error;
}

}  // namespace quelbin::fuzz
