#include "analysis/leastsquares.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_multilarge_nlinear.h>
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

// GSL asks for the residuals at a trial point and, once the step is taken, for J^T u
// and J^T J at the same point: all come from one evaluation, kept until x changes.
// Only these p x p products reach GSL, so the n x p Jacobian exists once, here.
struct Evaluator {
    const LeastSquaresProblem& problem;
    std::size_t n, p;
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

    gsl_matrix_const_view jacobianView() const
    {
        return gsl_matrix_const_view_array(jacobian.data(), n, p);
    }

    static int f(const gsl_vector* at, void* data, gsl_vector* out)
    {
        auto* self = static_cast<Evaluator*>(data);
        if (!self->evaluate(at))
            return GSL_EDOM;
        std::copy(self->residuals.begin(), self->residuals.end(), out->data);
        return GSL_SUCCESS;
    }

    static int df(CBLAS_TRANSPOSE_t transpose, const gsl_vector* at, const gsl_vector* u,
                  void* data, gsl_vector* v, gsl_matrix* normal)
    {
        auto* self = static_cast<Evaluator*>(data);
        if (!self->evaluate(at))
            return GSL_EDOM;
        const gsl_matrix_const_view j = self->jacobianView();
        if (v && u)
            gsl_blas_dgemv(transpose, 1.0, &j.matrix, u, 0.0, v);
        if (normal)
            self->normalMatrix(normal);
        return GSL_SUCCESS;
    }

    // J^T J, both triangles: GSL's Cholesky reads the lower, its scaling the diagonal.
    void normalMatrix(gsl_matrix* normal) const
    {
        const gsl_matrix_const_view j = jacobianView();
        gsl_blas_dsyrk(CblasLower, CblasTrans, 1.0, &j.matrix, 0.0, normal);
        for (std::size_t row = 0; row < p; ++row)
            for (std::size_t column = row + 1; column < p; ++column)
                gsl_matrix_set(normal, row, column, gsl_matrix_get(normal, column, row));
    }
};

struct WorkspaceDeleter {
    void operator()(gsl_multilarge_nlinear_workspace* w) const { gsl_multilarge_nlinear_free(w); }
};
struct MatrixDeleter {
    void operator()(gsl_matrix* m) const { gsl_matrix_free(m); }
};

// Below this reciprocal condition number of J^T J, scaled to a unit diagonal (the
// parameters' correlation), the inverse keeps hardly a correct digit.
constexpr double singularCondition = 1e-15;

// The inverse of J^T J at the evaluator's point, or nothing where it is singular: where
// some combination of the parameters leaves the residuals unchanged.
std::unique_ptr<gsl_matrix, MatrixDeleter> inverseNormal(const Evaluator& evaluator)
{
    const std::size_t p = evaluator.p;
    std::unique_ptr<gsl_matrix, MatrixDeleter> normal(gsl_matrix_calloc(p, p));
    evaluator.normalMatrix(normal.get());
    std::vector<double> scale(p);
    for (std::size_t i = 0; i < p; ++i) {
        const double diagonal = gsl_matrix_get(normal.get(), i, i);
        if (!(diagonal > 0) || !std::isfinite(diagonal))
            return nullptr;
        scale[i] = 1.0 / std::sqrt(diagonal);
    }
    for (std::size_t row = 0; row < p; ++row)
        for (std::size_t column = 0; column < p; ++column)
            gsl_matrix_set(normal.get(), row, column,
                           gsl_matrix_get(normal.get(), row, column) * scale[row] * scale[column]);
    std::vector<double> work(3 * p);
    gsl_vector_view workView = gsl_vector_view_array(work.data(), work.size());
    double rcond = 0.0;
    if (gsl_linalg_cholesky_decomp1(normal.get()) != GSL_SUCCESS ||
        gsl_linalg_cholesky_rcond(normal.get(), &rcond, &workView.vector) != GSL_SUCCESS)
        return nullptr;
    if (!(rcond >= singularCondition) || gsl_linalg_cholesky_invert(normal.get()) != GSL_SUCCESS)
        return nullptr;
    for (std::size_t row = 0; row < p; ++row)
        for (std::size_t column = 0; column < p; ++column)
            gsl_matrix_set(normal.get(), row, column,
                           gsl_matrix_get(normal.get(), row, column) * scale[row] * scale[column]);
    return normal;
}

double sumOfSquares(const gsl_vector* residuals)
{
    double chi2 = 0.0;
    gsl_blas_ddot(residuals, residuals, &chi2);
    return chi2;
}

// Whether the last step moved each parameter by at most fraction of its standard
// error, from the Jacobian at the new point: past that, the fit's own uncertainty
// dwarfs what further steps would change.
bool stepWithinErrors(gsl_multilarge_nlinear_workspace* w, Evaluator& evaluator,
                      const std::vector<double>& before, double fraction)
{
    const gsl_vector* x = gsl_multilarge_nlinear_position(w);
    if (!evaluator.evaluate(x))
        return false;
    const auto inverse = inverseNormal(evaluator);
    if (!inverse)
        return false;
    const double variance =
        sumOfSquares(gsl_multilarge_nlinear_residual(w)) / double(evaluator.n - evaluator.p);
    for (std::size_t i = 0; i < evaluator.p; ++i) {
        const double error = std::sqrt(gsl_matrix_get(inverse.get(), i, i) * variance);
        if (!(std::abs(gsl_vector_get(x, i) - before[i]) <= fraction * error))
            return false;
    }
    return true;
}

// The search itself: GSL's convergence tests, and with a problem's errorFraction
// also the step against the standard errors. A GSL status.
int iterate(const LeastSquaresProblem& problem, gsl_multilarge_nlinear_workspace* w,
            Evaluator& evaluator)
{
    for (int iteration = 0; iteration < problem.maxIterations; ++iteration) {
        const gsl_vector* position = gsl_multilarge_nlinear_position(w);
        const std::vector<double> before(position->data, position->data + position->size);
        const int status = gsl_multilarge_nlinear_iterate(w);
        // GSL_ENOPROG: no step lowers the cost any more, which at a minimum reached to
        // machine precision is what success looks like.
        if (status == GSL_ENOPROG)
            return GSL_SUCCESS;
        if (status != GSL_SUCCESS)
            return status;
        int info = 0;
        if (gsl_multilarge_nlinear_test(problem.stepTolerance, 1e-12, 0.0, &info, w) ==
            GSL_SUCCESS)
            return GSL_SUCCESS;
        if (problem.errorFraction > 0 &&
            stepWithinErrors(w, evaluator, before, problem.errorFraction))
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

    Evaluator evaluator{problem, n, p, {}, std::vector<double>(n), std::vector<double>(n * p)};
    gsl_multilarge_nlinear_fdf fdf{};
    fdf.f = &Evaluator::f;
    fdf.df = &Evaluator::df;
    fdf.fvv = nullptr;
    fdf.n = n;
    fdf.p = p;
    fdf.params = &evaluator;

    gsl_multilarge_nlinear_parameters parameters = gsl_multilarge_nlinear_default_parameters();
    // Powell's dogleg: on these curves it reaches the minimum in about half the
    // iterations Levenberg-Marquardt takes, and over many points each one costs. The
    // steps come from J^T J (p x p), so the search needs no copy of the Jacobian.
    parameters.trs = gsl_multilarge_nlinear_trs_dogleg;
    parameters.scale = gsl_multilarge_nlinear_scale_more;
    std::unique_ptr<gsl_multilarge_nlinear_workspace, WorkspaceDeleter> workspace(
        gsl_multilarge_nlinear_alloc(gsl_multilarge_nlinear_trust, &parameters, n, p));
    if (!workspace)
        return result;

    gsl_vector_const_view start = gsl_vector_const_view_array(problem.start.data(), p);
    if (gsl_multilarge_nlinear_init(&start.vector, &fdf, workspace.get()) != GSL_SUCCESS)
        return result;

    const int status = iterate(problem, workspace.get(), evaluator);
    result.iterations = int(gsl_multilarge_nlinear_niter(workspace.get()));
    if (status == GSL_SUCCESS)
        result.outcome = LeastSquaresResult::Outcome::Converged;
    else if (status == GSL_EMAXITER)
        result.outcome = LeastSquaresResult::Outcome::IterationLimit;
    else
        return result;

    const gsl_vector* x = gsl_multilarge_nlinear_position(workspace.get());
    result.x.assign(x->data, x->data + p);
    const double chi2 = sumOfSquares(gsl_multilarge_nlinear_residual(workspace.get()));
    result.chiSquared = chi2;
    if (!std::isfinite(chi2) ||
        !std::all_of(result.x.begin(), result.x.end(), [](double v) { return std::isfinite(v); })) {
        result.outcome = LeastSquaresResult::Outcome::Failed;
        return result;
    }

    if (computeErrors) {
        const auto inverse = evaluator.evaluate(x) ? inverseNormal(evaluator) : nullptr;
        result.singular = !inverse;
        const double variance = chi2 / double(n - p);
        for (std::size_t i = 0; i < p; ++i) {
            const double c = inverse ? gsl_matrix_get(inverse.get(), i, i) : 0.0;
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
