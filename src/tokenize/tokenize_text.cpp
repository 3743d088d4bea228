#include "tokenize/tokenize_text.hpp"

#include "tokenize/build_document.hpp"

#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>

namespace quelbin::detail {

std::shared_ptr<DocumentStorage> build_document_storage(const TokenizerPlan::Impl& impl, const Utf8Text& text,
                                                        std::vector<Paragraph> paragraphs, std::vector<Labels> labels) {
    const std::vector<SentenceInput> sentences = build_sentences(impl, text, paragraphs, labels);
    // The units and labels (tens of bytes per character) are not needed while
    // the storage is built, the peak of a large text.
    std::vector<Paragraph>().swap(paragraphs);
    std::vector<Labels>().swap(labels);
    auto storage = std::make_shared<DocumentStorage>(text.bytes());
    storage->build(sentences);
    storage->lang = storage->pool.intern(impl.bundle->language());
    return storage;
}

std::shared_ptr<DocumentStorage> tokenize_text(const TokenizerPlan::Impl& impl, const Utf8Text& text) {
    std::vector<Paragraph> paragraphs = split_paragraphs(text.bytes(), impl.skip_newline);
    // Every paragraph gets the labels of label_paragraph; their windows run side by side.
    std::vector<Labels> labels =
        label_paragraphs_windowed(impl, std::vector<std::reference_wrapper<const Paragraph>>(paragraphs.begin(), paragraphs.end()));
    return build_document_storage(impl, text, std::move(paragraphs), std::move(labels));
}

std::vector<std::shared_ptr<DocumentStorage>> tokenize_texts(const TokenizerPlan::Impl& impl,
                                                             const std::vector<const Utf8Text*>& texts) {
    // Every text is split before the model runs, so bad input fails early.
    std::vector<std::vector<Paragraph>> paragraphs;
    paragraphs.reserve(texts.size());
    std::size_t total = 0;
    for (const Utf8Text* text : texts) {
        paragraphs.push_back(split_paragraphs(text->bytes(), impl.skip_newline));
        total += paragraphs.back().size();
    }

    std::vector<Labels> labels(total);
    const auto batch_size = static_cast<std::size_t>(impl.batch_size);
    std::vector<std::reference_wrapper<const Paragraph>> queue;
    std::vector<std::size_t> destinations;
    queue.reserve(batch_size);
    destinations.reserve(batch_size);
    // Paragraphs longer than one window get the labels of label_paragraph; they
    // are collected and labelled side by side once the batches are done.
    std::vector<std::reference_wrapper<const Paragraph>> long_paragraphs;
    std::vector<std::size_t> long_destinations;
    std::size_t g = 0;
    for (const std::vector<Paragraph>& document : paragraphs) {
        for (const Paragraph& paragraph : document) {
            if (paragraph.size() > kInferenceWindow) {
                flush_paragraph_queue(impl, queue, destinations, labels);
                long_paragraphs.push_back(std::cref(paragraph));
                long_destinations.push_back(g);
            } else {
                queue.push_back(std::cref(paragraph));
                destinations.push_back(g);
                if (queue.size() == batch_size) flush_paragraph_queue(impl, queue, destinations, labels);
            }
            ++g;
        }
    }
    flush_paragraph_queue(impl, queue, destinations, labels);
    std::vector<Labels> long_labels = label_paragraphs_windowed(impl, long_paragraphs);
    for (std::size_t i = 0; i < long_labels.size(); ++i) labels[long_destinations[i]] = std::move(long_labels[i]);

    std::vector<std::shared_ptr<DocumentStorage>> results;
    results.reserve(texts.size());
    g = 0;
    for (std::size_t d = 0; d < texts.size(); ++d) {
        const std::size_t count = paragraphs[d].size();
        std::vector<Labels> document_labels(std::make_move_iterator(labels.begin() + g),
                                            std::make_move_iterator(labels.begin() + g + count));
        g += count;
        results.push_back(build_document_storage(impl, *texts[d], std::move(paragraphs[d]), std::move(document_labels)));
    }
    return results;
}

Labels predict_paragraph_labels(const TokenizerPlan::Impl& impl, const std::string& text) {
    const std::vector<Paragraph> paragraphs = split_paragraphs(text, impl.skip_newline);
    if (paragraphs.size() >= 2) {
        throw TokenizerModelError("predict_labels expects text containing one tokenizer paragraph");
    }
    if (paragraphs.empty()) return {};
    return label_paragraph(impl, paragraphs.front());
}

}  // namespace quelbin::detail
