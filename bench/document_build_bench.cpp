// Builds a 100,000-token document from input records and reports the build
// rate (tokens per second) and the heap the finished storage holds per token.
#include <quelbin/document_storage.hpp>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace quelbin;

struct Corpus {
    std::string text;
    std::vector<SentenceInput> sentences;
    std::size_t tokens = 0;
};

// A synthetic corpus with a skewed vocabulary, full annotations on every word,
// one multi-word token in about fifty and NER tags on some tokens.
Corpus make_corpus(std::size_t token_target) {
    std::mt19937 rng(12345);
    std::vector<std::string> vocabulary;
    const char* syllables[] = {"ka", "lo", "mi", "ren", "sto", "va", "\xC3\xA9", "dor", "pu", "zi"};
    for (int i = 0; i < 5000; ++i) {
        std::string w;
        for (int k = 0, n = 1 + i % 4; k < n; ++k) w += syllables[(i * 7 + k * 3 + k * i) % 10];
        vocabulary.push_back(w);
    }
    const char* upos[] = {"NOUN", "VERB", "ADJ", "ADP", "DET", "PRON", "ADV", "PUNCT"};
    const char* deprel[] = {"nsubj", "obj", "amod", "case", "det", "obl", "advmod", "punct"};
    const char* feats[] = {"Number=Sing", "Number=Plur", "Mood=Ind|Tense=Past|VerbForm=Fin", "Definite=Def"};
    std::geometric_distribution<int> zipf(0.01);

    Corpus c;
    std::uint32_t position = 0;  // code points
    while (c.tokens < token_target) {
        SentenceInput s;
        const int length = 5 + static_cast<int>(rng() % 30);
        int id = 1;
        for (int t = 0; t < length && c.tokens < token_target; ++t, ++c.tokens) {
            const std::string& form = vocabulary[std::min<std::size_t>(zipf(rng), vocabulary.size() - 1)];
            TokenInput token;
            token.text = form;
            const bool mwt = rng() % 50 == 0;
            token.id_start = id;
            token.id_end = mwt ? id + 1 : id;
            std::uint32_t codepoints = 0;
            for (unsigned char ch : form) codepoints += (ch & 0xC0) != 0x80;
            token.start_char = position;
            token.end_char = position + codepoints;
            token.ner = rng() % 10 == 0 ? "S-PER" : "O";
            for (int w = 0; w < (mwt ? 2 : 1); ++w, ++id) {
                WordInput word;
                word.id = id;
                word.text = mwt ? form.substr(0, form.size() / 2 + w) : form;
                if (word.text.empty()) word.text = form;
                const int tag = static_cast<int>(rng() % 8);
                word.lemma = form;
                word.upos = upos[tag];
                word.xpos = upos[tag];
                word.feats = feats[rng() % 4];
                word.head = static_cast<int>(rng() % length);
                word.deprel = deprel[tag];
                token.words.push_back(std::move(word));
            }
            c.text += form;
            c.text += ' ';
            position += codepoints + 1;
            s.tokens.push_back(std::move(token));
        }
        c.sentences.push_back(std::move(s));
    }
    return c;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t tokens = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 7;
    const Corpus corpus = make_corpus(tokens);

    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        DocumentStorage storage(corpus.text);
        storage.build(corpus.sentences);
        times.push_back(seconds_since(start));
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];

    // Heap held by one finished storage: allocator statistics around its build.
    const std::size_t before = mallinfo2().uordblks;
    auto storage = std::make_unique<DocumentStorage>(corpus.text);
    storage->build(corpus.sentences);
    const std::size_t held = mallinfo2().uordblks - before + sizeof(DocumentStorage);
    const std::size_t text_bytes = corpus.text.size() + (storage->text.codepoint_count() + 1) * sizeof(std::size_t);

    std::printf("tokens: %zu, words: %zu, sentences: %zu, text: %zu bytes, pool: %zu strings\n", corpus.tokens,
                storage->word_count(), storage->sentence_count(), corpus.text.size(), storage->pool.size());
    std::printf("build (text validation included): median %.2f ms, best %.2f ms over %d runs\n", median * 1e3,
                times.front() * 1e3, repeats);
    std::printf("tokens per second: %.0f (median)\n", static_cast<double>(corpus.tokens) / median);
    std::printf("bytes per token: %.1f (all heap of the storage), %.1f without the text and its code-point index\n",
                static_cast<double>(held) / corpus.tokens,
                static_cast<double>(held - text_bytes) / corpus.tokens);
    return 0;
}
