#include "core/opt/hessian_update.h"

#include <algorithm>
#include <cmath>

#include "core/types/errors.h"

namespace quorin {

void HessianUpdateWorkspace::ensure_capacity(std::size_t n) {
    if (hs.size() < n) {
        hs.resize(n, 0.0);
        if (residual.size() < n) residual.resize(n, 0.0);
    }
}

void update_cartesian_hessian(Matrix& hessian, std::span<const double> s, std::span<const double> y,
                              QuasiNewtonUpdate kind, HessianUpdateWorkspace& workspace) {
    const std::size_t n = hessian.rows();
    if (hessian.cols() != n) stop_assert_eq("Hessian must be square", hessian.rows(), hessian.cols());
    if (s.size() != n) stop_assert_eq("Step length must match the Hessian dimension", s.size(), n);
    if (y.size() != n) stop_assert_eq("Gradient change length must match the Hessian dimension", y.size(), n);
    workspace.ensure_capacity(n);

    double ss = 0.0;
    for (std::size_t i = 0; i < n; ++i) ss += s[i] * s[i];
    if (ss < 1e-24) return;

    double* hs = workspace.hs.data();
    double* r = workspace.residual.data();
    double sr = 0.0, rr = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double* row = hessian.row(i);
        double v = 0.0;
        for (std::size_t j = 0; j < n; ++j) v += row[j] * s[j];
        hs[i] = v;
        r[i] = y[i] - v;
        sr += s[i] * r[i];
        rr += r[i] * r[i];
    }
    const bool sr1_defined = std::fabs(sr) > 1e-14 * std::sqrt(ss) * std::sqrt(rr);

    // Weights of the two symmetric rank-two/rank-one increments; BFGS has its own.
    double w_sr1 = 0.0, w_psb = 0.0;
    double ys = 0.0, shs = 0.0;
    switch (kind) {
        case QuasiNewtonUpdate::Psb:
            w_psb = 1.0;
            break;
        case QuasiNewtonUpdate::Sr1:
            if (!sr1_defined) return;
            w_sr1 = 1.0;
            break;
        case QuasiNewtonUpdate::Bofill: {
            if (rr < 1e-24) return;
            const double phi = sr * sr / (ss * rr);
            w_psb = std::min(1.0, std::max(0.0, 1.0 - phi));
            // Without a usable SR1 denominator the SR1 share goes to PSB.
            if (sr1_defined) {
                w_sr1 = 1.0 - w_psb;
            } else {
                w_psb = 1.0;
            }
            break;
        }
        case QuasiNewtonUpdate::Bfgs:
            for (std::size_t i = 0; i < n; ++i) {
                ys += y[i] * s[i];
                shs += s[i] * hs[i];
            }
            if (!(std::fabs(ys) > 1e-20) || !(std::fabs(shs) > 1e-20)) return;
            break;
    }

    const double sr_over_ss = sr / ss;
    for (std::size_t i = 0; i < n; ++i) {
        double* row = hessian.row(i);
        for (std::size_t j = i; j < n; ++j) {
            double delta;
            if (kind == QuasiNewtonUpdate::Bfgs) {
                delta = y[i] * y[j] / ys - hs[i] * hs[j] / shs;
            } else {
                delta = 0.0;
                if (w_psb != 0.0) {
                    delta += w_psb * ((r[i] * s[j] + s[i] * r[j]) / ss - sr_over_ss * s[i] * s[j] / ss);
                }
                if (w_sr1 != 0.0) delta += w_sr1 * (r[i] * r[j] / sr);
            }
            row[j] += delta;
            if (j != i) hessian(j, i) = row[j];
        }
    }
}

}  // namespace quorin
