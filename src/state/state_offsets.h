// Field offsets of PluginState that hand-written code uses.
#pragma once

#define QI_STATE_SPACING_RETURN 108
