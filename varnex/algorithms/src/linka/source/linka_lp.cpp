// linka_lp: weighted label propagation over a graph held in GraphWrapper objects.
//
// Sweeps over the nodes in index order, giving each unlabelled node the label whose
// neighbours weigh most, a neighbour over an edge of weight w counting (1/w)^2. Labels
// are written into the caller's array as they are found, so later nodes of the same
// sweep already see them. Sweeps repeat until the largest score change of a sweep falls
// below the tolerance or the sweep limit is reached.
#include "frame.hpp"
#include "kernels/label_sweep.hpp"

#include <cstdint>
#include <utility>

namespace {

using frame::Ref;
using frame::StridedVector;

constexpr const char* kModule = "varnex.algorithms.src.linka.binaries.linka_lp";
constexpr const char* kSource = "varnex/algorithms/src/linka/source/linka_lp";

const frame::Name np{"np"}, zeros{"zeros"}, float64{"float64"}, asarray{"asarray"}, to_numpy{"to_numpy"};

// <graph>.to_numpy(node), or TypeError naming the node when it gives None.
Ref fetch_row(PyObject* graph, const char* graph_name, PyObject* index, Py_ssize_t node) {
    Ref row = frame::call_method(graph, to_numpy, {index});
    if (row.get() == Py_None) {
        frame::raise(PyExc_TypeError, "%s.to_numpy(%zd) returned None instead of an array", graph_name, node);
    }
    return row;
}

// One node's row as two GraphWrapper objects give it: the arrays that to_numpy returned,
// held for as long as the sweep reads them.
struct WrapperRow {
    Ref neighbour_row;
    StridedVector<int64_t> neighbours;
    Ref weight_row;
    StridedVector<float> weights;

    Py_ssize_t size() const { return neighbours.size(); }
    int64_t neighbour(Py_ssize_t j) const { return neighbours.unchecked(j); }
    float weight(Py_ssize_t j) const { return weights.unchecked(j); }
};

// The rows of `connections` and `weights`, fetched node by node under the GIL:
// connections.to_numpy(i), then weights.to_numpy(i), each converted as it arrives.
class WrapperRows {
public:
    WrapperRows(PyObject* connections, PyObject* weights, Py_ssize_t num_nodes)
        : connections_(connections), weights_(weights), num_nodes_(num_nodes) {}

    WrapperRow row(Py_ssize_t i) const {
        Ref index = frame::new_int(i);
        Ref neighbour_row = fetch_row(connections_, "connections", index.get(), i);
        auto neighbours = StridedVector<int64_t>::strided(neighbour_row.get(), frame::kInt64);
        Ref weight_row = fetch_row(weights_, "weights", index.get(), i);
        auto weights = StridedVector<float>::strided(weight_row.get(), frame::kFloat32);
        require_usable(neighbours, weights, i);
        return {std::move(neighbour_row), std::move(neighbours), std::move(weight_row), std::move(weights)};
    }

    void poll() const {}  // under the GIL throughout: Ctrl-C shows at the next to_numpy

private:
    // The sweep reads the rows unchecked, so every neighbour must name a node and every
    // neighbour must have a weight. Checked once the last Python call for the node has
    // returned, so nothing can change the rows between this check and their use.
    void require_usable(const StridedVector<int64_t>& neighbours, const StridedVector<float>& weights,
                        Py_ssize_t node) const {
        const Py_ssize_t num_nodes = num_nodes_;
        const Py_ssize_t degree = neighbours.size();
        for (Py_ssize_t j = 0; j < degree; ++j) {
            const int64_t neighbour = neighbours.unchecked(j);
            // One comparison rejects negatives and indices past the end alike.
            if (static_cast<uint64_t>(neighbour) >= static_cast<uint64_t>(num_nodes)) {
                frame::raise(PyExc_IndexError, "node %zd lists neighbour %lld, outside 0 .. %zd", node,
                             static_cast<long long>(neighbour), num_nodes - 1);
            }
        }
        if (weights.size() < degree) {
            frame::raise(PyExc_ValueError, "node %zd has %zd neighbours but only %zd weights", node, degree,
                         weights.size());
        }
    }

    PyObject* connections_;
    PyObject* weights_;
    Py_ssize_t num_nodes_;
};

Ref weighted_label_propagation(const frame::Arguments& args) {
    // Typed array and scalars in declaration order.
    auto initial_labels = frame::Vector<int32_t>::typed(args[2], frame::kInt);
    const uint64_t max_iterations = frame::to_size_t(args[3]);
    const double tolerance = frame::to_double(args[4]);
    frame::require_not_none(args[2], "initial_labels");

    const Py_ssize_t num_nodes = initial_labels.size();
    Ref scores_array = frame::work_array(zeros, num_nodes, float64);
    auto scores = frame::Vector<double>::typed(scores_array.get(), frame::kDouble);
    if (scores.size() < num_nodes) {
        frame::raise(PyExc_ValueError, "the score array has %zd entries for %zd nodes", scores.size(), num_nodes);
    }

    WrapperRows rows(args[0], args[1], num_nodes);
    linka::sweep_labels<linka::Reading::InPlace>(rows, initial_labels.span(), scores.span(),
                                                 {max_iterations, tolerance, linka::Stop::AtTolerance});

    Ref labels_array = initial_labels.to_ndarray(args[2], frame::kInt);
    return frame::call_method(frame::global(np).get(), asarray, {labels_array.get()});
}

constexpr const char* kWeightedLabelPropagationDoc =
    "weighted_label_propagation(connections, weights, int[::1] initial_labels, size_t max_iterations=50000, "
    "double tolerance=1e-3) -> ndarray\n"
    "\n"
    "Performs weighted label propagation on the data graph represented by `connetions` and `weights`.\n"
    "\n"
    "    Parameters:\n"
    "    ----------------\n"
    "    connections: GraphWrapper\n"
    "        adjacency list (2D array where each row lists neighbors of a node)\n"
    "    weights: GraphWrapper\n"
    "        same shape as connections, stores weights for connections\n"
    "    initial_labels: iterable\n"
    "        initial labels for nodes (-1 for unlabeled nodes)\n"
    "    max_iterations: int\n"
    "        maximum number of iterations\n"
    "    tolerance: float\n"
    "        convergence threshold\n"
    "    ";

const frame::FunctionSpec kWeightedLabelPropagation{
    .name = "weighted_label_propagation",
    .parameters = {"connections", "weights", "initial_labels", "max_iterations", "tolerance"},
    .defaults = {50000, 1e-3},
    .doc = kWeightedLabelPropagationDoc,
    .body = weighted_label_propagation,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "linka_lp",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {{"np", "numpy"}, {"perf_counter", "time", "perf_counter"}},
    .function = kWeightedLabelPropagation,
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_linka_lp() { return frame::module_definition(kModuleSpec); }
