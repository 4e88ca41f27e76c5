#pragma once
// Matchings in general (not necessarily bipartite) graphs, with odd cycles
// (blossoms) contracted as they are met: a maximum matching grown by
// augmenting paths, and a maximum-weight matching by the primal-dual method.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorin {

class GraphMatching {
public:
    static constexpr std::size_t kUnmatched = static_cast<std::size_t>(-1);

    // Adds a vertex and returns its index.
    std::size_t add_vertex();
    void add_edge(std::size_t a, std::size_t b);
    // Removes the vertex added last, with its edges; it must be unmatched.
    void remove_last_vertex();

    std::size_t size() const { return mate_.size(); }
    std::size_t mate(std::size_t v) const { return mate_[v]; }

    // Matches each unmatched vertex, in the order given, with an unmatched
    // neighbour when it has one.
    void match_greedily(const std::vector<std::size_t>& order);
    // Enlarges the matching along an augmenting path from the unmatched
    // vertex `root`; false when there is none. A vertex once matched stays
    // matched. Augmenting from every unmatched vertex in turn gives a maximum
    // matching.
    bool augment_from(std::size_t root);

private:
    std::size_t common_base(std::size_t a, std::size_t b);
    void mark_blossom_path(std::size_t v, std::size_t base, std::size_t child);

    std::vector<std::vector<std::size_t>> adjacent_;
    std::vector<std::size_t> mate_;
    // Search state of augment_from.
    std::vector<std::size_t> parent_;
    std::vector<std::size_t> base_;
    std::vector<char> in_tree_;
    std::vector<char> in_blossom_;
    std::vector<char> on_path_;
    std::vector<std::size_t> queue_;
};

struct WeightedEdge {
    std::size_t u = 0, v = 0;
    std::int64_t weight = 0;
};

// The mate of each of the n vertices (GraphMatching::kUnmatched for none) in
// a matching of largest total weight among those of largest size. Integer
// weights keep the dual variables exact. Each connected component is solved
// on its own, in time cubic in its vertex count.
std::vector<std::size_t> maximum_weight_matching(std::size_t n, const std::vector<WeightedEdge>& edges);

}  // namespace quorin
