// Coreference into documents: the words handed to `resolve`, the chains and
// empty words a prediction becomes, and storing them all or nothing.
#include <algorithm>
#include <map>
#include <unordered_set>

#include "coref/coref_impl.hpp"

namespace quelbin::detail {
namespace {

struct Mention {
    std::size_t start, end, head;
};

}  // namespace

int coref_empty_index(const std::vector<std::pair<int, int>>& existing, int id) {
    const int counted = static_cast<int>(existing.size()) + 1;
    const bool taken = std::any_of(existing.begin(), existing.end(),
                                   [&](const std::pair<int, int>& word) { return word == std::make_pair(id, counted); });
    if (!taken) return counted;
    int largest = 0;
    for (const auto& word : existing) largest = std::max(largest, word.second);
    return largest + 1;
}

CorefWords gather_coref_words(const DocumentStorage& storage) {
    CorefWords gathered;
    const auto count = static_cast<std::size_t>(storage.regular_word_count);
    gathered.words.reserve(count);
    gathered.sentence_ids.reserve(count);
    gathered.speakers.reserve(count);
    for (std::size_t s = 0; s < storage.sentence_count(); ++s) {
        const std::uint32_t first = storage.sentence_word_offsets[s];
        const std::uint32_t end = storage.sentence_word_offsets[s + 1];
        if (first == end) continue;
        const std::string speaker = storage.pool.optional(storage.sentence_speaker[s]).value_or("_");
        for (std::uint32_t row = first; row < end; ++row) {
            gathered.words.push_back(storage.pool.get(storage.word_text[row]));
            gathered.sentence_ids.push_back(gathered.sentence_of_id.size());
            gathered.speakers.push_back(speaker);
        }
        gathered.sentence_of_id.push_back(static_cast<std::uint32_t>(s));
    }
    return gathered;
}

CorefWrites plan_coref_writes(const DocumentStorage& storage, const CorefWords& gathered,
                              const CorefPrediction& prediction) {
    // Empty words per sentence as (id, empty index): those of the input, then
    // those generated here.
    std::map<std::uint32_t, std::vector<std::pair<int, int>>> empty_words;
    const auto empty_words_of = [&](std::uint32_t s) -> std::vector<std::pair<int, int>>& {
        auto [it, added] = empty_words.try_emplace(s);
        if (added) {
            for (const std::uint32_t row : storage.sentence_empty_words[s]) {
                if (row < storage.input_word_count) it->second.emplace_back(storage.word_id[row], storage.word_empty_index[row]);
            }
        }
        return it->second;
    };
    const std::vector<std::size_t>& ids = gathered.sentence_ids;
    CorefWrites writes;
    for (std::size_t c = 0; c < prediction.word_clusters.size(); ++c) {
        std::vector<Mention> spans;
        for (std::size_t j = 0; j < prediction.word_clusters[c].size(); ++j) {
            const auto [start, end] = prediction.span_clusters[c][j];
            spans.push_back({start, end, prediction.word_clusters[c][j]});
        }
        // Equal spans keep the cluster's order of their heads.
        std::stable_sort(spans.begin(), spans.end(), [](const Mention& a, const Mention& b) {
            return std::make_pair(a.start, a.end) < std::make_pair(b.start, b.end);
        });
        const std::unordered_set<std::size_t> zeros(prediction.zero_words[c].begin(), prediction.zero_words[c].end());
        std::vector<CorefMention> mentions;
        std::optional<int> representative;
        std::size_t best_length = 0;
        std::int64_t best_proper = -1;
        for (const Mention& span : spans) {
            if (span.start >= span.end || span.end > ids.size() || ids[span.start] != ids[span.end - 1]) {
                throw CorefModelError("coref span crossed a sentence boundary");
            }
            const std::uint32_t s = gathered.sentence_of_id[ids[span.start]];
            const std::uint32_t first = storage.sentence_word_offsets[s];
            if (zeros.count(span.head) != 0) {
                const int id = static_cast<int>(span.head - first);
                std::vector<std::pair<int, int>>& existing = empty_words_of(s);
                const int index = coref_empty_index(existing, id);
                existing.emplace_back(id, index);
                WordInput word;
                word.id = id;
                word.empty_index = index;
                word.text = "_";
                word.lemma = "_";
                writes.empty_words.emplace_back(s, std::move(word));
                mentions.emplace_back(static_cast<int>(s), CorefWordPosition{id, index}, CorefWordPosition{id, index});
                continue;
            }
            mentions.emplace_back(static_cast<int>(s), CorefWordPosition{static_cast<int>(span.start - first), {}},
                                  CorefWordPosition{static_cast<int>(span.end - first), {}});
            std::int64_t proper = 0;
            for (std::size_t w = span.start; w < span.end; ++w) {
                const std::uint32_t upos = storage.word_upos[w];
                proper += upos != kAbsentStringId && storage.pool.get(upos) == "PROPN" ? 1 : 0;
            }
            const std::size_t length = span.end - span.start;
            if (length > best_length || (length == best_length && proper > best_proper)) {
                best_length = length;
                best_proper = proper;
                representative = static_cast<int>(mentions.size() - 1);
            }
        }
        std::string text = "_";
        if (representative) {
            const CorefMention& mention = mentions[static_cast<std::size_t>(*representative)];
            const std::size_t first = storage.sentence_word_offsets[static_cast<std::size_t>(mention.sentence())];
            text.clear();
            for (int w = mention.start_word().word; w < mention.end_word().word; ++w) {
                if (!text.empty()) text += ' ';
                text += gathered.words[first + static_cast<std::size_t>(w)];
            }
        }
        writes.chains.emplace_back(static_cast<int>(c), std::move(mentions), std::move(text), representative);
    }
    return writes;
}

void apply_coref_writes(DocumentStorage& storage, CorefWrites writes) {
    DocumentStorage::GeneratedEmptyWordsReset undo(storage);
    for (auto& [sentence, word] : writes.empty_words) storage.add_empty_word(sentence, std::move(word));
    storage.set_coref(writes.chains);
    undo.commit();
}

}  // namespace quelbin::detail
