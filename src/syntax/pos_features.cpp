// The tagger's per-word input rows: word embedding, projected pretrained
// embedding, character-model or character-LM features and transformer
// features, side by side.
#include <ATen/ops/cat.h>
#include <ATen/ops/linear.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "kernels/parallel_tasks.hpp"
#include "model/tensor_view.hpp"
#include "model/unicode.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/utf8_text.hpp"
#include "syntax/pos_impl.hpp"

namespace quelbin::detail {

namespace {

const std::unordered_set<std::string>& question_marks() {
    static const std::unordered_set<std::string> marks = {"?", "\xEF\xBC\x9F", "\xEF\xB8\x96", "\xEF\xB9\x96",
                                                          "\xE2\x81\x87"};
    return marks;
}

const std::unordered_set<std::string>& exclamation_marks() {
    static const std::unordered_set<std::string> marks = {"!", "\xEF\xBC\x81", "\xEF\xB8\x95", "\xEF\xB9\x97",
                                                          "\xE2\x80\xBC"};
    return marks;
}

std::vector<std::string> codepoints(const std::string& text) {
    const Utf8Text utf8(text);
    std::vector<std::string> out;
    out.reserve(utf8.codepoint_count());
    for (std::size_t i = 0; i < utf8.codepoint_count(); ++i) out.push_back(utf8.slice(i, i + 1));
    return out;
}

bool is_mark(const std::string& c) { return question_marks().count(c) > 0 || exclamation_marks().count(c) > 0; }

std::int64_t lookup(const std::unordered_map<std::string, std::int64_t>& vocab, const std::string& key) {
    const auto found = vocab.find(key);
    return found == vocab.end() ? 1 : found->second;
}

std::vector<std::int64_t> character_ids(const POSPlan::Impl& impl, const std::string& form) {
    const std::vector<std::string> units = codepoints(form);
    if (units.empty()) throw POSModelError("POS cannot encode an empty word");
    std::vector<std::int64_t> ids;
    ids.reserve(units.size());
    for (const std::string& unit : units) ids.push_back(lookup(impl.char_vocab, unit));
    return ids;
}

}  // namespace

std::string pos_word_form(const std::string& word) {
    const std::vector<std::string> units = codepoints(word);
    if (units.size() < 2 || !is_mark(units[0])) return word;
    for (std::size_t i = 1; i < units.size(); ++i) {
        if (!is_mark(units[i])) return word;
    }
    return question_marks().count(units[0]) > 0 ? "?" : "!";
}

at::Tensor encode_pos_characters(const POSPlan::Impl& impl, const std::string& form) {
    return impl.char_model->encode({character_ids(impl, form)})[0];
}

KeyedInputs pos_inputs(const POSPlan::Impl& impl, const std::vector<std::vector<std::string>>& sentences,
                       const std::vector<at::Tensor>& forward_features,
                       const std::vector<at::Tensor>& backward_features) {
    std::vector<std::int64_t> word_ids;
    std::vector<std::int64_t> pretrain_ids;
    std::vector<std::int64_t> form_rows;  // per word, its distinct form's row
    std::unordered_map<std::string, std::int64_t> form_index;
    std::vector<std::vector<std::int64_t>> form_chars;
    for (const std::vector<std::string>& words : sentences) {
        for (const std::string& word : words) {
            const std::string form = pos_word_form(word);
            word_ids.push_back(lookup(impl.word_vocab, impl.word_lower ? unicode_lower(form) : form));
            pretrain_ids.push_back(lookup(impl.pretrain_vocab, pretrain_key(form)));
            if (impl.use_charlm) continue;
            const auto [it, added] = form_index.emplace(form, static_cast<std::int64_t>(form_chars.size()));
            if (added) form_chars.push_back(character_ids(impl, form));
            form_rows.push_back(it->second);
        }
    }
    std::vector<std::int64_t> sentence_rows;
    sentence_rows.reserve(sentences.size());
    for (const auto& words : sentences) sentence_rows.push_back(static_cast<std::int64_t>(words.size()));
    KeyedInputs inputs(sentence_rows);
    if (inputs.rows == 0) return inputs;

    // The character model runs as parallel tasks of its own; the products
    // below stay on this thread, so that no sum depends on the thread count.
    at::Tensor characters;
    if (!impl.use_charlm) characters = impl.char_model->encode(form_chars);
    std::vector<at::Tensor> contextual;
    if (impl.use_transformer) {
        for (const std::vector<std::string>& words : sentences) {
            if (!words.empty()) contextual.push_back(impl.transformer->encode(words, false));
        }
    }
    const SerialScope serial;
    inputs.add_keyed(require_pos_tensor(impl, "word_emb.weight"), word_ids);
    inputs.add_keyed(require_pos_tensor(impl, "pretrained_emb.weight"), pretrain_ids,
                     require_pos_tensor(impl, "trans_pretrained.weight"));
    if (!impl.use_charlm) {
        inputs.add(at::linear(characters, require_pos_tensor(impl, "trans_char.weight")), std::move(form_rows));
    } else {
        std::vector<at::Tensor> forward;
        std::vector<at::Tensor> backward;
        for (std::size_t s = 0; s < sentences.size(); ++s) {
            if (sentences[s].empty()) continue;
            forward.push_back(forward_features[s]);
            backward.push_back(backward_features[s]);
        }
        at::Tensor f = at::cat(forward, 0);
        at::Tensor b = at::cat(backward, 0);
        if (impl.charlm_transform_dim >= 1) {
            f = at::linear(f, require_pos_tensor(impl, "charmodel_forward_transform.weight"));
            b = at::linear(b, require_pos_tensor(impl, "charmodel_backward_transform.weight"));
        }
        inputs.add_per_row(f);
        inputs.add_per_row(b);
    }
    if (impl.use_transformer) inputs.add_per_row(at::cat(contextual, 0));
    return inputs;
}

std::vector<at::Tensor> embed_pos_sentences(const POSPlan::Impl& impl,
                                            const std::vector<std::vector<std::string>>& sentences,
                                            const std::vector<at::Tensor>& forward_features,
                                            const std::vector<at::Tensor>& backward_features) {
    return keyed_sentence_rows(pos_inputs(impl, sentences, forward_features, backward_features));
}

at::Tensor embed_pos_words(const POSPlan::Impl& impl, const std::vector<std::string>& words,
                           const at::Tensor* forward_features, const at::Tensor* backward_features) {
    std::vector<at::Tensor> forward;
    std::vector<at::Tensor> backward;
    if (impl.use_charlm) {
        forward.push_back(forward_features != nullptr ? *forward_features : impl.charlm_forward->encode(words));
        backward.push_back(backward_features != nullptr ? *backward_features : impl.charlm_backward->encode(words));
    }
    return embed_pos_sentences(impl, {words}, forward, backward)[0].unsqueeze(0);
}

}  // namespace quelbin::detail
