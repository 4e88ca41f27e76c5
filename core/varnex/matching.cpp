#include "core/varnex/matching.h"

#include <algorithm>

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

void GraphMatching::shift_unmatched(std::size_t x, const std::vector<double>& preference) {
    if (mate_[x] != kUnmatched) return;
    // parent_[inner] is the outer vertex it was reached from; outer vertices
    // are reached through their mates.
    parent_.assign(mate_.size(), kUnmatched);
    in_tree_.assign(mate_.size(), 0);
    in_tree_[x] = 1;
    queue_.assign(1, x);
    std::size_t best = x;
    for (std::size_t head = 0; head < queue_.size(); ++head) {
        const std::size_t outer = queue_[head];
        for (const std::size_t inner : adjacent_[outer]) {
            const std::size_t next = mate_[inner];
            if (next == kUnmatched || in_tree_[inner] || in_tree_[next]) continue;
            in_tree_[inner] = in_tree_[next] = 1;
            parent_[inner] = outer;
            queue_.push_back(next);
            if (preference[next] > preference[best]) best = next;
        }
    }
    if (best == x) return;
    std::size_t inner = mate_[best];
    mate_[best] = kUnmatched;
    while (true) {
        const std::size_t outer = parent_[inner];
        const std::size_t previous = mate_[outer];
        mate_[inner] = outer;
        mate_[outer] = inner;
        if (outer == x) break;
        inner = previous;
    }
}

}  // namespace quorin
