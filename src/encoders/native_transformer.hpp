// Transformer features for model plans: a TransformerEncoder described by the
// "transformer" object of a bundle's assets, over a compiled package stored in
// the bundle directory and listed in its manifest.
#pragma once

#include <quelbin/model_bundle.hpp>
#include <quelbin/subword.hpp>
#include <quelbin/transformer.hpp>

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/json.hpp"

namespace quelbin::detail {

// Decodes standard base64 (RFC 4648 alphabet, "=" padding, padded groups allowed
// anywhere); anything else throws TransformerError.
std::vector<std::uint8_t> decode_charsmap_base64(const std::string& text);

class NativeTransformer {
public:
    // `assets` is the assets' "transformer" member. JSON errors are JsonError
    // with the dotted path; refused values are TransformerError; errors of the
    // tokenizer and the encoder pass unchanged.
    NativeTransformer(std::shared_ptr<ModelBundle> bundle, const JsonValue& assets);
    ~NativeTransformer();
    NativeTransformer(const NativeTransformer&) = delete;
    NativeTransformer& operator=(const NativeTransformer&) = delete;

    std::int64_t hidden_size() const noexcept { return hidden_size_; }

    // Float32 [words (+ 2 with endpoints), hidden_size()]; no rows give
    // [0, hidden_size()]. A width other than hidden_size() is refused.
    at::Tensor encode(const std::vector<std::string>& words, bool keep_endpoints) const;
    WordPieceEncoding tokenize(const std::vector<std::string>& words, bool add_special_tokens) const;
    // One run over the ids: float32 [n, hidden_size()]; no ids, no run.
    at::Tensor encode_ids(const std::vector<std::int64_t>& input_ids,
                          const std::vector<std::int64_t>& attention_mask) const;

private:
    at::Tensor checked(at::Tensor features) const;

    // The encoder goes before the bundle share it was built from.
    std::shared_ptr<ModelBundle> bundle_;
    std::unique_ptr<TransformerEncoder> encoder_;
    std::int64_t hidden_size_ = 0;
};

}  // namespace quelbin::detail
