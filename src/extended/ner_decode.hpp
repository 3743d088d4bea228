// The model-free steps of NER decoding: linear-chain CRF Viterbi over float32
// scores, decoded ids to tag strings, and the BIOES repair of a tag sequence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelbin::detail {

// Best path over `rows` x `tags` emission scores (row-major) and a [tags, tags]
// transition matrix (row = previous tag, column = current tag), with no start
// or end transition. Ties go to the lowest tag index; a NaN candidate never
// replaces the current best. rows == 0 gives an empty path; tags must be >= 1.
std::vector<std::int64_t> viterbi_decode(const float* emissions, std::int64_t rows, std::int64_t tags,
                                         const float* transitions);

// The tag strings of a decoded path: ids below 4 become 4 (the reserved ids
// are never emitted); an id outside the column throws NERModelError
// "NER CRF produced an invalid tag id".
std::vector<std::string> ner_tags_from_path(const std::vector<std::int64_t>& path,
                                            const std::vector<std::string>& column);

// Rewrites the tags in place into well-formed BIOES: inside tags without a
// proper neighbour become B-/E-, then lone B-/E- tags become S-. Tags without
// one of the four entity prefixes are never changed.
void repair_bioes_tags(std::vector<std::string>& tags);

}  // namespace quelbin::detail
