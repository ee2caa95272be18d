// Input the filter must survive: pages it cannot hold, rasters of other
// kinds, cancellation, and a printer stream that goes away.
#include <gtest/gtest.h>

#include "e2e.h"

using namespace e2e;
using qtest::RasterPage;

namespace {

}  // namespace
