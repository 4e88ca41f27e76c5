"""Formaldehyde with AM1: optimise, check the minimum, look at charges and UV-vis."""
import quorin_py as qp


def is_minimum(vib):
    """A stationary point is a minimum when no vibrational frequency is
    imaginary (below -10 cm-1, the noise of the finite differences).
    `not vib.is_transition_state` is no such test: it also holds where two or
    more modes are imaginary, as on linear water."""
    return all(nu > -10.0 for nu in vib.vibrational_frequencies_cm1)


def main():
    numbers = [6, 8, 1, 1]                       # C, O, H, H
    coords = [[0.0, 0.0, -0.53], [0.0, 0.0, 0.68],  # angstrom
              [0.0, 0.94, -1.12], [0.0, -0.94, -1.12]]

    opt = qp.optimize(numbers, coords, method="AM1")
    print(opt)                                   # converged, cycles, final energy and heat of formation
    res = opt.final_result                       # a CalculationResult at the optimised geometry
    print(f"dHf {res.heat_of_formation_kcal:.2f} kcal/mol, dipole {res.dipole_debye[3]:.2f} D, "
          f"HOMO-LUMO gap {res.homo_lumo_gap_ev:.2f} eV")
    print("Mulliken charges:", [round(q, 3) for q in res.mulliken_charges])

    vib = qp.frequencies(numbers, opt.coordinates, method="AM1", rotational_symmetry_number=2)
    print("frequencies / cm-1:", [round(f) for f in vib.vibrational_frequencies_cm1])
    print(f"minimum: {is_minimum(vib)}, ZPVE {vib.zpve_kcal_mol:.2f} kcal/mol, "
          f"S {vib.thermo.entropy_total_cal_k_mol:.1f} cal/(mol K)")

    spectrum = qp.uv_vis_spectrum(numbers, opt.coordinates, method="AM1", active_orbitals=4)
    print(f"lambda_max {spectrum.lambda_max_nm:.0f} nm")

    try:                                         # input errors are ValueError / TypeError
        qp.calculate([8, 1], [[0, 0, 0], [0, 0, 0.97]])
    except ValueError as err:
        print("refused:", err)


if __name__ == "__main__":
    main()
