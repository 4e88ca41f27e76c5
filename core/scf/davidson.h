#pragma once
// The lowest eigenpairs of a large symmetric operator known only through its
// products with vectors: block Davidson iterations with a diagonal
// preconditioner and thick restarts. And the test the stability checks of
// both SCF solvers make with them, whether the lowest eigenvalue lies below
// a threshold, with a verdict that says what it proves.
#include <array>
#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

#include "core/types/aligned.h"

namespace quorin {

// A reference to a callable, neither copied nor owned: passes a caller's
// lambda down without allocating.
template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>>>
    FunctionRef(F&& f)  // NOLINT: implicit, like a function pointer
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
          }) {}
    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

// y_k := A x_k for `count` vectors held in rows `stride` apart, from x and y.
using BlockProduct = FunctionRef<void(const double* x, double* y, std::size_t count, std::size_t stride)>;
// column := A e_k, column k of the operator.
using OperatorColumn = FunctionRef<void(std::size_t k, double* column)>;

inline constexpr std::size_t kMaxRitzRoots = 4;

struct DavidsonWorkspace {
    static constexpr std::size_t kSubspace = 24;  // vectors held before a restart
    Matrix basis;       // kSubspace rows: orthonormal vectors
    Matrix images;      // the operator times each of them
    Vec64 ritz_vector;  // the lowest Ritz pair when the iterations end
    Vec64 ritz_image;
    Matrix kept;        // kMaxRitzRoots rows: the Ritz vectors a second opinion is kept apart from

    // Room for vectors of up to `dimension` entries.
    static DavidsonWorkspace allocate(std::size_t dimension);
};

// One round of the iterations as a stop rule sees it: the lowest Ritz
// values and the norms of their residuals, for the roots followed.
struct RitzRound {
    std::array<double, kMaxRitzRoots> theta{};
    std::array<double, kMaxRitzRoots> residual{};
    std::size_t roots = 0;
    std::size_t corrections = 0;  // rounds that added vectors since the start block
    bool complete = false;        // the vectors span the whole space: the Ritz pairs are exact
};

// A stop rule's answer: stop, or which roots get a correction vector.
struct RitzDecision {
    bool stop = false;
    std::array<bool, kMaxRitzRoots> correct{};
};
using RitzRule = FunctionRef<RitzDecision(const RitzRound&)>;

// Block Davidson iterations for the lowest `roots` eigenpairs of a symmetric
// operator of dimension len, from the m orthonormal vectors already in the
// rows of ws.basis and their images in those of ws.images. Each round
// corrects the roots the rule asks for, each by its residual divided by
// precondition[k] - theta, and counts the products in `products`. Stops
// when the rule says so, when the products reach max_products, or when no
// new direction is left. Leaves the lowest Ritz pair in ws.ritz_vector and
// ws.ritz_image, the Ritz vectors of the roots followed in the first rows
// of ws.basis (their images in ws.images), and returns the last round.
// With `deflated` > 0 every new vector is first made orthogonal to the
// first `deflated` rows of ws.kept (so are the start vectors, by the caller):
// the iterations then run in their complement, and the residuals are those
// of the operator projected onto it.
RitzRound lowest_eigenpairs(DavidsonWorkspace& ws, std::size_t len, std::size_t m, const double* precondition,
                            std::size_t roots, std::size_t& products, std::size_t max_products,
                            BlockProduct product, RitzRule rule, std::size_t deflated = 0);

// Removes from v its components along the first m rows of `rows` (twice,
// for orthogonality to working precision) and normalises it; returns the
// norm left before normalising, relative to the initial one.
double orthonormalize_against_rows(const Matrix& rows, std::size_t m, double* v, std::size_t len);

// The start block is the operator's exact block over this many coordinates
// of lowest diagonal.
inline constexpr std::size_t kStartBlockSize = 4;

// The `count` coordinates of lowest diagonal, lowest first (the first index
// of equal ones first).
void lowest_coordinates(const double* diagonal, std::size_t len, std::size_t count, std::size_t* out);

// Start vectors that no symmetry of the operator can keep inside one of its
// invariant subspaces and that reach every coordinate, so that every
// eigenvector has a part among them whatever its diagonal. From `block`, the
// operator's exact block over the coordinates `start` (those of lowest
// diagonal; row-major, overwritten): its lowest eigenvectors, each plus a
// dense pseudo-random part of norm 0.3 spread evenly over all coordinates,
// up to three, orthonormalised against the m rows already in ws.basis and
// each other, appended there with their images (one block product, counted
// in `products`). Then moves every entry of `diagonal` by the mean of
// block_ss - diagonal_s, the offset the operator's off-diagonal terms give
// the lowest coordinates: the preconditioner of the iterations. Returns the
// rows of ws.basis now filled.
std::size_t add_start_vectors(DavidsonWorkspace& ws, std::size_t len, std::size_t m, double* diagonal,
                              std::span<const std::size_t> start, double* block, BlockProduct product,
                              std::size_t& products);

// The test of the lowest eigenvalue against a threshold, its tolerances and
// budget.
struct EigenvalueTest {
    double threshold = 0.0;
    // The lowest Ritz value theta counts as converged when the bound on its
    // distance to an eigenvalue is within absolute_tolerance and every
    // followed root's residual norm is within residual_bound: both absolute,
    // as tight far from the threshold as near it.
    double absolute_tolerance = 0.0;
    double residual_bound = 5e-2;  // eV for the orbital Hessians
    // A lowest Ritz value less than this above the threshold is near it:
    // the cluster's roots must all converge, and with whole_near_threshold
    // an operator of at most exact_dimension is built whole.
    double near_margin = 0.0;
    bool whole_near_threshold = true;
    // A lowest Ritz value less than this above the threshold needs a second
    // opinion before the verdict "above" (see test_lowest_eigenvalue).
    double second_opinion_margin = 0.0;
    std::size_t max_products = 0;     // the start block's included
    std::size_t exact_dimension = 0;  // up to this dimension a run-out builds the whole operator
    std::size_t dense_dimension = 0;  // up to this dimension the whole operator is built from the start
};

enum class EigenvalueVerdict { below, above, undecided };

struct LowestEigenvalue {
    double value = 0.0;        // the lowest Ritz value, or the exact eigenvalue after a whole-operator build
    double error_bound = 0.0;  // how far the lowest eigenvalue may lie below `value` when converged
    std::size_t products = 0;  // all of them, the start block's and the whole operator's included
    EigenvalueVerdict verdict = EigenvalueVerdict::undecided;
    // below: the Ritz values (or exact eigenvalues) under the threshold,
    // lowest first, at most kMaxRitzRoots; their vectors are the first rows
    // of ws.basis.
    std::size_t roots_below = 0;
    // The lowest Ritz values (or exact eigenvalues) whose vectors the first
    // `roots` rows of ws.basis hold, ascending.
    std::array<double, kMaxRitzRoots> roots_values{};
    std::size_t roots = 0;
};

// Davidson iterations from the m start vectors in ws.basis (and their
// images; `products` spent on them), and what they prove. They follow the
// lowest Ritz value, those within 0.1 eV of it (a cluster) and the first
// one above the cluster, up to four roots.
// - below: a Ritz value lies below the threshold. It bounds the lowest
//   eigenvalue from above; ws.ritz_vector holds its vector, converged to
//   the residual bound as far as the budget allows.
// - above: after at least one round of corrections, the lowest root's
//   residual norm is within test.residual_bound, and an eigenvalue lies
//   within error_bound below the lowest Ritz value theta, with theta -
//   error_bound not below the threshold and error_bound within the test's
//   tolerance. error_bound is the residual r1, or the quadratic bound
//   (sum of the cluster's r_j^2) / (theta_next - r_next - theta_cluster)
//   once the root above the cluster lies clear of it. With theta less than
//   test.near_margin above the threshold every root of the cluster must
//   reach the bound too, and with test.whole_near_threshold an operator of
//   at most test.exact_dimension is built whole instead. What is proved: theta bounds the lowest eigenvalue
//   from above, and some eigenvalue lies within error_bound of theta. That
//   none lies lower rests on the start: vectors with a part along every
//   eigenvector (see add_start_vectors), and the iterations the lowest root
//   needs to reach the absolute residual bound, whose growth brings out an
//   eigenvector well below it first. Start vectors made from the
//   coordinates of lowest diagonal can still miss an eigenvector that lies
//   on coordinates of high diagonal whose coupling pulls it far down, and
//   whether they do depends on how degenerate coordinates are oriented (an
//   S2 molecule had its lowest eigenvalue 0.9 eV below such a converged
//   theta). So with theta less than test.second_opinion_margin above the
//   threshold a second opinion decides: iterations from a block of
//   pseudo-random vectors spread evenly over every coordinate, kept
//   orthogonal to the lowest roots just followed that converged (a rough
//   Ritz vector of a root above may hold much of the missed eigenvector),
//   with a budget of their own, by the same rule (a cluster, error bounds)
//   as the first run, on the operator projected onto that complement. The
//   lowest eigenvalue of that complement
//   lies above theta less error_bound when theta is the lowest; a Ritz value
//   of it further below (by 0.1 eV), or below the threshold, shows a missed
//   eigenvector, and the test runs again from both runs' lowest vectors
//   with a budget of its own, up to three runs. A second opinion that runs out of its budget leaves the
//   first run's verdict.
// - len <= test.dense_dimension: the whole operator, one `column` a
//   coordinate, is diagonalised from the start and the verdict is exact
//   (its eigenvector in ws.ritz_vector, the lowest four in the first rows
//   of ws.basis). The same when the budget runs out first and len <=
//   test.exact_dimension; larger operators are then left undecided, the
//   lowest Ritz vector in ws.ritz_vector.
LowestEigenvalue test_lowest_eigenvalue(DavidsonWorkspace& ws, std::size_t len, std::size_t m,
                                        std::size_t products, const double* precondition, BlockProduct product,
                                        OperatorColumn column, const EigenvalueTest& test);

}  // namespace quorin
