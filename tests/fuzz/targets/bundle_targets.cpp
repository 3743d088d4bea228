// Fuzz targets over stored models: opening a bundle from raw files, resolving
// a model index into a pipeline, and each kind's loader over a working
// bundle's tensor file with the assets and tensor list from the input.
#include "harness.hpp"
#include "targets.hpp"

#include "model/json.hpp"

#include <quelbin/charlm.hpp>
#include <quelbin/constituency_plan.hpp>
#include <quelbin/coref_plan.hpp>
#include <quelbin/depparse.hpp>
#include <quelbin/errors.hpp>
#include <quelbin/langid.hpp>
#include <quelbin/lemmatizer.hpp>
#include <quelbin/model_bundle.hpp>
#include <quelbin/morphseg.hpp>
#include <quelbin/mwt.hpp>
#include <quelbin/ner.hpp>
#include <quelbin/pipeline.hpp>
#include <quelbin/pos.hpp>
#include <quelbin/sentiment.hpp>
#include <quelbin/seq2seq.hpp>
#include <quelbin/tokenizer.hpp>

#include <c10/util/Exception.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>

namespace quelbin::fuzz {

namespace {

// Every descriptor lies inside the tensor file, and its bytes can be read.
std::string check_opened(const ModelBundle& bundle) {
    for (const TensorDescriptor& d : bundle.tensors()) {
        if (d.offset > bundle.tensor_file_size() || d.nbytes > bundle.tensor_file_size() - d.offset) {
            return "opened bundle has a tensor outside its file: " + d.name;
        }
        if (d.nbytes > 0) touch(bundle.tensor_data(d.name), d.nbytes);
    }
    return {};
}

}  // namespace

// Parts: manifest, assets, tensor file, one more file (extra.bin) for artifacts.
std::string fuzz_model_bundle(std::string_view data) {
    const auto parts = split_parts(data, 4);
    const fs::path dir = write_raw_bundle("bundle", parts[0], parts[1], parts[2], parts[3]);
    bool opened_unverified = false;
    std::string fault;
    std::string error = outcome<ModelBundleError>([&] {
        const ModelBundle bundle(dir, false);
        opened_unverified = true;
        if (bundle.checksums_verified()) fault = "unverified bundle reports verified checksums";
        if (fault.empty()) fault = check_opened(bundle);
    });
    if (!error.empty()) return error;
    if (!fault.empty()) return fault;
    error = outcome<ModelBundleError>([&] {
        const ModelBundle bundle(dir, true);
        if (!opened_unverified) fault = "opens with checksums verified but not without";
        else if (!bundle.checksums_verified()) fault = "verified bundle does not report it";
        else fault = check_opened(bundle);
    });
    return error.empty() ? fault : error;
}

namespace {

// A model tree in the scratch directory whose bundles are links to the
// fixture bundles; only its index.json changes between inputs.
const fs::path& model_tree() {
    static const fs::path root = [] {
        const fs::path root = scratch_dir() / "models";
        const fs::path language = root / "1.14.0" / "en";
        fs::create_directories(language);
        for (const auto& entry : fs::directory_iterator(fixture_models_root() / "1.14.0" / "en")) {
            if (entry.is_directory()) {
                fs::create_directory_symlink(entry.path(), language / entry.path().filename());
            }
        }
        return root;
    }();
    return root;
}

std::vector<std::string> split_list(std::string_view text, char separator) {
    std::vector<std::string> items;
    while (!text.empty()) {
        const std::size_t cut = text.find(separator);
        items.emplace_back(text.substr(0, cut));
        if (cut == std::string_view::npos) break;
        text.remove_prefix(cut + 1);
    }
    return items;
}

}  // namespace

// Parts: a request line "<processors, comma-separated>;<package>", index.json.
std::string fuzz_model_index(std::string_view data) {
    const auto parts = split_parts(data, 2);
    const fs::path& root = model_tree();
    write_file(root / "1.14.0" / "en" / "index.json", parts[1]);
    const std::string_view request = parts[0];
    const std::size_t semicolon = request.find(';');
    const std::vector<std::string> processors = split_list(request.substr(0, semicolon), ',');
    const std::string package =
        semicolon == std::string_view::npos ? "default" : std::string(request.substr(semicolon + 1));

    // A file-system query that fails for another reason than a missing path
    // (a name too long, say) passes its standard error on by design.
    std::string error = outcome<ModelBundleError, fs::filesystem_error>([&] {
        for (const std::string& processor : processors) {
            const fs::path bundle = resolve_model_bundle(root, "1.14.0", "en", processor, package);
            if (bundle.lexically_normal().string().rfind(root.string(), 0) != 0) {
                throw std::logic_error("resolved bundle outside the model tree: " + bundle.string());
            }
        }
    });
    if (!error.empty()) return error;
    return outcome<ModelBundleError, ProcessorNotImplementedError, std::invalid_argument, fs::filesystem_error>([&] {
        const Pipeline pipeline("en", processors, package, root, "1.14.0", false, {});
        pipeline.process(std::string("Mr. Smith's dogs don't bark.\n\nThe café is open."));
    });
}

namespace {

// Loads the kind's plan from `dir`; the result runs it once on a small input.
std::function<void()> load(std::string_view kind, const fs::path& dir) {
    const std::vector<std::string> words = {"The", "dogs", "don't", "bark", "."};
    if (kind == "tokenize") {
        auto plan = std::make_shared<TokenizerPlan>(dir, false);
        return [plan] { plan->predict_labels("Mr. Smith's dogs don't bark at 5:30."); };
    }
    if (kind == "mwt") {
        auto plan = std::make_shared<MWTPlan>(dir, false);
        return [plan] { plan->expand("don't"), plan->expand("abc"); };
    }
    if (kind == "lemma") {
        auto plan = std::make_shared<LemmaPlan>(dir, false);
        return [plan] { plan->lemmatize("dogs", std::string("NOUN")), plan->lemmatize("geese", std::nullopt); };
    }
    if (kind == "seq2seq") {
        auto plan = std::make_shared<Seq2SeqPlan>(dir, false);
        return [plan] {
            plan->predict("dogs", std::string("NOUN"), std::nullopt, false);
            plan->predict_many({"geese", "", "don't"}, {std::string("VERB"), std::nullopt, std::nullopt}, 3, true);
        };
    }
    if (kind == "pos") {
        auto plan = std::make_shared<POSPlan>(dir, false);
        return [plan, words] { plan->tag(words); };
    }
    if (kind == "depparse") {
        auto plan = std::make_shared<DepparsePlan>(dir, false);
        std::vector<DepparseWord> parsed;
        for (const std::string& w : words) parsed.push_back({w, w, std::string("NOUN"), std::string("NN"), {}});
        return [plan, parsed] { plan->parse(parsed); };
    }
    if (kind == "ner") {
        auto plan = std::make_shared<NERPlan>(dir, false);
        return [plan, words] { plan->tag(words); };
    }
    if (kind == "sentiment") {
        auto plan = std::make_shared<SentimentPlan>(dir, false);
        return [plan, words] { plan->classify(words); };
    }
    if (kind == "constituency") {
        auto plan = std::make_shared<ConstituencyPlan>(dir, false);
        return [plan, words] { plan->parse(words, {"DT", "NNS", "VBP", "VB", "."}); };
    }
    if (kind == "langid") {
        auto plan = std::make_shared<LangIDPlan>(dir, false);
        return [plan] { plan->identify("the dogs don't bark", {}); };
    }
    if (kind == "morphseg") {
        auto plan = std::make_shared<MorphSegPlan>(dir, false);
        return [plan] { plan->segment("walking"); };
    }
    if (kind == "charlm") {
        auto plan = std::make_shared<CharLMPlan>(dir, false);
        return [plan, words] { plan->encode(words); };
    }
    if (kind == "coref") {
        auto plan = std::make_shared<CorefPlan>(dir, false);
        return [plan, words] { plan->resolve(words, {0, 0, 0, 1, 1}, {"a", "a", "b", "b", "a"}); };
    }
    throw std::logic_error("no loader target for " + std::string(kind));
}

}  // namespace

// Parts: assets JSON, the manifest's tensor list (the working bundle's when empty).
std::string fuzz_loader(std::string_view kind, std::string_view data) {
    static std::map<std::string, std::unique_ptr<BundleOverBase>, std::less<>> bases;
    auto found = bases.find(kind);
    if (found == bases.end()) {
        found = bases.emplace(std::string(kind),
                              // The sequence-to-sequence plan reads the lemmatizer's bundle.
                              std::make_unique<BundleOverBase>(
                                  fixture_bundle(kind == "seq2seq" ? "lemma" : kind))).first;
    }
    const auto parts = split_parts(data, 2);
    const fs::path dir = found->second->write(parts[0], parts[1]);
    std::function<void()> run;
    // A transformer section's encoder and its subword tokenizer report their
    // own errors unchanged; the character language model's and the
    // coreference plans also pass the JSON reader's errors on as they are,
    // where every other loader reports them as its own.
    const auto load_outcome = [&](auto&& fn) {
        if (kind == "charlm" || kind == "coref") {
            return outcome<ModelBundleError, TransformerError, WordPieceError, SubwordError,
                           detail::JsonError>(fn);
        }
        return outcome<ModelBundleError, TransformerError, WordPieceError, SubwordError>(fn);
    };
    std::string error = load_outcome([&] { run = load(kind, dir); });
    if (!error.empty() || !run) return error;
    // Loaders take vocabulary ids as stored and leave some widths to the
    // operators, so a model that loads may fail its first run with ATen's
    // error (index or size), or the same index error from a network's own
    // bounds check on a table row; it must never fail in any other way.
    return outcome<ModelBundleError, TransformerError, WordPieceError, SubwordError, c10::Error,
                   std::out_of_range>(run);
}

}  // namespace quelbin::fuzz
