#include "app/ListStepping.h"

std::optional<int> MoveUpTarget(int index, int count)
{
    if (index > 0)
        return index - 1;
    return count - 1;  // from the first entry, or from none, to the last
}

std::optional<int> MoveDownTarget(int index, int count)
{
    if (index == count - 1)
        return 0;
    if (index >= 0)
        return index + 1;
    return std::nullopt;  // nothing current: stepping down leaves it so
}
