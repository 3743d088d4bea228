// Row views of a document: Sentence, Token, Word (with the synthetic ROOT) and
// Span. Every access checks the row again, since the tables may have been
// rebuilt or shrunk since the view was made.
#include <quelbin/document.hpp>

#include <algorithm>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace quelbin {
namespace {

const char kRootImmutable[] = "the synthetic ROOT word is immutable";

// A column that is never absent: kAbsentStringId is as invalid as any id
// outside the pool.
std::string required_string(const DocumentStorage& d, std::uint32_t id) { return d.pool.get(id); }

std::optional<std::uint32_t> optional_offset(std::uint32_t value) {
    if (value == kAbsentCharOffset) return std::nullopt;
    return value;
}

std::optional<std::int32_t> optional_int(std::int32_t value) {
    if (value == kAbsentInt32) return std::nullopt;
    return value;
}

std::optional<bool> optional_flag(std::int8_t value) {
    if (value < 0) return std::nullopt;
    return value != 0;
}

}  // namespace

// --- Sentence ---

Sentence::Sentence(std::shared_ptr<DocumentStorage> storage, std::uint32_t row)
    : storage_(std::move(storage)), row_(row) {
    checked();
}

DocumentStorage& Sentence::checked() const {
    if (!storage_ || row_ >= storage_->sentence_count()) {
        throw std::out_of_range("invalid sentence view");
    }
    return *storage_;
}

std::optional<std::string> Sentence::sent_id() const {
    const DocumentStorage& d = checked();
    return d.pool.optional(d.sentence_sent_id[row_]);
}

std::optional<std::string> Sentence::speaker() const {
    const DocumentStorage& d = checked();
    return d.pool.optional(d.sentence_speaker[row_]);
}

std::optional<std::string> Sentence::doc_id() const {
    const DocumentStorage& d = checked();
    return d.pool.optional(d.sentence_doc_id[row_]);
}

std::string Sentence::text() const {
    const DocumentStorage& d = checked();
    return d.pool.optional(d.sentence_text[row_]).value_or(std::string());
}

Document Sentence::doc() const {
    checked();
    return Document(storage_);
}

TokenSequence Sentence::tokens() const {
    const DocumentStorage& d = checked();
    const std::uint32_t begin = d.sentence_token_offsets[row_];
    const std::uint32_t end = d.sentence_token_offsets[row_ + 1];
    return TokenSequence(storage_, SequenceRange{begin, 1, end - begin});
}

WordSequence Sentence::words() const {
    const DocumentStorage& d = checked();
    const std::uint32_t begin = d.sentence_word_offsets[row_];
    const std::uint32_t end = d.sentence_word_offsets[row_ + 1];
    return WordSequence(storage_, SequenceRange{begin, 1, end - begin});
}

WordSequence Sentence::empty_words() const {
    const DocumentStorage& d = checked();
    return WordSequence(storage_, std::vector<std::uint32_t>(d.sentence_empty_words[row_]));
}

WordSequence Sentence::all_words() const {
    const DocumentStorage& d = checked();
    const std::uint32_t begin = d.sentence_word_offsets[row_];
    const std::uint32_t end = d.sentence_word_offsets[row_ + 1];
    const std::vector<std::uint32_t>& empties = d.sentence_empty_words[row_];
    std::vector<std::uint32_t> rows;
    rows.reserve(static_cast<std::size_t>(end - begin) + empties.size());
    for (std::uint32_t r = begin; r < end; ++r) rows.push_back(r);
    rows.insert(rows.end(), empties.begin(), empties.end());
    // A regular word's empty index is INT32_MIN, so it sorts before the empty
    // words that carry its id.
    std::stable_sort(rows.begin(), rows.end(), [&d](std::uint32_t a, std::uint32_t b) {
        return std::make_pair(d.word_id[a], d.word_empty_index[a]) <
               std::make_pair(d.word_id[b], d.word_empty_index[b]);
    });
    return WordSequence(storage_, std::move(rows));
}

SpanSequence Sentence::ents() const {
    const DocumentStorage& d = checked();
    const std::uint32_t begin = d.sentence_entity_offsets[row_];
    const std::uint32_t end = d.sentence_entity_offsets[row_ + 1];
    return SpanSequence(storage_, SequenceRange{begin, 1, end - begin});
}

std::optional<std::int32_t> Sentence::sentiment() const {
    return optional_int(checked().sentence_sentiment[row_]);
}

void Sentence::set_sentiment(std::optional<std::int32_t> value) {
    checked().sentence_sentiment[row_] = value.value_or(kAbsentInt32);
}

std::optional<ConstituencyTree> Sentence::constituency() const {
    const TreeNodePtr& node = checked().sentence_constituency[row_];
    if (!node) return std::nullopt;
    return ConstituencyTree(node);
}

void Sentence::set_constituency(const std::optional<ConstituencyTree>& tree) {
    DocumentStorage& d = checked();
    d.sentence_constituency[row_] = tree ? tree->node() : TreeNodePtr();
}

std::vector<std::string> Sentence::comments() const {
    const DocumentStorage& d = checked();
    return d.pool.strings_of(d.sentence_comments[row_]);
}

// --- Token ---

Token::Token(std::shared_ptr<DocumentStorage> storage, std::uint32_t row)
    : storage_(std::move(storage)), row_(row) {
    checked();
}

DocumentStorage& Token::checked() const {
    if (!storage_ || row_ >= storage_->token_count()) throw std::out_of_range("invalid token view");
    return *storage_;
}

std::pair<std::int32_t, std::int32_t> Token::id_range() const {
    const DocumentStorage& d = checked();
    return {d.token_id_start[row_], d.token_id_end[row_]};
}

std::string Token::text() const {
    const DocumentStorage& d = checked();
    return required_string(d, d.token_text[row_]);
}

void Token::set_text(const std::string& text) {
    DocumentStorage& d = checked();
    if (text.empty()) throw std::invalid_argument("a token must have non-empty text");
    d.token_text[row_] = d.pool.intern(text);
}

std::optional<std::string> Token::misc() const {
    const DocumentStorage& d = checked();
    return d.pool.optional(d.token_misc[row_]);
}

void Token::set_misc(const std::optional<std::string>& value) {
    DocumentStorage& d = checked();
    d.token_misc[row_] = d.pool.intern_optional(value);
}

std::optional<std::string> Token::ner() const {
    const DocumentStorage& d = checked();
    return d.pool.optional(d.token_ner[row_]);
}

void Token::set_ner(const std::optional<std::string>& value) {
    DocumentStorage& d = checked();
    d.token_ner[row_] = d.pool.intern_optional(value);
}

std::vector<std::string> Token::multi_ner() const {
    const DocumentStorage& d = checked();
    return d.pool.strings_of(d.token_multi_ner[row_]);
}

void Token::set_multi_ner(const std::vector<std::string>& tags) {
    DocumentStorage& d = checked();
    // Interned into a new list first, so a full pool leaves the old list.
    d.token_multi_ner[row_] = d.pool.intern_all(tags);
}

std::optional<std::uint32_t> Token::start_char() const {
    return optional_offset(checked().token_start_char[row_]);
}

std::optional<std::uint32_t> Token::end_char() const {
    return optional_offset(checked().token_end_char[row_]);
}

std::optional<bool> Token::manual_expansion() const {
    return optional_flag(checked().token_manual_expansion[row_]);
}

void Token::set_manual_expansion(std::optional<bool> value) {
    checked().token_manual_expansion[row_] = value ? (*value ? 1 : 0) : -1;
}

std::string Token::spaces_before() const {
    const DocumentStorage& d = checked();
    return required_string(d, d.token_spaces_before[row_]);
}

void Token::set_spaces_before(const std::string& text) {
    DocumentStorage& d = checked();
    d.token_spaces_before[row_] = d.pool.intern(text);
}

std::string Token::spaces_after() const {
    const DocumentStorage& d = checked();
    return required_string(d, d.token_spaces_after[row_]);
}

void Token::set_spaces_after(const std::string& text) {
    DocumentStorage& d = checked();
    d.token_spaces_after[row_] = d.pool.intern(text);
}

WordSequence Token::words() const {
    const DocumentStorage& d = checked();
    const std::uint32_t begin = d.token_word_begin[row_];
    const std::uint32_t end = d.token_word_end[row_];
    return WordSequence(storage_, SequenceRange{begin, 1, end - begin});
}

Sentence Token::sent() const { return Sentence(storage_, checked().token_sentence[row_]); }

bool Token::is_mwt() const {
    const DocumentStorage& d = checked();
    return d.token_word_end[row_] - d.token_word_begin[row_] > 1;
}

// --- Word ---

Word::Word(std::shared_ptr<DocumentStorage> storage, std::uint32_t row, std::uint32_t sentence)
    : storage_(std::move(storage)), row_(row), sentence_(sentence) {
    checked();
}

DocumentStorage& Word::checked() const {
    if (!storage_) throw std::out_of_range("invalid word view");
    if (row_ == kNoRow) {
        // ROOT belongs to an existing sentence.
        if (sentence_ == kNoRow || sentence_ >= storage_->sentence_count()) {
            throw std::out_of_range("invalid word view");
        }
    } else if (row_ >= storage_->word_count()) {
        throw std::out_of_range("invalid word view");
    }
    return *storage_;
}

DocumentStorage& Word::writable() const {
    if (row_ == kNoRow) throw std::logic_error(kRootImmutable);
    return checked();
}

std::optional<std::string> Word::get_string(std::vector<std::uint32_t> DocumentStorage::*column) const {
    const DocumentStorage& d = checked();
    if (is_root()) return std::nullopt;
    return d.pool.optional((d.*column)[row_]);
}

void Word::set_string(std::vector<std::uint32_t> DocumentStorage::*column,
                      const std::optional<std::string>& value) {
    DocumentStorage& d = writable();
    (d.*column)[row_] = d.pool.intern_optional(value);
}

std::int32_t Word::id() const {
    const DocumentStorage& d = checked();
    return is_root() ? 0 : d.word_id[row_];
}

std::optional<std::int32_t> Word::empty_index() const {
    const DocumentStorage& d = checked();
    if (is_root()) return std::nullopt;
    return optional_int(d.word_empty_index[row_]);
}

std::string Word::text() const {
    const DocumentStorage& d = checked();
    if (is_root()) return "ROOT";
    return required_string(d, d.word_text[row_]);
}

void Word::set_text(const std::string& text) {
    DocumentStorage& d = writable();
    if (text.empty()) throw std::invalid_argument("a word must have non-empty text");
    d.word_text[row_] = d.pool.intern(text);
}

std::optional<std::string> Word::lemma() const { return get_string(&DocumentStorage::word_lemma); }
void Word::set_lemma(const std::optional<std::string>& v) { set_string(&DocumentStorage::word_lemma, v); }
std::optional<std::string> Word::upos() const { return get_string(&DocumentStorage::word_upos); }
void Word::set_upos(const std::optional<std::string>& v) { set_string(&DocumentStorage::word_upos, v); }
std::optional<std::string> Word::xpos() const { return get_string(&DocumentStorage::word_xpos); }
void Word::set_xpos(const std::optional<std::string>& v) { set_string(&DocumentStorage::word_xpos, v); }
std::optional<std::string> Word::feats() const { return get_string(&DocumentStorage::word_feats); }
void Word::set_feats(const std::optional<std::string>& v) { set_string(&DocumentStorage::word_feats, v); }
std::optional<std::string> Word::deprel() const { return get_string(&DocumentStorage::word_deprel); }
void Word::set_deprel(const std::optional<std::string>& v) { set_string(&DocumentStorage::word_deprel, v); }
std::optional<std::string> Word::deps() const { return get_string(&DocumentStorage::word_deps); }
void Word::set_deps(const std::optional<std::string>& v) { set_string(&DocumentStorage::word_deps, v); }
std::optional<std::string> Word::misc() const { return get_string(&DocumentStorage::word_misc); }
void Word::set_misc(const std::optional<std::string>& v) { set_string(&DocumentStorage::word_misc, v); }

std::optional<std::int32_t> Word::head() const {
    const DocumentStorage& d = checked();
    if (is_root()) return std::nullopt;
    return optional_int(d.word_head[row_]);
}

void Word::set_head(std::optional<std::int32_t> value) {
    writable().word_head[row_] = value.value_or(kAbsentInt32);
}

std::optional<std::uint32_t> Word::start_char() const {
    const DocumentStorage& d = checked();
    if (is_root()) return std::nullopt;
    return optional_offset(d.word_start_char[row_]);
}

std::optional<std::uint32_t> Word::end_char() const {
    const DocumentStorage& d = checked();
    if (is_root()) return std::nullopt;
    return optional_offset(d.word_end_char[row_]);
}

std::optional<bool> Word::manual_expansion() const {
    const DocumentStorage& d = checked();
    if (is_root()) return std::nullopt;
    return optional_flag(d.word_manual_expansion[row_]);
}

std::vector<std::string> Word::morphemes() const {
    const DocumentStorage& d = checked();
    if (is_root()) return {};
    return d.pool.strings_of(d.word_morphemes[row_]);
}

void Word::set_morphemes(const std::vector<std::string>& morphemes) {
    DocumentStorage& d = writable();
    d.word_morphemes[row_] = d.pool.intern_all(morphemes);
}

std::vector<CorefAttachment> Word::coref_chains() const {
    const DocumentStorage& d = checked();
    if (is_root()) return {};
    return d.word_coref[row_];
}

std::optional<Token> Word::parent() const {
    const DocumentStorage& d = checked();
    if (is_root()) return std::nullopt;
    const std::uint32_t token = d.word_token[row_];
    if (token == kNoRow) return std::nullopt;
    return Token(storage_, token);
}

Sentence Word::sent() const {
    const DocumentStorage& d = checked();
    return Sentence(storage_, is_root() ? sentence_ : d.word_sentence[row_]);
}

// --- Span ---

Span::Span(std::shared_ptr<DocumentStorage> storage, std::uint32_t row)
    : storage_(std::move(storage)), row_(row) {
    checked();
}

DocumentStorage& Span::checked() const {
    if (!storage_ || row_ >= storage_->span_count()) throw std::out_of_range("invalid span view");
    return *storage_;
}

std::string Span::text() const {
    const DocumentStorage& d = checked();
    return required_string(d, d.span_text[row_]);
}

std::string Span::type() const {
    const DocumentStorage& d = checked();
    return required_string(d, d.span_type[row_]);
}

std::optional<std::uint32_t> Span::start_char() const {
    return optional_offset(checked().span_start_char[row_]);
}

std::optional<std::uint32_t> Span::end_char() const {
    return optional_offset(checked().span_end_char[row_]);
}

TokenSequence Span::tokens() const {
    const DocumentStorage& d = checked();
    const std::uint32_t begin = d.span_token_begin[row_];
    const std::uint32_t end = d.span_token_end[row_];
    return TokenSequence(storage_, SequenceRange{begin, 1, end - begin});
}

WordSequence Span::words() const {
    const DocumentStorage& d = checked();
    const std::uint32_t begin = d.span_word_begin[row_];
    const std::uint32_t end = d.span_word_end[row_];
    return WordSequence(storage_, SequenceRange{begin, 1, end - begin});
}

Sentence Span::sent() const { return Sentence(storage_, checked().span_sentence[row_]); }

Document Span::doc() const {
    checked();
    return Document(storage_);
}

}  // namespace quelbin
