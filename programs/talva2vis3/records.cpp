#include "programs/talva2vis3/records.h"

talva_common_t talva_common_;
dbg_common_t dbg_common_;
talva1a_smatrix_t talva1a_smatrix_;
talva1a_gainsarray_t talva1a_gainsarray_;
