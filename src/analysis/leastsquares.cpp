#include "analysis/leastsquares.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_multifit_nlinear.h>
#include <gsl/gsl_vector.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>

namespace kestrel::analysis
{

void quietGsl()
{
    static std::once_flag once;
    std::call_once(once, [] { gsl_set_error_handler_off(); });
}

namespace
{

// GSL asks for the residuals at a trial point and, once the step is taken, for the
// Jacobian at the same point: both come from one evaluation, kept until x changes.
struct Evaluator {
    const LeastSquaresProblem& problem;
    std::size_t p;
    std::vector<double> x;
    std::vector<double> residuals;
    std::vector<double> jacobian;
    bool valid = false;

    bool evaluate(const gsl_vector* at)
    {
        std::vector<double> trial(p);
        for (std::size_t i = 0; i < p; ++i)
            trial[i] = gsl_vector_get(at, i);
        if (valid && trial == x)
            return true;
        x = std::move(trial);
        valid = problem.residuals(x, residuals, jacobian) &&
                std::all_of(residuals.begin(), residuals.end(),
                            [](double r) { return std::isfinite(r); }) &&
                std::all_of(jacobian.begin(), jacobian.end(),
                            [](double d) { return std::isfinite(d); });
        return valid;
    }

    static int f(const gsl_vector* at, void* data, gsl_vector* out)
    {
        auto* self = static_cast<Evaluator*>(data);
        if (!self->evaluate(at))
            return GSL_EDOM;
        std::copy(self->residuals.begin(), self->residuals.end(), out->data);
        return GSL_SUCCESS;
    }

    static int df(const gsl_vector* at, void* data, gsl_matrix* out)
    {
        auto* self = static_cast<Evaluator*>(data);
        if (!self->evaluate(at))
            return GSL_EDOM;
        const std::size_t p = self->p;
        for (std::size_t row = 0; row < out->size1; ++row)
            std::copy_n(&self->jacobian[row * p], p, out->data + row * out->tda);
        return GSL_SUCCESS;
    }
};

struct WorkspaceDeleter {
    void operator()(gsl_multifit_nlinear_workspace* w) const { gsl_multifit_nlinear_free(w); }
};
struct MatrixDeleter {
    void operator()(gsl_matrix* m) const { gsl_matrix_free(m); }
};

// Whether the last step moved each parameter by at most fraction of its standard
// error, from the Jacobian at the new point: past that, the fit's own uncertainty
// dwarfs what further steps would change.
bool stepWithinErrors(gsl_multifit_nlinear_workspace* w, const std::vector<double>& before,
                      double fraction)
{
    const gsl_matrix* j = gsl_multifit_nlinear_jac(w);
    const gsl_vector* x = gsl_multifit_nlinear_position(w);
    const gsl_vector* f = gsl_multifit_nlinear_residual(w);
    const std::size_t n = j->size1, p = j->size2;
    std::unique_ptr<gsl_matrix, MatrixDeleter> normal(gsl_matrix_calloc(p, p));
    gsl_blas_dsyrk(CblasLower, CblasTrans, 1.0, j, 0.0, normal.get());
    if (gsl_linalg_cholesky_decomp1(normal.get()) != GSL_SUCCESS ||
        gsl_linalg_cholesky_invert(normal.get()) != GSL_SUCCESS)
        return false;
    double chi2 = 0.0;
    gsl_blas_ddot(f, f, &chi2);
    const double variance = chi2 / double(n - p);
    for (std::size_t i = 0; i < p; ++i) {
        const double error = std::sqrt(gsl_matrix_get(normal.get(), i, i) * variance);
        if (!(std::abs(gsl_vector_get(x, i) - before[i]) <= fraction * error))
            return false;
    }
    return true;
}

// The search itself: gsl_multifit_nlinear_driver's tests, and with a problem's
// errorFraction also the step against the standard errors. A GSL status.
int iterate(const LeastSquaresProblem& problem, gsl_multifit_nlinear_workspace* w)
{
    for (int iteration = 0; iteration < problem.maxIterations; ++iteration) {
        const gsl_vector* position = gsl_multifit_nlinear_position(w);
        const std::vector<double> before(position->data, position->data + position->size);
        const int status = gsl_multifit_nlinear_iterate(w);
        // GSL_ENOPROG: no step lowers the cost any more, which at a minimum reached to
        // machine precision is what success looks like.
        if (status == GSL_ENOPROG)
            return GSL_SUCCESS;
        if (status != GSL_SUCCESS)
            return status;
        int info = 0;
        if (gsl_multifit_nlinear_test(problem.stepTolerance, 1e-12, 0.0, &info, w) == GSL_SUCCESS)
            return GSL_SUCCESS;
        if (problem.errorFraction > 0 && stepWithinErrors(w, before, problem.errorFraction))
            return GSL_SUCCESS;
    }
    return GSL_EMAXITER;
}

} // namespace

LeastSquaresResult solveLeastSquares(const LeastSquaresProblem& problem, bool computeErrors)
{
    quietGsl();
    LeastSquaresResult result;
    const std::size_t n = problem.residualCount;
    const std::size_t p = problem.start.size();
    if (n <= p || p == 0)
        return result;

    Evaluator evaluator{problem, p, {}, std::vector<double>(n), std::vector<double>(n * p)};
    gsl_multifit_nlinear_fdf fdf{};
    fdf.f = &Evaluator::f;
    fdf.df = &Evaluator::df;
    fdf.fvv = nullptr;
    fdf.n = n;
    fdf.p = p;
    fdf.params = &evaluator;

    gsl_multifit_nlinear_parameters parameters = gsl_multifit_nlinear_default_parameters();
    // Powell's dogleg: on these curves it reaches the minimum in about half the
    // iterations Levenberg-Marquardt takes, and over many points each one costs.
    parameters.trs = gsl_multifit_nlinear_trs_dogleg;
    parameters.scale = gsl_multifit_nlinear_scale_more;
    std::unique_ptr<gsl_multifit_nlinear_workspace, WorkspaceDeleter> workspace(
        gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &parameters, n, p));
    if (!workspace)
        return result;

    gsl_vector_const_view start = gsl_vector_const_view_array(problem.start.data(), p);
    if (gsl_multifit_nlinear_init(&start.vector, &fdf, workspace.get()) != GSL_SUCCESS)
        return result;

    const int status = iterate(problem, workspace.get());
    result.iterations = int(gsl_multifit_nlinear_niter(workspace.get()));
    if (status == GSL_SUCCESS)
        result.outcome = LeastSquaresResult::Outcome::Converged;
    else if (status == GSL_EMAXITER)
        result.outcome = LeastSquaresResult::Outcome::IterationLimit;
    else
        return result;

    const gsl_vector* x = gsl_multifit_nlinear_position(workspace.get());
    const gsl_vector* residuals = gsl_multifit_nlinear_residual(workspace.get());
    result.x.assign(x->data, x->data + p);
    double chi2 = 0.0;
    gsl_blas_ddot(residuals, residuals, &chi2);
    result.chiSquared = chi2;
    if (!std::isfinite(chi2) ||
        !std::all_of(result.x.begin(), result.x.end(), [](double v) { return std::isfinite(v); })) {
        result.outcome = LeastSquaresResult::Outcome::Failed;
        return result;
    }

    if (computeErrors) {
        std::unique_ptr<gsl_matrix, MatrixDeleter> covariance(gsl_matrix_alloc(p, p));
        const gsl_matrix* jacobian = gsl_multifit_nlinear_jac(workspace.get());
        const double variance = chi2 / double(n - p);
        result.singular =
            gsl_multifit_nlinear_covar(jacobian, 1e-13, covariance.get()) != GSL_SUCCESS;
        for (std::size_t i = 0; i < p; ++i) {
            const double c = gsl_matrix_get(covariance.get(), i, i);
            if (!(c > 0) || !std::isfinite(c))
                result.singular = true;
            result.errors.push_back(std::sqrt(std::max(c, 0.0) * variance));
        }
    }
    return result;
}

} // namespace kestrel::analysis

namespace kestrel::analysis
{

LeastSquaresResult fitInStages(const IVPointList& points,
                               const std::vector<std::vector<double>>& starts,
                               const std::function<ResidualFunction(const IVPointList&)>& model)
{
    constexpr std::size_t subsetSize = 2000;
    const bool staged = points.size() > 2 * subsetSize;
    IVPointList subset;
    if (staged) {
        const std::size_t stride = points.size() / subsetSize;
        for (std::size_t i = stride / 2; i < points.size(); i += stride)
            subset.push_back(points[i]);
    }
    const IVPointList& searched = staged ? subset : points;

    LeastSquaresResult best;
    for (const std::vector<double>& start : starts) {
        LeastSquaresProblem problem{searched.size(), start, model(searched)};
        LeastSquaresResult result = solveLeastSquares(problem, !staged);
        const bool better = result.outcome == LeastSquaresResult::Outcome::Converged &&
                            (best.outcome != LeastSquaresResult::Outcome::Converged ||
                             result.chiSquared < best.chiSquared);
        if (better || (best.outcome == LeastSquaresResult::Outcome::Failed &&
                       result.outcome == LeastSquaresResult::Outcome::IterationLimit))
            best = std::move(result);
    }
    if (!staged || best.outcome != LeastSquaresResult::Outcome::Converged)
        return best;

    LeastSquaresProblem refinement{points.size(), best.x, model(points), 200, 1e-8, 0.01};
    LeastSquaresResult refined = solveLeastSquares(refinement, true);
    refined.iterations += best.iterations;
    return refined;
}

} // namespace kestrel::analysis
