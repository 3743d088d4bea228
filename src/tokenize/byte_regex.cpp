#define PCRE2_CODE_UNIT_WIDTH 8
#include "tokenize/byte_regex.hpp"

#include <pcre2.h>

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace quelbin::detail {
namespace {

std::string pcre2_message(int code) {
    PCRE2_UCHAR buffer[256];
    if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0) return "error " + std::to_string(code);
    return reinterpret_cast<const char*>(buffer);
}

// Per-thread matching resources: a match context with the limits and a JIT
// stack that may grow to kRegexJitStackBytes.
struct ThreadMatchState {
    pcre2_match_context* context = nullptr;
    pcre2_jit_stack* jit_stack = nullptr;

    ThreadMatchState() {
        context = pcre2_match_context_create(nullptr);
        if (context == nullptr) throw std::bad_alloc();
        pcre2_set_match_limit(context, kRegexMatchLimit);
        pcre2_set_depth_limit(context, kRegexDepthLimit);
        pcre2_set_heap_limit(context, kRegexHeapLimitKiB);
        jit_stack = pcre2_jit_stack_create(32 * 1024, kRegexJitStackBytes, nullptr);
        if (jit_stack != nullptr) pcre2_jit_stack_assign(context, nullptr, jit_stack);
    }
    ~ThreadMatchState() {
        if (jit_stack != nullptr) pcre2_jit_stack_free(jit_stack);
        pcre2_match_context_free(context);
    }
    ThreadMatchState(const ThreadMatchState&) = delete;
    ThreadMatchState& operator=(const ThreadMatchState&) = delete;
};

ThreadMatchState& thread_match_state() {
    thread_local ThreadMatchState state;
    return state;
}

struct MatchDataDeleter {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

}  // namespace

ByteRegex::ByteRegex(std::string_view pattern) {
    int error = 0;
    PCRE2_SIZE error_offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), 0, &error,
                          &error_offset, nullptr);
    if (code_ == nullptr) {
        throw std::logic_error("cannot compile regular expression: " + pcre2_message(error));
    }
    // Without JIT support the interpreter runs; it keeps its backtracking on the heap.
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
}

ByteRegex::~ByteRegex() { pcre2_code_free(code_); }

void ByteRegex::for_each_match(std::string_view text,
                               const std::function<void(std::size_t, std::size_t)>& on_match) const {
    ThreadMatchState& state = thread_match_state();
    std::unique_ptr<pcre2_match_data, MatchDataDeleter> data(
        pcre2_match_data_create_from_pattern(code_, nullptr));
    if (!data) throw std::bad_alloc();
    const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data());
    const std::size_t size = text.size();
    std::size_t offset = 0;
    uint32_t options = 0;
    while (offset <= size) {
        int rc = pcre2_match(code_, subject, size, offset, options, data.get(), state.context);
        const bool jit_stack_full = rc == PCRE2_ERROR_JIT_STACKLIMIT;
        if (jit_stack_full) {
            rc = pcre2_match(code_, subject, size, offset, options | PCRE2_NO_JIT, data.get(),
                             state.context);
        }
        if (rc == PCRE2_ERROR_NOMATCH) {
            if (options == 0) return;
            // No non-empty match at the position of an empty one: move on a byte.
            options = 0;
            ++offset;
            continue;
        }
        if (rc < 0) {
            throw RegexMatchError("regular expression matching failed: " +
                                  (jit_stack_full ? pcre2_message(PCRE2_ERROR_JIT_STACKLIMIT) + ", then " : std::string()) +
                                  pcre2_message(rc));
        }
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
        const std::size_t begin = ovector[0];
        const std::size_t end = ovector[1];
        on_match(begin, end);
        offset = end;
        options = begin == end ? (PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED) : 0;
    }
}

}  // namespace quelbin::detail
