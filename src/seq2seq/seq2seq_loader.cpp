// Loading of a sequence-to-sequence bundle: configuration, vocabularies, checks
// in a fixed order, views of every tensor and the encoder's initial state.
#include <string>
#include <utility>

#include <ATen/ops/zeros.h>

#include "kernels/bilstm.hpp"
#include "model/json.hpp"
#include "model/tensor_view.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"
#include "seq2seq/seq2seq_impl.hpp"

namespace quelbin {
namespace detail {

Seq2SeqVocab load_seq2seq_vocab(const JsonValue& value, std::string_view path) {
    const std::string label(path);
    Seq2SeqVocab vocab;
    const JsonValue& id2unit = value.at("_id2unit", label);
    const std::string list_label = label + "._id2unit";
    const std::string element_label = list_label + "[]";
    for (const JsonValue& unit : id2unit.as_array(list_label)) {
        vocab.id2unit.push_back(unit.as_string(element_label));
    }
    const JsonValue& unit2id = value.at("_unit2id", label);
    const std::string map_label = label + "._unit2id";
    const auto& members = unit2id.as_object(map_label);
    vocab.unit2id.reserve(members.size());
    for (const auto& [unit, id] : members) {
        vocab.unit2id.emplace(unit, id.as_integer(map_label));
    }
    static const char* const kReserved[] = {"<PAD>", "<UNK>", "<SOS>", "<EOS>"};
    bool reserved = vocab.id2unit.size() >= 4;
    for (std::size_t i = 0; reserved && i < 4; ++i) reserved = vocab.id2unit[i] == kReserved[i];
    if (!reserved) {
        throw Seq2SeqModelError(label + " must begin with <PAD>, <UNK>, <SOS>, <EOS>");
    }
    // Ids index the embedding tables and size the copy distribution: an id outside
    // the vocabulary would fail or allocate without bound at prediction time.
    const auto units = static_cast<int64_t>(vocab.id2unit.size());
    for (const auto& [unit, id] : vocab.unit2id) {
        if (id < 0 || id >= units) {
            throw Seq2SeqModelError(map_label + " maps '" + unit + "' to an id outside " + label +
                                    "._id2unit");
        }
    }
    return vocab;
}

int64_t read_seq2seq_config_int(const JsonValue& config, std::string_view key, int64_t fallback) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return fallback;
    return value->as_integer("assets.config." + std::string(key));
}

bool read_seq2seq_config_bool(const JsonValue& config, std::string_view key) {
    const JsonValue* value = config.find(key);
    if (value == nullptr || value->is_null()) return false;
    return value->as_bool("assets.config." + std::string(key));
}

std::vector<at::Tensor> collect_seq2seq_encoder_weights(const Seq2SeqPlan::Impl& impl) {
    // Not reserved from num_layers: the configured count is bounded only by
    // the tensors that turn out to be present.
    std::vector<at::Tensor> weights;
    for (int64_t k = 0; k < impl.num_layers; ++k) {
        for (const char* suffix : {"", "_reverse"}) {
            for (const char* kind : {"weight_ih_l", "weight_hh_l", "bias_ih_l", "bias_hh_l"}) {
                weights.push_back(require_seq2seq_tensor(
                    impl, "encoder." + std::string(kind) + std::to_string(k) + suffix));
            }
        }
    }
    return weights;
}

}  // namespace detail

Seq2SeqPlan::Impl::Impl(std::filesystem::path path, bool verify_checksums) {
    using detail::JsonValue;
    bundle = std::make_shared<ModelBundle>(std::move(path), verify_checksums);
    const std::string& processor = bundle->processor();
    if (processor != "lemma" && processor != "mwt") {
        throw Seq2SeqModelError("expected a lemma or MWT bundle, got '" + processor + "'");
    }

    const JsonValue assets = detail::parse_json(bundle->assets_json());
    const JsonValue& config = assets.at("config", "assets");
    const JsonValue& vocab = assets.at("vocab", "assets");
    if (const JsonValue* chars = vocab.find("char")) {
        char_vocab = detail::load_seq2seq_vocab(*chars, "assets.vocab.char");
    } else {
        char_vocab = detail::load_seq2seq_vocab(vocab, "assets.vocab");
    }
    if (const JsonValue* tags = vocab.find("pos")) {
        pos_vocab = detail::load_seq2seq_vocab(*tags, "assets.vocab.pos");
    }

    vocab_size = detail::read_seq2seq_config_int(config, "vocab_size", 0);
    emb_dim = detail::read_seq2seq_config_int(config, "emb_dim", 0);
    hidden_dim = detail::read_seq2seq_config_int(config, "hidden_dim", 0);
    num_layers = detail::read_seq2seq_config_int(config, "num_layers", 0);
    max_dec_len = detail::read_seq2seq_config_int(config, "max_dec_len", 0);
    beam_size = detail::read_seq2seq_config_int(config, "beam_size", 1);
    batch_size = detail::read_seq2seq_config_int(config, "batch_size", 50);
    pos = detail::read_seq2seq_config_bool(config, "pos");
    pos_dim = detail::read_seq2seq_config_int(config, "pos_dim", 0);
    edit = detail::read_seq2seq_config_bool(config, "edit");
    copy = detail::read_seq2seq_config_bool(config, "copy");

    if (config.at("attn_type", "assets.config").as_string("assets.config.attn_type") != "soft") {
        throw Seq2SeqModelError("native seq2seq inference currently supports soft attention");
    }
    if (detail::read_seq2seq_config_bool(config, "charlm")) {
        throw Seq2SeqModelError("contextual character-LM seq2seq bundles are unsupported");
    }
    // A beam holds up to beam_size hypotheses, each with its own states and
    // tokens: a configured beam of millions would take all memory at the first
    // prediction, so beams beyond kMaxConfiguredBeam are refused here.
    constexpr int64_t kMaxConfiguredBeam = 1024;
    if (vocab_size != static_cast<int64_t>(char_vocab.id2unit.size()) || emb_dim < 1 ||
        hidden_dim < 1 || num_layers < 1 || max_dec_len < 1 || beam_size < 1 || beam_size > kMaxConfiguredBeam ||
        batch_size < 1 || hidden_dim % 2 != 0) {
        throw Seq2SeqModelError("invalid seq2seq dimensions in assets.config");
    }
    if (pos && (!pos_vocab || pos_dim < 1)) {
        throw Seq2SeqModelError("the seq2seq config enables POS without a POS vocabulary");
    }

    tensors = detail::view_bundle_tensors<Seq2SeqModelError>(*bundle);

    detail::require_seq2seq_tensor(*this, "embedding.weight");
    encoder_weights = detail::collect_seq2seq_encoder_weights(*this);
    for (const char* name :
         {"decoder.lstm_cell.weight_ih", "decoder.lstm_cell.weight_hh", "decoder.lstm_cell.bias_ih",
          "decoder.lstm_cell.bias_hh", "decoder.attention_layer.linear_in.weight",
          "decoder.attention_layer.linear_out.weight", "dec2vocab.weight", "dec2vocab.bias"}) {
        detail::require_seq2seq_tensor(*this, name);
    }
    if (copy) {
        detail::require_seq2seq_tensor(*this, "copy_gate.weight");
        detail::require_seq2seq_tensor(*this, "copy_gate.bias");
    }
    if (pos) detail::require_seq2seq_tensor(*this, "pos_embedding.weight");
    if (edit) {
        for (const char* name :
             {"edit_clf.0.weight", "edit_clf.0.bias", "edit_clf.2.weight", "edit_clf.2.bias"}) {
            detail::require_seq2seq_tensor(*this, name);
        }
    }

    const at::Tensor& embedding = detail::require_seq2seq_tensor(*this, "embedding.weight");
    if (!detail::hidden_size_fits(hidden_dim / 2, encoder_weights[1])) {
        throw Seq2SeqModelError("invalid seq2seq dimensions in assets.config");
    }
    // Copy mixing adds the generation scores to the copy scores column by column
    // over the vocabulary: the projection must give exactly one row per unit.
    const at::Tensor& projection = detail::require_seq2seq_tensor(*this, "dec2vocab.weight");
    if (copy && (projection.dim() < 1 || projection.size(0) != vocab_size)) {
        throw Seq2SeqModelError("invalid seq2seq dimensions in assets.config");
    }
    for (int i = 0; i < 2; ++i) {
        encoder_initial_state.push_back(
            at::zeros({2 * num_layers, 1, hidden_dim / 2}, embedding.options()));
    }
}

}  // namespace quelbin
