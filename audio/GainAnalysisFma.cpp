// Built with AVX and FMA (see audio/CMakeLists.txt); called only when the processor has both.
#include "audio/GainAnalysisKernel.h"

namespace sonorix {

void filterSegmentFma(const FilterArgs& args) {
#if defined(__AVX__) && defined(__FMA__)
    gain_kernel::filterPairs<true>(args);
#else
    gain_kernel::filter(args);
#endif
}

} // namespace sonorix
