// Running a compiled transformer package: loading it, one checked run over a
// sequence of subword ids, overlapping windows for sequences longer than the
// model takes, and the pick of one row per word. TransformerEncoder is built
// from these; they know nothing of tokenizers.
//
// The package's contract: inputs (ids, mask), both int64 [1, n]; exactly one
// output, float32 [1, n, H] with H > 0. Every failure is a TransformerError.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

namespace torch::inductor {
class AOTIModelPackageLoader;
}

namespace quelbin::detail {

using PackageLoader = torch::inductor::AOTIModelPackageLoader;

// Deletes a loader; defined where the loader's type is complete.
struct PackageLoaderDeleter {
    void operator()(PackageLoader* loader) const noexcept;
};
using PackageLoaderPtr = std::unique_ptr<PackageLoader, PackageLoaderDeleter>;

// Checks, in order: the path names an existing file or directory;
// model_max_length >= 5; intra_op_threads is 0 or ATen's current thread count
// (never changed here); then loads the package with one runner.
PackageLoaderPtr load_transformer_package(const std::filesystem::path& model_path,
                                          std::uint64_t intra_op_threads,
                                          std::uint64_t model_max_length);

// One run over all of `ids` (at least one): [n, H] float32, contiguous. An empty
// mask means all ones; a mask of another length than the ids is refused.
at::Tensor run_transformer(PackageLoader& loader, const std::vector<std::int64_t>& ids,
                           const std::vector<std::int64_t>& attention_mask);

// [N, H] for N = ids.size() >= 1: one run when N <= max_length, otherwise windows
// of max_length ids every stride ids (max(L - 20, L / 2)), each position taking
// its row from the first window that holds it.
at::Tensor run_transformer_windows(PackageLoader& loader, const std::vector<std::int64_t>& ids,
                                   std::uint64_t max_length);

// Rows of `hidden` [N, H]: each word's last subword (word_ids[i] is the word of
// row i, -1 at special tokens), words in order, with rows 0 and N - 1 around
// them when keep_endpoints. A word without a subword is refused by index.
at::Tensor select_word_rows(const at::Tensor& hidden, const std::vector<std::int64_t>& word_ids,
                            std::size_t word_count, bool keep_endpoints);

// A [rows, H] float tensor as one vector per row.
std::vector<std::vector<float>> tensor_rows(const at::Tensor& matrix);

}  // namespace quelbin::detail
