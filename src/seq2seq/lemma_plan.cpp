// The lemmatizer: bundle loading, dictionary lookup, the model's answer with its
// edit classes, and the document operations.
#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/json.hpp"
#include "kernels/parallel_tasks.hpp"
#include "model/unicode.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"
#include "seq2seq/lemma_impl.hpp"

namespace quelbin {
namespace detail {

bool read_lemma_config_flag(const JsonValue& config, std::string_view key) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return false;
    return value->as_bool("assets.config." + std::string(key));
}

}  // namespace detail

namespace {

const std::string kNoTag = "_";

std::string case_folded(const LemmaPlan::Impl& impl, const std::string& word) {
    return impl.caseless ? detail::unicode_lower(word) : word;
}

// The lemma the model gives for the (case-folded) word `w`.
std::string model_lemma(const Seq2SeqPrediction& prediction, const std::string& w) {
    std::string lemma;
    if (!prediction.edit || *prediction.edit == 0) {
        lemma = prediction.text;
    } else if (*prediction.edit == 1) {
        lemma = w;
    } else if (*prediction.edit == 2) {
        lemma = detail::unicode_lower(w);
    } else {
        throw LemmaModelError("seq2seq returned an unknown lemma edit class");
    }
    if (lemma.empty() || lemma.find("<UNK>") != std::string::npos) lemma = w;
    return lemma.empty() ? kNoTag : lemma;
}

}  // namespace

LemmaPlan::Impl::Impl(std::filesystem::path path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(path, verify_checksums)) {
    if (bundle->processor() != "lemma") {
        throw LemmaModelError("expected a lemma bundle, got '" + bundle->processor() + "'");
    }
    const detail::JsonValue assets = detail::parse_json(bundle->assets_json());
    const detail::JsonValue& config = assets.at("config", "assets");
    dict_only = detail::read_lemma_config_flag(config, "dict_only");
    ensemble_dict = detail::read_lemma_config_flag(config, "ensemble_dict");
    pos = detail::read_lemma_config_flag(config, "pos");
    const detail::JsonValue* caseless_value = assets.find("caseless");
    if (caseless_value != nullptr && !caseless_value->is_null()) {
        caseless = caseless_value->as_bool("assets.caseless");
    } else {
        caseless = detail::read_lemma_config_flag(config, "caseless");
    }

    for (const auto& [tag, entries] : assets.at("pos_dict", "assets").as_object("assets.pos_dict")) {
        const std::string label = "assets.pos_dict." + tag;
        auto& inner = pos_dict[tag];
        for (const auto& [word, lemma] : entries.as_object(label)) {
            if (lemma.is_null()) continue;
            inner.emplace(word, lemma.as_string(label));
        }
    }

    if (!dict_only) {
        seq2seq = std::make_unique<Seq2SeqPlan>(std::move(path), verify_checksums);
        if (pos != seq2seq->uses_pos()) {
            throw LemmaModelError("lemma config and seq2seq POS settings disagree");
        }
    }
}

const std::string* LemmaPlan::Impl::lookup_pos_dict(const std::string& word,
                                                    const std::string& tag) const {
    static const std::string kAnyTag = "*";
    for (const std::string* key : {&tag, &kAnyTag}) {
        const auto entries = pos_dict.find(*key);
        if (entries == pos_dict.end()) continue;
        const auto found = entries->second.find(word);
        if (found != entries->second.end()) return &found->second;
    }
    return nullptr;
}

namespace {

// The result when the dictionary settles the word: a hit, or a miss that the
// model cannot take. Empty when the word goes to the model.
std::optional<std::string> dictionary_answer(const LemmaPlan::Impl& impl, const std::string& w,
                                             const std::string& tag) {
    if (!impl.dict_only && !impl.ensemble_dict) return std::nullopt;
    if (const std::string* lemma = impl.lookup_pos_dict(w, tag)) {
        return lemma->empty() ? kNoTag : *lemma;
    }
    if (impl.dict_only || !impl.seq2seq) return w.empty() ? kNoTag : w;
    return std::nullopt;
}

}  // namespace

std::string LemmaPlan::Impl::lemmatize(const std::string& word,
                                       const std::optional<std::string>& upos) const {
    const std::string w = case_folded(*this, word);
    const std::string& tag = upos ? *upos : kNoTag;
    if (std::optional<std::string> settled = dictionary_answer(*this, w, tag)) return *settled;
    const Seq2SeqPrediction prediction =
        seq2seq->predict(w, std::optional<std::string>(tag), std::nullopt, /*suppress_unk=*/false);
    return model_lemma(prediction, w);
}

std::vector<std::string> LemmaPlan::Impl::lemmatize_many(
    const std::vector<std::string>& words, const std::vector<std::optional<std::string>>& upos) const {
    if (words.size() != upos.size()) {
        throw LemmaModelError("lemma word and POS batches must have equal lengths");
    }
    std::vector<std::string> lemmas(words.size());
    std::vector<std::size_t> queued;
    std::vector<std::string> queued_words;
    std::vector<std::optional<std::string>> queued_tags;
    queued.reserve(words.size());
    queued_words.reserve(words.size());
    queued_tags.reserve(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string w = case_folded(*this, words[i]);
        const std::string& tag = upos[i] ? *upos[i] : kNoTag;
        if (std::optional<std::string> settled = dictionary_answer(*this, w, tag)) {
            lemmas[i] = std::move(*settled);
            continue;
        }
        queued.push_back(i);
        queued_words.push_back(std::move(w));
        queued_tags.emplace_back(tag);
    }
    if (queued.empty()) return lemmas;
    const std::vector<Seq2SeqPrediction> predictions =
        seq2seq->predict_many(queued_words, queued_tags, std::nullopt, /*suppress_unk=*/false);
    for (std::size_t j = 0; j < queued.size(); ++j) {
        lemmas[queued[j]] = model_lemma(predictions[j], queued_words[j]);
    }
    return lemmas;
}

LemmaPlan::LemmaPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
    } catch (const detail::JsonError& error) {
        throw LemmaModelError(error.what());
    }
}

LemmaPlan::~LemmaPlan() = default;
LemmaPlan::LemmaPlan(LemmaPlan&& other) noexcept = default;
LemmaPlan& LemmaPlan::operator=(LemmaPlan&& other) noexcept = default;

const ModelBundle& LemmaPlan::bundle() const { return *impl_->bundle; }
bool LemmaPlan::uses_pos() const { return impl_->pos; }

std::string LemmaPlan::lemmatize(const std::string& word,
                                 const std::optional<std::string>& upos) const {
    return impl_->lemmatize(word, upos);
}

Document LemmaPlan::process(Document document) const {
    const WordSequence words = document.words();
    const auto count = static_cast<std::size_t>(words.size());
    std::vector<std::string> texts(count);
    std::vector<std::optional<std::string>> tags(count);
    for (std::size_t i = 0; i < count; ++i) {
        const Word word = words.at(static_cast<std::int64_t>(i));
        texts[i] = word.text();
        tags[i] = word.upos();
    }
    // Word by word as lemmatize does; with a model, groups of consecutive
    // words run as parallel tasks.
    constexpr std::size_t kTaskWords = 128;
    std::vector<std::string> lemmas(count);
    const std::size_t tasks = impl_->seq2seq ? (count + kTaskWords - 1) / kTaskWords : (count > 0 ? 1 : 0);
    const std::size_t per_task = impl_->seq2seq ? kTaskWords : count;
    std::vector<char> done(count, 0);
    std::size_t settled = count;
    std::exception_ptr error;
    try {
        detail::run_tasks(tasks, [&](std::size_t task) {
            const std::size_t end = std::min(count, (task + 1) * per_task);
            for (std::size_t i = task * per_task; i < end; ++i) {
                lemmas[i] = impl_->lemmatize(texts[i], tags[i]);
                done[i] = 1;
            }
        });
    } catch (...) {
        // As one word at a time: the words before the first failing one keep
        // their new lemmas (every task before the failing one has finished).
        error = std::current_exception();
        settled = static_cast<std::size_t>(std::find(done.begin(), done.end(), 0) - done.begin());
    }
    for (std::size_t i = 0; i < settled; ++i) words.at(static_cast<std::int64_t>(i)).set_lemma(lemmas[i]);
    if (error) std::rethrow_exception(error);
    return document;
}

std::vector<Document> LemmaPlan::process_bulk(std::vector<Document> documents) const {
    std::vector<std::string> texts;
    std::vector<std::optional<std::string>> tags;
    std::vector<WordSequence> sequences;
    sequences.reserve(documents.size());
    for (const Document& document : documents) {
        sequences.push_back(document.words());
        const WordSequence& words = sequences.back();
        texts.reserve(texts.size() + words.size());
        tags.reserve(tags.size() + words.size());
        for (std::uint64_t i = 0; i < words.size(); ++i) {
            const Word word = words.at(static_cast<std::int64_t>(i));
            texts.push_back(word.text());
            tags.push_back(word.upos());
        }
    }
    const std::vector<std::string> lemmas = impl_->lemmatize_many(texts, tags);
    std::size_t k = 0;
    for (const WordSequence& words : sequences) {
        for (std::uint64_t i = 0; i < words.size(); ++i) {
            words.at(static_cast<std::int64_t>(i)).set_lemma(lemmas[k++]);
        }
    }
    return documents;
}

}  // namespace quelbin
