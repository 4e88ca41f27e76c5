#pragma once
// Maximum matching in a general (not necessarily bipartite) graph by
// augmenting paths, with odd cycles (blossoms) contracted as they are met.
#include <cstddef>
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
    // Moves the unmatched vertex x along an even alternating path (found
    // without contracting odd cycles) to the reachable vertex of highest
    // `preference`, when that is higher than x's: x ends matched, that vertex
    // unmatched, and the matching keeps its size.
    void shift_unmatched(std::size_t x, const std::vector<double>& preference);

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

}  // namespace quorin
