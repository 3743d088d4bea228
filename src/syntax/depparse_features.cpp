// The parser's per-word input rows: projected pretrained, word, lemma and POS
// embeddings (the POS block twice, the second in the morphological features'
// place), character-model or character-LM features, then transformer
// features when the bundle has them; a root row first.
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/linear.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "kernels/parallel_tasks.hpp"
#include "model/tensor_view.hpp"
#include "model/unicode.hpp"
#include "quelbin/errors.hpp"
#include "syntax/depparse_impl.hpp"

namespace quelbin::detail {

namespace {

constexpr std::int64_t kRootId = 3;
constexpr std::int64_t kNoComponent = 2;
constexpr std::int64_t kUnknown = 1;

using Vocab = std::unordered_map<std::string, std::int64_t>;

bool is_question_mark(const std::string& c) {
    static const std::unordered_set<std::string> marks = {"?", "\xEF\xBC\x9F", "\xEF\xB8\x96", "\xEF\xB9\x96",
                                                          "\xE2\x81\x87"};
    return marks.count(c) > 0;
}

bool is_exclamation_mark(const std::string& c) {
    static const std::unordered_set<std::string> marks = {"!", "\xEF\xBC\x81", "\xEF\xB8\x95", "\xEF\xB9\x97",
                                                          "\xE2\x80\xBC"};
    return marks.count(c) > 0;
}

std::int64_t lookup(const Vocab& vocab, const std::string& key) {
    const auto found = vocab.find(key);
    return found == vocab.end() ? kUnknown : found->second;
}

// A composite tag's parts: code points without a separator, else the pieces
// between separators, empty ones kept.
std::vector<std::string> xpos_parts(const std::string& tag, const std::string& sep) {
    if (tag == "_") return {};
    if (sep.empty()) return split_codepoints(tag);
    std::vector<std::string> parts;
    std::size_t begin = 0;
    while (true) {
        const std::size_t at = tag.find(sep, begin);
        if (at == std::string::npos) break;
        parts.push_back(tag.substr(begin, at - begin));
        begin = at + sep.size();
    }
    parts.push_back(tag.substr(begin));
    return parts;
}

std::vector<std::int64_t> character_ids(const DepparsePlan::Impl& impl, const std::string& text) {
    std::vector<std::int64_t> ids;
    for (const std::string& unit : split_codepoints(text)) ids.push_back(lookup(impl.char_vocab, unit));
    if (ids.empty()) throw DepparseModelError("depparse cannot encode an empty word");
    return ids;
}

}  // namespace

std::string fold_terminal_punctuation(const std::string& text) {
    const std::vector<std::string> units = split_codepoints(text);
    if (units.size() < 2) return text;
    for (const std::string& unit : units) {
        if (!is_question_mark(unit) && !is_exclamation_mark(unit)) return text;
    }
    return is_question_mark(units[0]) ? "?" : "!";
}

at::Tensor encode_depparse_characters(const DepparsePlan::Impl& impl, const std::vector<std::int64_t>& ids) {
    if (ids.empty()) throw DepparseModelError("depparse cannot encode an empty word");
    return impl.char_model->encode({ids})[0];
}

at::Tensor encode_depparse_word(const DepparsePlan::Impl& impl, const std::string& text) {
    return encode_depparse_characters(impl, character_ids(impl, text));
}

KeyedInputs depparse_inputs(const DepparsePlan::Impl& impl, const std::vector<std::vector<DepparseWord>>& sentences,
                              const std::vector<at::Tensor>& forward_features,
                              const std::vector<at::Tensor>& backward_features) {
    std::size_t rows = 0;
    for (const auto& words : sentences) rows += words.empty() ? 0 : words.size() + 1;
    const std::size_t components = impl.xpos_component_vocabs.size();
    std::vector<std::int64_t> word_ids, lemma_ids, upos_ids, xpos_ids, pretrain_ids;
    std::vector<std::vector<std::int64_t>> component_ids(components);
    for (auto* ids : {&word_ids, &lemma_ids, &upos_ids, &pretrain_ids}) ids->reserve(rows);
    if (impl.composite_xpos) {
        for (auto& ids : component_ids) ids.reserve(rows);
    } else {
        xpos_ids.reserve(rows);
    }
    // Character model inputs: each distinct text once, the root's single id
    // first; per row, its text's entry.
    std::vector<std::int64_t> char_rows;
    std::unordered_map<std::string, std::int64_t> text_entry;
    std::vector<std::vector<std::int64_t>> entry_chars;
    if (!impl.charlm) {
        char_rows.reserve(rows);
        entry_chars.push_back({kRootId});
    }

    for (const std::vector<DepparseWord>& words : sentences) {
        if (words.empty()) continue;
        for (auto* ids : {&word_ids, &lemma_ids, &upos_ids, &pretrain_ids}) ids->push_back(kRootId);
        if (!impl.composite_xpos) xpos_ids.push_back(kRootId);
        for (auto& ids : component_ids) ids.push_back(kRootId);
        if (!impl.charlm) char_rows.push_back(0);
        for (const DepparseWord& word : words) {
            const std::string folded = fold_terminal_punctuation(word.text);
            word_ids.push_back(lookup(impl.word_vocab, impl.word_lower ? unicode_lower(folded) : folded));
            const std::string lemma = word.lemma.value_or("_");
            lemma_ids.push_back(lookup(impl.lemma_vocab, impl.lemma_lower ? unicode_lower(lemma) : lemma));
            upos_ids.push_back(lookup(impl.upos_vocab, word.upos.value_or("_")));
            const std::string xpos = word.xpos.value_or("_");
            if (!impl.composite_xpos) {
                xpos_ids.push_back(xpos == "_" && impl.xpos_ignore ? kNoComponent : lookup(impl.xpos_vocab, xpos));
            } else {
                const std::vector<std::string> parts = xpos_parts(xpos, impl.xpos_sep);
                for (std::size_t k = 0; k < components; ++k) {
                    component_ids[k].push_back(k < parts.size() ? lookup(impl.xpos_component_vocabs[k], parts[k])
                                                                : kNoComponent);
                }
            }
            pretrain_ids.push_back(lookup(impl.pretrain_vocab, pretrain_key(folded)));
            if (impl.charlm) continue;
            const auto found = text_entry.find(folded);
            if (found != text_entry.end()) {
                char_rows.push_back(found->second);
                continue;
            }
            std::vector<std::int64_t> chars = character_ids(impl, folded);
            const auto entry = static_cast<std::int64_t>(entry_chars.size());
            text_entry.emplace(folded, entry);
            entry_chars.push_back(std::move(chars));
            char_rows.push_back(entry);
        }
    }

    std::vector<std::int64_t> sentence_rows;
    sentence_rows.reserve(sentences.size());
    for (const auto& words : sentences) sentence_rows.push_back(words.empty() ? 0 : static_cast<std::int64_t>(words.size()) + 1);
    KeyedInputs inputs(sentence_rows);
    if (rows == 0) return inputs;

    // The character model, the character LMs and the transformer run as
    // parallel work of their own; the products below stay on this thread, so
    // that no sum depends on the thread count.
    at::Tensor characters;
    if (!impl.charlm) characters = impl.char_model->encode(entry_chars);
    std::vector<at::Tensor> forward;
    std::vector<at::Tensor> backward;
    if (impl.charlm) {
        for (std::size_t s = 0; s < sentences.size(); ++s) {
            if (sentences[s].empty()) continue;
            if (forward_features.empty()) {
                // Computed here, after every word passed its lookups.
                std::vector<std::string> texts;
                texts.reserve(sentences[s].size() + 1);
                texts.push_back("\n");
                for (const DepparseWord& word : sentences[s]) texts.push_back(word.text);
                forward.push_back(impl.forward_charlm->encode(texts));
                backward.push_back(impl.backward_charlm->encode(texts));
            } else {
                forward.push_back(forward_features.at(s));
                backward.push_back(backward_features.at(s));
            }
        }
    }
    // Transformer rows: one run per sentence over its texts as given; the
    // leading row lines up with the root, the trailing one is dropped.
    std::vector<at::Tensor> contextual;
    if (impl.use_transformer) {
        for (const std::vector<DepparseWord>& words : sentences) {
            if (words.empty()) continue;
            std::vector<std::string> texts;
            texts.reserve(words.size());
            for (const DepparseWord& word : words) texts.push_back(word.text);
            const at::Tensor encoded = impl.transformer->encode(texts, true);
            contextual.push_back(encoded.narrow(0, 0, encoded.size(0) - 1));
        }
    }

    const SerialScope serial;
    inputs.add_keyed(require_depparse_tensor(impl, "pretrained_emb.weight"), pretrain_ids,
                     require_depparse_tensor(impl, "trans_pretrained.weight"));
    inputs.add_keyed(require_depparse_tensor(impl, "word_emb.weight"), word_ids);
    inputs.add_keyed(require_depparse_tensor(impl, "lemma_emb.weight"), lemma_ids);
    {
        // The POS block, keyed by the row's UPOS and XPOS ids together; it
        // comes twice, the second in the morphological features' place.
        std::unordered_map<std::string, std::int64_t> slot;
        std::vector<std::int64_t> index;
        index.reserve(rows);
        std::vector<std::int64_t> upos;
        std::vector<std::vector<std::int64_t>> parts(impl.composite_xpos ? components : 1);
        std::string key;
        for (std::size_t r = 0; r < rows; ++r) {
            key.assign(reinterpret_cast<const char*>(&upos_ids[r]), sizeof(std::int64_t));
            for (std::size_t k = 0; k < parts.size(); ++k) {
                const std::int64_t& part = impl.composite_xpos ? component_ids[k][r] : xpos_ids[r];
                key.append(reinterpret_cast<const char*>(&part), sizeof(std::int64_t));
            }
            const auto [it, fresh] = slot.emplace(key, static_cast<std::int64_t>(upos.size()));
            if (fresh) {
                upos.push_back(upos_ids[r]);
                for (std::size_t k = 0; k < parts.size(); ++k) {
                    parts[k].push_back(impl.composite_xpos ? component_ids[k][r] : xpos_ids[r]);
                }
            }
            index.push_back(it->second);
        }
        const auto count = static_cast<std::int64_t>(upos.size());
        const auto embed = [&](const std::string& table, const std::vector<std::int64_t>& ids) {
            return at::embedding(require_depparse_tensor(impl, table), make_id_tensor(ids, {count}), 0);
        };
        at::Tensor pos = embed("upos_emb.weight", upos);
        for (std::size_t k = 0; k < parts.size(); ++k) {
            pos = pos.add(embed(impl.composite_xpos ? "xpos_emb." + std::to_string(k) + ".weight" : "xpos_emb.weight",
                                parts[k]));
        }
        inputs.add(pos, index);
        inputs.add(pos, std::move(index));
    }
    if (!impl.charlm) {
        inputs.add(at::linear(characters, require_depparse_tensor(impl, "trans_char.weight")), std::move(char_rows));
    } else {
        inputs.add_per_row(at::cat(forward, 0));
        inputs.add_per_row(at::cat(backward, 0));
    }
    if (impl.use_transformer) inputs.add_per_row(at::cat(contextual, 0));
    TORCH_CHECK(inputs.width == impl.encoder->input_size(), "depparse input blocks fill ", inputs.width, " of ",
                impl.encoder->input_size(), " columns");
    return inputs;
}

std::vector<at::Tensor> embed_sentences(const DepparsePlan::Impl& impl,
                                        const std::vector<std::vector<DepparseWord>>& sentences,
                                        const std::vector<at::Tensor>& forward_features,
                                        const std::vector<at::Tensor>& backward_features) {
    return keyed_sentence_rows(depparse_inputs(impl, sentences, forward_features, backward_features));
}

at::Tensor embed_words(const DepparsePlan::Impl& impl, const std::vector<DepparseWord>& words,
                       const at::Tensor* forward_features, const at::Tensor* backward_features) {
    std::vector<at::Tensor> forward;
    std::vector<at::Tensor> backward;
    if (impl.charlm && forward_features != nullptr && backward_features != nullptr) {
        forward.push_back(*forward_features);
        backward.push_back(*backward_features);
    }
    return embed_sentences(impl, {words}, forward, backward)[0].unsqueeze(0);
}

}  // namespace quelbin::detail
