#include "tokenize/tokenize_text.hpp"

#include "tokenize/build_document.hpp"

#include "kernels/parallel_tasks.hpp"

#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>

#include <algorithm>
#include <functional>
#include <iterator>
#include <numeric>

namespace quelbin::detail {

std::shared_ptr<DocumentStorage> build_document_storage(const TokenizerPlan::Impl& impl, const Utf8Text& text,
                                                        std::vector<Paragraph> paragraphs, std::vector<Labels> labels) {
    // The units and labels (tens of bytes per character) go paragraph by
    // paragraph as the compact tokens (16 bytes each) are recorded, and are
    // gone before the storage, the peak of a large text, is built.
    SpanInput spans = build_spans(impl, text, paragraphs, labels);
    std::vector<Paragraph>().swap(paragraphs);
    std::vector<Labels>().swap(labels);
    auto storage = std::make_shared<DocumentStorage>(text.bytes());
    storage->build_spans(spans);
    storage->lang = storage->pool.intern(impl.bundle->language());
    return storage;
}

namespace {

using ParagraphList = std::vector<std::reference_wrapper<const Paragraph>>;

// Units (sequence steps) per labelling task: enough that a task far outweighs
// handing it out (tens of milliseconds), few enough that a megabyte makes over
// a hundred tasks, so that a thread the machine does not schedule for a while
// holds back little.
constexpr std::size_t kTaskUnits = 8192;

// Paragraphs labelled together in one task, and where their labels go.
struct LabelTask {
    bool windowed = false;  // label_paragraphs_windowed, else one label_paragraphs batch
    ParagraphList paragraphs;
    std::vector<std::size_t> destinations;
};

// Tasks that label the paragraphs as label_paragraph does: longest first, cut
// into groups of about kTaskUnits units, so that the paragraphs running side by
// side in a task have about the same length. The groups depend on the input only.
void add_windowed_tasks(const ParagraphList& paragraphs, const std::vector<std::size_t>& destinations,
                        std::vector<LabelTask>& tasks) {
    std::vector<std::size_t> order(paragraphs.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return paragraphs[a].get().size() > paragraphs[b].get().size();
    });
    const std::vector<std::size_t> bounds =
        group_by_weight(order.size(), kTaskUnits, [&](std::size_t i) { return paragraphs[order[i]].get().size(); });
    for (std::size_t g = 0; g + 1 < bounds.size(); ++g) {
        LabelTask task;
        task.windowed = true;
        for (std::size_t i = bounds[g]; i < bounds[g + 1]; ++i) {
            task.paragraphs.push_back(paragraphs[order[i]]);
            task.destinations.push_back(destinations[order[i]]);
        }
        tasks.push_back(std::move(task));
    }
}

// Runs the tasks over the thread pool; each writes its own slots of labels.
void run_label_tasks(const TokenizerPlan::Impl& impl, const std::vector<LabelTask>& tasks,
                     std::vector<Labels>& labels) {
    run_tasks(tasks.size(), [&](std::size_t t) {
        const LabelTask& task = tasks[t];
        std::vector<Labels> result = task.windowed ? label_paragraphs_windowed(impl, task.paragraphs)
                                                   : label_paragraphs(impl, task.paragraphs);
        for (std::size_t i = 0; i < result.size(); ++i) labels[task.destinations[i]] = std::move(result[i]);
    });
}

}  // namespace

std::shared_ptr<DocumentStorage> tokenize_text(const TokenizerPlan::Impl& impl, const Utf8Text& text) {
    std::vector<Paragraph> paragraphs = split_paragraphs(text.bytes(), impl.skip_newline);
    // Every paragraph gets the labels of label_paragraph; groups of paragraphs
    // run as tasks, and within a task their windows run side by side.
    std::vector<std::size_t> destinations(paragraphs.size());
    std::iota(destinations.begin(), destinations.end(), std::size_t{0});
    std::vector<LabelTask> tasks;
    add_windowed_tasks(ParagraphList(paragraphs.begin(), paragraphs.end()), destinations, tasks);
    std::vector<Labels> labels(paragraphs.size());
    run_label_tasks(impl, tasks, labels);
    std::vector<LabelTask>().swap(tasks);
    // One document: its records and storage are built in one piece.
    const SerialScope serial;
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

    // Paragraphs of at most one window share batches in input order, of
    // batch_size paragraphs or kTaskUnits units, each batch one task. Longer
    // ones get the labels of label_paragraph, in windowed tasks that go first.
    const auto batch_size = static_cast<std::size_t>(impl.batch_size);
    std::vector<LabelTask> batches(1);
    std::size_t batch_units = 0;
    ParagraphList long_paragraphs;
    std::vector<std::size_t> long_destinations;
    std::size_t g = 0;
    for (const std::vector<Paragraph>& document : paragraphs) {
        for (const Paragraph& paragraph : document) {
            if (paragraph.size() > kInferenceWindow) {
                if (!batches.back().paragraphs.empty()) {
                    batches.emplace_back();
                    batch_units = 0;
                }
                long_paragraphs.push_back(std::cref(paragraph));
                long_destinations.push_back(g);
            } else {
                batches.back().paragraphs.push_back(std::cref(paragraph));
                batches.back().destinations.push_back(g);
                batch_units += paragraph.size();
                if (batches.back().paragraphs.size() == batch_size || batch_units >= kTaskUnits) {
                    batches.emplace_back();
                    batch_units = 0;
                }
            }
            ++g;
        }
    }
    if (batches.back().paragraphs.empty()) batches.pop_back();
    std::vector<LabelTask> tasks;
    add_windowed_tasks(long_paragraphs, long_destinations, tasks);
    tasks.insert(tasks.end(), std::make_move_iterator(batches.begin()), std::make_move_iterator(batches.end()));
    std::vector<Labels> labels(total);
    run_label_tasks(impl, tasks, labels);
    std::vector<LabelTask>().swap(tasks);

    // Each document is built on its own, so the documents are tasks too.
    std::vector<std::vector<Labels>> document_labels(texts.size());
    g = 0;
    for (std::size_t d = 0; d < texts.size(); ++d) {
        const std::size_t count = paragraphs[d].size();
        document_labels[d].assign(std::make_move_iterator(labels.begin() + g),
                                  std::make_move_iterator(labels.begin() + g + count));
        g += count;
    }
    std::vector<Labels>().swap(labels);
    std::vector<std::shared_ptr<DocumentStorage>> results(texts.size());
    run_tasks(texts.size(), [&](std::size_t d) {
        results[d] = build_document_storage(impl, *texts[d], std::move(paragraphs[d]), std::move(document_labels[d]));
    });
    return results;
}

Labels predict_paragraph_labels(const TokenizerPlan::Impl& impl, const std::string& text) {
    const std::vector<Paragraph> paragraphs = split_paragraphs(text, impl.skip_newline);
    if (paragraphs.size() >= 2) {
        throw TokenizerModelError("predict_labels expects text containing one tokenizer paragraph");
    }
    if (paragraphs.empty()) return {};
    // One paragraph: its windows follow one another, so it is a single task.
    return label_paragraph(impl, paragraphs.front());
}

}  // namespace quelbin::detail
