// Built with AVX (see audio/CMakeLists.txt); called only when the processor has it.
#include "audio/GainAnalysisKernel.h"

namespace sonorix {

void filterSegmentAvx(const FilterArgs& args) {
#if defined(__AVX__)
    gain_kernel::filterPairs<false>(args);
#else
    gain_kernel::filter(args);
#endif
}

} // namespace sonorix
