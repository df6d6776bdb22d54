// linka_bfs: connected components of the connection graph.
//
// Breadth-first traversals from every node not yet claimed, in increasing order, give
// the components in order of their smallest node; each is flagged by whether it holds
// a labelled node, and so is every node of it. The traversal rule lives in
// kernels/traversal.hpp, shared with the CSR routines; rows come here from to_numpy.
#include "frame.hpp"
#include "kernels/traversal.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <span>

namespace {

using frame::Ref;

constexpr const char* kModule = "varnex.algorithms.src.linka.binaries.linka_bfs";
constexpr const char* kSource = "varnex/algorithms/src/linka/source/linka_bfs";
const frame::Routine kBfs = frame::module_routine(kModule, kSource, "bfs");

const frame::Name zeros{"zeros"}, empty{"empty"}, uint8{"uint8"}, int64{"int64"};
const frame::Name n_attr{"n"}, labeled_indices_attr{"labeled_indices"}, labeled_count_attr{"labeled_count"};
const frame::Name to_numpy{"to_numpy"};

// A work array of at least `num_nodes` entries; a rebound `np` could hand back fewer.
template <class T>
frame::Vector<T> work_view(PyObject* array, const frame::ElementType& type, int32_t num_nodes, const char* what) {
    auto view = frame::Vector<T>::typed(array, type);
    if (view.size() < num_nodes) {
        frame::raise(PyExc_ValueError, "the %s array has %zd entries, fewer than the %d nodes", what, view.size(),
                     num_nodes);
    }
    return view;
}

// How many queued nodes ahead of the one being scanned have their rows fetched.
constexpr int32_t kFetchAhead = 4;

// One node's neighbour array from `connections.to_numpy(node)`. Rows are fetched a few
// queued nodes ahead of their turn, so that their memory arrives while the nodes
// before them are scanned: rows sit at scattered places, and waiting for each in turn
// would cost more than the traversal itself. A failure of the call is kept and raised
// at the node's turn, and no row beyond one that could fail is fetched early, so errors
// surface after exactly the calls they would follow if every call came at its turn.
class RowFetch {
public:
    RowFetch() = default;
    RowFetch(PyObject* connections, int32_t node) : node_object_(frame::new_int(node)) {
        try {
            array_ = frame::call_method(connections, to_numpy, {node_object_.get()});
        } catch (const frame::PythonError& error) {
            error_ = frame::DeferredError::take(error.line);
            return;
        }
        sure_to_convert_ = frame::is_matching_ndarray(array_.get(), frame::kIType, 1);
        if (sure_to_convert_) {
            auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
            __builtin_prefetch(PyArray_DIMS(array));
            __builtin_prefetch(PyArray_DATA(array));
            __builtin_prefetch(static_cast<char*>(PyArray_DATA(array)) + 64);
        }
    }

    // Whether this node's turn can raise nothing, so rows beyond it may be fetched.
    bool sure_to_convert() const { return sure_to_convert_; }
    PyObject* node_object() const { return node_object_.get(); }

    // The array, or the exception to_numpy raised for this node.
    PyObject* array() {
        error_.raise_if_pending();
        return array_.get();
    }

private:
    Ref node_object_;
    Ref array_;
    frame::DeferredError error_;
    bool sure_to_convert_ = false;
};

// The rows of one traversal, fetched through `connections.to_numpy(node)` as nodes
// leave the queue: each node is appended to the component list, and its row is
// checked to name nodes only, so the traversal can read it unchecked. Rows of queued
// nodes ahead are fetched early (see RowFetch).
class GraphWrapperRows {
public:
    GraphWrapperRows(PyObject* connections, PyObject* component, int32_t num_nodes)
        : connections_(connections), component_(component), num_nodes_(num_nodes) {}

    frame::StridedVector<int64_t> row(const int64_t* queue, std::size_t position, std::size_t back_position) {
        const auto front = static_cast<int32_t>(position);
        const auto back = static_cast<int32_t>(back_position);
        const auto node = static_cast<int32_t>(queue[front]);
        RowFetch current = front < fetched_until_ ? std::move(fetched_[front % kFetchAhead])
                                                  : RowFetch(connections_, node);
        const int32_t next = front + 1;
        fetched_until_ = std::max(fetched_until_, next);
        if (barrier_ < next) barrier_ = INT32_MAX;
        PyObject* neighbors_array = current.array();
        frame::check_status(PyList_Append(component_, current.node_object()));
        auto neighbors = frame::StridedVector<int64_t>::strided(neighbors_array, frame::kIType);
        if (neighbors.is_none()) frame::raise(PyExc_TypeError, "to_numpy(%d) returned None, not an array", node);
        for (Py_ssize_t i = 0; i < neighbors.size(); ++i) {
            const int64_t neighbor = neighbors.unchecked(i);
            // One comparison rejects negatives and indices past the end alike.
            if (static_cast<uint64_t>(neighbor) >= static_cast<uint64_t>(num_nodes_)) {
                frame::raise(PyExc_IndexError, "node %d lists neighbour %lld, not a node of this graph of %d nodes",
                             node, static_cast<long long>(neighbor), num_nodes_);
            }
        }
        while (fetched_until_ < back && fetched_until_ < next + kFetchAhead && fetched_until_ <= barrier_) {
            RowFetch& slot = fetched_[fetched_until_ % kFetchAhead];
            slot = RowFetch(connections_, static_cast<int32_t>(queue[fetched_until_]));
            if (!slot.sure_to_convert()) barrier_ = fetched_until_;
            ++fetched_until_;
        }
        return neighbors;
    }

private:
    PyObject* connections_;
    PyObject* component_;
    int32_t num_nodes_;
    // fetched_[pos % kFetchAhead] holds the row of queue position pos, for every pos
    // before fetched_until_ not yet taken; nothing past barrier_ is fetched before its turn.
    std::array<RowFetch, kFetchAhead> fetched_;
    int32_t fetched_until_ = 0;
    int32_t barrier_ = INT32_MAX;
};

// The traversal from `start_node`: its nodes in breadth-first order and whether any of
// them is labelled, in a queue of its own.
Ref bfs(int32_t start_node, const std::span<uint8_t> visited, const std::span<uint8_t> is_labeled,
        PyObject* connections) {
    const auto num_nodes = static_cast<int32_t>(visited.size());
    Ref queue_array = frame::work_array(empty, num_nodes, int64);
    auto queue_view = work_view<int64_t>(queue_array.get(), frame::kIType, num_nodes, "queue");
    Ref component = frame::check(PyList_New(0));
    GraphWrapperRows rows(connections, component.get(), num_nodes);
    const linka::Traversed found = linka::traverse(rows, static_cast<int64_t>(start_node), visited.data(),
                                                   is_labeled.data(), queue_view.span().data());
    Ref flag = frame::new_int(found.labelled ? 1 : 0);
    return frame::check(PyTuple_Pack(2, component.get(), flag.get()));
}

Ref find_connected_components(const frame::Arguments& args) {
    PyObject* X = args[0];
    PyObject* connections = args[1];

    const int32_t num_nodes = frame::to_int(frame::getattr(X, n_attr).get());
    Ref visited_array = frame::work_array(zeros, num_nodes, uint8);
    Ref is_labeled_array = frame::work_array(zeros, num_nodes, uint8);
    auto visited = work_view<uint8_t>(visited_array.get(), frame::kUInt8, num_nodes, "visited");
    auto is_labeled = work_view<uint8_t>(is_labeled_array.get(), frame::kUInt8, num_nodes, "is_labeled");

    Ref labeled_indices_object = frame::getattr(X, labeled_indices_attr);
    auto labeled_indices = frame::Vector<int64_t>::typed(labeled_indices_object.get(), frame::kInt64);
    const int32_t labeled_count = frame::to_int(frame::getattr(X, labeled_count_attr).get());
    if (labeled_count > labeled_indices.size()) {
        frame::raise(PyExc_ValueError, "labeled_count is %d but labeled_indices has only %zd entries", labeled_count,
                     labeled_indices.size());
    }
    for (int32_t i = 0; i < labeled_count; ++i) {
        const int64_t node = labeled_indices.unchecked(i);
        if (static_cast<uint64_t>(node) >= static_cast<uint64_t>(num_nodes)) {
            frame::raise(PyExc_IndexError, "labeled_indices[%d] is %lld, not a node of this graph of %d nodes", i,
                         static_cast<long long>(node), num_nodes);
        }
        is_labeled.unchecked(node) = 1;
    }

    Ref components = frame::check(PyList_New(0));
    Ref component_label_array = frame::work_array(zeros, num_nodes, uint8);
    auto vertix_component_label = work_view<uint8_t>(component_label_array.get(), frame::kUInt8, num_nodes, "vertix_component_label");

    const std::span<uint8_t> visited_marks = visited.span();
    const std::span<uint8_t> labels_out = vertix_component_label.span();
    const std::span<uint8_t> labeled_marks = is_labeled.span();
    for (int32_t start_node = 0; start_node < num_nodes; ++start_node) {
        if (visited_marks[start_node] != 0) continue;
        Ref result = frame::traced(kBfs, [&] { return bfs(start_node, visited_marks, labeled_marks, connections); });
        // The traversal's own list: its items are the ints it created for the nodes.
        PyObject* nodes = PyTuple_GET_ITEM(result.get(), 0);
        const auto flag = static_cast<uint8_t>(PyLong_AsLong(PyTuple_GET_ITEM(result.get(), 1)));
        for (Py_ssize_t i = 0, size = PyList_GET_SIZE(nodes); i < size; ++i) {
            labels_out[PyLong_AsSsize_t(PyList_GET_ITEM(nodes, i))] = flag;
        }
        frame::check_status(PyList_Append(components.get(), result.get()));
    }
    return frame::check(PyTuple_Pack(2, components.get(), component_label_array.get()));
}

constexpr const char* kFindConnectedComponentsDoc =
    "find_connected_components(X, connections) -> tuple\n"
    "\n"
    "    Finds the connected components in a graph and flags them based on whether there are any \n"
    "    labeled datapoint associated to them.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    X : _AlgorithmInput\n"
    "        Input data object containing node information and methods to access labeled indices \n"
    "        and other metadata.\n"
    "    \n"
    "    connections : GraphWrapper\n"
    "        An object representing the graph structure.\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    tuple\n"
    "        A tuple containing:\n"
    "        - components (list of tuples): A list of connected components where each component is \n"
    "          represented as a tuple `(nodes, is_labeled)`. `nodes` is a list of node indices in the \n"
    "          component, and `is_labeled` is a flag if the component contains at least one labeled datapoint.\n"
    "        - vertix_component_label (np.ndarray): A 1D numpy array where the value at each index \n"
    "          corresponds to the flag whether the vertix belongs to a component with at least labeled datapoint.\n"
    "    ";

const frame::FunctionSpec kFindConnectedComponents{
    .name = "find_connected_components",
    .parameters = {"X", "connections"},
    .defaults = {},
    .doc = kFindConnectedComponentsDoc,
    .body = find_connected_components,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "linka_bfs",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {{"np", "numpy"}},
    .function = kFindConnectedComponents,
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_linka_bfs() { return frame::module_definition(kModuleSpec); }
