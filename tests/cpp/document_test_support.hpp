// Helpers shared by the document-model tests: a full textual snapshot of a
// storage (to prove that a failed operation changed nothing) and a checker of
// the storage's structural invariants.
#pragma once

#include <quelbin/document_storage.hpp>

#include <functional>
#include <map>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

namespace quelbin::detail {

// Grants tests a small pool limit so that overflow can be reached.
struct StringPoolTestPeer {
    static void set_max_strings(StringPool& pool, std::size_t max) { pool.max_strings_ = max; }
};

}  // namespace quelbin::detail

namespace quelbin::testing {

template <class T>
void dump_column(std::ostringstream& out, const char* name, const std::vector<T>& column) {
    out << name << ":";
    for (const T& value : column) out << ' ' << +value;
    out << '\n';
}

inline void dump_nested(std::ostringstream& out, const char* name,
                        const std::vector<std::vector<std::uint32_t>>& column) {
    out << name << ":";
    for (const auto& list : column) {
        out << " [";
        for (std::uint32_t v : list) out << v << ',';
        out << ']';
    }
    out << '\n';
}

inline std::string snapshot(const DocumentStorage& d) {
    std::ostringstream out;
    out << "text:" << d.text.bytes() << "\npool:";
    for (std::size_t i = 0; i < d.pool.size(); ++i) out << " <" << d.pool.get(static_cast<std::uint32_t>(i)) << '>';
    out << "\nlang:" << d.lang << '\n';
    dump_column(out, "sto", d.sentence_token_offsets);
    dump_column(out, "swo", d.sentence_word_offsets);
    dump_nested(out, "sew", d.sentence_empty_words);
    dump_column(out, "seo", d.sentence_entity_offsets);
    dump_column(out, "s_text", d.sentence_text);
    dump_column(out, "s_id", d.sentence_sent_id);
    dump_column(out, "s_speaker", d.sentence_speaker);
    dump_column(out, "s_doc", d.sentence_doc_id);
    dump_column(out, "s_sent", d.sentence_sentiment);
    dump_nested(out, "s_comments", d.sentence_comments);
    out << "s_tree:";
    for (const auto& node : d.sentence_constituency) out << ' ' << node.get();
    out << '\n';
    dump_column(out, "t_s", d.token_sentence);
    dump_column(out, "t_ids", d.token_id_start);
    dump_column(out, "t_ide", d.token_id_end);
    dump_column(out, "t_wb", d.token_word_begin);
    dump_column(out, "t_we", d.token_word_end);
    dump_column(out, "t_text", d.token_text);
    dump_column(out, "t_misc", d.token_misc);
    dump_column(out, "t_ner", d.token_ner);
    dump_nested(out, "t_mner", d.token_multi_ner);
    dump_column(out, "t_sc", d.token_start_char);
    dump_column(out, "t_ec", d.token_end_char);
    dump_column(out, "t_me", d.token_manual_expansion);
    dump_column(out, "t_sb", d.token_spaces_before);
    dump_column(out, "t_sa", d.token_spaces_after);
    dump_column(out, "w_s", d.word_sentence);
    dump_column(out, "w_t", d.word_token);
    dump_column(out, "w_id", d.word_id);
    dump_column(out, "w_ei", d.word_empty_index);
    dump_column(out, "w_text", d.word_text);
    dump_column(out, "w_lemma", d.word_lemma);
    dump_column(out, "w_upos", d.word_upos);
    dump_column(out, "w_xpos", d.word_xpos);
    dump_column(out, "w_feats", d.word_feats);
    dump_column(out, "w_head", d.word_head);
    dump_column(out, "w_deprel", d.word_deprel);
    dump_column(out, "w_deps", d.word_deps);
    dump_column(out, "w_misc", d.word_misc);
    dump_column(out, "w_sc", d.word_start_char);
    dump_column(out, "w_ec", d.word_end_char);
    dump_column(out, "w_me", d.word_manual_expansion);
    dump_nested(out, "w_morph", d.word_morphemes);
    std::map<const CorefChain*, std::size_t> chain_number;
    for (std::size_t i = 0; i < d.coref_chains.size(); ++i) chain_number[d.coref_chains[i].get()] = i;
    out << "w_coref:";
    for (const auto& list : d.word_coref) {
        out << " [";
        for (const CorefAttachment& a : list) {
            auto it = chain_number.find(a.chain().get());
            out << (it == chain_number.end() ? std::string("?") : std::to_string(it->second)) << ':'
                << a.is_start() << a.is_end() << a.is_representative() << ',';
        }
        out << ']';
    }
    out << "\nchains:";
    for (const auto& chain : d.coref_chains) out << ' ' << chain->index() << '/' << chain->mentions().size();
    out << '\n';
    dump_column(out, "sp_s", d.span_sentence);
    dump_column(out, "sp_tb", d.span_token_begin);
    dump_column(out, "sp_te", d.span_token_end);
    dump_column(out, "sp_wb", d.span_word_begin);
    dump_column(out, "sp_we", d.span_word_end);
    dump_column(out, "sp_text", d.span_text);
    dump_column(out, "sp_type", d.span_type);
    dump_column(out, "sp_sc", d.span_start_char);
    dump_column(out, "sp_ec", d.span_end_char);
    out << "counts: " << d.regular_word_count << ' ' << d.input_word_count << '\n';
    return out.str();
}

// Returns a description of the first broken invariant, or "" when sound.
inline std::string check_invariants(const DocumentStorage& d) {
    const std::size_t S = d.sentence_count(), T = d.token_count(), W = d.word_count(),
                      P = d.span_count(), pool = d.pool.size();
    auto id_ok = [&](std::uint32_t id, bool absent_allowed) {
        return id < pool || (absent_allowed && id == kAbsentStringId);
    };
    auto offsets_ok = [&](const std::vector<std::uint32_t>& offsets, std::size_t total) {
        if (offsets.size() != S + 1 || offsets.front() != 0 || offsets.back() != total) return false;
        for (std::size_t s = 0; s < S; ++s) if (offsets[s] > offsets[s + 1]) return false;
        return true;
    };
    if (!offsets_ok(d.sentence_token_offsets, T)) return "token offsets";
    if (!offsets_ok(d.sentence_word_offsets, d.regular_word_count)) return "word offsets";
    if (!offsets_ok(d.sentence_entity_offsets, P)) return "entity offsets";
    if (d.sentence_empty_words.size() != S || d.sentence_text.size() != S || d.sentence_sent_id.size() != S ||
        d.sentence_speaker.size() != S || d.sentence_doc_id.size() != S || d.sentence_sentiment.size() != S ||
        d.sentence_comments.size() != S || d.sentence_constituency.size() != S) {
        return "sentence column sizes";
    }
    for (auto* column : {&d.token_id_start, &d.token_id_end}) if (column->size() != T) return "token column sizes";
    for (auto* column : {&d.token_sentence, &d.token_word_begin, &d.token_word_end, &d.token_text, &d.token_misc,
                         &d.token_ner, &d.token_start_char, &d.token_end_char, &d.token_spaces_before,
                         &d.token_spaces_after}) {
        if (column->size() != T) return "token column sizes";
    }
    if (d.token_multi_ner.size() != T || d.token_manual_expansion.size() != T) return "token column sizes";
    for (auto* column : {&d.word_sentence, &d.word_token, &d.word_text, &d.word_lemma, &d.word_upos, &d.word_xpos,
                         &d.word_feats, &d.word_deprel, &d.word_deps, &d.word_misc, &d.word_start_char,
                         &d.word_end_char}) {
        if (column->size() != W) return "word column sizes";
    }
    if (d.word_id.size() != W || d.word_empty_index.size() != W || d.word_head.size() != W ||
        d.word_manual_expansion.size() != W || d.word_morphemes.size() != W || d.word_coref.size() != W) {
        return "word column sizes";
    }
    for (auto* column : {&d.span_sentence, &d.span_token_begin, &d.span_token_end, &d.span_word_begin,
                         &d.span_word_end, &d.span_text, &d.span_type, &d.span_start_char, &d.span_end_char}) {
        if (column->size() != P) return "span column sizes";
    }
    if (!(d.regular_word_count <= d.input_word_count && d.input_word_count <= W)) return "word counts";
    for (std::size_t s = 0; s < S; ++s) {
        if (!id_ok(d.sentence_text[s], true) || !id_ok(d.sentence_sent_id[s], false) ||
            !id_ok(d.sentence_speaker[s], true) || !id_ok(d.sentence_doc_id[s], true)) {
            return "sentence ids";
        }
        for (std::uint32_t id : d.sentence_comments[s]) if (!id_ok(id, false)) return "comment ids";
        std::uint32_t expected_word = d.sentence_word_offsets[s];
        for (std::uint32_t t = d.sentence_token_offsets[s]; t < d.sentence_token_offsets[s + 1]; ++t) {
            if (d.token_sentence[t] != s) return "token sentence";
            if (d.token_word_begin[t] != expected_word || d.token_word_end[t] < d.token_word_begin[t]) {
                return "token word range";
            }
            for (std::uint32_t w = d.token_word_begin[t]; w < d.token_word_end[t]; ++w) {
                if (d.word_sentence[w] != s || d.word_token[w] != t) return "word owner";
            }
            expected_word = d.token_word_end[t];
        }
        if (expected_word != d.sentence_word_offsets[s + 1]) return "sentence words";
        for (std::uint32_t row : d.sentence_empty_words[s]) {
            if (row < d.regular_word_count || row >= W || d.word_sentence[row] != s) return "empty word list";
        }
        for (std::uint32_t p = d.sentence_entity_offsets[s]; p < d.sentence_entity_offsets[s + 1]; ++p) {
            if (d.span_sentence[p] != s || d.span_token_begin[p] >= d.span_token_end[p] ||
                d.span_token_begin[p] < d.sentence_token_offsets[s] ||
                d.span_token_end[p] > d.sentence_token_offsets[s + 1] || !id_ok(d.span_text[p], false) ||
                !id_ok(d.span_type[p], false)) {
                return "span row";
            }
        }
    }
    for (std::size_t t = 0; t < T; ++t) {
        if (!id_ok(d.token_text[t], false) || !id_ok(d.token_misc[t], true) || !id_ok(d.token_ner[t], true) ||
            !id_ok(d.token_spaces_before[t], false) || !id_ok(d.token_spaces_after[t], false)) {
            return "token ids";
        }
        if (d.pool.get(d.token_text[t]).empty()) return "empty token text";
        for (std::uint32_t id : d.token_multi_ner[t]) if (!id_ok(id, false)) return "multi ner ids";
    }
    std::size_t listed_empty = 0;
    for (const auto& rows : d.sentence_empty_words) listed_empty += rows.size();
    if (listed_empty != W - d.regular_word_count) return "empty words listed";
    for (std::size_t w = 0; w < W; ++w) {
        const bool regular = w < d.regular_word_count;
        if (regular != (d.word_token[w] != kNoRow)) return "word token";
        if (regular != (d.word_empty_index[w] == kAbsentInt32)) return "word empty index";
        if (!regular && (d.word_empty_index[w] < 1 || d.word_id[w] < 0)) return "empty word id";
        if (regular && d.word_id[w] < 1) return "regular word id";
        if (!id_ok(d.word_text[w], false) || d.pool.get(d.word_text[w]).empty()) return "word text";
        for (std::uint32_t id : {d.word_lemma[w], d.word_upos[w], d.word_xpos[w], d.word_feats[w], d.word_deprel[w],
                                 d.word_deps[w], d.word_misc[w]}) {
            if (!id_ok(id, true)) return "word ids";
        }
        for (std::uint32_t id : d.word_morphemes[w]) if (!id_ok(id, false)) return "morpheme ids";
        for (const CorefAttachment& a : d.word_coref[w]) {
            bool found = false;
            for (const auto& chain : d.coref_chains) found = found || chain == a.chain();
            if (!found) return "attachment chain";
        }
    }
    return "";
}

// The message of the E that `call` throws; "wrong class: …" for another
// exception and "no failure" when it returns.
template <class E>
std::string failure_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("wrong class: ") + e.what();
    }
    return "no failure";
}

}  // namespace quelbin::testing
