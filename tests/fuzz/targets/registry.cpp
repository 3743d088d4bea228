#include "targets.hpp"

namespace quelbin::fuzz {

namespace {

template <const char* Kind>
std::string loader(std::string_view data) {
    return fuzz_loader(Kind, data);
}

constexpr char kTokenize[] = "tokenize";
constexpr char kMwt[] = "mwt";
constexpr char kLemma[] = "lemma";
constexpr char kSeq2seq[] = "seq2seq";
constexpr char kPos[] = "pos";
constexpr char kDepparse[] = "depparse";
constexpr char kNer[] = "ner";
constexpr char kSentiment[] = "sentiment";
constexpr char kConstituency[] = "constituency";
constexpr char kLangid[] = "langid";
constexpr char kMorphseg[] = "morphseg";
constexpr char kCharlm[] = "charlm";
constexpr char kCoref[] = "coref";

}  // namespace

const std::vector<Target>& engine_targets() {
    static const std::vector<Target> targets = {
        {"model_bundle", fuzz_model_bundle},
        {"model_index", fuzz_model_index},
        {"loader_tokenize", loader<kTokenize>},
        {"loader_mwt", loader<kMwt>},
        {"loader_lemma", loader<kLemma>},
        {"loader_seq2seq", loader<kSeq2seq>},
        {"loader_pos", loader<kPos>},
        {"loader_depparse", loader<kDepparse>},
        {"loader_ner", loader<kNer>},
        {"loader_sentiment", loader<kSentiment>},
        {"loader_constituency", loader<kConstituency>},
        {"loader_langid", loader<kLangid>},
        {"loader_morphseg", loader<kMorphseg>},
        {"loader_charlm", loader<kCharlm>},
        {"loader_coref", loader<kCoref>},
        {"json", fuzz_json},
        {"tokenize_text", fuzz_tokenize_text},
        {"wordpiece", fuzz_wordpiece},
        {"byte_bpe", fuzz_byte_bpe},
        {"unigram", fuzz_unigram},
    };
    return targets;
}

Entry find_target(std::string_view name) {
    for (const Target& target : engine_targets()) {
        if (name == target.name) return target.run;
    }
    return nullptr;
}

}  // namespace quelbin::fuzz
