// Documents in use by a call that runs without the interpreter lock. Such a call
// marks the storages of its documents before releasing the lock and clears the
// marks after taking it back; every binding that reads or writes a document
// checks the mark first and raises RuntimeError, so no Python thread touches a
// document while the engine works on it.
//
// A read that builds Python objects as it goes may run other Python code midway
// (the garbage collector's callbacks and finalisers), which may release the lock
// or change the document itself. Such a read counts itself on the document for
// its duration, and processing or editing a document that is being read raises
// RuntimeError too. Marks and counts are only read and written with the
// interpreter lock held, which orders them between threads.
#pragma once

#include "module.hpp"
#include "unlocked.hpp"

#include <quelbin/document.hpp>

#include <memory>
#include <vector>

namespace quelbin::python {

// RuntimeError "the document is being processed by another call".
[[noreturn]] void throw_document_in_use();
// RuntimeError "the document is being read by another call".
[[noreturn]] void throw_document_being_read();

// The document, view or sequence itself, once its document is known to be free
// to read.
template <class View>
View& idle(View& view) {
    if (view.storage()->in_use.set) [[unlikely]] throw_document_in_use();
    return view;
}

// The same, once its document is also known to be free to change.
template <class View>
View& editable(View& view) {
    idle(view);
    if (view.storage()->in_use.readers != 0) [[unlikely]] throw_document_being_read();
    return view;
}

// Counts a read of the view's document for its lifetime.
class DocumentRead {
public:
    template <class View>
    explicit DocumentRead(const View& view) : storage_(idle(view).storage()) {
        ++storage_->in_use.readers;
    }
    ~DocumentRead() { --storage_->in_use.readers; }
    DocumentRead(const DocumentRead&) = delete;
    DocumentRead& operator=(const DocumentRead&) = delete;

private:
    // Owned, so the count is taken back from the same storage even when the
    // read's code drops every other handle of it.
    std::shared_ptr<DocumentStorage> storage_;
};

// What `read(view)` returns, read with the read counted on the view's document.
template <class View, class Read>
auto counted_read(const View& view, Read&& read) {
    DocumentRead counted(view);
    return read(view);
}

// Marks the documents' storages for its lifetime. Refuses before marking any when
// one is marked or being read already; a storage may come more than once (one
// bulk call given a document twice).
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
    Unlocked unlocked;
    return work();
}

}  // namespace quelbin::python
