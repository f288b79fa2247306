// What the site settings dialog keeps from one opening to the next, for the whole run.
#pragma once

#include <cstdint>

namespace sirano {

struct SiteEditorState {
    bool asterisk = true;      // stored values hidden
    int16_t selectedSite = 0;  // entry being edited
};

}  // namespace sirano
