#pragma once

#include "viewer/RandomOrder.h"

// The slide show's memory, kept in the viewer's form-level data so that a
// random cycle goes on across closing and reopening the viewer. The random
// order holds ShownHistory and ShownCount.
struct SlideShowData {
    RandomOrder order;
};
