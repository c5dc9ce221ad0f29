// The element types the matrix template is provided for.
#include "ir/matrix.h"

#include <complex>

template class matrix<int>;
template class matrix<float>;
template class matrix<double>;
template class matrix<std::complex<double>>;
