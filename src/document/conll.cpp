// CoNLL-U text of a document or of one sentence, read straight from the
// storage columns: comment lines, then multi-word token, word and empty-word
// lines of ten tab-separated columns. Spacing is not rendered.
#include <quelbin/document.hpp>

#include <string>
#include <string_view>

namespace quelbin {
namespace {

bool starts_with(const std::string& text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

void append_int(std::string& out, std::int64_t value) { out += std::to_string(value); }

// Appends `text` with each line break (CRLF, CR or LF) written as one space, so
// that a comment holding it stays one line of the file.
void append_one_line(std::string& out, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            out += ' ';
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += c;
        }
    }
}

// An absent value or an empty string is written as "_".
void append_field(std::string& out, const StringPool& pool, std::uint32_t id) {
    if (id == kAbsentStringId) {
        out += '_';
        return;
    }
    const std::string& value = pool.get(id);
    if (value.empty()) {
        out += '_';
    } else {
        out += value;
    }
}

void append_word_line(std::string& out, const DocumentStorage& d, std::uint32_t row) {
    const StringPool& pool = d.pool;
    append_int(out, d.word_id[row]);
    if (d.word_empty_index[row] != kAbsentInt32) {
        out += '.';
        append_int(out, d.word_empty_index[row]);
    }
    out += '\t';
    out += pool.get(d.word_text[row]);
    out += '\t';
    append_field(out, pool, d.word_lemma[row]);
    out += '\t';
    append_field(out, pool, d.word_upos[row]);
    out += '\t';
    append_field(out, pool, d.word_xpos[row]);
    out += '\t';
    append_field(out, pool, d.word_feats[row]);
    out += '\t';
    if (d.word_head[row] == kAbsentInt32) {
        out += '_';
    } else {
        append_int(out, d.word_head[row]);
    }
    out += '\t';
    append_field(out, pool, d.word_deprel[row]);
    out += '\t';
    append_field(out, pool, d.word_deps[row]);
    out += '\t';

    // MISC: the stored text, then the morphemes; "_" only when both give nothing.
    const std::size_t misc_begin = out.size();
    if (d.word_misc[row] != kAbsentStringId) out += pool.get(d.word_misc[row]);
    const std::vector<std::uint32_t>& morphemes = d.word_morphemes[row];
    if (!morphemes.empty()) {
        if (out.size() > misc_begin) out += '|';
        out += "Morphemes=";
        for (std::size_t i = 0; i < morphemes.size(); ++i) {
            if (i > 0) out += ',';
            out += pool.get(morphemes[i]);
        }
    }
    if (out.size() == misc_begin) out += '_';
}

void append_token_line(std::string& out, const DocumentStorage& d, std::uint32_t token) {
    append_int(out, d.token_id_start[token]);
    out += '-';
    append_int(out, d.token_id_end[token]);
    out += '\t';
    out += d.pool.get(d.token_text[token]);
    out += "\t_\t_\t_\t_\t_\t_\t_\t";
    append_field(out, d.pool, d.token_misc[token]);
}

// Appends the sentence's text; the caller has checked the row.
void append_sentence(std::string& out, const DocumentStorage& d, std::uint32_t s) {
    const StringPool& pool = d.pool;
    bool has_sent_id = false;
    bool has_text = false;
    for (std::uint32_t id : d.sentence_comments[s]) {
        const std::string& comment = pool.get(id);
        has_sent_id = has_sent_id || starts_with(comment, "# sent_id");
        has_text = has_text || starts_with(comment, "# text");
        out += comment;
        out += '\n';
    }
    if (!has_sent_id) {
        out += "# sent_id = ";
        if (d.sentence_sent_id[s] != kAbsentStringId) {
            out += pool.get(d.sentence_sent_id[s]);
        } else {
            append_int(out, s);
        }
        out += '\n';
    }
    if (!has_text && d.sentence_text[s] != kAbsentStringId) {
        const std::string& text = pool.get(d.sentence_text[s]);
        if (!text.empty()) {
            out += "# text = ";
            append_one_line(out, text);
            out += '\n';
        }
    }

    // Body lines are separated by "\n", with none after the last.
    bool first_line = true;
    auto begin_line = [&out, &first_line]() {
        if (!first_line) out += '\n';
        first_line = false;
    };
    const std::vector<std::uint32_t>& empties = d.sentence_empty_words[s];
    std::size_t next_empty = 0;
    for (std::uint32_t t = d.sentence_token_offsets[s]; t < d.sentence_token_offsets[s + 1]; ++t) {
        const std::int32_t first_id = d.token_id_start[t];
        while (next_empty < empties.size() && d.word_id[empties[next_empty]] < first_id) {
            begin_line();
            append_word_line(out, d, empties[next_empty++]);
        }
        if (first_id != d.token_id_end[t]) {
            begin_line();
            append_token_line(out, d, t);
        }
        for (std::uint32_t w = d.token_word_begin[t]; w < d.token_word_end[t]; ++w) {
            begin_line();
            append_word_line(out, d, w);
        }
    }
    while (next_empty < empties.size()) {
        begin_line();
        append_word_line(out, d, empties[next_empty++]);
    }
}

}  // namespace

std::string Sentence::to_conll() const {
    const DocumentStorage& d = checked();
    std::string out;
    append_sentence(out, d, row_);
    return out;
}

std::string Document::to_conll() const {
    const DocumentStorage& d = *storage_;
    std::string out;
    const std::size_t sentences = d.sentence_count();
    for (std::size_t s = 0; s < sentences; ++s) {
        if (s > 0) out += "\n\n";
        append_sentence(out, d, static_cast<std::uint32_t>(s));
    }
    return out;
}

}  // namespace quelbin
