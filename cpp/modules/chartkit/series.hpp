#pragma once
// The series arithmetic of the chart panels is native core work (lumora/series_arithmetic.hpp);
// pages that include it from the chart kit find it here.

#include "lumora/series_arithmetic.hpp"
