// Marks of documents in use by a processing call, and the error of every other use.
#include "document_use.hpp"

#include <stdexcept>

namespace quelbin::python {

void throw_document_in_use() {
    throw std::runtime_error("the document is being processed by another call");
}

void throw_document_being_read() {
    throw std::runtime_error("the document is being read by another call");
}

DocumentsInUse::DocumentsInUse(const Document& document) : storages_{editable(document).storage()} {
    storages_.front()->in_use.set = true;
}

DocumentsInUse::DocumentsInUse(const std::vector<Document>& documents) {
    storages_.reserve(documents.size());
    for (const Document& document : documents) storages_.push_back(editable(document).storage());
    for (const auto& storage : storages_) storage->in_use.set = true;
}

DocumentsInUse::~DocumentsInUse() {
    for (const auto& storage : storages_) storage->in_use.set = false;
}

}  // namespace quelbin::python
