#pragma once

#include <functional>
#include <string>

#include "viewer/SlideShow.h"

// The show's answer as one line, for tables: "Fit Prepare:3 RunRandom". An
// entry is written as entryName gives it.
inline std::string ShowActionsText(const ShowActions& actions, const std::function<std::string(int)>& entryName)
{
    static const char* const names[] = {"Stop", "RunProgressive", "RunRandom", "View",   "Fit",
                                        "FitWhenDecoded", "Drop",   "Prepare",   "Close"};
    std::string text;
    for (const ShowAction& a : actions) {
        text += text.empty() ? "" : " ";
        text += names[a.kind];
        if (a.kind == ShowAction::DropUnfinishedBut || a.kind == ShowAction::Prepare)
            text += ":" + entryName(a.entry);
    }
    return text;
}
