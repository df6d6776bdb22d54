// linka_connect: joins the unlabelled components of a k-NN graph to its labelled part.
//
// Stage 1 gives every unlabelled component that has a k-nearest neighbour in a labelled
// component one edge pair to that neighbour and counts the whole component as reached.
// Stage 2 then runs passes in which single unreached nodes are joined to reached
// neighbours, until every node is reached; a pass that joins nothing ends the call with
// SystemError. Edges go into the caller's two GraphWrapper objects, in both directions
// and with the k-NN weight, so the neighbour and weight lists stay parallel. The rules
// live in kernels/connection.hpp, shared with the CSR routines; this module reads them
// from Python objects.
#include "frame.hpp"
#include "kernels/connection.hpp"

#include <cstdint>

namespace {

using frame::Ref;
using frame::StridedVector;

constexpr const char* kModule = "varnex.algorithms.src.linka.binaries.linka_connect";
constexpr const char* kSource = "varnex/algorithms/src/linka/source/linka_connect";
const frame::Routine kAllTrue = frame::module_routine(kModule, kSource, "all_true");

const frame::Name copy{"copy"}, contains{"contains"}, append{"append"};

using Flags = StridedVector<uint8_t>;

// Whether no byte of `arr` (a one-dimensional uint8 array) is 0; true when it is empty.
bool all_true(PyObject* arr) {
    auto flags = Flags::strided(arr, frame::kUInt8);
    for (Py_ssize_t i = 0; i < flags.size(); ++i) {
        if (flags.unchecked(i) == 0) return false;
    }
    return true;
}

bool truth(PyObject* object, frame::Where where = frame::Where::current()) {
    return frame::check_status(PyObject_IsTrue(object), where) != 0;
}

// A list item taken with a bounds check and held: Python code run during the call (an
// item's __int__, a GraphWrapper method) may shrink the list under us.
Ref list_item(PyObject* list, Py_ssize_t i) {
    PyObject* item = PyList_GetItem(list, i);
    if (item == nullptr) frame::throw_error_set();
    return Ref::borrow(item);
}

// One of a scanned component's nodes: the list's own item, and its index checked
// against the graph, so that the flag and row reads it leads to stay inside the arrays.
struct ListedNode {
    Ref item;
    int32_t index;

    // The node as a Python int: the item itself when it is one, so no object is made.
    Ref key() const { return PyLong_CheckExact(item.get()) ? Ref::borrow(item.get()) : frame::new_int(index); }
};

// The two k-NN rows of a scanned node, checked once so the scan reads them unchecked.
struct Rows {
    StridedVector<int64_t> neighbours;
    StridedVector<float> weights;
};

// The connection rules read from Python objects: the component list, the k-NN arrays
// indexed per node, and edges added through the GraphWrapper methods.
class PythonSource {
public:
    // Python code run during the call (an item's __int__, a GraphWrapper method) may
    // change the lists, so every pass reads them again.
    static constexpr bool kStableComponents = false;
    using Node = ListedNode;

    class Component {
    public:
        Component(const PythonSource& source, Ref nodes, Py_ssize_t c_i)
            : source_(source), nodes_(std::move(nodes)), c_i_(c_i), size_(nodes_ ? node_count(nodes_.get()) : 0) {}
        explicit operator bool() const { return static_cast<bool>(nodes_); }
        Py_ssize_t size() const { return size_; }
        Node node(Py_ssize_t n_i) const { return source_.listed_node(nodes_.get(), n_i, c_i_); }

    private:
        const PythonSource& source_;
        Ref nodes_;
        Py_ssize_t c_i_;
        Py_ssize_t size_;
    };

    PythonSource(PyObject* knn_connections, PyObject* knn_weights, PyObject* components, const Flags& labels,
                 PyObject* success_array, const Flags& success, bool private_success, PyObject* connections,
                 PyObject* weights)
        : knn_connections_(knn_connections), knn_weights_(knn_weights), components_(components), labels_(labels),
          success_array_(success_array), success_(success), connections_(connections), weights_(weights),
          n_nodes_(labels.size()), private_success_(private_success) {
        components_length_ = frame::check_value(PyObject_Size(components), Py_ssize_t{-1});
    }

    Py_ssize_t component_count() const { return components_length_; }
    Component unlabelled_component(Py_ssize_t c_i) const { return {*this, unlabelled_node_list(c_i), c_i}; }
    int32_t index(const Node& node) const { return node.index; }
    Rows knn_row(const Node& node) const { return fetch_rows(node); }
    bool labelled(int64_t i) const { return labels_.unchecked(i) != 0; }
    bool reached(int64_t i) const { return success_.unchecked(i) != 0; }

    void join(const Node& node, int64_t knn, double edge_weight) const {
        insert_edge(node, static_cast<int32_t>(knn), edge_weight);
    }
    void mark_component_reached(const Component& component) const {
        for (Py_ssize_t cc_i = 0; cc_i < component.size(); ++cc_i) mark_reached(component.node(cc_i).item.get());
    }
    void begin_pass() { found_way_nodes_ = frame::check(PySet_New(nullptr)); }
    void note_joined(const Node& node) const {
        Ref key = node.key();
        frame::check_status(PySet_Add(found_way_nodes_.get(), key.get()));
    }
    void end_component_scan(const Node* joined) const {
        Ref key = joined != nullptr ? joined->key() : Ref();
        remark_found_way_nodes(found_way_nodes_.get(), key.get());
    }

    bool everything_reached() const {
        return frame::traced(kAllTrue, [&] { return all_true(success_array_); });
    }

private:
    // The node list of components[c_i], or nothing when the entry is flagged labelled.
    Ref unlabelled_node_list(Py_ssize_t c_i) const {
        Ref entry = list_item(components_, c_i);
        if (PyTuple_CheckExact(entry.get()) || PyList_CheckExact(entry.get())) {
            Py_ssize_t size = PySequence_Fast_GET_SIZE(entry.get());
            if (size < 2) {
                frame::raise(PyExc_ValueError, "components[%zd] has %zd item%s, not a pair (nodes, is_labeled)", c_i,
                             size, size == 1 ? "" : "s");
            }
        }
        if (truth(entry_item(entry.get(), 1).get())) return Ref();
        Ref nodes = entry_item(entry.get(), 0);
        if (nodes.get() != Py_None && !PyList_CheckExact(nodes.get())) {
            frame::raise(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(nodes.get())->tp_name);
        }
        return nodes;
    }

    static Ref entry_item(PyObject* entry, Py_ssize_t i) {
        Ref position = frame::new_int(i);
        return frame::check(PyObject_GetItem(entry, position.get()));
    }

    // len() of a node list; None fails here with the error len() gives it.
    static Py_ssize_t node_count(PyObject* nodes) { return frame::check_value(PyObject_Size(nodes), Py_ssize_t{-1}); }

    ListedNode listed_node(PyObject* component, Py_ssize_t n_i, Py_ssize_t c_i) const {
        Ref item = list_item(component, n_i);
        int32_t index = frame::to_int(item.get());
        if (index < 0 || index >= n_nodes_) {
            frame::raise(PyExc_IndexError, "components[%zd] lists node %d, outside the %zd nodes of the graph", c_i,
                         index, n_nodes_);
        }
        return {std::move(item), index};
    }

    // knn_connections[node] and knn_weights[node], each viewed as it is fetched; then the
    // checks that let the scan read them unchecked.
    Rows fetch_rows(const ListedNode& node) const {
        Ref key = node.key();
        Ref neighbour_row = frame::check(PyObject_GetItem(knn_connections_, key.get()));
        auto neighbours = StridedVector<int64_t>::strided(neighbour_row.get(), frame::kInt64);
        if (neighbours.is_none()) frame::raise(PyExc_TypeError, "knn_connections[%d] is None, not a row", node.index);
        Ref weight_row = frame::check(PyObject_GetItem(knn_weights_, key.get()));
        auto weights = StridedVector<float>::strided(weight_row.get(), frame::kFloat32);
        if (weights.is_none()) frame::raise(PyExc_TypeError, "knn_weights[%d] is None, not a row", node.index);
        if (weights.size() < neighbours.size()) {
            frame::raise(PyExc_ValueError, "knn_weights[%d] has %zd entries, fewer than the %zd of knn_connections[%d]",
                         node.index, weights.size(), neighbours.size(), node.index);
        }
        for (Py_ssize_t idx = 0; idx < neighbours.size(); ++idx) {
            int64_t knn = neighbours.unchecked(idx);
            if (knn < 0 || knn >= n_nodes_) {
                frame::raise(PyExc_IndexError, "knn_connections[%d] lists node %lld, outside the %zd nodes of the graph",
                             node.index, static_cast<long long>(knn), n_nodes_);
            }
        }
        return {std::move(neighbours), std::move(weights)};
    }

    // Adds node -> knn and knn -> node where missing, each followed at once by its weight;
    // a direction already present keeps its weight.
    void insert_edge(const ListedNode& node, int32_t knn, double edge_weight) const {
        Ref from = node.key();
        Ref to = frame::new_int(knn);
        Ref weight = frame::new_float(edge_weight);
        add_direction(from.get(), to.get(), weight.get());
        add_direction(to.get(), from.get(), weight.get());
    }

    void add_direction(PyObject* from, PyObject* to, PyObject* weight) const {
        if (truth(frame::call_method(connections_, contains, {from, to}).get())) return;
        frame::call_method(connections_, append, {from, to});
        frame::call_method(weights_, append, {from, weight});
    }

    void mark_reached(PyObject* node) const {
        frame::check_status(PyObject_SetItem(success_array_, node, Py_True));
    }

    // After each component's scan every node joined so far in the pass is marked again.
    // On a plain ndarray copy, which no one else holds, the earlier ones already read
    // True, so only the node this scan joined needs the write.
    void remark_found_way_nodes(PyObject* found_way_nodes, PyObject* joined) const {
        if (private_success_) {
            if (joined != nullptr) mark_reached(joined);
            return;
        }
        Ref iterator = frame::check(PyObject_GetIter(found_way_nodes));
        while (Ref nde = Ref::steal(PyIter_Next(iterator.get()))) mark_reached(nde.get());
        if (PyErr_Occurred()) frame::throw_error_set();
    }

    PyObject* knn_connections_;
    PyObject* knn_weights_;
    PyObject* components_;
    const Flags& labels_;
    PyObject* success_array_;
    const Flags& success_;
    PyObject* connections_;
    PyObject* weights_;
    Py_ssize_t n_nodes_;
    bool private_success_;
    Py_ssize_t components_length_ = 0;
    Ref found_way_nodes_;  // the nodes joined in the current pass
};

Ref connect_unlabeled(const frame::Arguments& args) {
    // The type tests in declaration order, then the buffer of the flags.
    PyObject* knn_connections = frame::require_ndarray(args[0], "knn_connections");
    PyObject* knn_weights = frame::require_ndarray(args[1], "knn_weights");
    PyObject* components = frame::require_list(args[2], "components");
    PyObject* vertix_component_label = frame::require_ndarray(args[3], "vertix_component_label");
    PyObject* connections = args[4];
    PyObject* weights = args[5];
    auto labels = Flags::strided(vertix_component_label, frame::kUInt8);

    // Reached flags live in a working copy; the caller's flags are only read.
    Ref success_array = frame::call_method(vertix_component_label, copy, {});
    auto success = Flags::strided(success_array.get(), frame::kUInt8);
    const Py_ssize_t n_nodes = labels.size();
    if (success.is_none()) frame::raise(PyExc_TypeError, "vertix_component_label.copy() returned None");
    if (success.size() != n_nodes) {
        frame::raise(PyExc_ValueError, "vertix_component_label.copy() has %zd entries, not %zd", success.size(),
                     n_nodes);
    }
    if (n_nodes > INT32_MAX) frame::raise(PyExc_OverflowError, "value too large to convert to int");

    // numpy's own copy of a plain ndarray is a fresh array that only this call holds.
    const bool private_success = PyArray_CheckExact(vertix_component_label) && PyArray_CheckExact(success_array.get());
    PythonSource source(knn_connections, knn_weights, components, labels, success_array.get(), success,
                        private_success, connections, weights);
    linka::Connection<PythonSource> connection(source);
    connection.stage_one();
    while (!source.everything_reached()) {
        if (!connection.pass()) frame::raise(PyExc_SystemError, "NO PROGRESS :)");
    }
    return frame::check(PyTuple_Pack(2, connections, weights));
}

constexpr const char* kConnectUnlabeledDoc =
    "connect_unlabeled(ndarray knn_connections, ndarray knn_weights, list components, "
    "ndarray vertix_component_label, connections, weights) -> tuple\n"
    "\n"
    "    Connects unlabeled graph components to labeled components by iteratively \n"
    "    finding nearest neighbors and adding connections until all components \n"
    "    are connected.\n"
    "\n"
    "    Parameters:\n"
    "    --------------\n"
    "        knn_connections (np.ndarray): \n"
    "            2D array of nearest neighbor connections for each node.\n"
    "        knn_weights (np.ndarray): \n"
    "            2D array of edge weights for each nearest neighbor connection.\n"
    "        components (list): \n"
    "            List of components, where each component is a tuple (list of nodes, bool labeled).\n"
    "        vertix_component_label (np.ndarray[np.uint8_t]): \n"
    "            1D array indicating whether each node is part of a labeled component.\n"
    "        connections: (GraphWrapper)\n"
    "            A data structure to store graph connections.\n"
    "        weights: (GraphWrapper)\n"
    "            A data structure to store the weights of graph edges.\n"
    "    ";

const frame::FunctionSpec kConnectUnlabeled{
    .name = "connect_unlabeled",
    .parameters = {"knn_connections", "knn_weights", "components", "vertix_component_label", "connections",
                   "weights"},
    .defaults = {},
    .doc = kConnectUnlabeledDoc,
    .body = connect_unlabeled,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "linka_connect",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {{"np", "numpy"}},
    .function = kConnectUnlabeled,
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_linka_connect() { return frame::module_definition(kModuleSpec); }
