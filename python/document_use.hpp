// Documents in use by a call that runs without the interpreter lock. Such a call
// marks the storages of its documents before releasing the lock and clears the
// marks after taking it back; every binding that reads or writes a document
// checks the mark first and raises RuntimeError, so no Python thread touches a
// document while the engine works on it. Marks are only read and written with
// the interpreter lock held, which orders them between threads.
#pragma once

#include "module.hpp"

#include <quelbin/document.hpp>

#include <memory>
#include <vector>

namespace quelbin::python {

// RuntimeError "the document is being processed by another call".
[[noreturn]] void throw_document_in_use();

// The document, view or sequence itself, once its document is known to be free.
template <class View>
View& idle(View& view) {
    if (view.storage()->in_use.set) [[unlikely]] throw_document_in_use();
    return view;
}

// Marks the documents' storages for its lifetime. Refuses before marking any when
// one is marked already; a storage may come more than once (one bulk call given a
// document twice).
class DocumentsInUse {
public:
    explicit DocumentsInUse(const Document& document);
    explicit DocumentsInUse(const std::vector<Document>& documents);
    ~DocumentsInUse();
    DocumentsInUse(const DocumentsInUse&) = delete;
    DocumentsInUse& operator=(const DocumentsInUse&) = delete;

private:
    // Owned, so a storage outlives the call even when every Python object and
    // engine handle of it is gone before the marks are cleared.
    std::vector<std::shared_ptr<DocumentStorage>> storages_;
};

// Runs `work` with the documents marked and the interpreter lock released; the
// lock is taken back before the marks are cleared, also when `work` throws.
template <class Documents, class Work>
auto while_processing(const Documents& documents, Work&& work) {
    DocumentsInUse marks(documents);
    nb::gil_scoped_release release;
    return work();
}

}  // namespace quelbin::python
