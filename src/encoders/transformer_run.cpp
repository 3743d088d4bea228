// Loading and running compiled transformer packages (see transformer_run.hpp).
#include "encoders/transformer_run.hpp"

#include <quelbin/errors.hpp>

#include <ATen/Parallel.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/index_select.h>
#include <c10/core/InferenceMode.h>
#include <c10/util/Exception.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>

#include "model/tensor_view.hpp"

namespace fs = std::filesystem;

namespace quelbin::detail {

void PackageLoaderDeleter::operator()(PackageLoader* loader) const noexcept { delete loader; }

PackageLoaderPtr load_transformer_package(const fs::path& model_path,
                                          std::uint64_t intra_op_threads,
                                          std::uint64_t model_max_length) {
    // A package is a .pt2 archive or an unpacked package directory; the status
    // queries follow symbolic links and let filesystem errors through.
    if (!fs::is_regular_file(model_path) && !fs::is_directory(model_path)) {
        throw TransformerError("AOTInductor transformer model does not exist: " +
                               model_path.string());
    }
    if (model_max_length < 5) {
        throw TransformerError("transformer model_max_length must be at least 5");
    }
    if (intra_op_threads != 0 &&
        static_cast<std::int32_t>(at::get_num_threads()) !=
            static_cast<std::int32_t>(intra_op_threads)) {
        throw TransformerError(
            "intra_op_threads cannot change the process-wide ATen thread pool during "
            "TransformerEncoder construction; call torch.set_num_threads() before constructing "
            "Quelbin models");
    }
    const std::string prefix = "could not load AOTInductor transformer '" + model_path.string() + "': ";
    try {
        return PackageLoaderPtr(new PackageLoader(model_path.string(), "model", false, 1, -1));
    } catch (const c10::Error& error) {
        throw TransformerError(prefix + error.what_without_backtrace());
    } catch (const std::exception& error) {
        throw TransformerError(prefix + error.what());
    }
}

at::Tensor run_transformer(PackageLoader& loader, const std::vector<std::int64_t>& ids,
                           const std::vector<std::int64_t>& attention_mask) {
    const auto n = static_cast<std::int64_t>(ids.size());
    std::vector<std::int64_t> mask;
    if (attention_mask.empty()) {
        mask.assign(ids.size(), 1);
    } else {
        mask = attention_mask;
        if (mask.size() != ids.size()) {
            throw TransformerError("transformer attention mask length does not match input ids");
        }
    }
    c10::InferenceMode guard;
    std::vector<at::Tensor> outputs;
    try {
        outputs = loader.run({make_id_tensor(ids, {1, n}), make_id_tensor(mask, {1, n})}, nullptr);
    } catch (const c10::Error& error) {
        throw TransformerError(std::string("AOTInductor transformer inference failed: ") +
                               error.what_without_backtrace());
    } catch (const std::exception& error) {
        throw TransformerError(std::string("AOTInductor transformer inference failed: ") +
                               error.what());
    }
    if (outputs.size() != 1) {
        throw TransformerError("AOTInductor transformer must return exactly one tensor");
    }
    const at::Tensor& output = outputs[0];
    if (output.scalar_type() != at::kFloat) {
        throw TransformerError("AOTInductor transformer output must be float32");
    }
    if (output.dim() != 3 || output.size(0) != 1 || output.size(1) != n || output.size(2) <= 0) {
        throw TransformerError("AOTInductor transformer output must have shape [1, subwords, hidden]");
    }
    return output.squeeze(0).contiguous();
}

at::Tensor run_transformer_windows(PackageLoader& loader, const std::vector<std::int64_t>& ids,
                                   std::uint64_t max_length) {
    const std::uint64_t total = ids.size();
    if (total <= max_length) return run_transformer(loader, ids, {});
    const std::uint64_t stride = std::max(max_length >= 20 ? max_length - 20 : 0, max_length / 2);
    if (stride <= 4) {
        throw TransformerError("transformer model_max_length is too small for overlapping slices");
    }
    const std::uint64_t overlap = max_length - stride;
    c10::InferenceMode guard;
    at::Tensor hidden;
    std::int64_t width = 0;
    std::uint64_t filled = 0;
    std::vector<std::int64_t> window;
    for (std::uint64_t start = 0;; start += stride) {
        const std::uint64_t end = std::min(start + max_length, total);
        window.assign(ids.begin() + static_cast<std::ptrdiff_t>(start),
                      ids.begin() + static_cast<std::ptrdiff_t>(end));
        const at::Tensor out = run_transformer(loader, window, {});
        if (start == 0) {
            width = out.size(1);
            hidden = at::empty({static_cast<std::int64_t>(total), width}, out.options());
        } else if (out.size(1) != width) {
            throw TransformerError("AOTInductor transformer hidden size changed across slices");
        }
        const std::uint64_t skip = start == 0 ? 0 : overlap;
        const auto rows = static_cast<std::uint64_t>(out.size(0));
        if (rows < skip) throw TransformerError("AOTInductor transformer overlap exceeds final slice");
        const std::uint64_t count = rows - skip;
        hidden.narrow(0, static_cast<std::int64_t>(filled), static_cast<std::int64_t>(count))
            .copy_(out.narrow(0, static_cast<std::int64_t>(skip), static_cast<std::int64_t>(count)));
        filled += count;
        if (end == total) break;
    }
    if (filled != total) {
        throw TransformerError("AOTInductor transformer slices did not reconstruct the subword sequence");
    }
    return hidden;
}

at::Tensor select_word_rows(const at::Tensor& hidden, const std::vector<std::int64_t>& word_ids,
                            std::size_t word_count, bool keep_endpoints) {
    const auto positions = static_cast<std::int64_t>(word_ids.size());
    std::vector<std::int64_t> last(word_count, positions);
    for (std::int64_t i = 0; i < positions; ++i) {
        const std::int64_t word = word_ids[static_cast<std::size_t>(i)];
        if (word >= 0 && static_cast<std::uint64_t>(word) < word_count) {
            last[static_cast<std::size_t>(word)] = i;
        }
    }
    std::vector<std::int64_t> rows;
    rows.reserve(word_count + 2);
    if (keep_endpoints) rows.push_back(0);
    for (std::size_t w = 0; w < word_count; ++w) {
        if (last[w] == positions) {
            throw TransformerError("transformer tokenizer produced no subword for word " +
                                   std::to_string(w));
        }
        rows.push_back(last[w]);
    }
    if (keep_endpoints) rows.push_back(positions - 1);
    c10::InferenceMode guard;
    if (rows.empty()) return at::empty({0, hidden.size(1)}, hidden.options());
    const auto count = static_cast<std::int64_t>(rows.size());
    return at::index_select(hidden, 0, make_id_tensor(rows, {count})).contiguous();
}

std::vector<std::vector<float>> tensor_rows(const at::Tensor& matrix) {
    const at::Tensor dense = matrix.contiguous();
    const std::int64_t rows = dense.size(0);
    const auto width = static_cast<std::size_t>(dense.dim() > 1 ? dense.size(1) : 0);
    const float* data = dense.const_data_ptr<float>();
    std::vector<std::vector<float>> result(static_cast<std::size_t>(rows));
    for (std::int64_t r = 0; r < rows; ++r) {
        result[static_cast<std::size_t>(r)].assign(data + r * static_cast<std::int64_t>(width),
                                                   data + (r + 1) * static_cast<std::int64_t>(width));
    }
    return result;
}

}  // namespace quelbin::detail
