#include "state/plugin_state.h"

#include <stddef.h>

static_assert(offsetof(PluginState, spacingReturn) == QI_STATE_SPACING_RETURN,
              "the code cave reads spacingReturn at this offset");

constinit PluginState gState = {
    .stopRequested = 0,
    .logFile = QI_INVALID_HANDLE,
    .api = {},
    .vhudBase = 0,
    .vhudSize = 0,
    .staticSlotReported = 0,
    .savedRotateVertices = 0,
    .slotXOffsets = {0.0f, -62.0f, -48.0f, -62.0f, 0.0f, 62.0f, 48.0f, 62.0f},
    .spacingReported = 0,
    .spacingReturn = 0,
    .ammoFineTune = {0.0f, 8.0f, 10.0f, 8.0f, 0.0f, -8.0f, -10.0f, -8.0f},
    .nameY = 24.0f,
    .countY = -10.0f,
    .arrowY = -3.0f,
    .centreTextX = 0.0f,
    .centreTextReported = 0,
    .savedHudTarget = 0,
    .hookWarned = 0,
    .radarReported = 0,
    .lastPlayerPed = 0,
    .lastLoggedState = -1,
    .healthIcon = {0},
    .armourIcon = {0},
    .iconRetryCountdown = 0,
    .iconsHiddenReported = 0,
    .firstDrawReported = 0,
    .copiesNamed = {},
};
