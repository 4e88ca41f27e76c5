#pragma once
// Docstring lines that several module functions share, so that a switch is
// described in the same words wherever it appears.

// The methods every call with a `method` argument accepts, in get_model's
// order, and the default of all but am1_bcc.
#define QUORIN_METHOD_DOC                                                                                      \
    "- `method`: Semi-empirical Hamiltonian (\"PM7\", \"PM6\", \"AM1\", \"RM1\", \"PM3\", \"MNDO\"; default: " \
    "\"PM6\")\n"

// The NDDO switch: what switching it off gives.
#define QUORIN_USE_NDDO_DOC                                                                                    \
    "- `use_nddo`: The method's own two-centre integrals (every multipole of the NDDO charge distributions, " \
    "rotated to each atom pair); False replaces them by a cheaper monopole approximation whose energies are "  \
    "far from the method's own (benzene, PM6: heat of formation 417.6 instead of 24.5 kcal/mol) "              \
    "(default: true)"

// The active window of meci and uv_vis_spectrum: what happens where an MO at
// its edge nearly coincides with the next one outside (kWindowEdgeGapEv).
#define QUORIN_ACTIVE_WINDOW_EDGE_DOC                                                                        \
    ". Where the MO at an edge of the window and the next one outside it lie closer than 0.01 eV, the CI "  \
    "states would depend on which of the two the window takes: the call raises ValueError naming the two "  \
    "MOs, their gap and the active_orbitals whose window edges are clear"
