// Element-wise forms of the link functions.
#include "engine/link.hpp"

namespace tarvex {

namespace {

template <double (*F)(double)>
void apply(const double* z, std::size_t len, double* out) {
    for (std::size_t i = 0; i < len; ++i) out[i] = F(z[i]);
}

template <double (*F)(double)>
Vector apply(VectorView z) {
    Vector out(z.len);
    for (std::size_t i = 0; i < z.len; ++i) out[i] = F(z[i]);
    return out;
}

}  // namespace

void cdf(ModelKind kind, const double* z, std::size_t len, double* out) {
    kind == ModelKind::Logit ? apply<logit_cdf>(z, len, out) : apply<probit_cdf>(z, len, out);
}
void pdf(ModelKind kind, const double* z, std::size_t len, double* out) {
    kind == ModelKind::Logit ? apply<logit_pdf>(z, len, out) : apply<probit_pdf>(z, len, out);
}
void pdf_deriv(ModelKind kind, const double* z, std::size_t len, double* out) {
    kind == ModelKind::Logit ? apply<logit_pdf_deriv>(z, len, out)
                             : apply<probit_pdf_deriv>(z, len, out);
}

Vector cdf(ModelKind kind, VectorView z) {
    return kind == ModelKind::Logit ? apply<logit_cdf>(z) : apply<probit_cdf>(z);
}
Vector pdf(ModelKind kind, VectorView z) {
    return kind == ModelKind::Logit ? apply<logit_pdf>(z) : apply<probit_pdf>(z);
}
Vector pdf_deriv(ModelKind kind, VectorView z) {
    return kind == ModelKind::Logit ? apply<logit_pdf_deriv>(z) : apply<probit_pdf_deriv>(z);
}

}  // namespace tarvex
