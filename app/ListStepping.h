#pragma once

#include <optional>

// Where "Scroll Up" and "Scroll Down" move the current entry of a list of
// `count` entries whose current index is `index` (-1 for none), wrapping round
// at the ends. No value: the current entry stays. The index returned may lie
// outside an empty list; selecting it then fails and the step does nothing.
std::optional<int> MoveUpTarget(int index, int count);
std::optional<int> MoveDownTarget(int index, int count);
