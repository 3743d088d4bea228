// CRF Viterbi decoding and BIOES repair for the NER tagger.
#include "extended/ner_decode.hpp"

#include <quelbin/errors.hpp>

#include <cstddef>

namespace quelbin::detail {

std::vector<std::int64_t> viterbi_decode(const float* emissions, std::int64_t rows, std::int64_t tags,
                                         const float* transitions) {
    std::vector<std::int64_t> path(static_cast<std::size_t>(rows));
    if (rows == 0) return path;
    const auto T = static_cast<std::size_t>(tags);
    std::vector<float> score(emissions, emissions + T);
    std::vector<float> next(T);
    std::vector<std::int64_t> back(static_cast<std::size_t>(rows) * T);
    for (std::int64_t i = 1; i < rows; ++i) {
        const float* row = emissions + static_cast<std::size_t>(i) * T;
        std::int64_t* pointers = back.data() + static_cast<std::size_t>(i) * T;
        for (std::size_t j = 0; j < T; ++j) {
            float best = score[0] + transitions[j];
            std::int64_t best_k = 0;
            for (std::size_t k = 1; k < T; ++k) {
                const float candidate = score[k] + transitions[k * T + j];
                if (candidate > best) {
                    best = candidate;
                    best_k = static_cast<std::int64_t>(k);
                }
            }
            next[j] = best + row[j];
            pointers[j] = best_k;
        }
        score.swap(next);
    }
    std::int64_t last = 0;
    for (std::size_t j = 1; j < T; ++j) {
        if (score[j] > score[static_cast<std::size_t>(last)]) last = static_cast<std::int64_t>(j);
    }
    path[static_cast<std::size_t>(rows - 1)] = last;
    for (std::int64_t i = rows - 1; i >= 1; --i) {
        const auto current = static_cast<std::size_t>(path[static_cast<std::size_t>(i)]);
        path[static_cast<std::size_t>(i - 1)] = back[static_cast<std::size_t>(i) * T + current];
    }
    return path;
}

std::vector<std::string> ner_tags_from_path(const std::vector<std::int64_t>& path,
                                            const std::vector<std::string>& column) {
    std::vector<std::string> tags;
    tags.reserve(path.size());
    for (std::int64_t id : path) {
        if (id < 4) id = 4;
        if (static_cast<std::uint64_t>(id) >= column.size()) {
            throw NERModelError("NER CRF produced an invalid tag id");
        }
        tags.push_back(column[static_cast<std::size_t>(id)]);
    }
    return tags;
}

namespace {

bool has_prefix(const std::string& tag, char letter) {
    return tag.size() >= 2 && tag[0] == letter && tag[1] == '-';
}

std::string with_prefix(char letter, const std::string& type) {
    std::string tag(1, letter);
    tag += '-';
    tag += type;
    return tag;
}

// True when `tag` is one of the two prefixed forms of `type`.
bool is_either(const std::string& tag, char first, char second, const std::string& type) {
    if (tag.size() != type.size() + 2 || tag[1] != '-' || (tag[0] != first && tag[0] != second)) return false;
    return tag.compare(2, std::string::npos, type) == 0;
}

}  // namespace

void repair_bioes_tags(std::vector<std::string>& tags) {
    const std::size_t n = tags.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::string cur = tags[i];
        if (!has_prefix(cur, 'I')) continue;
        const std::string type = cur.substr(2);
        if (i + 1 == n || !is_either(tags[i + 1], 'I', 'E', type)) tags[i] = with_prefix('E', type);
        if (i == 0 || !is_either(tags[i - 1], 'B', 'I', type)) tags[i] = with_prefix('B', type);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::string cur = tags[i];
        if (has_prefix(cur, 'B')) {
            const std::string type = cur.substr(2);
            if (i + 1 == n || !is_either(tags[i + 1], 'I', 'E', type)) tags[i] = with_prefix('S', type);
        } else if (has_prefix(cur, 'E')) {
            const std::string type = cur.substr(2);
            if (i == 0 || !is_either(tags[i - 1], 'B', 'I', type)) tags[i] = with_prefix('S', type);
        }
    }
}

}  // namespace quelbin::detail
