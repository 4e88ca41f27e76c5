#include "core/varnex/matching.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace quorin {

std::size_t GraphMatching::add_vertex() {
    adjacent_.emplace_back();
    mate_.push_back(kUnmatched);
    return mate_.size() - 1;
}

void GraphMatching::add_edge(std::size_t a, std::size_t b) {
    adjacent_[a].push_back(b);
    adjacent_[b].push_back(a);
}

void GraphMatching::remove_last_vertex() {
    const std::size_t v = mate_.size() - 1;
    for (const std::size_t w : adjacent_[v]) {
        auto& list = adjacent_[w];
        list.erase(std::remove(list.begin(), list.end(), v), list.end());
    }
    adjacent_.pop_back();
    mate_.pop_back();
}

void GraphMatching::match_greedily(const std::vector<std::size_t>& order) {
    for (const std::size_t v : order) {
        if (mate_[v] != kUnmatched) continue;
        for (const std::size_t w : adjacent_[v]) {
            if (mate_[w] == kUnmatched) {
                mate_[v] = w;
                mate_[w] = v;
                break;
            }
        }
    }
}

// The base of the innermost blossom holding both a and b in the search tree.
std::size_t GraphMatching::common_base(std::size_t a, std::size_t b) {
    std::fill(on_path_.begin(), on_path_.end(), 0);
    while (true) {
        a = base_[a];
        on_path_[a] = 1;
        if (mate_[a] == kUnmatched) break;
        a = parent_[mate_[a]];
    }
    while (true) {
        b = base_[b];
        if (on_path_[b]) return b;
        b = parent_[mate_[b]];
    }
}

void GraphMatching::mark_blossom_path(std::size_t v, std::size_t base, std::size_t child) {
    while (base_[v] != base) {
        in_blossom_[base_[v]] = 1;
        in_blossom_[base_[mate_[v]]] = 1;
        parent_[v] = child;
        child = mate_[v];
        v = parent_[mate_[v]];
    }
}

bool GraphMatching::augment_from(std::size_t root) {
    const std::size_t n = mate_.size();
    if (mate_[root] != kUnmatched) return false;
    parent_.assign(n, kUnmatched);
    base_.resize(n);
    for (std::size_t v = 0; v < n; ++v) base_[v] = v;
    in_tree_.assign(n, 0);
    in_blossom_.assign(n, 0);
    on_path_.assign(n, 0);
    queue_.clear();
    in_tree_[root] = 1;
    queue_.push_back(root);
    std::size_t end = kUnmatched;
    for (std::size_t head = 0; head < queue_.size() && end == kUnmatched; ++head) {
        const std::size_t v = queue_[head];
        for (const std::size_t to : adjacent_[v]) {
            if (base_[v] == base_[to] || mate_[v] == to) continue;
            if (to == root || (mate_[to] != kUnmatched && parent_[mate_[to]] != kUnmatched)) {
                // An odd cycle: contract it onto its base.
                const std::size_t base = common_base(v, to);
                std::fill(in_blossom_.begin(), in_blossom_.end(), 0);
                mark_blossom_path(v, base, to);
                mark_blossom_path(to, base, v);
                for (std::size_t u = 0; u < n; ++u) {
                    if (!in_blossom_[base_[u]]) continue;
                    base_[u] = base;
                    if (!in_tree_[u]) {
                        in_tree_[u] = 1;
                        queue_.push_back(u);
                    }
                }
            } else if (parent_[to] == kUnmatched) {
                parent_[to] = v;
                if (mate_[to] == kUnmatched) {
                    end = to;
                    break;
                }
                in_tree_[mate_[to]] = 1;
                queue_.push_back(mate_[to]);
            }
        }
    }
    if (end == kUnmatched) return false;
    // Flip the matched and unmatched edges along the path back to the root.
    for (std::size_t v = end; v != kUnmatched;) {
        const std::size_t pv = parent_[v];
        const std::size_t next = mate_[pv];
        mate_[v] = pv;
        mate_[pv] = v;
        v = next;
    }
    return true;
}

namespace {

// Edmonds' maximum-weight matching, primal-dual with blossoms: vertices
// 0..n-1, blossoms n..2n-1. Edge k has the endpoints 2k (its u) and 2k + 1
// (its v); a vertex's mate is the endpoint at the far end of its matched
// edge. Top-level blossoms carry the labels S (1) and T (2) of the
// alternating forest; the dual variables keep every edge's slack
// d_u + d_v - 2 w (plus the blossoms holding exactly one end) non-negative,
// and tight edges (slack 0) alone enter the forest. A stage grows the forest
// until an augmenting path appears, changing the duals by the largest step
// that keeps them feasible when none does. Sizes are signed: -1 is "none".
class WeightedBlossom {
public:
    WeightedBlossom(long n, const std::vector<WeightedEdge>& edges) : n_(n), edges_(edges) {
        const long m = static_cast<long>(edges.size());
        std::int64_t largest = 0;
        for (const WeightedEdge& e : edges) largest = std::max(largest, e.weight);
        endpoint_.resize(2 * m);
        neighbour_ends_.resize(n);
        for (long k = 0; k < m; ++k) {
            endpoint_[2 * k] = static_cast<long>(edges[k].u);
            endpoint_[2 * k + 1] = static_cast<long>(edges[k].v);
            neighbour_ends_[edges[k].u].push_back(2 * k + 1);
            neighbour_ends_[edges[k].v].push_back(2 * k);
        }
        mate_.assign(n, -1);
        label_.assign(2 * n, 0);
        label_end_.assign(2 * n, -1);
        in_blossom_.resize(n);
        for (long v = 0; v < n; ++v) in_blossom_[v] = v;
        parent_.assign(2 * n, -1);
        children_.assign(2 * n, {});
        child_ends_.assign(2 * n, {});
        base_.assign(2 * n, -1);
        for (long v = 0; v < n; ++v) base_[v] = v;
        best_edge_.assign(2 * n, -1);
        best_edges_.assign(2 * n, {});
        has_best_edges_.assign(2 * n, 0);
        for (long b = 2 * n - 1; b >= n; --b) unused_.push_back(b);
        dual_.assign(2 * n, 0);
        for (long v = 0; v < n; ++v) dual_[v] = largest;
        allowed_.assign(m, 0);
    }

    // Mates as vertices.
    std::vector<long> solve();

private:
    std::int64_t slack(long k) const {
        return dual_[edges_[k].u] + dual_[edges_[k].v] - 2 * edges_[k].weight;
    }
    void leaves(long b, std::vector<long>& out) const {
        if (b < n_) {
            out.push_back(b);
            return;
        }
        for (const long c : children_[b]) leaves(c, out);
    }
    std::vector<long> leaves(long b) const {
        std::vector<long> out;
        leaves(b, out);
        return out;
    }
    // Index into a blossom's cyclic lists, counted from either end.
    static long wrap(long j, std::size_t size) {
        const long s = static_cast<long>(size);
        return ((j % s) + s) % s;
    }
    void assign_label(long w, int t, long p);
    long scan_blossom(long v, long w);
    void add_blossom(long base, long k);
    void expand_blossom(long b, bool end_of_stage);
    void augment_blossom(long b, long v);
    void augment_matching(long k);

    long n_;
    const std::vector<WeightedEdge>& edges_;
    std::vector<long> endpoint_;
    std::vector<std::vector<long>> neighbour_ends_;
    std::vector<long> mate_;        // per vertex: far endpoint of its matched edge
    std::vector<int> label_;        // per vertex and blossom; 5 marks a visit of scan_blossom
    std::vector<long> label_end_;   // endpoint through which the label came
    std::vector<long> in_blossom_;  // per vertex: its top-level blossom
    std::vector<long> parent_;
    std::vector<std::vector<long>> children_;    // sub-blossoms around the cycle, base first
    std::vector<std::vector<long>> child_ends_;  // endpoints of the edges joining them
    std::vector<long> base_;
    std::vector<long> best_edge_;  // least-slack edge to another S-blossom (or, on a free vertex, to one)
    std::vector<std::vector<long>> best_edges_;  // of an S-blossom: least-slack edges to each S-blossom
    std::vector<char> has_best_edges_;
    std::vector<long> unused_;
    std::vector<std::int64_t> dual_;
    std::vector<char> allowed_;
    std::vector<long> queue_;
};

void WeightedBlossom::assign_label(long w, int t, long p) {
    const long b = in_blossom_[w];
    label_[w] = label_[b] = t;
    label_end_[w] = label_end_[b] = p;
    best_edge_[w] = best_edge_[b] = -1;
    if (t == 1) {
        leaves(b, queue_);
    } else {
        // A T-blossom's base is matched: its mate becomes S.
        const long base = base_[b];
        assign_label(endpoint_[mate_[base]], 1, mate_[base] ^ 1);
    }
}

// Traces back from two S-vertices joined by a tight edge: the base of the
// blossom they close, or -1 when they lie in different trees (an
// augmenting path).
long WeightedBlossom::scan_blossom(long v, long w) {
    std::vector<long> path;
    long base = -1;
    while (v != -1 || w != -1) {
        long b = in_blossom_[v];
        if (label_[b] & 4) {
            base = base_[b];
            break;
        }
        path.push_back(b);
        label_[b] = 5;
        if (label_end_[b] == -1) {
            v = -1;
        } else {
            v = endpoint_[label_end_[b]];
            b = in_blossom_[v];
            v = endpoint_[label_end_[b]];
        }
        if (w != -1) std::swap(v, w);
    }
    for (const long b : path) label_[b] = 1;
    return base;
}

void WeightedBlossom::add_blossom(long base, long k) {
    long v = static_cast<long>(edges_[k].u), w = static_cast<long>(edges_[k].v);
    const long bb = in_blossom_[base];
    long bv = in_blossom_[v], bw = in_blossom_[w];
    const long b = unused_.back();
    unused_.pop_back();
    base_[b] = base;
    parent_[b] = -1;
    parent_[bb] = b;
    std::vector<long>& path = children_[b];
    std::vector<long>& ends = child_ends_[b];
    path.clear();
    ends.clear();
    while (bv != bb) {
        parent_[bv] = b;
        path.push_back(bv);
        ends.push_back(label_end_[bv]);
        v = endpoint_[label_end_[bv]];
        bv = in_blossom_[v];
    }
    path.push_back(bb);
    std::reverse(path.begin(), path.end());
    std::reverse(ends.begin(), ends.end());
    ends.push_back(2 * k);
    while (bw != bb) {
        parent_[bw] = b;
        path.push_back(bw);
        ends.push_back(label_end_[bw] ^ 1);
        w = endpoint_[label_end_[bw]];
        bw = in_blossom_[w];
    }
    label_[b] = 1;
    label_end_[b] = label_end_[bb];
    dual_[b] = 0;
    for (const long leaf : leaves(b)) {
        if (label_[in_blossom_[leaf]] == 2) queue_.push_back(leaf);
        in_blossom_[leaf] = b;
    }
    // The new blossom's least-slack edges to each other S-blossom.
    std::vector<long> best_to(2 * n_, -1);
    const auto consider = [&](long edge) {
        long i = static_cast<long>(edges_[edge].u), j = static_cast<long>(edges_[edge].v);
        if (in_blossom_[j] == b) std::swap(i, j);
        const long bj = in_blossom_[j];
        if (bj != b && label_[bj] == 1 && (best_to[bj] == -1 || slack(edge) < slack(best_to[bj]))) {
            best_to[bj] = edge;
        }
    };
    for (const long child : path) {
        if (has_best_edges_[child]) {
            for (const long edge : best_edges_[child]) consider(edge);
        } else {
            for (const long leaf : leaves(child)) {
                for (const long p : neighbour_ends_[leaf]) consider(p / 2);
            }
        }
        best_edges_[child].clear();
        has_best_edges_[child] = 0;
        best_edge_[child] = -1;
    }
    best_edges_[b].clear();
    for (const long edge : best_to) {
        if (edge != -1) best_edges_[b].push_back(edge);
    }
    has_best_edges_[b] = 1;
    best_edge_[b] = -1;
    for (const long edge : best_edges_[b]) {
        if (best_edge_[b] == -1 || slack(edge) < slack(best_edge_[b])) best_edge_[b] = edge;
    }
}

void WeightedBlossom::expand_blossom(long b, bool end_of_stage) {
    for (const long s : children_[b]) {
        parent_[s] = -1;
        if (s < n_) {
            in_blossom_[s] = s;
        } else if (end_of_stage && dual_[s] == 0) {
            expand_blossom(s, end_of_stage);
        } else {
            for (const long leaf : leaves(s)) in_blossom_[leaf] = s;
        }
    }
    if (!end_of_stage && label_[b] == 2) {
        // The T-blossom leaves the forest; its children from the entry to the
        // base along the even side take T and S labels in turn.
        const std::vector<long>& children = children_[b];
        const std::vector<long>& ends = child_ends_[b];
        const long size = static_cast<long>(children.size());
        const long entry = in_blossom_[endpoint_[label_end_[b] ^ 1]];
        long j = static_cast<long>(std::find(children.begin(), children.end(), entry) - children.begin());
        long step, trick;
        if (j & 1) {
            j -= size;
            step = 1;
            trick = 0;
        } else {
            step = -1;
            trick = 1;
        }
        long p = label_end_[b];
        while (j != 0) {
            label_[endpoint_[p ^ 1]] = 0;
            label_[endpoint_[ends[wrap(j - trick, ends.size())] ^ trick ^ 1]] = 0;
            assign_label(endpoint_[p ^ 1], 2, p);
            allowed_[ends[wrap(j - trick, ends.size())] / 2] = 1;
            j += step;
            p = ends[wrap(j - trick, ends.size())] ^ trick;
            allowed_[p / 2] = 1;
            j += step;
        }
        long bv = children[wrap(j, children.size())];
        label_[endpoint_[p ^ 1]] = label_[bv] = 2;
        label_end_[endpoint_[p ^ 1]] = label_end_[bv] = p;
        best_edge_[bv] = -1;
        j += step;
        while (children[wrap(j, children.size())] != entry) {
            bv = children[wrap(j, children.size())];
            if (label_[bv] == 1) {
                j += step;
                continue;
            }
            long labelled = -1;
            for (const long leaf : leaves(bv)) {
                if (label_[leaf] != 0) {
                    labelled = leaf;
                    break;
                }
            }
            if (labelled != -1) {
                label_[labelled] = 0;
                label_[endpoint_[mate_[base_[bv]]]] = 0;
                assign_label(labelled, 2, label_end_[labelled]);
            }
            j += step;
        }
    }
    label_[b] = 0;
    label_end_[b] = -1;
    children_[b].clear();
    child_ends_[b].clear();
    base_[b] = -1;
    best_edges_[b].clear();
    has_best_edges_[b] = 0;
    best_edge_[b] = -1;
    unused_.push_back(b);
}

// Swaps the matched and unmatched edges of the even path through blossom b
// from its vertex v to its base, making v the base.
void WeightedBlossom::augment_blossom(long b, long v) {
    long t = v;
    while (parent_[t] != b) t = parent_[t];
    if (t >= n_) augment_blossom(t, v);
    std::vector<long>& children = children_[b];
    std::vector<long>& ends = child_ends_[b];
    const long size = static_cast<long>(children.size());
    const long i = static_cast<long>(std::find(children.begin(), children.end(), t) - children.begin());
    long j = i, step, trick;
    if (i & 1) {
        j -= size;
        step = 1;
        trick = 0;
    } else {
        step = -1;
        trick = 1;
    }
    while (j != 0) {
        j += step;
        t = children[wrap(j, children.size())];
        const long p = ends[wrap(j - trick, ends.size())] ^ trick;
        if (t >= n_) augment_blossom(t, endpoint_[p]);
        j += step;
        t = children[wrap(j, children.size())];
        if (t >= n_) augment_blossom(t, endpoint_[p ^ 1]);
        mate_[endpoint_[p]] = p ^ 1;
        mate_[endpoint_[p ^ 1]] = p;
    }
    std::rotate(children.begin(), children.begin() + i, children.end());
    std::rotate(ends.begin(), ends.begin() + i, ends.end());
    base_[b] = base_[children[0]];
}

void WeightedBlossom::augment_matching(long k) {
    const std::pair<long, long> sides[2] = {{static_cast<long>(edges_[k].u), 2 * k + 1},
                                            {static_cast<long>(edges_[k].v), 2 * k}};
    for (auto [s, p] : sides) {
        while (true) {
            const long bs = in_blossom_[s];
            if (bs >= n_) augment_blossom(bs, s);
            mate_[s] = p;
            if (label_end_[bs] == -1) break;  // reached the root
            const long t = endpoint_[label_end_[bs]];
            const long bt = in_blossom_[t];
            s = endpoint_[label_end_[bt]];
            const long j = endpoint_[label_end_[bt] ^ 1];
            if (bt >= n_) augment_blossom(bt, j);
            mate_[j] = label_end_[bt];
            p = label_end_[bt] ^ 1;
        }
    }
}

std::vector<long> WeightedBlossom::solve() {
    const long n = n_;
    for (long stage = 0; stage < n; ++stage) {
        std::fill(label_.begin(), label_.end(), 0);
        std::fill(best_edge_.begin(), best_edge_.end(), -1);
        for (long b = n; b < 2 * n; ++b) {
            best_edges_[b].clear();
            has_best_edges_[b] = 0;
        }
        std::fill(allowed_.begin(), allowed_.end(), 0);
        queue_.clear();
        for (long v = 0; v < n; ++v) {
            if (mate_[v] == -1 && label_[in_blossom_[v]] == 0) assign_label(v, 1, -1);
        }
        bool augmented = false;
        while (true) {
            while (!queue_.empty() && !augmented) {
                const long v = queue_.back();
                queue_.pop_back();
                for (const long p : neighbour_ends_[v]) {
                    const long k = p / 2;
                    const long w = endpoint_[p];
                    if (in_blossom_[v] == in_blossom_[w]) continue;
                    std::int64_t k_slack = 0;
                    if (!allowed_[k]) {
                        k_slack = slack(k);
                        if (k_slack <= 0) allowed_[k] = 1;
                    }
                    if (allowed_[k]) {
                        if (label_[in_blossom_[w]] == 0) {
                            assign_label(w, 2, p ^ 1);
                        } else if (label_[in_blossom_[w]] == 1) {
                            const long base = scan_blossom(v, w);
                            if (base >= 0) {
                                add_blossom(base, k);
                            } else {
                                augment_matching(k);
                                augmented = true;
                                break;
                            }
                        } else if (label_[w] == 0) {
                            label_[w] = 2;
                            label_end_[w] = p ^ 1;
                        }
                    } else if (label_[in_blossom_[w]] == 1) {
                        const long b = in_blossom_[v];
                        if (best_edge_[b] == -1 || k_slack < slack(best_edge_[b])) best_edge_[b] = k;
                    } else if (label_[w] == 0) {
                        if (best_edge_[w] == -1 || k_slack < slack(best_edge_[w])) best_edge_[w] = k;
                    }
                }
            }
            if (augmented) break;

            // No augmenting path with tight edges: the largest dual step.
            // The matching keeps its largest size, so vertex duals may go
            // negative (no step of the first kind).
            int kind = -1;
            std::int64_t delta = 0;
            long delta_edge = -1, delta_blossom = -1;
            for (long v = 0; v < n; ++v) {
                if (label_[in_blossom_[v]] == 0 && best_edge_[v] != -1) {
                    const std::int64_t d = slack(best_edge_[v]);
                    if (kind == -1 || d < delta) {
                        delta = d;
                        kind = 2;
                        delta_edge = best_edge_[v];
                    }
                }
            }
            for (long b = 0; b < 2 * n; ++b) {
                if (parent_[b] == -1 && label_[b] == 1 && best_edge_[b] != -1) {
                    // Slacks of edges between S-blossoms are even for integer weights.
                    const std::int64_t d = slack(best_edge_[b]) / 2;
                    if (kind == -1 || d < delta) {
                        delta = d;
                        kind = 3;
                        delta_edge = best_edge_[b];
                    }
                }
            }
            for (long b = n; b < 2 * n; ++b) {
                if (base_[b] >= 0 && parent_[b] == -1 && label_[b] == 2 && (kind == -1 || dual_[b] < delta)) {
                    delta = dual_[b];
                    kind = 4;
                    delta_blossom = b;
                }
            }
            if (kind == -1) {
                // Nothing can grow: the matching is optimal.
                kind = 1;
                delta = std::max<std::int64_t>(0, *std::min_element(dual_.begin(), dual_.begin() + n));
            }
            for (long v = 0; v < n; ++v) {
                if (label_[in_blossom_[v]] == 1) {
                    dual_[v] -= delta;
                } else if (label_[in_blossom_[v]] == 2) {
                    dual_[v] += delta;
                }
            }
            for (long b = n; b < 2 * n; ++b) {
                if (base_[b] >= 0 && parent_[b] == -1) {
                    if (label_[b] == 1) {
                        dual_[b] += delta;
                    } else if (label_[b] == 2) {
                        dual_[b] -= delta;
                    }
                }
            }
            if (kind == 1) break;
            if (kind == 2 || kind == 3) {
                allowed_[delta_edge] = 1;
                long i = static_cast<long>(edges_[delta_edge].u), j = static_cast<long>(edges_[delta_edge].v);
                if (label_[in_blossom_[i]] == 0) std::swap(i, j);
                queue_.push_back(i);
            } else {
                expand_blossom(delta_blossom, false);
            }
        }
        if (!augmented) break;
        // S-blossoms whose dual reached zero open up for the next stage.
        for (long b = n; b < 2 * n; ++b) {
            if (parent_[b] == -1 && base_[b] >= 0 && label_[b] == 1 && dual_[b] == 0) expand_blossom(b, true);
        }
    }
    std::vector<long> mates(n, -1);
    for (long v = 0; v < n; ++v) {
        if (mate_[v] >= 0) mates[v] = endpoint_[mate_[v]];
    }
    return mates;
}

}  // namespace

std::vector<std::size_t> maximum_weight_matching(std::size_t n, const std::vector<WeightedEdge>& edges) {
    // Connected components by union-find; each solved with local numbers.
    std::vector<std::size_t> root(n);
    std::iota(root.begin(), root.end(), std::size_t{0});
    const auto find = [&](std::size_t v) {
        while (root[v] != v) v = root[v] = root[root[v]];
        return v;
    };
    for (const WeightedEdge& e : edges) root[find(e.u)] = find(e.v);
    std::vector<std::size_t> local(n), component_of(n);
    std::vector<std::vector<std::size_t>> members;
    std::vector<std::size_t> component_index(n, GraphMatching::kUnmatched);
    for (std::size_t v = 0; v < n; ++v) {
        const std::size_t r = find(v);
        if (component_index[r] == GraphMatching::kUnmatched) {
            component_index[r] = members.size();
            members.emplace_back();
        }
        component_of[v] = component_index[r];
        local[v] = members[component_of[v]].size();
        members[component_of[v]].push_back(v);
    }
    std::vector<std::vector<WeightedEdge>> component_edges(members.size());
    for (const WeightedEdge& e : edges) {
        if (e.u == e.v) continue;
        // Doubled weights keep every dual step an integer.
        component_edges[component_of[e.u]].push_back({local[e.u], local[e.v], 2 * e.weight});
    }
    std::vector<std::size_t> mate(n, GraphMatching::kUnmatched);
    for (std::size_t c = 0; c < members.size(); ++c) {
        if (component_edges[c].empty()) continue;
        WeightedBlossom solver(static_cast<long>(members[c].size()), component_edges[c]);
        const std::vector<long> mates = solver.solve();
        for (std::size_t k = 0; k < mates.size(); ++k) {
            if (mates[k] >= 0) mate[members[c][k]] = members[c][static_cast<std::size_t>(mates[k])];
        }
    }
    return mate;
}

}  // namespace quorin
