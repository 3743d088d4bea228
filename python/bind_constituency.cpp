// Python class ConstituencyTree: an immutable handle on a shared tree node.
// Trees built from children share the children's nodes; equality and hashing
// go by node identity.
#include "module.hpp"

#include <quelbin/constituency.hpp>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <functional>
#include <string>
#include <vector>

namespace quelbin::python {

void bind_constituency_tree(nb::module_& m) {
    nb::class_<ConstituencyTree>(m, "ConstituencyTree")
        .def(nb::init<std::string, std::vector<ConstituencyTree>>(), nb::arg("label"),
             nb::arg("children") = std::vector<ConstituencyTree>{})
        .def_prop_ro("label", [](const ConstituencyTree& t) { return t.label(); })
        .def_prop_ro("children", [](const ConstituencyTree& t) { return t.children(); })
        .def("is_leaf", [](const ConstituencyTree& t) { return t.is_leaf(); })
        .def("is_preterminal", [](const ConstituencyTree& t) { return t.is_preterminal(); })
        .def("leaf_labels", [](const ConstituencyTree& t) { return t.leaf_labels(); })
        .def("__len__", [](const ConstituencyTree& t) { return t.leaf_labels().size(); })
        .def("__str__", [](const ConstituencyTree& t) { return t.to_string(); })
        .def("__repr__", [](const ConstituencyTree& t) { return t.to_string(); })
        .def("__eq__",
             [](const ConstituencyTree& a, const ConstituencyTree& b) { return a.same_node(b); })
        .def("__hash__", [](const ConstituencyTree& t) {
            return std::hash<const TreeNode*>()(t.node().get());
        });
}

}  // namespace quelbin::python
