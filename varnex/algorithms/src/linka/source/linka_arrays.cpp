// linka_arrays: the graph routines over CSR arrays, for the estimators.
//
// The same rules as linka_bfs and linka_connect, read from plain arrays: every array
// read as offsets or indices is copied and checked under the GIL (the snapshot policy
// of core/csr.hpp: these kernels count before they fill, and read rows more than once),
// then the work runs with the GIL released and no Python call per node. Indices come
// as int32 (graphs below 2**31 nodes) or int64.
#include "core/csr.hpp"
#include "core/threads.hpp"
#include "frame.hpp"
#include "kernels/closed_groups.hpp"
#include "kernels/connection.hpp"
#include "kernels/reach.hpp"
#include "kernels/reverse_subgraph.hpp"
#include "kernels/symmetric_rows.hpp"
#include "kernels/traversal.hpp"

#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

namespace {

using core::Csr;
using frame::data_of;
using frame::new_vector;
using frame::Ref;

constexpr const char* kModule = "varnex.algorithms.src.linka.binaries.linka_arrays";
constexpr const char* kSource = "varnex/algorithms/src/linka/source/linka_arrays";

template <class I>
constexpr int kNumpyIndex = sizeof(I) == 4 ? NPY_INT32 : NPY_INT64;
template <class I>
const frame::ElementType& index_type() {
    return sizeof(I) == 4 ? frame::kInt : frame::kInt64;
}

// Item i of a tuple argument, or TypeError naming the argument.
PyObject* tuple_item(PyObject* tuple, Py_ssize_t i, Py_ssize_t size, const char* what) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != size) {
        frame::raise(PyExc_TypeError, "%s must be a tuple of %zd arrays", what, size);
    }
    return PyTuple_GET_ITEM(tuple, i);
}

template <class I>
void require_nodes(std::span<const I> nodes, std::int64_t n, const char* what) {
    for (std::size_t j = 0; j < nodes.size(); ++j) {
        // One comparison rejects negatives and indices past the end alike.
        if (static_cast<std::uint64_t>(nodes[j]) >= static_cast<std::uint64_t>(n)) {
            frame::raise(PyExc_IndexError, "%s[%zd] is %lld, not a node of this graph of %lld nodes", what, j,
                         static_cast<long long>(nodes[j]), static_cast<long long>(n));
        }
    }
}

// A CSR graph given as (indptr, indices, weights): the caller's arrays held for the
// call, and a checked snapshot of the offsets and indices: indptr rises from 0 to the
// number of entries, every index names a node, and every entry has a weight. `weights`
// may be None where only the structure is read.
template <class I>
struct CsrArrays {
    frame::Vector<const std::int64_t> indptr;
    frame::Vector<const I> indices;
    frame::Vector<const float> weights;
    core::Snapshot<I> snapshot;

    CsrArrays(PyObject* indptr_object, PyObject* indices_object, PyObject* weights_object, const char* what)
        : indptr(frame::Vector<const std::int64_t>::readable(indptr_object, frame::kInt64)),
          indices(frame::Vector<const I>::readable(indices_object, index_type<I>())),
          weights(frame::Vector<const float>::readable(weights_object, frame::kFloat32)),
          snapshot(indptr.span(), indices.span(), weights.span()) {
        using Kind = core::CsrFault::Kind;
        const auto rules = weights_object == Py_None ? core::CsrRules{}
                                                     : core::CsrRules{.weights = core::CsrRules::Weights::AtLeastOnePerIndex};
        const Csr<I> copy = graph();
        const core::CsrFault fault = core::find_fault(copy, rules);
        switch (fault.kind) {
            case Kind::None:
            case Kind::SelfLoop:
                return;
            case Kind::Length:
            case Kind::Start:
                frame::raise(PyExc_ValueError, "%s: indptr must start at 0", what);
            case Kind::Falls:
                frame::raise(PyExc_ValueError, "%s: indptr must not fall", what);
            case Kind::End:
                frame::raise(PyExc_ValueError, "%s: indptr ends at %lld but there are %zd indices", what,
                             static_cast<long long>(copy.indptr.back()), copy.indices.size());
            case Kind::Weights:
                frame::raise(PyExc_ValueError, "%s: %zd weights for %zd indices", what, copy.weights.size(),
                             copy.indices.size());
            case Kind::Index:
                frame::raise(PyExc_IndexError, "%s[%lld] is %lld, not a node of this graph of %lld nodes", what,
                             static_cast<long long>(fault.position), static_cast<long long>(fault.value),
                             static_cast<long long>(size()));
        }
    }

    std::int64_t size() const { return indptr.size() - 1; }
    Csr<I> graph() const { return snapshot.graph(); }
};

// Rows of a CSR graph for a traversal; polls for Ctrl-C once per node.
template <class I>
struct TraversalRows {
    const Csr<I>& graph;
    frame::WithoutGil& gil;

    std::span<const I> row(const I* queue, std::size_t position, std::size_t back) {
        gil.poll();
        // Rows sit at scattered places: ask for the next queued one while this is scanned.
        if (position + 1 < back) __builtin_prefetch(graph.indices.data() + graph.indptr[queue[position + 1]]);
        return graph.row(queue[position]);
    }
};

// components(indptr, indices, labelled) -> (order, starts, component_labelled, node_labelled)
template <class I>
Ref components_of(PyObject* indptr, PyObject* indices, PyObject* labelled_object) {
    const CsrArrays<I> arrays(indptr, indices, Py_None, "graph");
    const std::int64_t n = arrays.size();
    auto labelled = frame::Vector<const std::uint8_t>::readable(labelled_object, frame::kUInt8);
    if (labelled.size() != n) {
        frame::raise(PyExc_ValueError, "labelled has %zd entries for %lld nodes", labelled.size(),
                     static_cast<long long>(n));
    }

    Ref order = new_vector(n, kNumpyIndex<I>);
    Ref node_labelled = new_vector(n, NPY_UINT8);
    std::vector<std::int64_t> starts{0};
    std::vector<std::uint8_t> component_labelled;
    {
        frame::WithoutGil gil;
        const Csr<I> graph = arrays.graph();
        TraversalRows<I> rows{graph, gil};
        std::vector<std::uint8_t> visited(n, 0);
        I* queue = data_of<I>(order);
        std::uint8_t* flags = data_of<std::uint8_t>(node_labelled);
        for (std::int64_t start = 0; start < n; ++start) {
            if (visited[start] != 0) continue;
            const std::int64_t offset = starts.back();
            const auto found = linka::traverse(rows, static_cast<I>(start), visited.data(), labelled.span().data(),
                                               queue + offset);
            for (std::size_t j = 0; j < found.length; ++j) flags[queue[offset + j]] = found.labelled ? 1 : 0;
            starts.push_back(offset + static_cast<std::int64_t>(found.length));
            component_labelled.push_back(found.labelled ? 1 : 0);
        }
    }
    Ref starts_array = new_vector(static_cast<std::int64_t>(starts.size()), NPY_INT64);
    std::copy(starts.begin(), starts.end(), data_of<std::int64_t>(starts_array));
    Ref flags_array = new_vector(static_cast<std::int64_t>(component_labelled.size()), NPY_UINT8);
    std::copy(component_labelled.begin(), component_labelled.end(), data_of<std::uint8_t>(flags_array));
    return frame::check(PyTuple_Pack(4, order.get(), starts_array.get(), flags_array.get(), node_labelled.get()));
}

Ref components(const frame::Arguments& args) {
    return frame::with_index_type(args[1], [&]<class I>() { return components_of<I>(args[0], args[1], args[2]); });
}

// Edges added to a CSR graph, each at the end of its source's list, kept apart from the
// graph's arrays until the graph is rebuilt with them.
template <class I>
class AddedEdges {
public:
    explicit AddedEdges(const Csr<I>& graph) : graph_(graph) {}

    bool contains(I from, I to) const {
        for (const I j : graph_.row(from)) {
            if (j == to) return true;
        }
        if (last_.empty()) return false;
        for (std::int64_t e = last_[from]; e >= 0; e = edges_[e].previous) {
            if (edges_[e].to == to) return true;
        }
        return false;
    }

    void append(I from, I to, float weight) {
        if (last_.empty()) last_.assign(graph_.size(), -1);
        edges_.push_back({from, to, weight, last_[from]});
        last_[from] = static_cast<std::int64_t>(edges_.size()) - 1;
    }

    bool empty() const { return edges_.empty(); }
    std::size_t size() const { return edges_.size(); }

    // The graph with every added edge after its source's own entries, in order of adding.
    // The rows are copied on the threads of `pool`, a range of rows each: the copy is
    // the first write to the new arrays, whose page faults cost more than the copy.
    void write_merged(core::Pool& pool, std::int64_t* indptr, I* indices, float* weights) const {
        const std::size_t n = graph_.size();
        std::vector<std::int64_t> added(n + 1, 0);
        for (const Edge& edge : edges_) ++added[edge.from];
        indptr[0] = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t start = indptr[i];
            const auto degree = graph_.degree(i);
            indptr[i + 1] = start + degree + added[i];
            added[i] = start + degree;  // where the next added edge of i goes
        }
        constexpr std::size_t kRows = 65536;
        pool.run(
            core::chunk_count(n, kRows),
            [&](std::size_t chunk, std::size_t) {
                for (std::size_t i = chunk * kRows; i < std::min(n, (chunk + 1) * kRows); ++i) {
                    const auto degree = graph_.degree(i);
                    std::copy_n(graph_.indices.data() + graph_.indptr[i], degree, indices + indptr[i]);
                    std::copy_n(graph_.weights.data() + graph_.indptr[i], degree, weights + indptr[i]);
                }
            },
            [](std::size_t) {});
        for (const Edge& edge : edges_) {
            const std::int64_t at = added[edge.from]++;
            indices[at] = edge.to;
            weights[at] = edge.weight;
        }
    }

private:
    struct Edge {
        I from, to;
        float weight;
        std::int64_t previous;  // the source's edge added before this one, or -1
    };
    const Csr<I>& graph_;
    std::vector<std::int64_t> last_;  // per node, its last added edge; allocated at the first
    std::vector<Edge> edges_;
};

// Adds node -> target and target -> node where missing, both with the same weight.
template <class I>
auto edge_pair_adder(AddedEdges<I>& added) {
    return [&added](I node, I target, float weight) {
        if (!added.contains(node, target)) added.append(node, target, weight);
        if (!added.contains(target, node)) added.append(target, node, weight);
    };
}

frame::Vector<const std::uint8_t> flags_item(PyObject* components, Py_ssize_t i) {
    return frame::Vector<const std::uint8_t>::readable(tuple_item(components, i, 4, "components"), frame::kUInt8);
}

// The components of a components() result, for the connection rules: node order and
// component starts as checked snapshots, the flags the caller's.
template <class I>
struct ComponentArrays {
    std::vector<I> order;
    std::vector<std::int64_t> starts;
    frame::Vector<const std::uint8_t> component_labelled;
    frame::Vector<const std::uint8_t> node_labelled;

    ComponentArrays(PyObject* tuple, std::int64_t n)
        : order(snapshot(frame::Vector<const I>::readable(tuple_item(tuple, 0, 4, "components"), index_type<I>()))),
          starts(snapshot(
              frame::Vector<const std::int64_t>::readable(tuple_item(tuple, 1, 4, "components"), frame::kInt64))),
          component_labelled(flags_item(tuple, 2)),
          node_labelled(flags_item(tuple, 3)) {
        require_nodes<I>(order, n, "order");
        if (starts.size() != static_cast<std::size_t>(component_labelled.size()) + 1 || starts[0] != 0) {
            frame::raise(PyExc_ValueError, "starts must hold 0 and the end of every component");
        }
        for (std::size_t c = 1; c < starts.size(); ++c) {
            if (starts[c] < starts[c - 1] || starts[c] > static_cast<std::int64_t>(order.size())) {
                frame::raise(PyExc_ValueError, "starts must rise within the %zd nodes of order", order.size());
            }
        }
        if (node_labelled.size() != n) frame::raise(PyExc_ValueError, "node_labelled needs one entry per node");
    }

    template <class T>
    static std::vector<T> snapshot(const frame::Vector<const T>& view) {
        return {view.span().begin(), view.span().end()};
    }
};

// The connection rules read from arrays. Reached flags are written straight into the
// caller's array; `unreached` counts its zeros.
template <class I>
class ArraySource {
public:
    static constexpr bool kStableComponents = true;
    struct Node {
        I index;
    };
    class Component {
    public:
        Component(std::span<const I> nodes, bool unlabelled) : nodes_(nodes), unlabelled_(unlabelled) {}
        explicit operator bool() const { return unlabelled_; }
        std::ptrdiff_t size() const { return std::ssize(nodes_); }
        Node node(std::ptrdiff_t i) const { return {nodes_[i]}; }

    private:
        std::span<const I> nodes_;
        bool unlabelled_;
    };
    struct KnnRow {
        std::span<const I> neighbours;
        std::span<const float> weights;
    };

    ArraySource(const Csr<I>& knn, const ComponentArrays<I>& components, std::span<std::uint8_t> reached,
                AddedEdges<I>& added, frame::WithoutGil& gil)
        : knn_(knn), order_(components.order), starts_(components.starts),
          component_labelled_(components.component_labelled.span()), node_labelled_(components.node_labelled.span()),
          reached_(reached), added_(added), gil_(gil) {
        for (std::uint8_t flag : reached_) unreached_ += flag == 0 ? 1 : 0;
    }

    std::ptrdiff_t component_count() const { return static_cast<std::ptrdiff_t>(component_labelled_.size()); }
    Component unlabelled_component(std::ptrdiff_t c) const {
        return {order_.subspan(starts_[c], starts_[c + 1] - starts_[c]), component_labelled_[c] == 0};
    }
    I index(const Node& node) const { return node.index; }
    KnnRow knn_row(const Node& node) const {
        gil_.poll();
        return {knn_.row(node.index), knn_.row_weights(node.index)};
    }
    bool labelled(I i) const { return node_labelled_[i] != 0; }
    bool reached(I i) const { return reached_[i] != 0; }

    void join(const Node& node, I knn, double weight) {
        edge_pair_adder(added_)(node.index, knn, static_cast<float>(weight));
    }
    void mark_component_reached(const Component& component) {
        for (std::ptrdiff_t i = 0; i < component.size(); ++i) mark_reached(component.node(i).index);
    }
    void begin_pass() {}
    void note_joined(const Node&) {}
    void end_component_scan(const Node* joined) {
        if (joined != nullptr) mark_reached(joined->index);
    }

    void mark_reached(I i) {
        unreached_ -= reached_[i] == 0 ? 1 : 0;
        reached_[i] = 1;
    }
    bool everything_reached() const { return unreached_ == 0; }

private:
    const Csr<I>& knn_;
    std::span<const I> order_;
    std::span<const std::int64_t> starts_;
    std::span<const std::uint8_t> component_labelled_;
    std::span<const std::uint8_t> node_labelled_;
    std::span<std::uint8_t> reached_;
    AddedEdges<I>& added_;
    frame::WithoutGil& gil_;
    std::int64_t unreached_ = 0;
};

// The graph with the added edges, or the caller's own triple when none was added.
template <class I>
Ref graph_with(const AddedEdges<I>& added, const Csr<I>& graph, PyObject* graph_tuple, std::size_t n_threads) {
    if (added.empty()) return Ref::borrow(graph_tuple);
    const auto entries = static_cast<std::int64_t>(graph.indices.size() + added.size());
    Ref indptr = new_vector(static_cast<std::int64_t>(graph.size()) + 1, NPY_INT64);
    Ref indices = new_vector(entries, kNumpyIndex<I>);
    Ref weights = new_vector(entries, NPY_FLOAT32);
    {
        frame::WithoutGil gil;
        core::Pool pool(n_threads);
        added.write_merged(pool, data_of<std::int64_t>(indptr), data_of<I>(indices), data_of<float>(weights));
    }
    return frame::check(PyTuple_Pack(3, indptr.get(), indices.get(), weights.get()));
}

template <class I>
CsrArrays<I> csr_argument(PyObject* tuple, const char* what) {
    return CsrArrays<I>(tuple_item(tuple, 0, 3, what), tuple_item(tuple, 1, 3, what), tuple_item(tuple, 2, 3, what),
                        what);
}

frame::Vector<std::uint8_t> reached_argument(PyObject* reached_object, std::int64_t n) {
    auto reached = frame::Vector<std::uint8_t>::typed(reached_object, frame::kUInt8);
    if (reached.size() != n) frame::raise(PyExc_ValueError, "reached needs one entry per node");
    return reached;
}

// connect(knn, components, reached, graph, n_threads=1) -> (graph, stuck)
//
// Stage 1 of the connection, then its passes when they can reach every node. When
// some node cannot be reached through the k-NN rows the passes would end stuck; they
// are not run, and the nodes whose rows lead to the reached part count as reached.
// Each join depends on what the joins before it reached, so only the rebuilt graph is
// written on n_threads threads.
template <class I>
Ref connect_arrays(const frame::Arguments& args) {
    const std::size_t n_threads = frame::to_thread_count(args[4]);
    const CsrArrays<I> knn = csr_argument<I>(args[0], "knn");
    const std::int64_t n = knn.size();
    const ComponentArrays<I> components(args[1], n);
    auto reached = reached_argument(args[2], n);
    const CsrArrays<I> graph_arrays = csr_argument<I>(args[3], "graph");
    if (graph_arrays.size() != n) frame::raise(PyExc_ValueError, "graph and knn differ in their number of nodes");

    const Csr<I> graph = graph_arrays.graph();
    const Csr<I> knn_graph = knn.graph();
    AddedEdges<I> added(graph);
    bool stuck = false;
    {
        frame::WithoutGil gil;
        ArraySource<I> source(knn_graph, components, reached.span(), added, gil);
        linka::Connection<ArraySource<I>> connection(source);
        connection.stage_one();
        std::vector<std::uint8_t> reachable(reached.span().begin(), reached.span().end());
        stuck = linka::reach(knn_graph, reachable.data(), [&] { gil.poll(); }) > 0;
        if (stuck) {
            // The passes would end stuck: what the rows can reach counts as reached.
            std::copy(reachable.begin(), reachable.end(), reached.span().begin());
        } else {
            // Rows that lead every node to a reached one let every pass join a node, but
            // another thread may rewrite the reached flags meanwhile: a pass that joins
            // nothing ends the loop whatever they say.
            while (!source.everything_reached() && connection.pass()) {
            }
        }
    }
    Ref result_graph = graph_with(added, graph, args[3], n_threads);
    return frame::check(Py_BuildValue("(OO)", result_graph.get(), stuck ? Py_True : Py_False));
}

Ref connect(const frame::Arguments& args) {
    return frame::with_index_type(tuple_item(args[0], 1, 3, "knn"), [&]<class I>() { return connect_arrays<I>(args); });
}

// join(graph, joins, n_threads=1) -> graph
template <class I>
Ref join_arrays(const frame::Arguments& args) {
    const std::size_t n_threads = frame::to_thread_count(args[2]);
    const CsrArrays<I> graph_arrays = csr_argument<I>(args[0], "graph");
    const std::int64_t n = graph_arrays.size();
    PyObject* joins = args[1];
    auto nodes = frame::Vector<const std::int64_t>::readable(tuple_item(joins, 0, 3, "joins"), frame::kInt64);
    auto targets = frame::Vector<const std::int64_t>::readable(tuple_item(joins, 1, 3, "joins"), frame::kInt64);
    auto weights = frame::Vector<const float>::readable(tuple_item(joins, 2, 3, "joins"), frame::kFloat32);
    require_nodes<std::int64_t>(nodes.span(), n, "join nodes");
    require_nodes<std::int64_t>(targets.span(), n, "join targets");
    if (targets.size() != nodes.size() || weights.size() != nodes.size()) {
        frame::raise(PyExc_ValueError, "joins needs as many targets and weights as nodes");
    }
    const Csr<I> graph = graph_arrays.graph();
    AddedEdges<I> added(graph);
    const auto add_pair = edge_pair_adder(added);
    for (Py_ssize_t j = 0; j < nodes.size(); ++j) {
        add_pair(static_cast<I>(nodes.span()[j]), static_cast<I>(targets.span()[j]), weights.span()[j]);
    }
    return graph_with(added, graph, args[0], n_threads);
}

Ref join(const frame::Arguments& args) {
    return frame::with_index_type(tuple_item(args[0], 1, 3, "graph"), [&]<class I>() { return join_arrays<I>(args); });
}

// closed_groups(indptr, indices, reached) -> (group, count)
template <class I>
Ref closed_groups_of(PyObject* indptr, PyObject* indices, PyObject* reached_object) {
    const CsrArrays<I> arrays(indptr, indices, Py_None, "knn");
    const std::int64_t n = arrays.size();
    auto reached = frame::Vector<const std::uint8_t>::readable(reached_object, frame::kUInt8);
    if (reached.size() != n) frame::raise(PyExc_ValueError, "reached needs one entry per node");
    Ref group = new_vector(n, NPY_INT64);
    std::int64_t count = 0;
    {
        frame::WithoutGil gil;
        count = linka::closed_groups(arrays.graph(), reached.span().data(), data_of<std::int64_t>(group),
                                     [&] { gil.poll(); });
    }
    return frame::check(Py_BuildValue("(OL)", group.get(), static_cast<long long>(count)));
}

Ref closed_groups(const frame::Arguments& args) {
    return frame::with_index_type(args[1], [&]<class I>() { return closed_groups_of<I>(args[0], args[1], args[2]); });
}

// symmetric(indptr, indices, weights, n_threads) -> (indptr, indices, weights)
template <class I>
Ref symmetric_of(PyObject* indptr_object, PyObject* indices_object, PyObject* weights_object, std::size_t n_threads) {
    frame::require_not_none(weights_object, "weights");
    const CsrArrays<I> arrays(indptr_object, indices_object, weights_object, "graph");
    if (arrays.weights.size() != arrays.indices.size()) {
        frame::raise(PyExc_ValueError, "graph: %zd weights for %zd indices", arrays.weights.size(), arrays.indices.size());
    }
    const Csr<I> graph = arrays.graph();
    const std::int64_t n = arrays.size();
    Ref indptr = new_vector(n + 1, NPY_INT64);
    core::Pool pool(n_threads);
    linka::SymmetricRows<I> rows(pool, graph);
    std::int64_t entries = 0;
    {
        frame::WithoutGil gil(16);
        entries = rows.count({data_of<std::int64_t>(indptr), static_cast<std::size_t>(n + 1)}, [&](std::size_t) { gil.poll(); });
    }
    Ref indices = new_vector(entries, kNumpyIndex<I>);
    Ref weights = new_vector(entries, NPY_FLOAT32);
    {
        frame::WithoutGil gil(16);
        rows.fill({data_of<I>(indices), static_cast<std::size_t>(entries)},
                  {data_of<float>(weights), static_cast<std::size_t>(entries)}, [&](std::size_t) { gil.poll(); });
    }
    return frame::check(PyTuple_Pack(3, indptr.get(), indices.get(), weights.get()));
}

Ref symmetric(const frame::Arguments& args) {
    const std::size_t n_threads = frame::to_thread_count(args[3]);
    return frame::with_index_type(args[1], [&]<class I>() { return symmetric_of<I>(args[0], args[1], args[2], n_threads); });
}

// The caller's graph of `n` nodes (n < 0: any number) from a (indptr, indices, weights)
// tuple, the arrays held for the call. Only the offsets are checked here: the kernel
// reads the indices through guarded reads and reports those that name no node, so
// rows it never reads cost nothing.
template <class I>
struct GuardedGraph {
    frame::Vector<const std::int64_t> indptr;
    frame::Vector<const I> indices;
    frame::Vector<const float> weights;

    GuardedGraph(PyObject* tuple, std::int64_t n, const char* what)
        : indptr(frame::Vector<const std::int64_t>::readable(tuple_item(tuple, 0, 3, what), frame::kInt64)),
          indices(frame::Vector<const I>::readable(tuple_item(tuple, 1, 3, what), index_type<I>())),
          weights(frame::Vector<const float>::readable(tuple_item(tuple, 2, 3, what), frame::kFloat32)) {
        for (Py_ssize_t i = 0; i < 3; ++i) frame::require_not_none(PyTuple_GET_ITEM(tuple, i), what);
        const std::span<const std::int64_t> offsets = indptr.span();
        bool sound = !offsets.empty() && (n < 0 || indptr.size() == n + 1) && offsets.front() == 0 &&
                     offsets.back() == indices.size() && weights.size() == indices.size();
        for (std::size_t i = 1; sound && i < offsets.size(); ++i) sound = offsets[i] >= offsets[i - 1];
        if (!sound) {
            frame::raise(PyExc_ValueError, "%s must be CSR arrays of %lld nodes with one weight per index", what,
                         static_cast<long long>(n < 0 ? indptr.size() - 1 : n));
        }
    }
    Csr<I> graph() const { return {indptr.span(), indices.span(), weights.span()}; }
};

// reverse_subgraph(graph, knn, nodes, n_threads) -> ((indptr, indices, weights), members) or None
template <class I>
Ref reverse_subgraph_of(PyObject* graph_tuple, PyObject* knn_tuple, PyObject* nodes_object, std::size_t n_threads) {
    const GuardedGraph<I> graph(graph_tuple, -1, "graph");
    const std::int64_t n = graph.indptr.size() - 1;
    const GuardedGraph<I> knn(knn_tuple, n, "knn");
    frame::require_not_none(nodes_object, "nodes");
    auto given = frame::Vector<const std::int64_t>::readable(nodes_object, frame::kInt64);
    const std::vector<std::int64_t> nodes(given.span().begin(), given.span().end());
    for (std::size_t p = 0; p < nodes.size(); ++p) {
        if (nodes[p] < 0 || nodes[p] >= n || (p > 0 && nodes[p] <= nodes[p - 1])) {
            frame::raise(PyExc_ValueError, "nodes must be distinct nodes of the graph in increasing order");
        }
    }
    linka::Subgraph found;
    {
        frame::WithoutGil gil(16);
        core::Pool pool(n_threads);
        found = linka::reverse_subgraph(pool, graph.graph(), knn.graph(), std::span<const std::int64_t>(nodes),
                                        [&](std::size_t) { gil.poll(); });
    }
    if (found.stray_index) frame::raise(PyExc_IndexError, "graph or knn lists an index that is not a node");
    if (!found.added) return Ref::borrow(Py_None);
    const auto members = static_cast<std::int64_t>(found.members.size());
    const auto entries = static_cast<std::int64_t>(found.indices.size());
    Ref indptr = new_vector(members + 1, NPY_INT64);
    std::copy(found.indptr.begin(), found.indptr.end(), data_of<std::int64_t>(indptr));
    Ref weights = new_vector(entries, NPY_FLOAT32);
    std::copy(found.weights.begin(), found.weights.end(), data_of<float>(weights));
    Ref member_array = new_vector(members, NPY_INT64);
    std::copy(found.members.begin(), found.members.end(), data_of<std::int64_t>(member_array));
    const bool narrow = members < (std::int64_t{1} << 31);
    Ref indices = new_vector(entries, narrow ? NPY_INT32 : NPY_INT64);
    if (narrow) {
        std::copy(found.indices.begin(), found.indices.end(), data_of<std::int32_t>(indices));
    } else {
        std::copy(found.indices.begin(), found.indices.end(), data_of<std::int64_t>(indices));
    }
    return frame::check(Py_BuildValue("((OOO)O)", indptr.get(), indices.get(), weights.get(), member_array.get()));
}

Ref reverse_subgraph(const frame::Arguments& args) {
    const std::size_t n_threads = frame::to_thread_count(args[3]);
    // knn's indices must have the type of graph's.
    PyObject* indices = tuple_item(args[0], 1, 3, "graph");
    return frame::with_index_type(indices, [&]<class I>() {
        return reverse_subgraph_of<I>(args[0], args[1], args[2], n_threads);
    });
}

const frame::FunctionSpec kReverseSubgraph{
    .name = "reverse_subgraph",
    .parameters = {"graph", "knn", "nodes", "n_threads"},
    .defaults = {1},
    .doc = "reverse_subgraph(graph, knn, nodes, n_threads=1) -> tuple or None\n\n"
           "The part of `graph` (a CSR triple) that a propagation over the sorted int64\n"
           "`nodes` reads, in which each of them also lists, once, every node whose row of\n"
           "`knn` (a CSR triple over the same nodes) lists it and that it does not list, in\n"
           "the order of those nodes, with the knn weight. Returns ((indptr, indices,\n"
           "weights), members): members (int64) the sorted nodes and every node they list,\n"
           "the graph over positions in members, where nodes outside `nodes` list nothing;\n"
           "or None where no edge is added. The same on any number of threads (1 .. 1024).",
    .body = reverse_subgraph,
};

const frame::FunctionSpec kSymmetric{
    .name = "symmetric",
    .parameters = {"indptr", "indices", "weights", "n_threads"},
    .defaults = {1},
    .doc = "symmetric(indptr, indices, weights, n_threads=1) -> graph\n\n"
           "A CSR graph (float32 weights) made undirected, as (indptr, indices, weights):\n"
           "node i lists its own entries first, then every node s that lists i while i does\n"
           "not list s, with the weight s gave the edge, by weight (NaN last), then by s.\n"
           "The same on any number of threads (1 .. 1024).",
    .body = symmetric,
};

const frame::FunctionSpec kComponents{
    .name = "components",
    .parameters = {"indptr", "indices", "labelled"},
    .defaults = {},
    .doc = "components(indptr, indices, labelled) -> tuple\n\n"
           "Breadth-first components of a CSR graph, started from every unvisited node in\n"
           "increasing order, as (order, starts, component_labelled, node_labelled):\n"
           "component c is order[starts[c]:starts[c + 1]] in visiting order, and it is\n"
           "labelled when any of its nodes is (labelled: uint8 per node).",
    .body = components,
};

const frame::FunctionSpec kConnect{
    .name = "connect",
    .parameters = {"knn", "components", "reached", "graph", "n_threads"},
    .defaults = {1},
    .doc = "connect(knn, components, reached, graph, n_threads=1) -> tuple\n\n"
           "Returns (graph, stuck). Joins the unlabelled components of `components` to the\n"
           "labelled part through the k-NN rows of `knn` (a CSR triple), adding each edge\n"
           "pair to `graph` (a CSR triple), as connect_unlabeled does. `reached` (uint8 per\n"
           "node, the components' node flags at first) is updated in place. When the rows cannot lead every node to a reached\n"
           "one, no pass runs: `stuck` is True and `reached` marks, after the first stage,\n"
           "the nodes whose rows lead to a reached one. The graph is rebuilt on\n"
           "n_threads threads (1 .. 1024).",
    .body = connect,
};

const frame::FunctionSpec kJoin{
    .name = "join",
    .parameters = {"graph", "joins", "n_threads"},
    .defaults = {1},
    .doc = "join(graph, joins, n_threads=1) -> graph\n\n"
           "`graph` (a CSR triple) with the edge pairs `joins` = (nodes, targets, weights)\n"
           "added, each direction at the end of its source's list where it is missing;\n"
           "rebuilt on n_threads threads (1 .. 1024).",
    .body = join,
};

const frame::FunctionSpec kClosedGroups{
    .name = "closed_groups",
    .parameters = {"indptr", "indices", "reached"},
    .defaults = {},
    .doc = "closed_groups(indptr, indices, reached) -> tuple\n\n"
           "Returns (group, count): the smallest sets of unreached nodes whose lists lead\n"
           "only into the set. group[v] numbers v's set (0 .. count - 1), -1 for other nodes.",
    .body = closed_groups,
};

const frame::ModuleSpec kModuleSpec{
    .short_name = "linka_arrays",
    .full_name = kModule,
    .source_file = kSource,
    .imports = {},
    .function = kComponents,
    .more_functions = {&kConnect, &kJoin, &kClosedGroups, &kSymmetric, &kReverseSubgraph},
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_linka_arrays() { return frame::module_definition(kModuleSpec); }
